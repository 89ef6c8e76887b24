#include "../../gateway/Adapters.h"
#include "../../gateway/BoundedCall.h"
#include "../../framework/DottedAddress.h"
#include <gtest/gtest.h>
#include <winsock2.h>
#include <iphlpapi.h>
#include <memory>

namespace {

std::uint32_t Address(const char* dotted)
{
    std::uint32_t address = 0;
    EXPECT_TRUE(ParseDottedAddress(dotted, &address)) << dotted;
    return address;
}

NetworkAdapter Adapter(const char* name, DWORD ifType, const char* address, BYTE prefixLength,
                       const char* gateway = nullptr)
{
    NetworkAdapter adapter;
    adapter.name = name;
    adapter.ifType = ifType;
    adapter.address = Address(address);
    adapter.prefixLength = prefixLength;
    adapter.gateway = gateway ? Address(gateway) : 0;
    return adapter;
}

std::vector<std::string> Names(const std::vector<NetworkAdapter>& adapters)
{
    std::vector<std::string> names;
    for (const NetworkAdapter& adapter : adapters)
        names.push_back(adapter.name);
    return names;
}

// A machine as many users have it: a VPN's tunnel listed first, a WSL
// switch, then the LAN and the Wi-Fi.
std::vector<NetworkAdapter> VpnMachine()
{
    return { Adapter("vpn", IF_TYPE_TUNNEL, "10.8.0.6", 24, "10.8.0.1"),
             Adapter("wsl", IF_TYPE_PROP_VIRTUAL, "172.20.0.1", 20),
             Adapter("lan", IF_TYPE_ETHERNET_CSMACD, "192.168.1.20", 24, "192.168.1.1"),
             Adapter("wlan", IF_TYPE_IEEE80211, "192.168.2.30", 24, "192.168.2.1") };
}

TEST(Adapters, PhysicalOnesComeFirstAndEachKindKeepsWindowsOrder)
{
    EXPECT_EQ((std::vector<std::string>{ "lan", "wlan", "vpn", "wsl" }), Names(PhysicalFirst(VpnMachine())));
    EXPECT_EQ((std::vector<std::string>{ "lan", "wlan", "vpn" }),
              Names(AdaptersWithGateways(PhysicalFirst(VpnMachine()))))
        << "the gateways to ask, physical adapters' first; one without a gateway is no router";
}

TEST(Adapters, TheSubnetHoldsWhatItsPrefixCoversAndNothingBeyond)
{
    NetworkAdapter lan = Adapter("lan", IF_TYPE_ETHERNET_CSMACD, "192.168.1.20", 24);
    EXPECT_TRUE(AdapterHolds(lan, Address("192.168.1.1")));
    EXPECT_TRUE(AdapterHolds(lan, Address("192.168.1.255")));
    EXPECT_FALSE(AdapterHolds(lan, Address("192.168.2.1")));
    EXPECT_FALSE(AdapterHolds(lan, Address("192.168.0.255")));
    EXPECT_FALSE(AdapterHolds(lan, 0)) << "no host";

    NetworkAdapter wide = Adapter("wide", IF_TYPE_ETHERNET_CSMACD, "10.1.2.3", 8);
    EXPECT_TRUE(AdapterHolds(wide, Address("10.255.0.1")));
    EXPECT_FALSE(AdapterHolds(wide, Address("11.0.0.1")));

    NetworkAdapter host = Adapter("ppp", IF_TYPE_PPP, "100.64.3.4", 32);
    EXPECT_TRUE(AdapterHolds(host, Address("100.64.3.4")));
    EXPECT_FALSE(AdapterHolds(host, Address("100.64.3.5")));
    for (BYTE prefix : { 0, 33, 255 })
        EXPECT_FALSE(AdapterHolds(Adapter("odd", IF_TYPE_OTHER, "10.0.0.1", prefix), Address("10.0.0.1"))) << prefix;
}

TEST(Adapters, TheRouterIsOnTheAdapterWhoseSubnetHoldsIt)
{
    std::vector<NetworkAdapter> adapters = PhysicalFirst(VpnMachine());
    const NetworkAdapter* holding = AdapterHolding(adapters, Address("192.168.2.1"));
    ASSERT_NE(nullptr, holding);
    EXPECT_EQ("wlan", holding->name);
    holding = AdapterHolding(adapters, Address("10.8.0.1"));
    ASSERT_NE(nullptr, holding);
    EXPECT_EQ("vpn", holding->name);
    EXPECT_EQ(nullptr, AdapterHolding(adapters, Address("203.0.113.1")));
    EXPECT_EQ(nullptr, AdapterHolding({}, Address("192.168.1.1")));
}

TEST(Adapters, TheAdapterUsedIsNamedOnlyAmongSeveral)
{
    std::vector<NetworkAdapter> adapters = PhysicalFirst(VpnMachine());
    EXPECT_EQ("本机有多个网络连接，已通过“lan”(192.168.1.20)找到路由器。", AdapterUsedLine(adapters, &adapters[0]));
    std::vector<NetworkAdapter> one = { adapters[0] };
    EXPECT_EQ("", AdapterUsedLine(one, &one[0]));
    EXPECT_EQ("", AdapterUsedLine(adapters, nullptr));
}

// Each call runs at once, on its own thread: a slow one holds up neither
// the first answer nor the others.
TEST(RunTogether, TheFirstToSucceedEndsTheWaitAndAFailureIsNoWin)
{
    auto slowEnded = std::make_shared<bool>(false);
    ULONGLONG started = ::GetTickCount64();
    std::vector<bool> answered = RunTogether({ [slowEnded] { ::Sleep(3000); return *slowEnded = true; },
                                               [] { return false; },
                                               [] { ::Sleep(200); return true; } },
                                             10000, nullptr, true);
    EXPECT_LT(::GetTickCount64() - started, 2000u);
    EXPECT_EQ((std::vector<bool>{ false, false, true }), answered);
    ::Sleep(3500);
    EXPECT_TRUE(*slowEnded) << "the call given up on went on with what it owns";
}

TEST(RunTogether, WithoutAWinnerEveryCallIsAwaitedTogetherWithinTheBound)
{
    ULONGLONG started = ::GetTickCount64();
    std::vector<bool> answered = RunTogether({ [] { ::Sleep(500); return true; },
                                               [] { ::Sleep(500); return false; },
                                               [] { ::Sleep(500); return true; } },
                                             5000, nullptr, false);
    ULONGLONG took = ::GetTickCount64() - started;
    EXPECT_EQ((std::vector<bool>{ true, false, true }), answered);
    EXPECT_GE(took, 450u);
    EXPECT_LT(took, 1400u) << "together, not one after another";

    started = ::GetTickCount64();
    answered = RunTogether({ [] { return true; }, [] { ::Sleep(3000); return true; } }, 300, nullptr, false);
    EXPECT_LT(::GetTickCount64() - started, 2000u);
    EXPECT_EQ((std::vector<bool>{ true, false }), answered) << "a call past the bound counts as no answer";

    std::atomic<bool> stop(true);
    started = ::GetTickCount64();
    RunTogether({ [] { ::Sleep(3000); return true; } }, 10000, &stop, false);
    EXPECT_LT(::GetTickCount64() - started, 2000u) << "a stop set ends the wait";
}

}
