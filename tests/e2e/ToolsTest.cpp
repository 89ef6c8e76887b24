// Copying and opening the external address, the home page, and start with Windows.
#include "Harness.h"
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

const int kStart = 1005, kAutostart = 1021;
const long kCopyCommand = 32794, kVisitCommand = 32792, kHomePageCommand = 32784, IDOK_ = 1;
const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* kAdded = "映射成功";
const char* kStopped = "成功停止列表中的所有映射!";
const char* kNoAddress = "Gatewright|还没有获取到外网IP!";
const char* kTaskRefused = "程序所在的文件夹普通用户可以修改，为安全起见没有创建开机计划任务；请把程序放到 Program Files 下再勾选。";

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// A task as the Task Scheduler keeps it, starting that executable at logon.
std::string TaskXml(const std::string& windowsPath)
{
    return "<?xml version=\"1.0\"?>\r\n<Task version=\"1.2\" "
           "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"><Actions Context=\"Author\"><Exec>"
           "<Command>\"" + windowsPath + "\"</Command><Arguments>/logon</Arguments></Exec></Actions></Task>\r\n";
}

class ToolsTest : public AppTest {
protected:
    // Where Wine's Task Scheduler keeps this user's task on the LAN host.
    std::string TaskFile()
    {
        return TestEnvironment::Get().lanPrefix + "/drive_c/windows/system32/tasks/Gatewright " + m_driver.Call("user-sid");
    }
    bool TaskRegistered() { return access(TaskFile().c_str(), F_OK) == 0; }

    void EnableAutostart() { m_driver.Call(std::string("reg-sz ") + kRunKey + " Gatewright anything at all"); }
    bool Visible() { return m_driver.Call("visible") == "1"; }
    // The window shows first and hides itself after the first run.
    bool WaitUntilHidden()
    {
        return WaitUntil([&] { return Visible(); }, 10000) && WaitUntil([&] { return !Visible(); }, 30000);
    }
    // The driver, registered as the browser, writes each address it is given
    // as a line of the file returned.
    std::string RecordBrowserCalls()
    {
        std::string record = Folder() + "/opened.txt";
        std::string browser = "\"" + WindowsPath(TestEnvironment::Get().driverExe) + "\" record \""
            + WindowsPath(record) + "\" \"%1\"";
        for (const char* scheme : { "http", "https" })
            m_driver.Call(std::string("reg-sz HKLM\\Software\\Classes\\") + scheme + "\\shell\\open\\command @ "
                          + browser);
        return record;
    }
};

TEST_F(ToolsTest, CopyPutsTheExternalAddressOnTheClipboardAndReportsOnlyAfterClosingIt)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Command(kCopyCommand);
    EXPECT_EQ("Gatewright|成功复制外网IP到剪贴板!", m_driver.MessageBox(5000));
    // The driver can open the clipboard only when the program has closed it.
    EXPECT_EQ(Router::Variable("EXT_IP"), m_driver.Call("clipboard"));
    m_driver.Press(IDOK_);
}

TEST_F(ToolsTest, BrowserCommandsHandTheExternalAddressAndTheHomePageToTheShell)
{
    std::string record = RecordBrowserCalls();
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Command(kVisitCommand);
    ASSERT_TRUE(WaitUntil([&] { return ReadLines(record).size() == 1; }, 10000));
    m_driver.Command(kHomePageCommand);
    ASSERT_TRUE(WaitUntil([&] { return ReadLines(record).size() == 2; }, 10000));
    EXPECT_EQ((std::vector<std::string>{ "http://" + Router::Variable("EXT_IP"), "https://gatewright.example.org/" }),
              ReadLines(record));
}

TEST_F(ToolsTest, WithoutAnExternalAddressCopyAndOpenSaySoAndChangeNothing)
{
    std::string record = RecordBrowserCalls();
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Command(kCopyCommand);
    ASSERT_EQ("Gatewright|成功复制外网IP到剪贴板!", m_driver.MessageBox(5000));
    m_driver.Press(IDOK_);
    // As a refresh that found no address leaves the field.
    m_driver.Call("set-address 1009");
    for (long command : { kCopyCommand, kVisitCommand }) {
        ASSERT_TRUE(WaitUntil([&] { return m_driver.MessageBox(0).empty(); }, 5000));
        m_driver.Command(command);
        EXPECT_EQ(kNoAddress, m_driver.MessageBox(5000)) << command;
        m_driver.Press(IDOK_);
    }
    EXPECT_EQ(Router::Variable("EXT_IP"), m_driver.Call("clipboard"));
    EXPECT_FALSE(WaitUntil([&] { return !ReadLines(record).empty(); }, 3000)) << "no browser was started";
}

// The test's folder is the user's own, as Downloads is: under Wine every
// folder is, since Wine shows the Unix user as every file's owner.
TEST_F(ToolsTest, TickingTheBoxInAUserWritableFolderWritesTheQuotedPathButNoTaskAndSaysWhyOnce)
{
    std::remove(TaskFile().c_str());
    Launch();
    EXPECT_FALSE(m_driver.Checked(kAutostart));
    m_driver.Click(kAutostart);
    std::string expected = "sz \"" + WindowsPath(Folder() + "/Gatewright.exe") + "\"";
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Call(std::string("reg-get ") + kRunKey + " Gatewright") == expected; },
                          5000))
        << m_driver.Call(std::string("reg-get ") + kRunKey + " Gatewright");
    EXPECT_TRUE(WaitForLogMessage(kTaskRefused, 5000));
    EXPECT_FALSE(TaskRegistered());
    m_driver.Click(kAutostart);
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Call(std::string("reg-get ") + kRunKey + " Gatewright") == "absent"; },
                          5000));
    EXPECT_EQ(1u, CountStarting(LogMessages(), kTaskRefused));
    EXPECT_EQ(0u, CountStarting(LogMessages(), "错误: 设置开机启动的计划任务失败"));
}

// A copy removes only a task it can show to start its own executable: the
// installed program's task stays when a portable copy runs once or its box
// is unticked. (Wine's tasks never show their command, its action collection
// being a stub: there every task stays, and which the copy would remove is
// shown by the unit tests.)
TEST_F(ToolsTest, ACopyInAUserWritableFolderLeavesATaskItCannotShowToBeItsOwn)
{
    const std::string installed = TaskXml("C:\\Program Files (x86)\\Gatewright\\Gatewright.exe");
    std::ofstream(TaskFile()) << installed;
    Launch();
    ASSERT_TRUE(m_driver.TryCall("main 30000"));
    m_driver.Click(kAutostart);
    EXPECT_TRUE(WaitForLogMessage(kTaskRefused, 5000));
    m_driver.Click(kAutostart);
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Call(std::string("reg-get ") + kRunKey + " Gatewright") == "absent"; },
                          5000));
    std::ifstream task(TaskFile());
    std::string kept((std::istreambuf_iterator<char>(task)), std::istreambuf_iterator<char>());
    EXPECT_EQ(installed, kept);
}

TEST_F(ToolsTest, StartWithWindowsMapsTheListHidesTheWindowAndKeepsRefreshing)
{
    EnableAutostart();
    SeedRows({ "TCP|8080|18080|198.18.0.2|", "UDP|8081|18081|198.18.0.2|" });
    m_driver.Call("reg-dword Software\\Gatewright\\Gatewright\\Settings timer 1");
    Launch();
    EXPECT_TRUE(m_driver.Checked(kAutostart));
    ASSERT_TRUE(WaitUntilHidden());
    EXPECT_EQ(2u, CountStarting(LogMessages(), kAdded)) << "the first run has ended before the window hides";
    EXPECT_EQ(2u, Router::Mappings().size());
    EXPECT_FALSE(m_driver.Enabled(kStart));

    Router::Run("exec lan upnpc -d 18080 TCP");
    EXPECT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 2; }, 10000, 250));
}

TEST_F(ToolsTest, StartWithWindowsAndAnEmptyListLogsTheHintSetsNoTimerAndStillHides)
{
    EnableAutostart();
    m_driver.Call("reg-dword Software\\Gatewright\\Gatewright\\Settings timer 1");
    Launch();
    ASSERT_TRUE(WaitUntilHidden());
    EXPECT_EQ("提示: 请在[端口映射列表]中添加端口映射,在列表中右键或者选中菜单进行操作!", LogMessages().back());
    EXPECT_TRUE(m_driver.Enabled(kStart));

    // With a timer running, a row added now would be mapped within a second.
    m_driver.Command(32781);
    ASSERT_TRUE(m_driver.WaitDialog("添加映射端口", 5000));
    m_driver.Call("target popup");
    m_driver.Call("set-text 1016 18080");
    m_driver.Call("set-text 1015 8080");
    m_driver.Click(1019);
    m_driver.Call("target main");
    ASSERT_TRUE(WaitUntil([&] { return ListRows().size() == 1; }, 5000));
    EXPECT_FALSE(WaitUntil([&] { return !Router::Mappings().empty(); }, 3000));
}

TEST_F(ToolsTest, StopDuringTheFirstRunOnTheWorkerWins)
{
    EnableAutostart();
    std::vector<std::string> rows;
    for (int i = 0; i < 200; ++i)
        rows.push_back("TCP|" + std::to_string(20000 + i) + "|" + std::to_string(30000 + i) + "|198.18.0.2|");
    SeedRows(rows);
    m_driver.Call("reg-dword Software\\Gatewright\\Gatewright\\Settings timer 1");
    Launch();
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), kAdded) > 0; }, 30000, 20));
    // The router holds the run at its next request, so that the Stop comes
    // first however fast it is; it answers again well within the 3 s a request may take.
    Router::Run("exec router pkill -STOP -x miniupnpd");
    bool visible = Visible();
    m_driver.Click(1008);
    // The Stop may end the run and hide the window before the click returns.
    bool hidden = WaitUntil([&] { return !Visible(); }, 2000);
    Router::Run("exec router pkill -CONT -x miniupnpd");
    ASSERT_TRUE(visible) << "the window hid before the first run ended";
    ASSERT_TRUE(hidden);
    ASSERT_TRUE(WaitForLogMessage(kStopped, 30000));

    std::vector<std::string> log = LogMessages();
    EXPECT_LT(CountStarting(log, kAdded), rows.size()) << "the run went on after the Stop";
    EXPECT_TRUE(m_driver.Enabled(kStart));
    EXPECT_TRUE(m_driver.Enabled(1002));
    EXPECT_TRUE(Router::Mappings().empty());
    // No refresh timer: nothing comes back.
    EXPECT_FALSE(WaitUntil([&] { return !Router::Mappings().empty(); }, 3000));
}

}
