// A router without UPnP that speaks PCP: the list is mapped all the same.
#include "Harness.h"

namespace {

const int kStart = 1005, kStop = 1008;
const std::string kThisHost = "TCP|8080|18080|198.18.0.2|";
const std::string kOtherHost = "UDP|8082|18082|198.18.0.5|";

class PortControlTest : public RoleTest {
protected:
    PortControlTest() : RoleTest("pcp") {}

    // Waits until the router has had so many more PCP requests.
    static void WaitForRequests(int more)
    {
        int requests = Router::PcpRequests();
        ASSERT_TRUE(WaitUntil([&] { return Router::PcpRequests() >= requests + more; }, 20000));
    }
};

TEST_F(PortControlTest, FoundByPcpMapsThisHostsRowAcrossTheRouterAndTellsOtherHostsRowOnce)
{
    SeedRows({ kThisHost, kOtherHost });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    const std::string external = Router::Variable("EXT_IP");
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, "发现支持PCP的路由器 : 198.18.0.1"));
    EXPECT_EQ(1u, CountStarting(lines, "获取的外网IP是: " + external));
    EXPECT_EQ(0u, CountStarting(lines, "没有发现可支持的UPNP映射设备"));
    EXPECT_EQ("198.18.0.2", m_driver.Address(1003));
    EXPECT_EQ("198.18.0.1", m_driver.Address(1004));
    EXPECT_EQ(external, m_driver.Address(1009));
    EXPECT_FALSE(ConnectThroughRouter(18080, 8080)) << "closed before Start";

    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    const std::string mapped = "映射成功，请设置防火墙规则！ 外网IP:端口 = " + external + ":18080 协议:TCP";
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), mapped) == 1; }, 10000));
    EXPECT_TRUE(ConnectThroughRouter(18080, 8080));
    // Each refresh sends one MAP per row: three more runs.
    WaitForRequests(6);
    lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, "映射成功")) << "a renewal is not a new mapping";
    EXPECT_EQ(1u, CountStarting(lines, "路由器只允许为本机映射：内网IP 198.18.0.5 不是本机，此映射未生效。"));
    std::vector<std::string> rows = ListRows();
    ASSERT_EQ(2u, rows.size());
    size_t other = rows[0].find("198.18.0.5") == std::string::npos ? 1 : 0;
    EXPECT_EQ("1", m_driver.Call("image 1002 " + std::to_string(1 - other))) << "this host's row is live";
    EXPECT_EQ("2", m_driver.Call("image 1002 " + std::to_string(other))) << "the other host's row failed";
    std::vector<std::string> mappings = Router::Mappings();
    ASSERT_EQ(1u, mappings.size());
    EXPECT_EQ(0u, mappings[0].find("TCP 18080 198.18.0.2:8080 "));

    m_driver.Click(kStop);
    EXPECT_TRUE(WaitForLogMessage("成功停止列表中的所有映射!", 10000));
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_FALSE(ConnectThroughRouter(18080, 8080)) << "closed after Stop";
}

TEST_F(PortControlTest, RouterRestartedWithAnEmptyTableGetsTheRowsBackAndTheCloseRemovesThem)
{
    StartMapping({ kThisHost, "UDP|8081|18081|198.18.0.2|" }, "2");
    ASSERT_EQ(2u, Router::Mappings().size());
    Router::Run("restart");
    // Its epoch starts again: the router is taken as found anew, and the rows as new.
    EXPECT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), "映射成功") == 4; }, 20000));
    EXPECT_EQ(2u, Router::Mappings().size());
    EXPECT_TRUE(ConnectThroughRouter(18080, 8080));

    ASSERT_TRUE(CloseProgram());
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_EQ(1u, CountStarting(LogMessages(), "成功停止列表中的所有映射!"));
}

}
