#pragma once
#include <windows.h>

// One copy of the program per session. The first copy owns a named mutex for
// its life and marks its main window. A later copy brings that window up and
// ends; at logon, where the Run value and the logon task may both start a
// copy, the later one ends without a word.
class COneCopy {
public:
    COneCopy() = default;
    COneCopy(const COneCopy&) = delete;
    COneCopy& operator=(const COneCopy&) = delete;
    ~COneCopy();

    // True for the first copy. False when another copy runs: it has been
    // dealt with, and this one must end before it touches anything.
    bool Claim();

private:
    bool Own(DWORD timeoutMs);

    HANDLE m_hMutex = nullptr;
    bool m_bOwned = false;
};

// True when the program was started with the argument ("/logon").
bool HasArgument(const char* argument);
// True when the logon task started this copy.
bool IsLogonStart();

// Posted to the first copy's main window: close as the user's close does,
// as soon as the window may close.
const UINT WM_APP_CLOSE_REQUEST = WM_APP + 5;
// What asking the first copy to close came to.
enum CloseOutcome { kNoCopyRunning = 0, kCopyClosed = 1, kCopyStillRunning = 2 };
// Asks the first copy to close and waits up to timeoutMs for its process to end.
CloseOutcome CloseFirstCopy(DWORD timeoutMs);
// Marks the first copy's main window for later copies, and unmarks it as it goes.
void MarkFirstCopyWindow(HWND hWnd);
void UnmarkFirstCopyWindow(HWND hWnd);
