#include "OneCopy.h"
#include "Autostart.h"
#include "LogonTask.h"
#include "../res/resource.h"
#include <cstdlib>

namespace {
const char kMutexName[] = "Local\\Gatewright.FirstCopy";
const char kWindowMark[] = "Gatewright.FirstCopy";
// The mark's value: how the first copy was started.
HANDLE const kUserStart = reinterpret_cast<HANDLE>(1);
HANDLE const kLogonStart = reinterpret_cast<HANDLE>(2);
// The first copy may still be setting up its window.
const DWORD kWindowWaitMs = 10000;
const DWORD kPollMs = 100;
const UINT kShowTimeoutMs = 5000;
// At logon the Run value's copy and the task's start within this span, in 100 ns units.
const ULONGLONG kLogonPairSpan = 120ULL * 10000000;

BOOL CALLBACK FindMarkedWindow(HWND hWnd, LPARAM found)
{
    if (!::GetPropA(hWnd, kWindowMark))
        return TRUE;
    *reinterpret_cast<HWND*>(found) = hWnd;
    return FALSE;
}

ULONGLONG StartTime(HANDLE hProcess)
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(hProcess, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

ULONGLONG StartTimeOfWindow(HWND hWnd)
{
    DWORD processId = 0;
    ::GetWindowThreadProcessId(hWnd, &processId);
    HANDLE hProcess = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!hProcess)
        return 0;
    ULONGLONG started = StartTime(hProcess);
    ::CloseHandle(hProcess);
    return started;
}

// A copy from the logon task finds another copy only when the Run value
// started one too. A copy without the argument is the Run value's when the
// first came from the task just before and autostart is on; otherwise the
// user started it.
bool IsLogonDuplicate(HWND hFirst)
{
    if (IsLogonStart())
        return true;
    if (::GetPropA(hFirst, kWindowMark) != kLogonStart)
        return false;
    ULONGLONG first = StartTimeOfWindow(hFirst);
    ULONGLONG mine = StartTime(::GetCurrentProcess());
    return first != 0 && mine >= first && mine - first <= kLogonPairSpan && IsAutostartEnabled();
}

// As the icon menu's show command does; this copy, just started by the user,
// may hand the foreground on.
void BringUp(HWND hFirst)
{
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(hFirst, WM_COMMAND, IDM_TRAY_SHOW, 0, SMTO_ABORTIFHUNG, kShowTimeoutMs, &result);
    ::SetForegroundWindow(hFirst);
}
}

COneCopy::~COneCopy()
{
    if (m_bOwned)
        ::ReleaseMutex(m_hMutex);
    if (m_hMutex)
        ::CloseHandle(m_hMutex);
}

bool COneCopy::Own(DWORD timeoutMs)
{
    DWORD wait = ::WaitForSingleObject(m_hMutex, timeoutMs);
    // Abandoned: the first copy ended without releasing it.
    m_bOwned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    return m_bOwned;
}

bool COneCopy::Claim()
{
    m_hMutex = ::CreateMutexA(nullptr, FALSE, kMutexName);
    // Without the mutex no copy can find another: better run than not at all.
    if (!m_hMutex || Own(0))
        return true;
    for (DWORD waited = 0; waited < kWindowWaitMs; waited += kPollMs) {
        HWND hFirst = nullptr;
        ::EnumWindows(FindMarkedWindow, reinterpret_cast<LPARAM>(&hFirst));
        if (hFirst) {
            if (!IsLogonDuplicate(hFirst))
                BringUp(hFirst);
            return false;
        }
        if (Own(kPollMs))
            return true;
    }
    // A first copy that shows no window in all that time is left alone.
    return false;
}

bool HasArgument(const char* argument)
{
    for (int i = 1; i < __argc; ++i) {
        if (lstrcmpiA(__argv[i], argument) == 0)
            return true;
    }
    return false;
}

bool IsLogonStart()
{
    return HasArgument(kLogonStartArgument);
}

CloseOutcome CloseFirstCopy(DWORD timeoutMs)
{
    HWND hFirst = nullptr;
    ::EnumWindows(FindMarkedWindow, reinterpret_cast<LPARAM>(&hFirst));
    if (!hFirst)
        return kNoCopyRunning;
    DWORD processId = 0;
    ::GetWindowThreadProcessId(hFirst, &processId);
    HANDLE hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    ::PostMessageA(hFirst, WM_APP_CLOSE_REQUEST, 0, 0);
    bool ended = hProcess && ::WaitForSingleObject(hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (hProcess)
        ::CloseHandle(hProcess);
    return ended ? kCopyClosed : kCopyStillRunning;
}

void MarkFirstCopyWindow(HWND hWnd)
{
    ::SetPropA(hWnd, kWindowMark, IsLogonStart() ? kLogonStart : kUserStart);
}

void UnmarkFirstCopyWindow(HWND hWnd)
{
    ::RemovePropA(hWnd, kWindowMark);
}
