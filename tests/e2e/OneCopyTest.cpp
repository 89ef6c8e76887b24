// One copy per session: a later start brings the first copy's window up, or
// at logon, where two copies start, ends without a word.
#include "Harness.h"
#include <unistd.h>

namespace {

const unsigned WM_SYSCOMMAND_ = 0x0112;
const long SC_MINIMIZE_ = 0xF020;
const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* kEmptyListHint = "提示: 请在[端口映射列表]中添加端口映射,在列表中右键或者选中菜单进行操作!";

class OneCopyTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        m_second = Folder() + "/second";
        RunShell("mkdir -p '" + m_second + "' && cp '" + Folder() + "/Gatewright.exe' '" + m_second + "/'");
    }

    bool Visible() { return m_driver.Call("visible") == "1"; }
    // A later copy from a folder of its own, so that a log it wrote would show there.
    std::string RunSecondCopy(const std::string& arguments = "")
    {
        return m_driver.Call("run 20000 " + WindowsPath(m_second + "/Gatewright.exe") + " " + arguments);
    }
    bool SecondCopyWroteALog() { return access((m_second + "/logs").c_str(), F_OK) == 0; }
    std::string Settings()
    {
        return m_driver.Call("reg-names Software\\Gatewright\\Gatewright\\MapList") + " / "
            + m_driver.Call("reg-names Software\\Gatewright\\Gatewright\\Settings") + " / "
            + m_driver.Call(std::string("reg-get ") + kRunKey + " Gatewright");
    }

    std::string m_second;
};

TEST_F(OneCopyTest, SecondStartShowsTheHiddenFirstWindowAndEndsHavingWrittenNothing)
{
    SeedRows({ "TCP|8080|18080|198.18.0.2|" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Post(WM_SYSCOMMAND_, SC_MINIMIZE_);
    ASSERT_TRUE(WaitUntil([&] { return !Visible(); }, 5000));
    std::string settings = Settings();

    EXPECT_EQ("0", RunSecondCopy());
    EXPECT_TRUE(WaitUntil([&] { return Visible(); }, 5000));
    EXPECT_FALSE(m_driver.WaitExit(0)) << "the first copy goes on";
    EXPECT_FALSE(SecondCopyWroteALog());
    EXPECT_EQ(settings, Settings());
}

TEST_F(OneCopyTest, AtLogonTheLaterOfTheRunValuesAndTheTasksCopiesEndsAndTheFirstStaysHidden)
{
    m_driver.Call(std::string("reg-sz ") + kRunKey + " Gatewright \"" + WindowsPath(Folder() + "/Gatewright.exe")
                  + "\"");
    size_t started = 0;
    for (const char* first : { "/logon", "" }) {
        ASSERT_TRUE(m_driver.TryCall(std::string("launch ") + WindowsPath(Folder() + "/Gatewright.exe") + " " + first));
        // A copy that finds the router at once may hide before it ever shows: a window not
        // yet shown is no sign that the autostart has run, the empty list's hint is.
        ASSERT_TRUE(m_driver.TryCall("attach 30000"));
        ++started;
        ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), kEmptyListHint) == started && !Visible(); },
                              30000))
            << "autostart hides the window " << first;
        EXPECT_FALSE(WaitUntil([&] { return Visible(); }, 2000)) << "and it stays hidden";

        EXPECT_EQ("0", RunSecondCopy(*first ? "" : "/logon")) << first;
        EXPECT_FALSE(WaitUntil([&] { return Visible(); }, 2000)) << first;
        EXPECT_FALSE(SecondCopyWroteALog());
        m_driver.Call("kill");
    }
}

}
