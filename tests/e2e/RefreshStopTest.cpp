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
        Router::Run("port 5000");
    }

    // Starts with the rows seeded, the interval set and Start pressed; waits for the first run.
    void StartMapping(const std::vector<std::string>& records, const std::string& interval)
    {
        SeedRows(records);
        Launch();
        ASSERT_TRUE(WaitForGateway());
        m_driver.Call("set-text 1007 " + interval);
        m_driver.Click(kStart);
        // The run has ended when its last line is in the log.
        ASSERT_TRUE(WaitUntil([&] {
            std::vector<std::string> lines = LogMessages();
            return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                       return line.find("映射成功") == 0;
                   })) >= records.size();
        }, 20000));
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

TEST_F(RefreshStopTest, RouterOnAnotherPortGivesFailureLinesAtEveryRefreshAndAnEmptyExternalAddress)
{
    StartMapping(kTwoRows, "1");
    size_t before = LogMessages().size();
    Router::Run("port 5001");
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Address(kExternalAddress).empty(); }, 15000));
    ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= before + 4; }, 15000));

    std::vector<std::string> lines = LogMessages();
    int failures = 0;
    for (size_t i = before; i < lines.size(); ++i) {
        EXPECT_EQ(0u, lines[i].find("AddPortMapping(1808")) << lines[i];
        EXPECT_NE(std::string::npos, lines[i].find(") 失败,错误代码 -")) << lines[i];
        ++failures;
    }
    EXPECT_GE(failures, 4) << "two rows, at least two refreshes";
}

TEST_F(RefreshStopTest, StopRemovesExactlyTheListedMappingsAndLeavesAnotherHostsAlone)
{
    Router::Run("exec lan upnpc -a 198.18.0.3 9000 18095 TCP");
    Router::Run("exec lan upnpc -a 198.18.0.3 9001 18097 TCP");
    SeedRows({ "TCP|8095|18095|198.18.0.2|held elsewhere", "TCP|8096|18096|198.18.0.2|ours" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 3; }, 20000));
    size_t before = LogMessages().size();
    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return Contains(LogMessages(), kStopped); }, 15000));

    EXPECT_EQ((std::vector<std::string>{ "TCP 18095 198.18.0.3:9000 libminiupnpc", "TCP 18097 198.18.0.3:9001 libminiupnpc" }),
              Router::Mappings());
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ((std::vector<std::string>{ "外网端口 18095 协议 TCP 的映射属于其他主机 198.18.0.3，未删除。\n", kStopped }),
              std::vector<std::string>(lines.begin() + before, lines.end()));
    for (int id : { kStart, kList, kGatewayAddress, kLanAddress, kExternalAddress, kInterval, kAutostart, kStop })
        EXPECT_TRUE(m_driver.Enabled(id)) << id;
}

TEST_F(RefreshStopTest, StopThatCannotReachTheRouterReportsFailuresNotSuccess)
{
    StartMapping(kTwoRows, "30");
    Router::Run("port 5001");
    size_t before = LogMessages().size();
    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return LogMessages().size() >= before + 2; }, 30000));
    EXPECT_FALSE(WaitUntil([&] { return Contains(LogMessages(), kStopped); }, 1000));
    std::vector<std::string> lines = LogMessages();
    for (size_t i = before; i < lines.size(); ++i)
        EXPECT_EQ(0u, lines[i].find("停止映射失败: 外网端口 1808")) << lines[i];
    EXPECT_TRUE(m_driver.Enabled(kStart));
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
