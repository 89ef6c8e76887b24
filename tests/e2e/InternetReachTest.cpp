// What the internet can reach: leases that end without this machine, and a
// router without a public address said plainly.
#include "Harness.h"
#include <cstdlib>
#include <map>

namespace {

const int kStart = 1005, kStop = 1008;
const std::vector<std::string> kTwoRows = { "TCP|8080|18080|198.18.0.2|", "UDP|8081|18081|198.18.0.2|" };

class InternetReachTest : public AppTest {
protected:
    void TearDown() override
    {
        AppTest::TearDown();
        Router::Run("cgnat off");
    }

    // Seconds of lease left, keyed by "PROTO EXTPORT", from the router's own table.
    static std::map<std::string, long> LeasesLeft()
    {
        std::map<std::string, long> leases;
        std::string text = RunShell("bash '" + TestEnvironment::Get().router + "' leases");
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            std::string key = line.substr(0, line.find(' ', line.find(' ') + 1));
            leases[key] = std::atol(line.substr(line.rfind(' ') + 1).c_str());
        }
        return leases;
    }

    // Waits until so many more refreshes have gone by: each ends with the external address.
    void WaitForRefreshes(int more)
    {
        int refreshes = Router::Requests("GetExternalIPAddress");
        ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetExternalIPAddress") >= refreshes + more; }, 20000));
    }
};

TEST_F(InternetReachTest, MappingsHaveAnHoursLeaseAndARefreshRenewsOneThatRunsLowWithoutALine)
{
    StartMapping(kTwoRows, "2");
    std::map<std::string, long> leases = LeasesLeft();
    ASSERT_EQ(2u, leases.size());
    for (const auto& lease : leases) {
        EXPECT_GT(lease.second, 0) << lease.first;
        EXPECT_LE(lease.second, 3600) << lease.first;
    }
    size_t added = CountStarting(LogMessages(), "映射成功");
    // The same host takes the mapping over with half a minute's lease.
    Router::Run("exec lan upnpc -e other -a 198.18.0.2 8080 18080 TCP 30");
    ASSERT_LE(LeasesLeft()["TCP 18080"], 30);
    EXPECT_TRUE(WaitUntil([&] { return LeasesLeft()["TCP 18080"] > 3500; }, 2 * 2000 + 2000, 250))
        << "renewed within two intervals";
    EXPECT_EQ(added, CountStarting(LogMessages(), "映射成功")) << "a renewal is not a new mapping";
}

TEST_F(InternetReachTest, RouterWithoutAPublicAddressIsToldOnceAndItsRefusalsOncePerStart)
{
    const std::string empty = "路由器没有公网IP：路由器之上还有一层NAT或尚未联网，互联网无法经这些映射访问本机。";
    const std::string refused = "AddPortMapping(18080, 8080, 198.18.0.2) 失败,错误代码 501";
    Router::Run("cgnat on");
    SeedRows(kTwoRows);
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    WaitForRefreshes(4);
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, empty)) << "told once over several refreshes";
    EXPECT_EQ(1u, CountStarting(lines, refused)) << "a refusal is told once per Start";
    EXPECT_EQ("2", m_driver.Call("image 1002 0"));
    EXPECT_EQ("2", m_driver.Call("image 1002 1"));

    m_driver.Click(kStop);
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Enabled(kStart); }, 10000));
    m_driver.Click(kStart);
    WaitForRefreshes(2);
    EXPECT_EQ(2u, CountStarting(LogMessages(), refused)) << "and again at the next Start";

    Router::Run("cgnat off");
    const std::string publicAgain = "外网IP " + Router::Variable("EXT_IP") + " 是公网地址，互联网可以经这些映射访问本机。";
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 2; }, 20000, 250));
    EXPECT_TRUE(WaitForLogMessage(publicAgain, 10000));
    WaitForRefreshes(2);
    EXPECT_EQ(1u, CountStarting(LogMessages(), publicAgain));
    EXPECT_EQ(1u, CountStarting(LogMessages(), empty));
}

}
