// A dual-stack router: this machine's rows are reachable over IPv6 through
// pinholes in the router's IPv6 firewall.
#include "Harness.h"

namespace {

const int kStart = 1005, kStop = 1008;
const long kCopyIpv6Command = 32795;
const std::string kThisHost = "TCP|8080|18080|198.18.0.2|";
const std::string kOtherHost = "TCP|8082|18082|198.18.0.5|";
const std::string kOpened = "IPv6防火墙已放行 [2001:db8:1::2]:8080 协议:TCP";

class Ipv6PinholeTest : public RoleTest {
protected:
    Ipv6PinholeTest() : RoleTest("ipv6") {}

    // Pinhole rules in the router's firewall: those that match an IPv6
    // destination address (the IPv4 mappings' rules share the chain).
    static size_t Pinholes()
    {
        std::string rules = RunShell("bash '" + TestEnvironment::Get().router
                                     + "' exec router nft list chain inet filter miniupnpd");
        size_t count = 0;
        for (size_t at = 0; (at = rules.find("@nh,192,128 ", at)) != std::string::npos; ++at)
            ++count;
        return count;
    }
};

TEST_F(Ipv6PinholeTest, ThisHostsRowIsOpenedOverIpv6WhileMappingAndItsAddressCopied)
{
    SeedRows({ kThisHost, kOtherHost });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    ASSERT_TRUE(WaitForLogMessage("本机IPv6地址: 2001:db8:1::2", 10000));
    m_driver.Command(kCopyIpv6Command);
    EXPECT_EQ("Gatewright|成功复制IPv6地址到剪贴板!", m_driver.MessageBox(5000));
    EXPECT_EQ("2001:db8:1::2", m_driver.Call("clipboard"));
    m_driver.Press(1);
    EXPECT_FALSE(ConnectOverIpv6(8080)) << "closed before Start";

    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), kOpened) == 1; }, 15000));
    EXPECT_TRUE(ConnectOverIpv6(8080));
    // Renewed silently at each refresh; the other host's row gets none.
    int refreshes = Router::Requests("UpdatePinhole");
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("UpdatePinhole") >= refreshes + 2; }, 15000));
    EXPECT_EQ(1u, CountStarting(LogMessages(), "IPv6防火墙已放行"));
    EXPECT_EQ(1u, Pinholes());

    m_driver.Click(kStop);
    EXPECT_TRUE(WaitForLogMessage("成功停止列表中的所有映射!", 10000));
    EXPECT_TRUE(WaitUntil([&] { return Pinholes() == 0; }, 5000));
    EXPECT_FALSE(ConnectOverIpv6(8080)) << "closed after Stop";
}

TEST_F(Ipv6PinholeTest, RestartedRouterGetsThePinholeBackAndTheCloseRemovesIt)
{
    StartMapping({ kThisHost }, "2");
    ASSERT_TRUE(WaitUntil([&] { return Pinholes() == 1; }, 15000));
    Router::Run("restart");
    ASSERT_EQ(0u, Pinholes());
    EXPECT_TRUE(WaitUntil([&] { return Pinholes() == 1; }, 30000)) << "back after the router answers";
    EXPECT_TRUE(ConnectOverIpv6(8080));

    ASSERT_TRUE(CloseProgram());
    EXPECT_EQ(0u, Pinholes());
}

TEST_F(Ipv6PinholeTest, DeletingOneOfTwoRowsThatShareALocalPortKeepsTheirPinhole)
{
    StartMapping({ kThisHost, "TCP|8080|18081|198.18.0.2|" }, "30");
    ASSERT_TRUE(WaitUntil([&] { return Pinholes() == 1; }, 15000));
    std::vector<std::string> rows = ListRows();
    size_t second = rows.at(0).find("18081") != std::string::npos ? 0 : 1;
    m_driver.Call("select 1002 " + std::to_string(second));
    m_driver.Command(32782);  // delete
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 1; }, 10000));
    EXPECT_EQ(1u, Pinholes());
    EXPECT_TRUE(ConnectOverIpv6(8080));
}

TEST_F(Ipv6PinholeTest, PinholeOpenedBeforeTheRouterWasLostIsClosedByStopWhenItsFirewallIsNotFoundAgain)
{
    StartMapping({ kThisHost }, "2");
    ASSERT_TRUE(WaitUntil([&] { return Pinholes() == 1; }, 15000));
    {
        // The router hangs for a moment: a run's request goes unanswered.
        RouterDrop hang("gwhang", "iifname gw-r-lan");
        ASSERT_TRUE(WaitForLogMessage("与路由器的连接已中断，正在重新搜索支持设备...", 20000));
    }
    // Found again over IPv4, while no IPv6 search can find its firewall.
    RouterDrop search("gwsearch6", "meta nfproto ipv6 udp dport 1900");
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), "完成搜索支持设备.") == 2; }, 30000));
    m_driver.Click(kStop);
    ASSERT_TRUE(WaitForLogMessage("成功停止列表中的所有映射!", 15000));
    EXPECT_TRUE(WaitUntil([&] { return Pinholes() == 0; }, 5000)) << "what the program opened stays known";
}

TEST_F(Ipv6PinholeTest, BehindCarrierNatTheLogSaysOnceThatIpv6ReachesThisMachine)
{
    Router::Run("cgnat on");
    struct CgnatOff {
        ~CgnatOff() { Router::Run("cgnat off"); }
    } cgnatOff;
    SeedRows({ kThisHost });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    const std::string reachable = "可以经IPv6从互联网访问本机: [2001:db8:1::2]";
    EXPECT_TRUE(WaitForLogMessage(reachable, 15000));
    int refreshes = Router::Requests("UpdatePinhole");
    EXPECT_TRUE(WaitUntil([&] { return Router::Requests("UpdatePinhole") >= refreshes + 2; }, 15000));
    EXPECT_EQ(1u, CountStarting(LogMessages(), reachable));
    EXPECT_TRUE(ConnectOverIpv6(8080));
}

TEST_F(Ipv6PinholeTest, WithoutAnIpv6RouterNothingIsSaidAndTheCopyChangesNothing)
{
    Router::Run("ipv6 off");
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-clipboard unchanged");
    m_driver.Command(kCopyIpv6Command);
    EXPECT_EQ("Gatewright|还没有获取到IPv6地址!", m_driver.MessageBox(5000));
    m_driver.Press(1);
    EXPECT_EQ("unchanged", m_driver.Call("clipboard"));
    EXPECT_EQ(0u, CountStarting(LogMessages(), "本机IPv6地址"));
}

}
