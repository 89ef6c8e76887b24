// The notification-area icon, hiding the window and the icon's menu.
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "OneCopy.h"
#include "../framework/Format.h"
#include "../mappings/MappingList.h"
#include <array>

namespace {
const char kTip[] = "青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE;
static_assert(sizeof kTip <= sizeof(NOTIFYICONDATAA::szTip), "the tip must fit szTip with its zero");
const int kTrayIconSize = 16;
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "the icon record's layout with balloon fields, without GUID");
#endif
// Early at logon the taskbar may not be there yet: the icon is tried again
// every two seconds for three minutes, and "TaskbarCreated" brings it later.
const UINT_PTR kTrayRetryTimer = IDI_TRAY;
const UINT kTrayRetryMs = 2000;
const int kTrayRetries = 90;

// Both announce a new notification area, which has lost every icon.
const std::array<UINT, 2>& ShellRestartMessages()
{
    static const std::array<UINT, 2> s_messages = { ::RegisterWindowMessageA("TaskbarCreated"),
                                                    ::RegisterWindowMessageA("ExplorerRestartNotRemove") };
    return s_messages;
}

bool IsShellRestart(UINT msg)
{
    for (UINT restart : ShellRestartMessages()) {
        if (restart != 0 && msg == restart)
            return true;
    }
    return false;
}

// The program runs elevated, and the shell does not: its broadcasts must be let
// through. The call exists from Windows 7 on, so it is looked up at run time.
void AllowShellRestartMessages(HWND hWnd)
{
    typedef BOOL(WINAPI * FilterProc)(HWND, UINT, DWORD, void*);
    FilterProc allow = reinterpret_cast<FilterProc>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("user32.dll"), "ChangeWindowMessageFilterEx")));
    if (!allow)
        return;
    for (UINT restart : ShellRestartMessages())
        allow(hWnd, restart, MSGFLT_ALLOW, nullptr);
}
}

void CMappingDlg::AddTrayIcon()
{
    m_nid.cbSize = NOTIFYICONDATAA_V2_SIZE;
    m_nid.hWnd = m_hWnd;
    m_nid.uID = IDI_TRAY;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_TRAY_NOTIFY;
    // Not shared: the window destroys it as it goes.
    m_nid.hIcon = static_cast<HICON>(::LoadImageA(GetApp()->m_hInstance, MAKEINTRESOURCEA(IDI_TRAY), IMAGE_ICON,
                                                  kTrayIconSize, kTrayIconSize, LR_DEFAULTCOLOR));
    lstrcpynA(m_nid.szTip, kTip, sizeof m_nid.szTip);
    AllowShellRestartMessages(m_hWnd);
    PutTrayIcon();
}

std::string TrayTipText(bool bMapping, int liveRows, int rows)
{
    std::string tip = kTip;
    if (bMapping)
        tip += FormatText(" %d/%d 个映射有效", liveRows, rows);
    return CutToBytes(tip, sizeof(NOTIFYICONDATAA::szTip) - 1);
}

void CMappingDlg::ShowTrayTip(int liveRows)
{
    // The shell is another process: it is told only of a change.
    std::string tip = TrayTipText(m_bMappingActive, liveRows, m_listMappings.GetItemCount());
    if (tip == m_nid.szTip)
        return;
    lstrcpynA(m_nid.szTip, tip.c_str(), sizeof m_nid.szTip);
    ::Shell_NotifyIconA(NIM_MODIFY, &m_nid);
}

void CMappingDlg::PutTrayIcon()
{
    ::KillTimer(m_hWnd, kTrayRetryTimer);
    // An icon that is there already takes the record anew.
    if (::Shell_NotifyIconA(NIM_ADD, &m_nid) || ::Shell_NotifyIconA(NIM_MODIFY, &m_nid))
        m_nTrayRetries = 0;
    else if (m_nTrayRetries++ < kTrayRetries)
        ::SetTimer(m_hWnd, kTrayRetryTimer, kTrayRetryMs, nullptr);
}

LRESULT CMappingDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (IsShellRestart(msg) || (msg == WM_TIMER && wParam == kTrayRetryTimer)) {
        PutTrayIcon();
        return 1;
    }
    if (msg == WM_DESTROY) {
        UnmarkFirstCopyWindow(m_hWnd);
        ::DestroyIcon(m_nid.hIcon);
        m_nid.hIcon = nullptr;
    }
    if (msg == WM_SYSCOMMAND && wParam == SC_MINIMIZE) {
        ShowWindow(SW_HIDE);
        return 1;
    }
    if (msg == WM_SYSCOMMAND && wParam == SC_CLOSE) {
        SendMessage(WM_CLOSE);
        return 1;
    }
    if (msg == WM_TRAY_NOTIFY
        && (lParam == WM_LBUTTONDOWN || lParam == WM_LBUTTONDBLCLK || lParam == WM_RBUTTONUP)) {
        OnTrayNotify(static_cast<UINT>(lParam));
        return 1;
    }
    return CDialog::WindowProc(msg, wParam, lParam);
}

void CMappingDlg::OnTrayNotify(UINT mouseMessage)
{
    if (mouseMessage == WM_RBUTTONUP) {
        // Opens upwards from the pointer, as the notification area sits at the bottom.
        TrackMenuAtCursor(IDR_TRAY_MENU, TPM_BOTTOMALIGN);
    } else if (mouseMessage == WM_LBUTTONDBLCLK) {
        if (IsWindowVisible()) {
            ShowWindow(SW_HIDE);
        } else {
            ShowWindow(SW_RESTORE);
            SetForegroundWindow();
        }
    }
}

void CMappingDlg::OnTrayShow()
{
    ShowWindow(SW_SHOW);
}

void CMappingDlg::OnTrayExit()
{
    // The close rules remove the icon when the close goes ahead; a refused
    // close keeps it, the only way back to a hidden window.
    SendMessage(WM_CLOSE);
}
