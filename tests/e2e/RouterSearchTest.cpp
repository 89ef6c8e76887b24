// The router is found past a VPN adapter on the LAN host, whichever routes the
// VPN takes, over UPnP and over PCP, within the one search's wait.
#include "Harness.h"
#include <algorithm>

namespace {

const int kLanAddress = 1003, kGatewayAddress = 1004, kStart = 1005;
const char* kAdapterUsed = "本机有多个网络连接，已通过“gw-lan0”(198.18.0.2)找到路由器。";
// The search's wait, the description, and Wine's slowest start, with room.
const int kFoundWithinMs = 12000;

struct SearchCase {
    const char* vpn;   // split: routes 0/1 and 128/1; default: the lower metric
    bool pcp;          // the router speaks PCP and NAT-PMP only
};

void PrintTo(const SearchCase& searchCase, std::ostream* out)
{
    *out << "vpn " << searchCase.vpn << (searchCase.pcp ? ", pcp" : ", upnp");
}

class RouterSearchTest : public AppTest, public ::testing::WithParamInterface<SearchCase> {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        if (GetParam().pcp)
            Router::Run("pcp on");
        Router::Run(std::string("vpn ") + GetParam().vpn);
    }
    void TearDown() override
    {
        AppTest::TearDown();
        Router::Run("vpn off");
        if (GetParam().pcp)
            Router::Run("pcp off");
    }
};

TEST_P(RouterSearchTest, RouterPastAVpnIsFoundOnTheLanAdapterAndTheRowMaps)
{
    SeedRows({ "TCP|8080|18080|198.18.0.2|" });
    Launch();
    ASSERT_TRUE(WaitForGateway(kFoundWithinMs)) << "found within the search's wait";
    EXPECT_EQ("198.18.0.2", m_driver.Address(kLanAddress));
    EXPECT_EQ("198.18.0.1", m_driver.Address(kGatewayAddress));
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, kAdapterUsed));
    auto used = std::find(lines.begin(), lines.end(), kAdapterUsed);
    ASSERT_NE(lines.end(), used);
    ASSERT_NE(lines.begin(), used);
    EXPECT_EQ(0u, used[-1].rfind("发现", 0)) << "after the found line, not after " << used[-1];

    m_driver.Click(kStart);
    EXPECT_TRUE(WaitUntil([] {
        std::vector<std::string> mappings = Router::Mappings();
        return mappings.size() == 1 && mappings[0].rfind("TCP 18080 198.18.0.2:8080", 0) == 0;
    }, 15000));
}

std::string CaseName(const ::testing::TestParamInfo<SearchCase>& info)
{
    return std::string(info.param.pcp ? "Pcp" : "Upnp") + (info.param.vpn[0] == 's' ? "VpnSplitRoutes" : "VpnDefaultRoute");
}

INSTANTIATE_TEST_SUITE_P(Vpn, RouterSearchTest,
                         ::testing::Values(SearchCase{ "split", false }, SearchCase{ "default", false },
                                           SearchCase{ "split", true }, SearchCase{ "default", true }),
                         CaseName);

}
