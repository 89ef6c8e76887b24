// A router without UPnP that speaks PCP: the list is mapped all the same.
#include "Harness.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <thread>

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

    // Started again, the row is a new mapping, and the log says so.
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Enabled(kStart); }, 10000));
    m_driver.Click(kStart);
    EXPECT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), mapped) == 2; }, 10000));
    EXPECT_EQ(1u, Router::Mappings().size());
}

TEST_F(PortControlTest, RouterRestartedWithAnEmptyTableGetsTheRowsBackAndTheCloseRemovesThem)
{
    StartMapping({ kThisHost, "UDP|8081|18081|198.18.0.2|" }, "2");
    ASSERT_EQ(2u, Router::Mappings().size());
    Router::Run("restart");
    ASSERT_TRUE(Router::Mappings().empty());
    // The next run maps both again. Its epoch shows the restart (and the
    // router is found anew) only when the router had answered for more than
    // about two seconds before it (RFC 6887 section 8.5), which the test does
    // not wait for: the rows come back either way.
    EXPECT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 2; }, 20000));
    EXPECT_TRUE(ConnectThroughRouter(18080, 8080));
    EXPECT_EQ(0u, CountStarting(LogMessages(), "PCP MAP(")) << "no row failed";

    ASSERT_TRUE(CloseProgram());
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_EQ(1u, CountStarting(LogMessages(), "成功停止列表中的所有映射!"));
}

TEST_F(PortControlTest, RefreshesFurtherApartThanAWeekStillMapTheRow)
{
    // A UPnP router would get a permanent mapping; here lifetime 0 would delete it.
    StartMapping({ kThisHost }, "400000");
    EXPECT_EQ(1u, Router::Mappings().size());
    EXPECT_TRUE(ConnectThroughRouter(18080, 8080));
}

TEST_F(PortControlTest, LeaseShorterThanAskedIsRenewedSilentlyBeforeHalfOfItHasPassedAndNotForADeletedRow)
{
    // The hour asked for is granted as 10 s; the window's next run is ten minutes off.
    struct ShortLeases {
        ShortLeases() { Router::Run("shortlease on"); }
        ~ShortLeases() { Router::Run("shortlease off"); }
    } shortLeases;
    StartMapping({ kThisHost, "UDP|8081|18081|198.18.0.2|" }, "600");
    std::vector<std::string> before = LogMessages();
    for (int second = 0; second < 25; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::string leases = Router::Output("leases");
        ASSERT_NE(std::string::npos, leases.find("TCP 18080 198.18.0.2:8080 ")) << "after " << second << " s";
        EXPECT_EQ(std::string::npos, leases.find(" 0\n")) << "a lease ran out after " << second << " s: " << leases;
        if (second == 12) {
            size_t udp = ListRows()[0].find("UDP") == std::string::npos ? 1 : 0;
            m_driver.Call("select 1002 " + std::to_string(udp));
            m_driver.Command(32782);
        }
    }
    std::vector<std::string> mappings = Router::Mappings();
    ASSERT_EQ(1u, mappings.size()) << "the deleted row is renewed no more";
    EXPECT_EQ(0u, mappings[0].find("TCP 18080 "));
    EXPECT_TRUE(ConnectThroughRouter(18080, 8080));
    EXPECT_EQ("1", m_driver.Call("image 1002 0"));
    EXPECT_EQ(before, LogMessages()) << "a renewal writes nothing";
}

TEST_F(PortControlTest, ProgramStartedAgainRemovesWhatItMappedBefore)
{
    StartMapping({ kThisHost }, "30");
    ASSERT_EQ(1u, Router::Mappings().size());
    // A crash: the mapping stays, and only this installation's nonce names it.
    m_driver.Call("kill");
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Click(kStop);
    EXPECT_TRUE(WaitForLogMessage("成功停止列表中的所有映射!", 10000));
    EXPECT_TRUE(Router::Mappings().empty());
}

TEST_F(PortControlTest, RouterThatDropsEveryFourthDatagramIsNeverTakenAsLost)
{
    // Counted from the router's first PCP datagram: its input drops one in four.
    RouterDrop loss("gwloss", "udp dport 5351 numgen inc mod 4 0");
    StartMapping({ kThisHost, "UDP|8081|18081|198.18.0.2|" }, "2");
    std::this_thread::sleep_for(std::chrono::seconds(20));
    EXPECT_EQ(0u, CountStarting(LogMessages(), "与路由器的连接已中断"));
    EXPECT_EQ("1", m_driver.Call("image 1002 0"));
    EXPECT_EQ("1", m_driver.Call("image 1002 1"));
    EXPECT_EQ(2u, Router::Mappings().size());
    std::string counter = loss.Listing();
    EXPECT_EQ(std::string::npos, counter.find("packets 0 ")) << "datagrams were dropped: " << counter;
}

// A router that speaks NAT-PMP only, at the demo router's LAN address while
// its daemon is stopped: it answers PCP with NAT-PMP's "unsupported version",
// names 203.0.113.7 as its address and maps each port as asked, but offers
// 28081 for 18081. It writes each map request it answers to a file, as
// "TCP 8080 18080 3600" (protocol, internal and suggested port, lifetime).
class CNatPmpRouter {
public:
    explicit CNatPmpRouter(const std::string& record) : m_pid(fork())
    {
        if (m_pid == 0)
            Serve(record);
    }
    ~CNatPmpRouter()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }

private:
    static void Serve(const std::string& record)
    {
        // Sockets belong to the namespace they are made in: entered first.
        int sock = -1;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(5351);
        inet_pton(AF_INET, "198.18.0.1", &address.sin_addr);
        if (!EnterNamespace("gw-router") || (sock = socket(AF_INET, SOCK_DGRAM, 0)) < 0
            || bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            _exit(1);
        time_t began = time(nullptr);
        for (;;) {
            unsigned char in[1100];
            sockaddr_in from = {};
            socklen_t size = sizeof from;
            ssize_t received = recvfrom(sock, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (received < 2)
                continue;
            unsigned epoch = unsigned(time(nullptr) - began);
            std::vector<unsigned char> out = { 0, static_cast<unsigned char>(0x80 | in[1]), 0, 0,
                                               0, 0, static_cast<unsigned char>(epoch >> 8),
                                               static_cast<unsigned char>(epoch) };
            if (in[0] != 0) {
                out[3] = 1;
            } else if (in[1] == 0) {
                out.insert(out.end(), { 203, 0, 113, 7 });
            } else if (received >= 12) {
                unsigned internalPort = in[4] << 8 | in[5], suggested = in[6] << 8 | in[7];
                unsigned lifetime = unsigned(in[8]) << 24 | in[9] << 16 | in[10] << 8 | in[11];
                unsigned given = suggested == 18081 ? 28081 : suggested;
                out.insert(out.end(), { in[4], in[5], static_cast<unsigned char>(given >> 8),
                                        static_cast<unsigned char>(given), in[8], in[9], in[10], in[11] });
                std::ofstream(record, std::ios::app) << (in[1] == 2 ? "TCP " : "UDP ") << internalPort << " "
                                                     << suggested << " " << lifetime << "\n";
            }
            sendto(sock, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    }

    pid_t m_pid;
};

class NatPmpTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        Router::Run("stop");
        m_router = std::make_unique<CNatPmpRouter>(Folder() + "/natpmp.txt");
    }
    void TearDown() override
    {
        AppTest::TearDown();
        m_router.reset();
        Router::Run("start");
    }

    // How many of the map requests the router answered were this one.
    size_t Sent(const std::string& request) const
    {
        std::ifstream in(Folder() + "/natpmp.txt");
        size_t count = 0;
        for (std::string line; std::getline(in, line);)
            count += line == request;
        return count;
    }

    std::unique_ptr<CNatPmpRouter> m_router;
};

TEST_F(NatPmpTest, RouterSpeakingOnlyNatPmpMapsThisHostsRowsAndUndoesAnotherPort)
{
    SeedRows({ kThisHost, "TCP|8081|18081|198.18.0.2|", kOtherHost });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    EXPECT_EQ(1u, CountStarting(LogMessages(), "发现支持NAT-PMP的路由器 : 198.18.0.1"));
    EXPECT_EQ("203.0.113.7", m_driver.Address(1009));

    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitUntil([&] { return Sent("TCP 8080 18080 3600") >= 3; }, 15000)) << "renewed at each run";
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, "映射成功，请设置防火墙规则！ 外网IP:端口 = 203.0.113.7:18080 协议:TCP"));
    EXPECT_EQ(1u, CountStarting(lines, "映射成功"));
    EXPECT_EQ(1u, CountStarting(lines, "外网端口 18081 协议 TCP 已被 未知主机:? 占用，此映射未生效。"));
    EXPECT_EQ(1u, CountStarting(lines, "路由器只允许为本机映射：内网IP 198.18.0.5 不是本机，此映射未生效。"));
    EXPECT_GE(Sent("TCP 8081 0 0"), 1u) << "the port it offered instead is given back";
    std::vector<std::string> rows = ListRows();
    auto image = [&](const std::string& externalPort) {
        auto row = std::find_if(rows.begin(), rows.end(), [&](const std::string& cells) {
            return cells.find("\t" + externalPort + "\t") != std::string::npos;
        });
        return m_driver.Call("image 1002 " + std::to_string(row - rows.begin()));
    };
    EXPECT_EQ("1", image("18080"));
    EXPECT_EQ("3", image("18081")) << "held";
    EXPECT_EQ("2", image("18082"));

    m_driver.Click(kStop);
    EXPECT_TRUE(WaitForLogMessage("成功停止列表中的所有映射!", 10000));
    EXPECT_EQ(1u, Sent("TCP 8080 0 0"));
}

}
