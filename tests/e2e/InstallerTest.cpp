// The setup and its uninstaller, run silently in the LAN host's prefix: the
// program under Program Files, an upgrade over a copy that maps a row, and an
// uninstall that keeps the user's list.
#include "Harness.h"
#include <sys/stat.h>

namespace {

const int kStart = 1005, kInterval = 1007, kAutostart = 1021;
const std::string kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kUninstallKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Gatewright";
const std::string kMapList = "Software\\Gatewright\\Gatewright\\MapList";
const std::string kInstalled = "\"C:\\Program Files\\Gatewright\\Gatewright.exe\"";
const std::string kUninstaller = "\"C:\\Program Files\\Gatewright\\uninstall.exe\"";

bool Exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

class InstallerTest : public AppTest {
protected:
    void TearDown() override
    {
        // Whatever copy the setup started ends, and nothing installed stays for the next test.
        m_driver.TryCall("run 20000 " + WindowsPath(m_folder + "/Gatewright.exe") + " /close");
        if (Exists(InstallDir()))
            m_driver.TryCall("run 60000 " + kUninstaller + " /S");
        RunShell("rm -rf '" + InstallDir() + "'");
        m_driver.TryCall("reg-delete " + kUninstallKey);
        AppTest::TearDown();
    }

    static std::string InstallDir() { return TestEnvironment::Get().lanPrefix + "/drive_c/Program Files/Gatewright"; }

    std::string RunSetup()
    {
        const std::string& exe = TestEnvironment::Get().appExe;
        return m_driver.Call("run 60000 " + WindowsPath(exe.substr(0, exe.rfind('/')) + "/Gatewright-Setup.exe")
                             + " /S");
    }
};

TEST_F(InstallerTest, SilentSetupInstallsUpgradesAMappingCopyAndItsUninstallKeepsTheList)
{
    ASSERT_EQ("0", RunSetup());
    EXPECT_TRUE(Exists(InstallDir() + "/Gatewright.exe"));
    EXPECT_TRUE(Exists(TestEnvironment::Get().lanPrefix
                       + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Gatewright.lnk"));
    EXPECT_EQ("sz Gatewright", m_driver.Call("reg-get " + kUninstallKey + " DisplayName"));
    EXPECT_EQ("sz \"C:\\Program Files\\Gatewright\\uninstall.exe\" /S",
              m_driver.Call("reg-get " + kUninstallKey + " QuietUninstallString"));

    // The installed program maps a row and starts at logon.
    SeedRows({ "TCP|8080|18080|198.18.0.2|web" });
    ASSERT_TRUE(m_driver.TryCall("launch " + kInstalled));
    ASSERT_TRUE(m_driver.TryCall("main 30000"));
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Enabled(kStart); }, 30000));
    m_driver.Click(kAutostart);
    m_driver.Call("set-text " + std::to_string(kInterval) + " 30");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 1; }, 20000));
    int deletes = Router::Requests("DeletePortMapping");

    // The upgrade closes it as its own close does, then starts the new one, which maps the row again.
    ASSERT_EQ("0", RunSetup());
    EXPECT_EQ("0", m_driver.Call("wait-exit 1000")) << "the old copy has ended";
    EXPECT_EQ(deletes + 1, Router::Requests("DeletePortMapping")) << "and removed its mapping";
    EXPECT_EQ(1u, CountStarting(LogMessagesIn(InstallDir()), "成功停止列表中的所有映射!"));
    EXPECT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 1; }, 30000)) << "mapped by the new copy";

    // The uninstaller closes that copy too, and takes the program and its autostart away.
    m_driver.Call("run 60000 " + kUninstaller + " /S");
    EXPECT_TRUE(WaitUntil([&] { return !Exists(InstallDir()); }, 30000));
    EXPECT_TRUE(Router::Mappings().empty());
    EXPECT_EQ("absent", m_driver.Call("reg-get " + kRunKey + " Gatewright"));
    EXPECT_EQ("absent", m_driver.Call("reg-get " + kUninstallKey + " DisplayName"));
    EXPECT_FALSE(Exists(TestEnvironment::Get().lanPrefix
                        + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Gatewright.lnk"));
    EXPECT_EQ("sz TCP|8080|18080|198.18.0.2|web", m_driver.Call("reg-get " + kMapList + " 0")) << "the list stays";
}

TEST_F(InstallerTest, CopyThatDoesNotEndIsNotKilledAndTheSetupChangesNothing)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    // Stopped, it can take no message, as a hung copy cannot. The pattern's
    // brackets keep the shell that runs pkill from matching it.
    std::string folder = m_folder.substr(m_folder.rfind('/') + 1);
    const std::string copy = "pkill -f '[" + folder.substr(0, 1) + "]" + folder.substr(1) + ".Gatewright.exe'";
    RunShell(copy + " -STOP");
    std::string exitCode = RunSetup();
    RunShell(copy + " -CONT");
    EXPECT_EQ("2", exitCode);
    EXPECT_FALSE(Exists(InstallDir()));
    EXPECT_EQ("absent", m_driver.Call("reg-get " + kUninstallKey + " DisplayName"));
    EXPECT_FALSE(m_driver.WaitExit(0)) << "still running";
}

TEST_F(InstallerTest, UnregisterAloneRemovesTheRunValueWithoutAWindow)
{
    m_driver.Call("reg-sz " + kRunKey + " Gatewright \"C:\\x\\Gatewright.exe\"");
    // A window would keep it running past the bound.
    EXPECT_EQ("0", m_driver.Call("run 20000 " + WindowsPath(m_folder + "/Gatewright.exe") + " /unregister"));
    EXPECT_EQ("absent", m_driver.Call("reg-get " + kRunKey + " Gatewright"));
    std::vector<std::string> lines = LogMessages();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("已取消开机自动运行: 启动项已删除，登录任务")) << lines[0];
}

}
