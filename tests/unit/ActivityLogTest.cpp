#include "../../log/ActivityLog.h"
#include "SymbolicLink.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

ActivityLog* g_log = nullptr;
int g_showRequests = 0;

LRESULT CALLBACK HostProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_APP_SHOW_STATUS && g_log) {
        ++g_showRequests;
        g_log->ShowLatest();
    }
    return ::DefWindowProcA(hWnd, msg, wParam, lParam);
}

time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Exists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A status line inside a window of this (the "UI") thread, and a fresh folder.
class ActivityLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = HostProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "LogTestHost";
        ::RegisterClassA(&wc);
        m_hHost = ::CreateWindowA("LogTestHost", "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
        m_hStatus = ::CreateWindowA("STATIC", "ready", WS_CHILD, 0, 0, 100, 20, m_hHost,
                                    nullptr, wc.hInstance, nullptr);
        char temp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, temp);
        m_folder = std::string(temp) + "gwlog-" + std::to_string(::GetTickCount()) + "-"
            + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::CreateDirectoryA(m_folder.c_str(), nullptr);
        m_log.Attach(m_hStatus, m_folder);
        g_log = &m_log;
        g_showRequests = 0;
    }

    void TearDown() override
    {
        g_log = nullptr;
        ::DestroyWindow(m_hHost);
    }

    std::string Status() const
    {
        char text[512] = {};
        ::GetWindowTextA(m_hStatus, text, sizeof text);
        return text;
    }

    void PumpMessages() const
    {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageA(&msg);
    }

    std::string DayFile(const char* date) const { return m_folder + "\\logs\\" + date + ".log"; }

    HWND m_hHost = nullptr;
    HWND m_hStatus = nullptr;
    std::string m_folder;
    ActivityLog m_log;
};

TEST_F(ActivityLogTest, RecordIsTimeStampTwoBlanksGbkMessageAndCrLf)
{
    m_log.ReportAt("完成搜索支持设备.", LocalTime(2024, 5, 1, 14, 3, 7));

    std::string content = ReadFile(DayFile("2024-05-01"));
    EXPECT_EQ("[14:03:07]  完成搜索支持设备.\r\n", content);
    // The message is GBK, not UTF-8: "完" is CD EA.
    ASSERT_GE(content.size(), 14u);
    EXPECT_EQ('\xCD', content[12]);
    EXPECT_EQ('\xEA', content[13]);
    EXPECT_EQ("完成搜索支持设备.", Status());
}

TEST_F(ActivityLogTest, LineEndsInsideMessagesAndEmptyMessagesStayAsGiven)
{
    time_t when = LocalTime(2024, 5, 1, 9, 0, 0);
    m_log.ReportAt("found\n", when);
    EXPECT_EQ("found\n", Status());
    m_log.ReportAt("", when);
    EXPECT_EQ("", Status());

    EXPECT_EQ("[09:00:00]  found\n\r\n[09:00:00]  \r\n", ReadFile(DayFile("2024-05-01")));
}

TEST_F(ActivityLogTest, RecordsAreAppendedAndFollowTheDateOfTheirOwnClockReading)
{
    m_log.ReportAt("before midnight", LocalTime(2024, 12, 31, 23, 59, 59));
    m_log.ReportAt("after midnight", LocalTime(2025, 1, 1, 0, 0, 0));
    m_log.ReportAt("still new year", LocalTime(2025, 1, 1, 0, 0, 1));

    EXPECT_EQ("[23:59:59]  before midnight\r\n", ReadFile(DayFile("2024-12-31")));
    EXPECT_EQ("[00:00:00]  after midnight\r\n[00:00:01]  still new year\r\n",
              ReadFile(DayFile("2025-01-01")));
}

TEST_F(ActivityLogTest, DayFileNameIsZeroPaddedDate)
{
    tm t = {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    EXPECT_EQ("2024-01-05.log", ActivityLog::FormatFileName(t));
}

TEST_F(ActivityLogTest, ReportsFromWorkersNeitherInterleaveNorWaitForTheUiThread)
{
    const int kThreads = 4, kReports = 50;
    time_t when = LocalTime(2024, 6, 1, 12, 0, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([this, t, when] {
            for (int i = 0; i < kReports; ++i)
                m_log.ReportAt("worker " + std::to_string(t) + " report " + std::to_string(i), when);
        });
    }
    // This thread owns the status line and pumps no messages until all are done:
    // a report that waited for it would hang here.
    for (auto& worker : workers)
        worker.join();

    std::istringstream lines(ReadFile(DayFile("2024-06-01")));
    std::vector<int> next(kThreads, 0);
    std::string line, last;
    int count = 0;
    while (std::getline(lines, line)) {
        int t = -1, i = -1;
        ASSERT_EQ(2, sscanf(line.c_str(), "[12:00:00]  worker %d report %d\r", &t, &i)) << line;
        ASSERT_EQ('\r', line.back());
        ASSERT_EQ(next[t]++, i) << "records of one thread out of order";
        last = line.substr(12, line.size() - 13);
        ++count;
    }
    EXPECT_EQ(kThreads * kReports, count);

    PumpMessages();
    EXPECT_EQ(last, Status());
    EXPECT_EQ(1, g_showRequests) << "a burst while the window is busy is shown once";
    std::thread([&] { m_log.ReportAt("after the burst", when); }).join();
    PumpMessages();
    EXPECT_EQ("after the burst", Status());
}

TEST_F(ActivityLogTest, UnwritableFolderLosesTheRecordButStillShowsTheMessage)
{
    // A file named "logs" where the folder should be: nothing can be created there.
    std::ofstream(m_folder + "\\logs") << "in the way";
    m_log.ReportAt("gateway found", LocalTime(2024, 5, 1, 10, 0, 0));

    EXPECT_FALSE(Exists(DayFile("2024-05-01")));
    EXPECT_EQ("gateway found", Status());
}

TEST_F(ActivityLogTest, FileHeldOpenElsewhereDropsRecordsUntilItIsReleased)
{
    time_t when = LocalTime(2024, 5, 2, 8, 0, 0);
    m_log.ReportAt("first", when);
    HANDLE held = ::CreateFileA(DayFile("2024-05-02").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    m_log.ReportAt("while held", when);
    EXPECT_EQ("while held", Status());

    ::CloseHandle(held);
    m_log.ReportAt("after release", when);
    EXPECT_EQ("[08:00:00]  first\r\n[08:00:00]  after release\r\n", ReadFile(DayFile("2024-05-02")));
}

TEST_F(ActivityLogTest, RemovedLogFolderIsCreatedAgain)
{
    time_t when = LocalTime(2024, 5, 3, 8, 0, 0);
    m_log.ReportAt("one", when);
    ASSERT_TRUE(::DeleteFileA(DayFile("2024-05-03").c_str()));
    ASSERT_TRUE(::RemoveDirectoryA((m_folder + "\\logs").c_str()));

    m_log.ReportAt("two", when);
    EXPECT_EQ("[08:00:00]  two\r\n", ReadFile(DayFile("2024-05-03")));
}

const char* kLinkedNotice = "日志文件夹是一个链接，为安全起见不写日志文件。";

TEST_F(ActivityLogTest, NothingIsWrittenThroughALinkedLogsFolderAndTheStatusLineSaysSoOnce)
{
    std::string elsewhere = m_folder + "-elsewhere";
    ::CreateDirectoryA(elsewhere.c_str(), nullptr);
    bool linked = MakeSymbolicLink(m_folder + "\\logs", elsewhere);
    if (linked) {
        m_log.ReportAt("one", LocalTime(2024, 5, 1, 9, 0, 0));
        EXPECT_EQ(std::string(kLinkedNotice) + "  one", Status());
        m_log.ReportAt("two", LocalTime(2024, 5, 1, 9, 0, 1));
        EXPECT_EQ("two", Status()) << "said once";
        EXPECT_FALSE(Exists(elsewhere + "\\2024-05-01.log")) << "written through the link";
    }
    RemoveSymbolicLink(m_folder + "\\logs");
    ::RemoveDirectoryA(elsewhere.c_str());
    if (!linked)
        GTEST_SKIP() << "no symbolic link could be made here";
    m_log.ReportAt("three", LocalTime(2024, 5, 3, 9, 0, 0));
    EXPECT_EQ("[09:00:00]  three\r\n", ReadFile(DayFile("2024-05-03"))) << "a plain folder is written as before";
}

TEST_F(ActivityLogTest, NothingIsWrittenThroughADayFileThatIsALink)
{
    std::string victim = m_folder + "\\victim.txt";
    ::CloseHandle(::CreateFileA(victim.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ::CreateDirectoryA((m_folder + "\\logs").c_str(), nullptr);
    bool linked = MakeSymbolicLink(DayFile("2024-05-02"), victim);
    if (linked) {
        m_log.ReportAt("one", LocalTime(2024, 5, 2, 9, 0, 0));
        EXPECT_EQ(std::string(kLinkedNotice) + "  one", Status());
        EXPECT_EQ("", ReadFile(victim)) << "written through the link";
    }
    RemoveSymbolicLink(DayFile("2024-05-02"));
    if (!linked)
        GTEST_SKIP() << "a link to a file cannot be made here, or shows as the file itself (Wine)";
}

}
