#include "../../gateway/Discovery.h"
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
