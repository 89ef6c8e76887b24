// The setup and its uninstaller, run silently in the LAN host's prefix: the
// program under Program Files, an upgrade over a copy that maps a row, and an
// uninstall that keeps the user's list. The prefix is 64-bit, as Windows is: an
// x86 setup installs under "Program Files (x86)" and records itself in the
// 32-bit registry view, an amd64 one under "Program Files", so every path is
// taken from what the setup recorded, as the tested build sees the registry.
#include "Harness.h"
#include <algorithm>
#include <sys/stat.h>

namespace {

const int kStart = 1005, kInterval = 1007, kAutostart = 1021, kAboutCommand = 32785;
const char* kAboutCaption = "关于 Gatewright 可定制此类软件带源码出售 https://gatewright.example.org/";
const std::string kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kUninstallKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Gatewright";
const std::string kMapList = "Software\\Gatewright\\Gatewright\\MapList";
const std::string kCurrentVersionKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";

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
        if (!m_strInstallDir.empty()) {
            if (Exists(InstallDir()))
                m_driver.TryCall("run 60000 " + Uninstaller() + " /S");
            RunShell("rm -rf '" + InstallDir() + "'");
        }
        m_driver.TryCall("reg-delete " + kUninstallKey);
        AppTest::TearDown();
    }

    // The value of the setup's entry in Programs and Features, "" when absent.
    std::string Recorded(const std::string& name)
    {
        std::string value = m_driver.Call("reg-get " + kUninstallKey + " " + name);
        return value.compare(0, 3, "sz ") == 0 ? value.substr(3) : "";
    }
    // Where the setup says it installed the program, as the tests see it.
    std::string InstallDir() const
    {
        std::string path = TestEnvironment::Get().lanPrefix + "/drive_c" + m_strInstallDir.substr(2);
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }
    // Where a setup of the tested build's kind installs: under Program Files
    // as that build reads it from its own registry view.
    std::string FolderOfItsKind()
    {
        std::string value = m_driver.Call("reg-get " + kCurrentVersionKey + " ProgramFilesDir");
        EXPECT_EQ(0u, value.find("sz C:\\")) << value;
        return value.substr(std::min<size_t>(3, value.size())) + "\\Gatewright";
    }
    std::string Installed() const { return "\"" + m_strInstallDir + "\\Gatewright.exe\""; }
    std::string Uninstaller() const { return "\"" + m_strInstallDir + "\\uninstall.exe\""; }

    std::string RunSetup(const std::string& arguments = "")
    {
        const std::string& exe = TestEnvironment::Get().appExe;
        return m_driver.Call("run 60000 " + WindowsPath(exe.substr(0, exe.rfind('/')) + "/Gatewright-Setup.exe")
                             + " /S" + arguments);
    }

    std::string m_strInstallDir;  // as the setup recorded it, "C:\\…"
};

TEST_F(InstallerTest, SilentSetupInstallsUpgradesAMappingCopyWithABoxOpenAndItsUninstallKeepsTheList)
{
    // A folder anyone may write to is not taken, however it is asked for.
    const std::string chosen = m_folder + "/chosen";
    ASSERT_EQ("0", RunSetup(" /D=" + WindowsPath(chosen)));
    EXPECT_FALSE(Exists(chosen));
    m_strInstallDir = Recorded("InstallLocation");
    ASSERT_EQ(0u, m_strInstallDir.find("C:\\")) << m_strInstallDir;
    EXPECT_EQ(FolderOfItsKind(), m_strInstallDir);
    EXPECT_TRUE(Exists(InstallDir() + "/Gatewright.exe")) << InstallDir();
    EXPECT_TRUE(Exists(TestEnvironment::Get().lanPrefix
                       + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Gatewright.lnk"));
    EXPECT_EQ("Gatewright", Recorded("DisplayName"));
    EXPECT_EQ(Uninstaller() + " /S", Recorded("QuietUninstallString"));

    // The installed program maps a row and starts at logon.
    SeedRows({ "TCP|8080|18080|198.18.0.2|web" });
    ASSERT_TRUE(m_driver.TryCall("launch " + Installed()));
    ASSERT_TRUE(m_driver.TryCall("main 30000"));
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Enabled(kStart); }, 30000));
    m_driver.Click(kAutostart);
    m_driver.Call("set-text " + std::to_string(kInterval) + " 30");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 1; }, 20000));
    int deletes = Router::Requests("DeletePortMapping");

    // The upgrade closes it as its own close does, though a box is open, then
    // starts the new one, which maps the row again.
    m_driver.Command(kAboutCommand);
    ASSERT_TRUE(m_driver.WaitDialog(kAboutCaption, 5000));
    ASSERT_EQ("0", RunSetup());
    EXPECT_EQ("0", m_driver.Call("wait-exit 1000")) << "the old copy has ended";
    EXPECT_EQ(deletes + 1, Router::Requests("DeletePortMapping")) << "and removed its mapping";
    EXPECT_EQ(1u, CountStarting(LogMessagesIn(InstallDir()), "成功停止列表中的所有映射!"));
    EXPECT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 1; }, 30000)) << "mapped by the new copy";
    // Which lives in the notification area, and comes up when the user starts the program.
    ASSERT_TRUE(m_driver.TryCall("attach 10000"));
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Call("visible") == "0"; }, 20000));
    EXPECT_EQ("0", m_driver.Call("run 20000 " + Installed()));
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Call("visible") == "1"; }, 5000)) << "the user's start, not the logon's";
    m_driver.Command(kAboutCommand);
    ASSERT_TRUE(m_driver.WaitDialog(kAboutCaption, 5000));

    // The uninstaller closes that copy too, box and all, and takes the program and its autostart away.
    m_driver.Call("run 60000 " + Uninstaller() + " /S");
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
    EXPECT_EQ("absent", m_driver.Call("reg-get " + kUninstallKey + " DisplayName"));
    m_strInstallDir = FolderOfItsKind();
    EXPECT_FALSE(Exists(InstallDir())) << InstallDir();
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
