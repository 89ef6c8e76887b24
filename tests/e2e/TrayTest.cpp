// The notification-area icon and hiding the window.
#include "Harness.h"
#include <sstream>

namespace {

const unsigned WM_SYSCOMMAND_ = 0x0112, WM_TRAY_NOTIFY_ = 0x0400 + 101;
const long SC_MINIMIZE_ = 0xF020, WM_LBUTTONDOWN_ = 0x0201, WM_LBUTTONDBLCLK_ = 0x0203, WM_RBUTTONUP_ = 0x0205;
const long kTrayIcon = 131, kTrayShow = 32788, kTrayExit = 32789, IDOK_ = 1, VK_UP_ = 0x26, VK_RETURN_ = 0x0D;
const char* kCloseRefused = "Gatewright|设备正在初始化，无法关闭窗口！";

class TrayTest : public AppTest {
protected:
    // The dialog manager shows a hidden dialog once, when its queue first runs
    // empty; a user's first minimise comes after that.
    void LaunchAndSettle()
    {
        Launch();
        ASSERT_TRUE(WaitForGateway());
    }

    bool Visible() { return m_driver.Call("visible") == "1"; }
    bool HasIcon() { return m_driver.Call("tray-exists " + std::to_string(kTrayIcon)) == "1"; }
    void IconMouse(long mouseMessage) { m_driver.Post(WM_TRAY_NOTIFY_, kTrayIcon, mouseMessage); }
};

TEST_F(TrayTest, MinimiseHidesTheWindowAndADoubleClickOnTheIconBringsItBackInPlace)
{
    LaunchAndSettle();
    EXPECT_TRUE(HasIcon());
    std::string place = m_driver.Call("rect");
    m_driver.Post(WM_SYSCOMMAND_, SC_MINIMIZE_);
    ASSERT_TRUE(WaitUntil([&] { return !Visible(); }, 5000));
    EXPECT_EQ("0", m_driver.Call("iconic"));

    IconMouse(WM_LBUTTONDOWN_);
    EXPECT_FALSE(WaitUntil([&] { return Visible(); }, 1000)) << "a single click does nothing";
    IconMouse(WM_LBUTTONDBLCLK_);
    ASSERT_TRUE(WaitUntil([&] { return Visible(); }, 5000));
    EXPECT_EQ(place, m_driver.Call("rect"));
    IconMouse(WM_LBUTTONDBLCLK_);
    EXPECT_TRUE(WaitUntil([&] { return !Visible(); }, 5000)) << "a second double click hides it again";

    m_driver.Command(kTrayShow);
    EXPECT_TRUE(WaitUntil([&] { return Visible(); }, 5000));
}

TEST_F(TrayTest, MinimiseWithLowBitsSetMinimisesTheOrdinaryWay)
{
    LaunchAndSettle();
    m_driver.Post(WM_SYSCOMMAND_, SC_MINIMIZE_ | 1);
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Call("iconic") == "1"; }, 5000));
    EXPECT_TRUE(Visible());
    // A minimised window counts as visible: the first double click hides it.
    IconMouse(WM_LBUTTONDBLCLK_);
    EXPECT_TRUE(WaitUntil([&] { return !Visible(); }, 5000));
}

TEST_F(TrayTest, ExitDuringTheSearchKeepsTheWindowAndTheIcon)
{
    Launch();
    m_driver.Post(WM_SYSCOMMAND_, SC_MINIMIZE_);
    m_driver.Command(kTrayExit);
    EXPECT_EQ(kCloseRefused, m_driver.MessageBox(5000));
    m_driver.Press(IDOK_);
    EXPECT_FALSE(m_driver.WaitExit(500));
    EXPECT_TRUE(HasIcon()) << "a hidden window would be left without a way back";

    ASSERT_TRUE(WaitForGateway());
    EXPECT_TRUE(CloseProgram(kTrayExit));
}

TEST_F(TrayTest, EitherShellRestartMessageBringsTheIconOfAHiddenWindowBack)
{
    LaunchAndSettle();
    ASSERT_TRUE(HasIcon());
    m_driver.Post(WM_SYSCOMMAND_, SC_MINIMIZE_);
    ASSERT_TRUE(WaitUntil([&] { return !Visible(); }, 5000));
    for (const char* restart : { "TaskbarCreated", "ExplorerRestartNotRemove" }) {
        m_driver.Call("tray-delete " + std::to_string(kTrayIcon));
        ASSERT_FALSE(HasIcon());
        m_driver.Call(std::string("broadcast ") + restart);
        EXPECT_TRUE(WaitUntil([&] { return HasIcon(); }, 5000)) << restart;
    }
    // With the icon there, a restart message leaves it as it is.
    m_driver.Call("broadcast TaskbarCreated");
    EXPECT_TRUE(HasIcon());
}

TEST_F(TrayTest, RightClickOpensTheMenuUpwardsAndItsExitCloses)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    std::istringstream cursor(m_driver.Call("cursor"));
    int x, y;
    cursor >> x >> y;
    IconMouse(WM_RBUTTONUP_);
    ASSERT_TRUE(m_driver.TryCall("menu 5000")) << "no icon menu";
    std::istringstream rect(m_driver.Call("menu-rect"));
    int left, top, right, bottom;
    rect >> left >> top >> right >> bottom;
    EXPECT_EQ(y, bottom) << "the menu's bottom edge is at the pointer";
    EXPECT_EQ(x, left);

    m_driver.Call("menu-key " + std::to_string(VK_UP_));
    m_driver.Call("menu-key " + std::to_string(VK_RETURN_));
    EXPECT_TRUE(m_driver.WaitExit(10000));
    EXPECT_FALSE(HasIcon());
}

}
