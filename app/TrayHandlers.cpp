// The notification-area icon, hiding the window and the icon's menu.
#include "MappingDlg.h"
#include "../desktop/OneCopy.h"
#include "../desktop/TrayIcon.h"
#include "../framework/App.h"
#include "../framework/Format.h"
#include "../mappings/MappingList.h"

namespace {
const char kTip[] = "青岚网络路由映射程序 " GATEWRIGHT_HOME_PAGE;
static_assert(sizeof kTip <= sizeof(NOTIFYICONDATAA::szTip), "the tip must fit szTip with its zero");
const int kTrayIconSize = 16;
// Early at logon the taskbar may not be there yet: the icon is tried again
// every two seconds for three minutes, and "TaskbarCreated" brings it later.
const UINT_PTR kTrayRetryTimer = IDI_TRAY;
const UINT kTrayRetryMs = 2000;
const int kTrayRetries = 90;
}

void CMappingDlg::AddTrayIcon()
{
    // Not shared: the window destroys it as it goes.
    HICON hIcon = static_cast<HICON>(::LoadImageA(GetApp()->m_hInstance, MAKEINTRESOURCEA(IDI_TRAY), IMAGE_ICON,
                                                  kTrayIconSize, kTrayIconSize, LR_DEFAULTCOLOR));
    InitTrayIcon(&m_nid, m_hWnd, IDI_TRAY, WM_TRAY_NOTIFY, hIcon, kTip);
    AllowShellRestartMessages(m_hWnd);
    PutTrayIcon();
}

std::string TrayTipText(bool bMapping, int liveRows, int rows, bool bNoPublicAddress)
{
    std::string tip = kTip;
    if (bMapping)
        tip += FormatText(" %d/%d 个映射有效", liveRows, rows);
    if (bMapping && bNoPublicAddress)
        tip += "（无公网IP）";
    return CutToBytes(tip, kTrayTipBytes);
}

void CMappingDlg::ShowTrayTip(int liveRows)
{
    SetTrayTip(&m_nid, TrayTipText(m_bMappingActive, liveRows, m_listMappings.GetItemCount(), m_bNoPublicAddress));
}

void CMappingDlg::PutTrayIcon()
{
    ::KillTimer(m_hWnd, kTrayRetryTimer);
    if (AddOrRenewTrayIcon(&m_nid))
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
        // The worker may outlive the window and go on reporting.
        m_log->Detach();
        UnmarkFirstCopyWindow(m_hWnd);
        ::DestroyIcon(m_nid.hIcon);
        m_nid.hIcon = nullptr;
    }
    if (msg == WM_WINDOWPOSCHANGING && m_bHiddenInTray)
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
    if (msg == WM_SYSCOMMAND && wParam == SC_MINIMIZE) {
        HideInTray();
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
            HideInTray();
        } else {
            ShowFromTray(SW_RESTORE);
            SetForegroundWindow();
        }
    }
}

void CMappingDlg::HideInTray()
{
    m_bHiddenInTray = true;
    ShowWindow(SW_HIDE);
}

void CMappingDlg::ShowFromTray(int nCmdShow)
{
    m_bHiddenInTray = false;
    ShowWindow(nCmdShow);
}

void CMappingDlg::OnTrayShow()
{
    ShowFromTray(SW_SHOW);
}

void CMappingDlg::OnTrayExit()
{
    // The close rules remove the icon when the close goes ahead; a refused
    // close keeps it, the only way back to a hidden window.
    SendMessage(WM_CLOSE);
}
