// Start-up, gateway discovery and the close rules, seen through the window.
#include "Harness.h"

namespace {

const int kLanAddress = 1003, kGatewayAddress = 1004, kStart = 1005, kInterval = 1007,
          kStop = 1008, kExternalAddress = 1009, kStatusLine = 1013, kAutostart = 1021;
const unsigned WM_CLOSE_ = 0x0010, WM_COMMAND_ = 0x0111, WM_SYSCOMMAND_ = 0x0112;
const long IDOK_ = 1, IDCANCEL_ = 2, kAboutCommand = 32785, kSystemMenuAbout = 16;

const char* kSearching = "开始搜索支持设备...";
const char* kSearchDone = "完成搜索支持设备.";
const char* kNoGateway = "没有发现可支持的UPNP映射设备，如果在路由器里被禁用了，请启用UPNP或者尝试重启路由器。"
                         "如若路由不支持请手工映射。";
const char* kCloseRefused = "Gatewright|设备正在初始化，无法关闭窗口！";
const char* kAboutCaption = "关于 Gatewright 可定制此类软件带源码出售 https://gatewright.example.org/";

using StartupTest = AppTest;

TEST_F(StartupTest, FirstStartShowsDefaultsThenTheGatewayFoundByDiscovery)
{
    Launch();
    // Discovery waits two seconds for answers: the defaults are still there.
    EXPECT_EQ("10", m_driver.Text(kInterval));
    EXPECT_FALSE(m_driver.Checked(kAutostart));
    EXPECT_FALSE(m_driver.Enabled(kStart));
    EXPECT_FALSE(m_driver.Enabled(kStop));

    ASSERT_TRUE(WaitForGateway());
    EXPECT_TRUE(m_driver.Enabled(kStop));
    EXPECT_EQ(Router::Variable("LAN_IP"), m_driver.Address(kLanAddress));
    EXPECT_EQ(Router::Variable("ROUTER_LAN_IP"), m_driver.Address(kGatewayAddress));
    EXPECT_EQ(Router::Variable("EXT_IP"), m_driver.Address(kExternalAddress));
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Text(kStatusLine) == kSearchDone; }, 5000));

    std::string controlUrl = "http://" + Router::Variable("ROUTER_LAN_IP") + ":"
        + Router::Variable("HTTP_PORT") + "/ctl/IPConn";
    std::vector<std::string> expected = {
        kSearching,
        "发现有效的IGD : " + controlUrl + "\n",
        "获取的外网IP是: " + Router::Variable("EXT_IP") + "\n",
        kSearchDone,
    };
    EXPECT_EQ(expected, LogMessages());

    EXPECT_TRUE(CloseProgram());
}

TEST_F(StartupTest, WithoutRouterTheFailureIsLoggedButtonsStayDisabledAndTheWindowCloses)
{
    Router::Run("stop");
    Launch();
    ASSERT_TRUE(WaitForLogMessage(kNoGateway, 30000));
    EXPECT_EQ((std::vector<std::string>{ kSearching, kNoGateway }), LogMessages());
    EXPECT_FALSE(m_driver.Enabled(kStart));
    EXPECT_FALSE(m_driver.Enabled(kStop));
    EXPECT_EQ("", m_driver.Address(kLanAddress));
    EXPECT_EQ("", m_driver.Address(kExternalAddress));

    EXPECT_TRUE(CloseProgram());
    Router::Run("start");
}

TEST_F(StartupTest, CloseDuringTheSearchIsRefusedUntilTheSearchHasEnded)
{
    Launch();
    m_driver.Post(WM_CLOSE_);
    EXPECT_EQ(kCloseRefused, m_driver.MessageBox(5000));
    m_driver.Press(IDOK_);
    EXPECT_FALSE(m_driver.WaitExit(500));
    EXPECT_EQ("1", m_driver.Call("visible"));

    ASSERT_TRUE(WaitForGateway());
    EXPECT_TRUE(CloseProgram());
}

TEST_F(StartupTest, EnterAndEscapeDoNotEndTheProgram)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("key " + std::to_string(kInterval) + " 13");  // Enter
    m_driver.Call("key " + std::to_string(kInterval) + " 27");  // Esc
    m_driver.Post(WM_COMMAND_, IDOK_);
    m_driver.Post(WM_COMMAND_, IDCANCEL_);
    EXPECT_FALSE(m_driver.WaitExit(1000));

    EXPECT_TRUE(CloseProgram());
}

TEST_F(StartupTest, SystemMenuItemAndMenuCommandOpenTheSameAboutBox)
{
    Launch();
    m_driver.Post(WM_SYSCOMMAND_, kSystemMenuAbout);
    ASSERT_TRUE(m_driver.WaitDialog(kAboutCaption, 5000));
    m_driver.Press(IDOK_);

    m_driver.Command(kAboutCommand);
    ASSERT_TRUE(m_driver.WaitDialog(kAboutCaption, 5000));
    m_driver.Press(IDOK_);
    EXPECT_FALSE(m_driver.WaitDialog(kAboutCaption, 500));
}

TEST_F(StartupTest, ReservedUserMessageIsAnsweredWithZero)
{
    Launch();
    EXPECT_EQ(0, m_driver.Send(0x0400 + 102, 7, 9));
}

}
