// This machine's side of a mapped row: a program listening on its port, and
// Windows Firewall (which Wine only pretends to have).
#include "Harness.h"
#include <chrono>
#include <memory>
#include <thread>

namespace {

const long kAllowInFirewallCommand = 32797;
const std::string kServed = "TCP|8080|18080|198.18.0.2|";
const std::string kUnserved = "TCP|8090|18090|198.18.0.2|";
const std::string kNoListener = "本机没有程序在监听TCP端口8090：从外网连到此映射会被拒绝。";

class LocalReachTest : public AppTest {};

TEST_F(LocalReachTest, RowWithoutAListenerIsNamedOnceTheListenerThatCameOnceAndAgainWhenItWent)
{
    LanListener served(8080);
    StartMapping({ kServed, kUnserved, "TCP|8091|18091|198.18.0.5|" }, "1");
    // Each refresh reads the external address again: three more runs.
    int refreshes = Router::Requests("GetExternalIPAddress");
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetExternalIPAddress") >= refreshes + 3; }, 15000));
    std::vector<std::string> lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, kNoListener)) << "over several runs";
    EXPECT_EQ(0u, CountStarting(lines, "本机没有程序在监听TCP端口8080")) << "it has one";
    EXPECT_EQ(0u, CountStarting(lines, "本机没有程序在监听TCP端口8091")) << "another host's row";
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ("1", m_driver.Call("image 1002 " + std::to_string(row))) << "the router's side decides the dot";

    auto later = std::make_unique<LanListener>(8090);
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), "本机TCP端口8090已有程序在监听") == 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    lines = LogMessages();
    EXPECT_EQ(1u, CountStarting(lines, "本机TCP端口8090已有程序在监听"));
    EXPECT_EQ(0u, CountStarting(lines, "本机TCP端口8080已有程序在监听")) << "it never lacked one";
    EXPECT_EQ(1u, CountStarting(lines, kNoListener));
    // Wine's firewall cannot be read: nothing is said of it.
    EXPECT_EQ(0u, CountStarting(lines, "Windows防火墙"));

    // It takes a rule and keeps nothing: the menu says so for each port of this machine.
    m_driver.Command(kAllowInFirewallCommand);
    EXPECT_TRUE(WaitForLogMessage("添加Windows防火墙规则失败: TCP端口8080", 10000));
    EXPECT_TRUE(WaitForLogMessage("添加Windows防火墙规则失败: TCP端口8090", 10000));
    EXPECT_EQ(0u, CountStarting(LogMessages(), "添加Windows防火墙规则失败: TCP端口8091"));

    // The server that came stops again, as one that crashed: the user is told once more.
    later.reset();
    EXPECT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), kNoListener) == 2; }, 10000));
}

}
