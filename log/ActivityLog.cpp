#include "ActivityLog.h"
#include "../framework/Path.h"
#include "../framework/Thread.h"

namespace {
// The one log lock: serialises reports of all threads. It needs no
// destructor, so a worker still reporting while the process ends finds it whole.
SRWLOCK g_lock = SRWLOCK_INIT;

// Told once on the status line, in place of a file that is not written.
const char kLinkedFolder[] = "日志文件夹是一个链接，为安全起见不写日志文件。";

// Whoever can write beside a copy outside Program Files can make "logs" or
// the day's file a link to anywhere: the elevated program writes through none.
bool IsExistingLink(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES && IsReparsePoint(path);
}

std::string FormatTime(const char* format, const tm& local)
{
    char text[64] = {};
    strftime(text, sizeof text, format, &local);
    return text;
}
}

void ActivityLog::Attach(HWND statusLine, const std::string& folder)
{
    m_hStatusLine = statusLine;
    m_strFolder = folder;
}

void ActivityLog::Detach()
{
    CSrwLockGuard guard(g_lock);
    m_hStatusLine = nullptr;
}

std::string ActivityLog::FormatRecord(const std::string& message, const tm& local)
{
    return FormatTime("[%H:%M:%S]  ", local) + message + "\r\n";
}

std::string ActivityLog::FormatFileName(const tm& local)
{
    return FormatTime("%Y-%m-%d", local) + ".log";
}

bool ActivityLog::AppendToFile(const std::string& path, const std::string& record)
{
    // No sharing: a record is never written while someone else has the file
    // open. A link made since the check is opened itself, not followed.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = ::SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER
        && ::WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr)
        && written == record.size();
    return ::CloseHandle(file) && ok;
}

void ActivityLog::Report(const std::string& message)
{
    ReportAt(message, time(nullptr));
}

void ActivityLog::ReportAt(const std::string& message, time_t when)
{
    HWND hStatusLine;
    bool bOwnThread;
    {
        CSrwLockGuard guard(g_lock);
        std::string folder = (m_strFolder.empty() ? GetExecutableFolder() : m_strFolder) + "\\logs";
        ::CreateDirectoryA(folder.c_str(), nullptr);
        tm local = *localtime(&when);
        std::string file = folder + "\\" + FormatFileName(local);
        bool linked = IsExistingLink(folder) || IsExistingLink(file);
        // A record that cannot be written is lost, but its message is still shown.
        if (!linked)
            AppendToFile(file, FormatRecord(message, local));
        m_strLatest = message;
        if (linked && !m_bLinkTold.exchange(true))
            m_strLatest = std::string(kLinkedFolder) + "  " + message;
        hStatusLine = m_hStatusLine;
        bOwnThread = hStatusLine && ::GetWindowThreadProcessId(hStatusLine, nullptr) == ::GetCurrentThreadId();
        // Posted under the lock, so that nothing goes to a window detached
        // since; a post never waits for the UI thread. One waiting post
        // shows this message too.
        if (hStatusLine && !bOwnThread && !m_bShowPosted.exchange(true))
            ::PostMessageA(::GetParent(hStatusLine), WM_APP_SHOW_STATUS, 0, 0);
    }
    if (bOwnThread)
        ShowLatest();
}

void ActivityLog::ShowLatest()
{
    std::string latest;
    {
        CSrwLockGuard guard(g_lock);
        latest = m_strLatest;
        m_bShowPosted = false;
    }
    ::SetWindowTextA(m_hStatusLine, latest.c_str());
}
