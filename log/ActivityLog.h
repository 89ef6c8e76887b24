#pragma once
#include <windows.h>
#include <atomic>
#include <ctime>
#include <string>

// Message the status line's parent receives when a report made on another
// thread is waiting to be shown; its handler calls ShowLatest.
const UINT WM_APP_SHOW_STATUS = WM_APP + 1;

// The activity log: every report is appended, time-stamped, to the day's file
// in the "logs" folder and shown on the status line. Where "logs" or the
// day's file is a link, nothing is written, and the status line says so once.
class ActivityLog {
public:
    // statusLine: the static control that shows the latest report. folder: where
    // "logs" lives; empty means beside the executable.
    void Attach(HWND statusLine, const std::string& folder = std::string());
    // The status line is going: reports from then on go to the file only.
    void Detach();

    // Callable from any thread; never fails to its caller.
    void Report(const std::string& message);
    // Report as of a given clock reading (the day's file follows it too).
    void ReportAt(const std::string& message, time_t when);

    // On the status line's thread: shows the newest reported message.
    void ShowLatest();

    // "[HH:MM:SS]  message\r\n" and "YYYY-MM-DD.log" for one clock reading.
    static std::string FormatRecord(const std::string& message, const tm& local);
    static std::string FormatFileName(const tm& local);

private:
    static bool AppendToFile(const std::string& path, const std::string& record);

    HWND m_hStatusLine = nullptr;
    std::string m_strFolder;
    // Written under the log lock; the status line always ends up showing it.
    std::string m_strLatest;
    // One WM_APP_SHOW_STATUS at a time: a burst of reports is shown once.
    std::atomic<bool> m_bShowPosted{ false };
    // The status line has said that the log folder is a link.
    std::atomic<bool> m_bLinkTold{ false };
};
