// Start and the mapping run against the demo router.
#include "Harness.h"
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <memory>
#include <sstream>

namespace {

const int kList = 1002, kLanAddress = 1003, kGatewayAddress = 1004, kStart = 1005, kInterval = 1007,
          kStop = 1008, kExternalAddress = 1009, kAutostart = 1021;
const char* kAdded = "映射成功，请设置防火墙规则！";

// Cells of a row as the driver reports them.
std::vector<std::string> Cells(const std::string& row)
{
    std::vector<std::string> cells;
    std::istringstream in(row);
    std::string cell;
    while (std::getline(in, cell, '\t'))
        cells.push_back(cell);
    cells.resize(5);
    return cells;
}

std::string SuccessLine(const std::string& row)
{
    std::vector<std::string> c = Cells(row);
    return std::string(kAdded) + " 外网IP:端口 = " + Router::Variable("EXT_IP") + ":" + c[2] + " 协议:" + c[0]
        + " 内网IP:端口 " + c[3] + ":" + c[1] + "\n";
}

class MappingRunTest : public AppTest {
protected:
    void TearDown() override
    {
        AppTest::TearDown();
        Router::Run("allow-all");
    }

    // Starts with the rows seeded and the gateway found; returns the log's length then.
    size_t LaunchReady(const std::vector<std::string>& records)
    {
        SeedRows(records);
        Launch();
        EXPECT_TRUE(WaitForGateway());
        return LogMessages().size();
    }

    std::vector<std::string> LogSince(size_t first)
    {
        std::vector<std::string> all = LogMessages();
        return std::vector<std::string>(all.begin() + std::min(first, all.size()), all.end());
    }

    bool WaitForLogLines(size_t first, size_t count, int timeoutMs = 30000)
    {
        return WaitUntil([&] { return LogSince(first).size() >= count; }, timeoutMs);
    }
};

TEST_F(MappingRunTest, StartLocksTheControlsMapsEveryRowAndTrafficReachesTheLanHost)
{
    // Served rows: the log has the router's lines only.
    auto web = std::make_unique<LanListener>(8080);
    LanListener dns(5353, true), other(8081);
    size_t first = LaunchReady({ "TCP|8080|18080|198.18.0.2|web", "UDP|5353|15353|198.18.0.2|",
                                 "TCP|8081|18081|198.18.0.2|" });
    int lookups = Router::Requests("GetSpecificPortMappingEntry");
    int tables = Router::Requests("GetListOfPortMappings");
    int adds = Router::Requests("AddPortMapping");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogLines(first, 3));

    for (int id : { kStart, kList, kGatewayAddress, kLanAddress, kExternalAddress, kInterval, kAutostart })
        EXPECT_FALSE(m_driver.Enabled(id)) << id;
    EXPECT_TRUE(m_driver.Enabled(kStop));

    std::vector<std::string> expected;
    for (const std::string& row : ListRows())
        expected.push_back(SuccessLine(row));
    EXPECT_EQ(expected, LogSince(first));
    EXPECT_EQ((std::vector<std::string>{ "TCP 18080 198.18.0.2:8080 Gatewright", "TCP 18081 198.18.0.2:8081 Gatewright",
                                         "UDP 15353 198.18.0.2:5353 Gatewright" }),
              Router::Mappings());
    // This IGDv2 router lists its table: one read for each protocol, no lookup per row.
    EXPECT_EQ(0, Router::Requests("GetSpecificPortMappingEntry") - lookups);
    EXPECT_EQ(2, Router::Requests("GetListOfPortMappings") - tables);
    EXPECT_EQ(3, Router::Requests("AddPortMapping") - adds);
    // The connection's own listener takes the port.
    web.reset();
    EXPECT_TRUE(ConnectThroughRouter(18080, 8080));
}

TEST_F(MappingRunTest, RefusedRowLogsItsFailureInRowOrderAndTheRunGoesOn)
{
    Router::Run("deny 18091");
    LanListener served8090(8090), served8091(8091), served8092(8092);
    size_t first = LaunchReady({ "TCP|8090|18090|198.18.0.2|", "TCP|8091|18091|198.18.0.2|",
                                 "TCP|8092|18092|198.18.0.2|" });
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogLines(first, 3));

    std::vector<std::string> expected;
    for (const std::string& row : ListRows()) {
        expected.push_back(Cells(row)[2] == "18091"
                               ? "AddPortMapping(18091, 8091, 198.18.0.2) 失败,错误代码 606 (Action not authorized)\n"
                               : SuccessLine(row));
    }
    EXPECT_EQ(expected, LogSince(first));
    ASSERT_EQ(3u, expected.size());
    EXPECT_EQ(expected[1], "AddPortMapping(18091, 8091, 198.18.0.2) 失败,错误代码 606 (Action not authorized)\n")
        << "the refused row is the middle one";
    EXPECT_EQ(2u, Router::Mappings().size());
}

TEST_F(MappingRunTest, RunWithEverythingPresentLogsNothingAndOnlyReadsTheTable)
{
    Router::Run("exec lan upnpc -a 198.18.0.2 8080 18080 TCP");
    Router::Run("exec lan upnpc -a 198.18.0.2 8081 18081 UDP");
    LanListener tcp(8080), udp(8081, true);
    size_t first = LaunchReady({ "TCP|8080|18080|198.18.0.2|", "UDP|8081|18081|198.18.0.2|" });
    std::string status = m_driver.Text(1013);
    int tables = Router::Requests("GetListOfPortMappings");
    int adds = Router::Requests("AddPortMapping");
    m_driver.Click(kStart);

    // One read for each protocol.
    EXPECT_TRUE(WaitUntil([&] { return Router::Requests("GetListOfPortMappings") - tables == 2; }, 20000));
    EXPECT_TRUE(WaitUntil([&] { return !m_driver.Enabled(kStart); }, 5000));
    EXPECT_EQ(0, Router::Requests("AddPortMapping") - adds);
    EXPECT_TRUE(LogSince(first).empty());
    EXPECT_EQ(status, m_driver.Text(1013));
}

TEST_F(MappingRunTest, StartWithAnEmptyListOnlyLogsTheHint)
{
    size_t first = LaunchReady({});
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogLines(first, 1));
    EXPECT_EQ(std::vector<std::string>{ "提示: 请在[端口映射列表]中添加端口映射,在列表中右键或者选中菜单进行操作!" },
              LogSince(first));
    EXPECT_TRUE(m_driver.Enabled(kStart));
    EXPECT_TRUE(m_driver.Enabled(kInterval));
}

TEST_F(MappingRunTest, StartWithABadIntervalLogsItsErrorAndChangesNothing)
{
    size_t first = LaunchReady({ "TCP|8080|18080|198.18.0.2|" });
    int adds = Router::Requests("AddPortMapping");
    m_driver.Call("set-text 1007 ");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogLines(first, 1));
    m_driver.Call("set-text 1007 0");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitForLogLines(first, 2));

    EXPECT_EQ((std::vector<std::string>{ "错误: 初始化设置项里的间隔时间出错!",
                                         "错误: 设置项里的间隔时间不能小于1秒,端口映射失败!" }),
              LogSince(first));
    for (int id : { kStart, kList, kGatewayAddress, kLanAddress, kExternalAddress, kInterval, kAutostart })
        EXPECT_TRUE(m_driver.Enabled(id)) << id;
    EXPECT_EQ(0, Router::Requests("AddPortMapping") - adds);
    EXPECT_TRUE(Router::Mappings().empty());
}

// Anyone who can write beside a portable copy can make its logs folder a
// link to anywhere: the elevated program writes nothing through it.
TEST_F(MappingRunTest, CopyWhoseLogsFolderIsALinkWritesNothingThroughItAndStillMaps)
{
    std::string elsewhere = m_folder + "/elsewhere", logs = m_folder + "/logs";
    ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0755));
    ASSERT_EQ(0, symlink(elsewhere.c_str(), logs.c_str()));
    struct stat link;
    ASSERT_TRUE(lstat(logs.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) << "the link is there";
    SeedRows({ "TCP|8080|18080|198.18.0.2|" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text " + std::to_string(kInterval) + " 600");
    m_driver.Click(kStart);
    EXPECT_TRUE(WaitUntil([] { return Router::Mappings().size() == 1; }, 20000));
    DIR* folder = opendir(elsewhere.c_str());
    ASSERT_NE(nullptr, folder);
    int entries = 0;
    while (dirent* entry = readdir(folder))
        entries += entry->d_name[0] != '.';
    closedir(folder);
    EXPECT_EQ(0, entries) << "a file was written through the link";
}

}
