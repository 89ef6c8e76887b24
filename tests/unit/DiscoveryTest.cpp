#include "../../gateway/upnp/Discovery.h"
#include "../../gateway/LogLines.h"
#include <gtest/gtest.h>

namespace {

TEST(HostFromUrl, KeepsOnlyTheHostOfAControlUrl)
{
    EXPECT_EQ("198.18.0.1", HostFromUrl("http://198.18.0.1:5000/ctl/IPConn"));
    EXPECT_EQ("192.168.1.1", HostFromUrl("http://192.168.1.1/upnp/control/WANIPConn1"));
    EXPECT_EQ("router.lan", HostFromUrl("http://router.lan:49152/ctl?x=1#y"));
    EXPECT_EQ("198.18.0.1", HostFromUrl("http://198.18.0.1:5000/path with blanks"));
}

TEST(HostFromUrl, UnsplittableUrlsGiveAnEmptyHost)
{
    EXPECT_EQ("", HostFromUrl(nullptr));
    EXPECT_EQ("", HostFromUrl(""));
    EXPECT_EQ("", HostFromUrl("no url at all"));
}

TEST(GatewayFoundLine, EachResultHasItsLineAndOthersTheGenericOne)
{
    const char* url = "http://198.18.0.1:5000/ctl/IPConn";
    EXPECT_EQ("发现有效的IGD : http://198.18.0.1:5000/ctl/IPConn\n", FormatGatewayFoundLine(1, url));
    EXPECT_EQ("发现一个没有连接的 IGD : http://198.18.0.1:5000/ctl/IPConn\n",
              FormatGatewayFoundLine(2, url));
    EXPECT_EQ("发现一个设备，IGD是: http://198.18.0.1:5000/ctl/IPConn?\n",
              FormatGatewayFoundLine(3, url));
    EXPECT_EQ("发现一个IGD设备 : http://198.18.0.1:5000/ctl/IPConn\n", FormatGatewayFoundLine(4, url));
    EXPECT_EQ("发现一个IGD设备 : http://198.18.0.1:5000/ctl/IPConn\n", FormatGatewayFoundLine(-1, url));
}

}

#include "../../gateway/PublicAddress.h"

namespace {

TEST(PublicAddress, EveryNonPublicBlockEndsExactlyAtItsBoundary)
{
    const char* notPublic[] = { "0.0.0.0",     "0.255.255.255", "10.0.0.0",     "10.255.255.255", "100.64.0.0",
                                "100.127.255.255", "127.0.0.1", "169.254.0.0",  "169.254.255.255", "172.16.0.0",
                                "172.31.255.255", "192.0.0.0",  "192.0.0.255",  "192.168.0.0",    "192.168.255.255",
                                "198.18.0.0",  "198.19.255.255", "224.0.0.0",   "255.255.255.255" };
    const char* isPublic[] = { "1.0.0.0",     "9.255.255.255", "11.0.0.0",     "100.63.255.255", "100.128.0.0",
                               "126.255.255.255", "128.0.0.0", "169.253.255.255", "169.255.0.0", "172.15.255.255",
                               "172.32.0.0",  "191.255.255.255", "192.0.1.0",  "192.167.255.255", "192.169.0.0",
                               "198.17.255.255", "198.20.0.0", "223.255.255.255", "1.2.3.4" };
    for (const char* address : notPublic)
        EXPECT_EQ(AddressReach::NotPublic, ClassifyExternalAddress(address)) << address;
    for (const char* address : isPublic)
        EXPECT_EQ(AddressReach::Public, ClassifyExternalAddress(address)) << address;
    for (const char* address : { "", "1.2.3", "1.2.3.256", "(null)" })
        EXPECT_EQ(AddressReach::Empty, ClassifyExternalAddress(address)) << address;
}

TEST(PublicAddress, OnlyAChangeIsToldAndAPublicAddressAtTheStartIsNoNews)
{
    CAddressReachTracker tracker;
    const char* empty = "路由器没有公网IP：路由器之上还有一层NAT或尚未联网，互联网无法经这些映射访问本机。";
    const std::pair<const char*, std::string> reads[] = {
        { "1.2.3.4", "" },
        { "", empty },
        { "", "" },
        { "1.2.3.4", "外网IP 1.2.3.4 是公网地址，互联网可以经这些映射访问本机。" },
        { "1.2.3.4", "" },
        { "100.64.0.1", "外网IP 100.64.0.1 不是公网地址：路由器之上还有一层NAT，互联网无法经这些映射访问本机。" },
        { "100.64.0.1", "" },
        { "192.168.1.2", "外网IP 192.168.1.2 不是公网地址：路由器之上还有一层NAT，互联网无法经这些映射访问本机。" },
        { "5.6.7.8", "外网IP 5.6.7.8 是公网地址，互联网可以经这些映射访问本机。" },
        { "5.6.7.9", "" },
    };
    for (const auto& read : reads) {
        EXPECT_EQ(read.second, tracker.Take(read.first)) << read.first;
        EXPECT_EQ(ClassifyExternalAddress(read.first) != AddressReach::Public, tracker.Unreachable()) << read.first;
    }
    CAddressReachTracker startsEmpty;
    EXPECT_EQ(empty, startsEmpty.Take(""));
}

}
