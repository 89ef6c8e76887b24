// The refresh timer and Stop against the demo router.
#include "Harness.h"
#include <algorithm>

namespace {

const int kList = 1002, kLanAddress = 1003, kGatewayAddress = 1004, kStart = 1005, kInterval = 1007,
          kStop = 1008, kExternalAddress = 1009, kAutostart = 1021;

const char* kStopped = "成功停止列表中的所有映射!";

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class RefreshStopTest : public AppTest {
protected:
    void TearDown() override
    {
        AppTest::TearDown();
        Router::Run("igd1 off");
        Router::Run("port 5000");
    }

    bool WaitForMappings(const std::vector<std::string>& expected, int timeoutMs)
    {
        return WaitUntil([&] { return Router::Mappings() == expected; }, timeoutMs, 250);
    }
};

const std::vector<std::string> kTwoRows = { "TCP|8080|18080|198.18.0.2|", "UDP|8081|18081|198.18.0.2|" };
const std::vector<std::string> kTwoMapped = { "TCP 18080 198.18.0.2:8080 Gatewright",
                                              "UDP 18081 198.18.0.2:8081 Gatewright" };

TEST_F(RefreshStopTest, RefreshRestoresAMappingTheRouterDropped)
{
    StartMapping(kTwoRows, "2");
    int adds = Router::Requests("AddPortMapping");
    Router::Run("exec lan upnpc -d 18080 TCP");
    EXPECT_TRUE(WaitUntil([&] { return Router::Requests("AddPortMapping") > adds; }, 15000));
    EXPECT_TRUE(WaitForMappings(kTwoMapped, 15000));
}

TEST_F(RefreshStopTest, EveryMappingIsBackWithinOneIntervalAfterTheRouterRestarts)
{
    StartMapping(kTwoRows, "3");
    Router::Run("restart");
    EXPECT_TRUE(WaitForMappings(kTwoMapped, 3000 + 4000));
    EXPECT_EQ(Router::Variable("EXT_IP"), m_driver.Address(kExternalAddress));
}

TEST_F(RefreshStopTest, StopRemovesExactlyTheListedMappingsAndLeavesAnotherHostsAlone)
{
    Router::Run("exec lan upnpc -a 198.18.0.3 9000 18095 TCP");
    Router::Run("exec lan upnpc -a 198.18.0.3 9001 18097 TCP");
    SeedRows({ "TCP|8095|18095|198.18.0.2|held elsewhere", "TCP|8096|18096|198.18.0.2|ours" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogMessage("外网端口 18095 协议 TCP 已被 198.18.0.3:9000 占用，此映射未生效。", 20000));
    ASSERT_EQ(3u, Router::Mappings().size());
    size_t before = LogMessages().size();
    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return Contains(LogMessages(), kStopped); }, 15000));

    EXPECT_EQ((std::vector<std::string>{ "TCP 18095 198.18.0.3:9000 libminiupnpc", "TCP 18097 198.18.0.3:9001 libminiupnpc" }),
              Router::Mappings());
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ((std::vector<std::string>{ "外网端口 18095 协议 TCP 的映射属于其他主机 198.18.0.3:9000，未删除。\n", kStopped }),
              std::vector<std::string>(lines.begin() + before, lines.end()));
    for (int id : { kStart, kList, kGatewayAddress, kLanAddress, kExternalAddress, kInterval, kAutostart, kStop })
        EXPECT_TRUE(m_driver.Enabled(id)) << id;
}

TEST_F(RefreshStopTest, StopThatCannotReachTheRouterReportsFailuresNotSuccess)
{
    StartMapping(kTwoRows, "30");
    Router::Run("stop");
    size_t before = LogMessages().size();
    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= before + 3; }, 30000));
    EXPECT_FALSE(WaitUntil([&] { return Contains(LogMessages(), kStopped); }, 1000));
    std::vector<std::string> lines = LogMessages();
    int failures = 0;
    for (size_t i = before; i < lines.size(); ++i)
        failures += lines[i].find("停止映射失败: 外网端口 1808") == 0;
    EXPECT_EQ(2, failures) << "each row that stayed on the router is named";
    EXPECT_TRUE(Contains(lines, "与路由器的连接已中断，正在重新搜索支持设备..."));
    EXPECT_TRUE(m_driver.Enabled(kInterval)) << "the settings are unlocked";
    EXPECT_FALSE(m_driver.Enabled(kStart)) << "no Start without a router";
}

TEST_F(RefreshStopTest, ClosingWhileMappingRemovesTheMappings)
{
    StartMapping(kTwoRows, "30");
    ASSERT_TRUE(CloseProgram());
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_EQ(kStopped, LogMessages().back());
}

TEST_F(RefreshStopTest, StartAfterStopUsesTheIntervalThenInTheEdit)
{
    StartMapping(kTwoRows, "60");
    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().empty() && m_driver.Enabled(kStart); }, 15000));
    m_driver.Call("set-text 1007 2");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForMappings(kTwoMapped, 15000));
    Router::Run("exec lan upnpc -d 18081 UDP");
    EXPECT_TRUE(WaitForMappings(kTwoMapped, 15000)) << "the refresh comes every 2 seconds now";
}

TEST_F(RefreshStopTest, ClosingWithoutGatewaySendsNothingAndSaysSo)
{
    Router::Run("stop");
    SeedRows(kTwoRows);
    Launch();
    ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= 2; }, 30000));
    ASSERT_TRUE(CloseProgram());
    EXPECT_EQ("没有发现网关，列表中的映射未被删除。", LogMessages().back());
    EXPECT_FALSE(Contains(LogMessages(), kStopped));
    Router::Run("start");
}

}

namespace {

const char* kMapList = "Software\\Gatewright\\Gatewright\\MapList";

TEST_F(RefreshStopTest, RowDeletedWhileMappingLeavesTheRouterAndOthersStay)
{
    Router::Run("exec lan upnpc -a 198.18.0.3 9002 18082 TCP");
    SeedRows({ "TCP|8080|18080|198.18.0.2|", "UDP|8081|18081|198.18.0.2|", "TCP|8082|18082|198.18.0.2|held" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogMessage("外网端口 18082 协议 TCP 已被 198.18.0.3:9002 占用，此映射未生效。", 20000));
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 3; }, 20000));
    // The router holds a mapping a moment before the program logs it.
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), "映射成功") == 2; }, 5000));
    size_t before = LogMessages().size();
    // Every row but the UDP one.
    std::string selection = "select 1002";
    std::vector<std::string> rows = ListRows();
    for (size_t row = 0; row < rows.size(); ++row) {
        if (rows[row].find("\t18081\t") == std::string::npos)
            selection += " " + std::to_string(row);
    }
    m_driver.Call(selection);
    m_driver.Command(32782);
    ASSERT_TRUE(WaitUntil([&] {
        return Router::Mappings() == std::vector<std::string>{ "TCP 18082 198.18.0.3:9002 libminiupnpc",
                                                               "UDP 18081 198.18.0.2:8081 Gatewright" };
    }, 15000)) << "the deleted row's mapping is gone, another host's stays";
    ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() > before; }, 5000));
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ((std::vector<std::string>{ "外网端口 18082 协议 TCP 的映射属于其他主机 198.18.0.3:9002，未删除。\n" }),
              std::vector<std::string>(lines.begin() + before, lines.end()));
}

TEST_F(RefreshStopTest, EndingTheSessionStopsAndSavesBeforeTheProcessIsKilled)
{
    SeedRows(kTwoRows);
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 7");
    m_driver.Call("select 1002 0");
    m_driver.Command(32782);
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForMappings({ "TCP 18080 198.18.0.2:8080 Gatewright" }, 15000));

    EXPECT_EQ(1, m_driver.Send(0x0011 /* WM_QUERYENDSESSION */));
    m_driver.Send(0x0016 /* WM_ENDSESSION */, 1, 0);
    m_driver.Call("kill");
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_EQ("dword 1", m_driver.Call(std::string("reg-get ") + kMapList + " ListCount"));
    EXPECT_EQ("sz TCP|8080|18080|198.18.0.2|", m_driver.Call(std::string("reg-get ") + kMapList + " 0"));
    EXPECT_EQ("dword 7", m_driver.Call("reg-get Software\\Gatewright\\Gatewright\\Settings timer"));
}

}

namespace {

TEST_F(RefreshStopTest, ThisHostsMappingToAnotherPortIsHeldAndStopAndTheCloseLeaveIt)
{
    Router::Run("exec lan upnpc -a 198.18.0.2 9090 18090 TCP");
    const std::vector<std::string> game = { "TCP 18090 198.18.0.2:9090 libminiupnpc" };
    const std::string notOurs = "外网端口 18090 协议 TCP 的映射属于其他主机 198.18.0.2:9090，未删除。\n";
    SeedRows({ "TCP|8090|18090|198.18.0.2|web" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogMessage("外网端口 18090 协议 TCP 已被 198.18.0.2:9090 占用，此映射未生效。", 20000));
    EXPECT_EQ("3", m_driver.Call("image 1002 0")) << "held";

    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return Contains(LogMessages(), kStopped); }, 15000));
    EXPECT_TRUE(Contains(LogMessages(), notOurs));
    EXPECT_EQ(game, Router::Mappings());

    ASSERT_TRUE(WaitUntil([&] { return m_driver.Enabled(kStart); }, 5000));
    m_driver.Click(kStart);
    ASSERT_TRUE(CloseProgram());
    EXPECT_EQ(2u, CountStarting(LogMessages(), notOurs));
    EXPECT_EQ(game, Router::Mappings());
}

}

namespace {

// Requests of every kind the router's log shows.
int AllRequests()
{
    return Router::Requests("");
}

TEST_F(RefreshStopTest, RefreshOfTenPresentRowsAsksAnIgd2RouterForItsTableOnce)
{
    std::vector<std::string> rows;
    for (int i = 0; i < 10; ++i)
        rows.push_back("TCP|" + std::to_string(8100 + i) + "|" + std::to_string(18100 + i) + "|198.18.0.2|");
    StartMapping(rows, "1");
    int tables = Router::Requests("GetListOfPortMappings");
    int lookups = Router::Requests("GetSpecificPortMappingEntry");
    int all = AllRequests();
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetListOfPortMappings") >= tables + 3; }, 15000));
    int refreshes = Router::Requests("GetListOfPortMappings") - tables;
    EXPECT_LE(AllRequests() - all, 3 * refreshes + 1) << "the table and the external address, nothing per row";
    EXPECT_EQ(lookups, Router::Requests("GetSpecificPortMappingEntry"));
}

TEST_F(RefreshStopTest, Igd1RouterIsAskedRowByRowAsBefore)
{
    Router::Run("igd1 on");
    StartMapping(kTwoRows, "1");
    int lookups = Router::Requests("GetSpecificPortMappingEntry");
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetSpecificPortMappingEntry") >= lookups + 4; }, 15000));
    EXPECT_EQ(0, Router::Requests("GetListOfPortMappings"));
    Router::Run("exec lan upnpc -d 18080 TCP");
    EXPECT_TRUE(WaitForMappings(kTwoMapped, 10000));
}

}
