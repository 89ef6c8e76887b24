#pragma once
#include "../framework/Dialog.h"
#include "../framework/IpAddressCtrl.h"
#include "../framework/ListCtrl.h"
#include "RouterTableDlg.h"
#include "../gateway/GatewayWorker.h"
#include "../log/ActivityLog.h"
#include "../mappings/MappingEntry.h"
#include "../res/resource.h"
#include <shellapi.h>
#include <memory>
#include <string>
#include <vector>

// Callback message of the notification-area icon.
const UINT WM_TRAY_NOTIFY = WM_USER + 101;

// The icon's tip: the program's name and, while mapping, how many rows are
// live and whether the internet cannot reach them for want of a public
// address; cut to the tip's size by whole characters.
std::string TrayTipText(bool bMapping, int liveRows, int rows, bool bNoPublicAddress = false);

// The main window: addresses, the mapping list, Start and Stop, the status line.
class CMappingDlg : public CDialog {
public:
    CMappingDlg();
    ~CMappingDlg() override;

    void Report(const std::string& message) { m_log->Report(message); }
    // Start: checks, locks the settings and hands the first run to the gateway worker.
    void OnBnClickedStart();
    // Stop: the worker removes the listed mappings; the timer stops, the controls unlock.
    void OnBnClickedStop();

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange() override;
    // Sees every message before the message map: the icon's messages, minimise and close.
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    // Enter and Esc must not end the program behind the close rules' back.
    void OnOK() override {}
    void OnCancel() override {}

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    // The minimised window's picture: the program's icon in the middle.
    void DrawCentredIcon(HDC hdc, const RECT& client) const;
    HCURSOR OnQueryDragIcon();
    void OnAbout();
    void OnAddMapping();
    void OnDeleteMapping();
    void OnRClickMappingList(NMHDR* header, LRESULT* result);
    void OnTrayShow();
    void OnTrayExit();
    void OnHomePage();
    void OnBnClickedAutostart();
    void OnVisitExternalIp();
    void OnCopyExternalIp();
    void OnCopyIpv6Address();
    void OnAllowInFirewall();
    void OnViewRouterTable();
    // Opens the address in the browser, and says so when the browser could
    // not be started at the user's own level.
    void OpenAddress(const std::string& address);
    void OnClose();
    void OnLButtonDown(UINT nFlags, POINT point);
    LRESULT OnReservedMessage(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnGatewayEvent(WPARAM wParam, LPARAM lParam);
    LRESULT OnCloseRequest(WPARAM wParam, LPARAM lParam);
    // The first search has ended: the window may close from now on.
    void EndDiscovery();
    void OnTimer(UINT_PTR nIDEvent);
    LRESULT OnQueryEndSession(WPARAM wParam, LPARAM lParam);
    LRESULT OnEndSession(WPARAM wParam, LPARAM lParam);

    // The window's side of the gateway work.
    void OnGatewayFound(const GatewayEvent& event);
    void OnGatewayLost();
    void OnExternalAddress(const GatewayEvent& event);
    // A run's or a renewal's states, where they are of the Start in force.
    bool ShowResultsOf(const GatewayEvent& event);
    void OnRunDone(const GatewayEvent& event);
    // Row state images: every row alike, or each row from a run's results.
    void ShowRowStates(RowState state);
    void ShowRowState(int row, RowState state);
    void ShowRunResults(const std::vector<RowResult>& results);
    // The tip counts the rows whose mappings are live.
    void ShowLiveCount();
    // Started with Windows, the window goes to the notification area once the first run is over.
    void HideAfterFirstRun();
    // Hands a run over the list as it is now to the worker.
    void PostRun(bool refreshAddress);
    std::vector<MappingEntry> ReadRows() const;
    void EnableMappingControls(BOOL bEnable);
    void EnableStartStop(BOOL bEnable);
    // The close: the worker stops the list within its time, then FinishClose
    // removes the icon, saves and ends the dialog.
    void BeginClose();
    void FinishClose();
    // The close ran out of time: the worker gives up on the router.
    void GiveUpClose();
    // Logs the rows of the close that a worker that did not even give up had not dealt with.
    void ReportRowsLeft();

    // Starts the gateway worker; false when the thread could not be created.
    virtual bool StartGatewayWorker();

    HICON m_hIcon;
    CListCtrl m_listMappings;
    const UINT m_nRefreshTimerId;
    NOTIFYICONDATAA m_nid;
    // Set when the first search has ended; until then a close is refused.
    bool m_bDiscoveryDone = false;
    bool m_bGatewayReady = false;
    bool m_bFoundOnce = false;
    bool m_bHideAfterRun = false;
    bool m_bHiddenInTray = false;
    bool m_bMappingActive = false;
    bool m_bClosing = false;
    // Another program asked the window to close.
    bool m_bCloseRequested = false;
    bool m_bClosed = false;
    bool m_bSessionEnding = false;
    // The last read of the external address found it not public, or none.
    bool m_bNoPublicAddress = false;
    // This machine's IPv6 address as the router's firewall sees it; "" without one.
    std::string m_strIpv6Address;
    // Counts Starts and Stops: results of an older Start are stale.
    long m_nGeneration = 0;
    int m_nInterval = 0;
    // Shared with the worker's thread, which may outlive the window.
    std::shared_ptr<ActivityLog> m_log;
    std::shared_ptr<CGatewayWorker> m_worker;
    // Tries of the icon's add while the taskbar is missing.
    int m_nTrayRetries = 0;
    // The router's table in its own window; null until first opened.
    std::unique_ptr<CRouterTableDlg> m_pTableDlg;

    DECLARE_MESSAGE_MAP()

private:
    // It reads the list and hands its requests to the worker.
    friend class CRouterTableDlg;
    void AppendAboutItem();
    void AddTrayIcon();
    // Adds the icon, or renews it; while the taskbar is missing a timer tries again.
    void PutTrayIcon();
    void ShowTrayTip(int liveRows);
    // Reports a failed change of the logon task on the status line and in the log.
    void ReportLogonTask(HRESULT hr);
    void OnTrayNotify(UINT mouseMessage);
    // The window goes to the notification area, and stays there until the
    // user brings it back: the dialog's own loop shows a hidden dialog once
    // its queue first runs empty, which a router found at once comes before.
    void HideInTray();
    void ShowFromTray(int nCmdShow);
    // Shows the first pop-up of a menu resource at the mouse pointer; a chosen
    // item arrives as this window's command.
    void TrackMenuAtCursor(UINT menuId, UINT flags);
    void StartGateway();
};
