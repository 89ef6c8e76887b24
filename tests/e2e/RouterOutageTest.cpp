// The gateway worker against a router that appears late, moves, hangs or holds
// a port for another host: the window keeps answering and the list comes back.
#include "Harness.h"
#include <algorithm>
#include <chrono>
#include <map>

namespace {

const int kStart = 1005;
const char* kLost = "与路由器的连接已中断，正在重新搜索支持设备...";
const char* kNoRouter = "没有发现可支持的UPNP映射设备，如果在路由器里被禁用了，请启用UPNP或者尝试重启路由器。"
                        "如若路由不支持请手工映射。";
const std::vector<std::string> kTwoRows = { "TCP|8080|18080|198.18.0.2|", "UDP|8081|18081|198.18.0.2|" };
const std::vector<std::string> kTwoMapped = { "TCP 18080 198.18.0.2:8080 Gatewright",
                                              "UDP 18081 198.18.0.2:8081 Gatewright" };

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class RouterOutageTest : public AppTest {
protected:
    void TearDown() override
    {
        AppTest::TearDown();
        Answer();
        Router::Run("allow-all");
        Router::Run("port 5000");
    }

    // Each row's state image, keyed by its external port.
    std::map<std::string, std::string> RowStates()
    {
        std::map<std::string, std::string> states;
        std::vector<std::string> rows = ListRows();
        for (size_t row = 0; row < rows.size(); ++row) {
            size_t port = rows[row].find('\t', rows[row].find('\t') + 1) + 1;
            states[rows[row].substr(port, rows[row].find('\t', port) - port)] =
                m_driver.Call("image 1002 " + std::to_string(row));
        }
        return states;
    }

    // The router drops every packet from the LAN, as a hung router does.
    static void Hang()
    {
        Router::Run("exec router nft add table inet gwhang");
        Router::Run("exec router nft \"add chain inet gwhang input { type filter hook input priority -50 ; }\"");
        Router::Run("exec router nft add rule inet gwhang input iifname gw-r-lan drop");
    }
    // The router's UPnP service stops answering while its system still takes connections.
    static void Freeze() { Router::Run("exec router pkill -STOP -x miniupnpd"); }
    static void Answer()
    {
        const std::string router = "bash " + TestEnvironment::Get().router;
        RunShell(router + " exec router pkill -CONT -x miniupnpd 2>/dev/null");
        RunShell(router + " exec router nft delete table inet gwhang 2>/dev/null");
    }

    // While the router does not answer, the window does, the log has one
    // line for it, and a close ends in time, naming what stayed.
    void CheckSilentRouter(void (*silence)())
    {
        // Served, so that this machine's side adds no line of its own after the run.
        LanListener tcp(8080), udp(8081, true);
        StartMapping(kTwoRows, "1");
        size_t before = LogMessages().size();
        silence();
        long long silenced = NowMs();
        long long worst = WorstAnswerMs([&] { return LogMessages().size() > before; }, 20000);
        std::vector<std::string> lines = LogMessages();
        ASSERT_EQ(std::vector<std::string>{ kLost }, std::vector<std::string>(lines.begin() + before, lines.end()));
        EXPECT_LT(NowMs() - silenced, 1000 + 3000 + 2000) << "a refresh gives up on the router within 3 s";
        // Searches and refreshes go on against the silent router for a while.
        worst = std::max(worst, WorstAnswerMs([] { return false; }, 8000));
        EXPECT_LT(worst, 2000) << "the window answered late";
        EXPECT_EQ(before + 1, LogMessages().size()) << "no line per row per interval while the router is lost";

        // The notification-area menu still opens; Escape closes it again.
        m_driver.Post(1125, 131, 0x0205);  // the icon's WM_RBUTTONUP
        EXPECT_TRUE(m_driver.TryCall("menu 5000")) << "no icon menu";
        m_driver.Call("menu-key 27");

        long long closing = NowMs();
        ASSERT_TRUE(CloseProgram());
        EXPECT_LT(NowMs() - closing, 6500) << "the close ends within 5 s";
        EXPECT_EQ(2u, CountStarting(LogMessages(), "停止映射失败: 外网端口 1808")) << "the log names what stayed";
    }

    // The window's slowest answer, in milliseconds, over a while of asking it
    // for a control's text: a window that waits on the network answers late.
    long long WorstAnswerMs(const std::function<bool()>& until, int timeoutMs)
    {
        long long worst = 0;
        long long end = NowMs() + timeoutMs;
        while (NowMs() < end && !until()) {
            long long asked = NowMs();
            m_driver.Text(kStart);
            worst = std::max(worst, NowMs() - asked);
            WaitUntil([] { return false; }, 100);
        }
        return worst;
    }
};

TEST_F(RouterOutageTest, RouterThatAppearsLateIsFoundAndTheAutostartMapsAndHides)
{
    Router::Run("stop");
    SeedRows(kTwoRows);
    m_driver.Call("reg-sz Software\\Microsoft\\Windows\\CurrentVersion\\Run Gatewright x");
    Launch();
    ASSERT_TRUE(WaitForLogMessage(kNoRouter, 30000));
    // Several searches go by without a router; the window answers throughout.
    EXPECT_LT(WorstAnswerMs([] { return false; }, 8000), 2000);
    EXPECT_TRUE(m_driver.Call("visible") == "1") << "hidden only once the router has been found";
    Router::Run("start");
    long long started = NowMs();
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings() == kTwoMapped; }, 20000));
    EXPECT_LT(NowMs() - started, 10000) << "the list is on the router within 10 s of its start";
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Call("visible") == "0"; }, 5000));
    EXPECT_EQ(1u, CountStarting(LogMessages(), kNoRouter)) << "the failed search is told once";
    EXPECT_EQ(0u, CountStarting(LogMessages(), kLost));
}

TEST_F(RouterOutageTest, RouterOnAnotherPortIsFoundAgainAndGetsTheListBackWithoutFailureLines)
{
    StartMapping(kTwoRows, "2");
    size_t before = LogMessages().size();
    Router::Run("port 5001");
    long long moved = NowMs();
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings() == kTwoMapped; }, 20000));
    EXPECT_LT(NowMs() - moved, 10000) << "the list is back within 10 s";
    // The router holds a mapping a moment before the program logs it.
    auto linesSince = [&] {
        std::vector<std::string> lines = LogMessages();
        lines.erase(lines.begin(), lines.begin() + before);
        return lines;
    };
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(linesSince(), "映射成功") == 2; }, 5000));
    std::vector<std::string> lines = linesSince();
    EXPECT_EQ(1u, CountStarting(lines, kLost));
    EXPECT_EQ(1u, CountStarting(lines, "发现有效的IGD : http://198.18.0.1:5001/")) << "the log shows the new port";
    EXPECT_EQ(1u, CountStarting(lines, "完成搜索支持设备."));
    EXPECT_EQ(0u, CountStarting(lines, "AddPortMapping(")) << "no failure line per row";
    EXPECT_EQ(2u, CountStarting(lines, "映射成功"));
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Address(1009) == Router::Variable("EXT_IP"); }, 5000));
}

TEST_F(RouterOutageTest, RouterThatDropsEveryPacketNeverFreezesTheWindowAndTheCloseEndsInTime)
{
    CheckSilentRouter(Hang);
}

TEST_F(RouterOutageTest, RouterThatTakesConnectionsButNeverAnswersIsGivenUpInTime)
{
    CheckSilentRouter(Freeze);
}

TEST_F(RouterOutageTest, WindowAnswersThroughoutAHundredRowRun)
{
    std::vector<std::string> rows;
    for (int i = 0; i < 100; ++i)
        rows.push_back("TCP|" + std::to_string(20000 + i) + "|" + std::to_string(30000 + i) + "|198.18.0.2|");
    SeedRows(rows);
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 600");
    m_driver.Click(kStart);
    long long worst = WorstAnswerMs([&] { return CountStarting(LogMessages(), "映射成功") >= 100; }, 150000);
    EXPECT_EQ(100u, CountStarting(LogMessages(), "映射成功"));
    EXPECT_LT(worst, 2000) << "the window answered late during the run";
}

TEST_F(RouterOutageTest, PortHeldByAnotherHostIsToldOncePerStartAndAgainWhenTheHolderChanges)
{
    Router::Run("exec lan upnpc -a 198.18.0.3 9000 18095 TCP");
    SeedRows({ "TCP|8095|18095|198.18.0.2|taken", "TCP|8096|18096|198.18.0.2|free" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 3");
    m_driver.Click(kStart);
    const std::string first = "外网端口 18095 协议 TCP 已被 198.18.0.3:9000 占用，此映射未生效。";
    ASSERT_TRUE(WaitForLogMessage(first, 20000));
    // Each refresh ends with the external address.
    int refreshes = Router::Requests("GetExternalIPAddress");
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetExternalIPAddress") >= refreshes + 2; }, 20000));
    EXPECT_EQ(1u, CountStarting(LogMessages(), "外网端口 18095")) << "told once, not at every refresh";

    // Right after a refresh, so that the port is not free when the next one comes.
    refreshes = Router::Requests("GetExternalIPAddress");
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetExternalIPAddress") >= refreshes + 1; }, 20000));
    // Without a search of its own, upnpc hands the port over within milliseconds.
    const std::string upnpc = "upnpc -u http://198.18.0.1:5000/rootDesc.xml";
    Router::Run("exec lan sh -c '" + upnpc + " -d 18095 TCP && " + upnpc + " -a 198.18.0.4 9001 18095 TCP'");
    EXPECT_TRUE(WaitForLogMessage("外网端口 18095 协议 TCP 已被 198.18.0.4:9001 占用，此映射未生效。", 20000));

    m_driver.Click(1008);
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Enabled(kStart); }, 10000));
    m_driver.Click(kStart);
    EXPECT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), "外网端口 18095 协议 TCP 已被 198.18.0.4") == 2; },
                          20000)) << "a new Start tells it again";
}

}

namespace {

TEST_F(RouterOutageTest, EachRowShowsWhatTheRouterHoldsForIt)
{
    Router::Run("deny 18091");
    Router::Run("exec lan upnpc -a 198.18.0.3 9000 18095 TCP");
    SeedRows({ "TCP|8090|18090|198.18.0.2|live", "TCP|8091|18091|198.18.0.2|refused",
               "TCP|8095|18095|198.18.0.2|held" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    typedef std::map<std::string, std::string> States;
    EXPECT_EQ((States{ { "18090", "0" }, { "18091", "0" }, { "18095", "0" } }), RowStates());
    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    const States mapped = { { "18090", "1" }, { "18091", "2" }, { "18095", "3" } };
    EXPECT_TRUE(WaitUntil([&] { return RowStates() == mapped; }, 15000));

    Hang();
    EXPECT_TRUE(WaitUntil([&] { return RowStates() == States{ { "18090", "2" }, { "18091", "2" }, { "18095", "2" } }; },
                          15000)) << "every row fails while the router is lost";
    Answer();
    EXPECT_TRUE(WaitUntil([&] { return RowStates() == mapped; }, 20000)) << "and shows the facts once it is back";

    m_driver.Click(1008);
    EXPECT_TRUE(WaitUntil([&] { return RowStates() == States{ { "18090", "0" }, { "18091", "0" }, { "18095", "0" } }; },
                          5000)) << "Stop makes every row not active";
}

}

namespace {

TEST_F(RouterOutageTest, RowDeletedWhileTheRouterIsSilentLeavesItOnceItAnswers)
{
    StartMapping(kTwoRows, "1");
    Hang();
    m_driver.Call("select 1002 " + std::string(ListRows()[0].find("\t18081\t") != std::string::npos ? "0" : "1"));
    m_driver.Command(32782);
    ASSERT_TRUE(WaitForLogMessage(kLost, 15000));
    Answer();
    EXPECT_TRUE(WaitUntil([&] { return Router::Mappings() == std::vector<std::string>{ kTwoMapped[0] }; }, 15000, 250))
        << "the deleted row's mapping is gone and the other row is back";
}

TEST_F(RouterOutageTest, CloseGivesUpOnARouterThatFellSilentAndNamesEachRowLeftOnce)
{
    const std::vector<std::string> rows = { "TCP|8080|18080|198.18.0.2|", "TCP|8081|18081|198.18.0.2|",
                                            "TCP|8082|18082|198.18.0.2|" };
    StartMapping(rows, "600");
    // The program still holds the router reachable: nothing has asked it since.
    Hang();
    long long closing = NowMs();
    m_driver.Post(0x0010 /* WM_CLOSE */);
    ASSERT_TRUE(m_driver.WaitExit(6500));
    EXPECT_LT(NowMs() - closing, 6500) << "the close ends within 5 s";
    EXPECT_EQ(3u, Router::Mappings().size());
    std::vector<std::string> lines = LogMessages();
    for (const char* port : { "18080", "18081", "18082" })
        EXPECT_EQ(1u, CountStarting(lines, std::string("停止映射失败: 外网端口 ") + port + " 协议 TCP"))
            << port << " is named once";
    EXPECT_EQ(0u, CountStarting(lines, "成功停止列表中的所有映射!"));
}

}

namespace {

TEST_F(RouterOutageTest, CloseTriesTheRouterLastFoundEvenWhenASearchCannotFindItAgain)
{
    StartMapping(kTwoRows, "1");
    // The router's web port answers again, but no search can find it, and
    // the program no longer knows where it was found last.
    RouterDrop search("gwssdp", "udp dport 1900");
    m_driver.Call("reg-unset Software\\Gatewright\\Gatewright\\Settings LastRouter");
    Router::Run("stop");
    ASSERT_TRUE(WaitForLogMessage(kLost, 15000));
    Router::Run("start");
    ASSERT_EQ(kTwoMapped, Router::Mappings());
    EXPECT_EQ(1u, CountStarting(LogMessages(), "发现有效的IGD")) << "still lost when the close comes";
    ASSERT_TRUE(CloseProgram());
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_EQ("成功停止列表中的所有映射!", LogMessages().back());
}

const char* kSettings = "Software\\Gatewright\\Gatewright\\Settings";

// The router found last is asked first at its description: started again,
// the program finds it where it was without a search; a description that is
// no longer there falls back to the search.
TEST_F(RouterOutageTest, RouterFoundLastIsAskedWhereItWasAndOneThatMovedIsSearchedFor)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    EXPECT_EQ("sz http://198.18.0.1:5000/rootDesc.xml", m_driver.Call(std::string("reg-get ") + kSettings + " LastRouter"));
    ASSERT_TRUE(CloseProgram());
    {
        RouterDrop search("gwssdp", "udp dport 1900");
        Launch();
        EXPECT_TRUE(WaitForGateway(10000)) << "found though no search can reach it";
        std::string counter = search.Listing();
        EXPECT_NE(std::string::npos, counter.find("packets 0 ")) << "a search was sent: " << counter;
        ASSERT_TRUE(CloseProgram());
    }
    Router::Run("port 5001");
    Launch();
    EXPECT_TRUE(WaitForGateway());
    EXPECT_EQ("sz http://198.18.0.1:5001/rootDesc.xml", m_driver.Call(std::string("reg-get ") + kSettings + " LastRouter"));
}

TEST_F(RouterOutageTest, RouterThatRebootsWhereItWasGetsTheListBackWithoutASearch)
{
    StartMapping(kTwoRows, "2");
    RouterDrop search("gwssdp", "udp dport 1900");
    Router::Run("stop");
    ASSERT_TRUE(WaitForLogMessage(kLost, 15000));
    Router::Run("restart");
    ASSERT_TRUE(Router::Mappings().empty());
    EXPECT_TRUE(WaitUntil([] { return Router::Mappings() == kTwoMapped; }, 15000));
}

}
