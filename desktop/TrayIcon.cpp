// The notification-area icon, hiding the window and the icon's menu.
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "OneCopy.h"

namespace {
const char kTip[] = "青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE;
static_assert(sizeof kTip <= sizeof(NOTIFYICONDATAA::szTip), "the tip must fit szTip with its zero");
const int kTrayIconSize = 16;
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "the icon record's layout with balloon fields, without GUID");
#endif
}

void CMappingDlg::AddTrayIcon()
{
    m_nid.cbSize = NOTIFYICONDATAA_V2_SIZE;
    m_nid.hWnd = m_hWnd;
    m_nid.uID = IDI_TRAY;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_TRAY_NOTIFY;
    m_nid.hIcon = static_cast<HICON>(::LoadImageA(GetApp()->m_hInstance, MAKEINTRESOURCEA(IDI_TRAY), IMAGE_ICON,
                                                  kTrayIconSize, kTrayIconSize, LR_DEFAULTCOLOR));
    ::Shell_NotifyIconA(NIM_ADD, &m_nid);
    lstrcpynA(m_nid.szTip, kTip, sizeof m_nid.szTip);
    ::Shell_NotifyIconA(NIM_MODIFY, &m_nid);
}

LRESULT CMappingDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    // Sent by a restarted shell, whose notification area has lost every icon.
    static const UINT s_explorerRestart = ::RegisterWindowMessageA("ExplorerRestartNotRemove");
    if (s_explorerRestart != 0 && msg == s_explorerRestart) {
        ::Shell_NotifyIconA(NIM_ADD, &m_nid);
        return 1;
    }
    if (msg == WM_DESTROY)
        UnmarkFirstCopyWindow(m_hWnd);
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
