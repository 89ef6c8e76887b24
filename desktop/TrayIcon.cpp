#include "TrayIcon.h"
#include <array>

namespace {
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "the icon record's layout with balloon fields, without GUID");
#endif

const std::array<UINT, 2>& ShellRestartMessages()
{
    static const std::array<UINT, 2> s_messages = { ::RegisterWindowMessageA("TaskbarCreated"),
                                                    ::RegisterWindowMessageA("ExplorerRestartNotRemove") };
    return s_messages;
}
}

void InitTrayIcon(NOTIFYICONDATAA* nid, HWND hWnd, UINT id, UINT callbackMessage, HICON hIcon, const char* tip)
{
    nid->cbSize = NOTIFYICONDATAA_V2_SIZE;
    nid->hWnd = hWnd;
    nid->uID = id;
    nid->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid->uCallbackMessage = callbackMessage;
    nid->hIcon = hIcon;
    lstrcpynA(nid->szTip, tip, sizeof nid->szTip);
}

bool AddOrRenewTrayIcon(NOTIFYICONDATAA* nid)
{
    return ::Shell_NotifyIconA(NIM_ADD, nid) || ::Shell_NotifyIconA(NIM_MODIFY, nid);
}

void SetTrayTip(NOTIFYICONDATAA* nid, const std::string& tip)
{
    if (tip == nid->szTip)
        return;
    lstrcpynA(nid->szTip, tip.c_str(), sizeof nid->szTip);
    ::Shell_NotifyIconA(NIM_MODIFY, nid);
}

void RemoveTrayIcon(NOTIFYICONDATAA* nid)
{
    ::Shell_NotifyIconA(NIM_DELETE, nid);
}

bool IsShellRestart(UINT msg)
{
    for (UINT restart : ShellRestartMessages()) {
        if (restart != 0 && msg == restart)
            return true;
    }
    return false;
}

void AllowShellRestartMessages(HWND hWnd)
{
    // The call exists from Windows 7 on, so it is looked up at run time.
    typedef BOOL(WINAPI * FilterProc)(HWND, UINT, DWORD, void*);
    FilterProc allow = reinterpret_cast<FilterProc>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("user32.dll"), "ChangeWindowMessageFilterEx")));
    if (!allow)
        return;
    for (UINT restart : ShellRestartMessages())
        allow(hWnd, restart, MSGFLT_ALLOW, nullptr);
}
