#pragma once
#include "../framework/Dialog.h"
#include "../framework/IpAddressCtrl.h"
#include "../framework/ListCtrl.h"
#include "../log/ActivityLog.h"
#include "../mappings/MappingEntry.h"
#include "../res/resource.h"
#include <shellapi.h>
#include <string>

// Callback message of the notification-area icon.
const UINT WM_TRAY_NOTIFY = WM_USER + 101;

// Posted by a Start on another thread: wParam the Start's generation, lParam the interval.
const UINT WM_APP_SET_REFRESH_TIMER = WM_APP + 2;

// The main window: addresses, the mapping list, Start and Stop, the status line.
class CMappingDlg : public CDialog {
public:
    CMappingDlg();
    ~CMappingDlg() override;

    // Callable from the discovery worker: each becomes window messages that
    // the user-interface thread carries out.
    void Report(const std::string& message) { m_log.Report(message); }
    void ShowAddresses(const char* lanAddress, const char* gatewayHost, const char* externalAddress);
    void EnableStartStop();
    void MarkDiscoveryDone() { ::InterlockedExchange(&m_bDiscoveryDone, 1); }
    // Waits until the window's initialisation has finished (the list is loaded).
    void WaitUntilInitialised() const { ::WaitForSingleObject(m_hInitialised, INFINITE); }
    void Hide() const { ShowWindow(SW_HIDE); }
    // Start, as the button does; also called on the discovery worker.
    void OnBnClickedStart();
    // Stop: the listed mappings leave the gateway, the timer stops, the controls unlock.
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
    void OnClose();
    void OnLButtonDown(UINT nFlags, POINT point);
    LRESULT OnReservedMessage(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnSetRefreshTimer(WPARAM wParam, LPARAM lParam);

    // One mapping run: every listed mapping the gateway lacks is added. It ends
    // early when a Stop makes its Start's generation stale.
    void RunMappings(LONG generation);
    void SetRefreshTimer(LONG generation, int interval);
    void EnableMappingControls(BOOL bEnable);
    static void CALLBACK RefreshTimerProc(HWND hWnd, UINT msg, UINT_PTR idEvent, DWORD time);
    void Refresh();
    void StopMapping(const MappingEntry& entry, bool* failed);
    // Lets a run on the worker end first, serving the messages it sends meanwhile.
    void WaitWhileWorkerRuns();
    bool IsUiThread() const { return ::GetWindowThreadProcessId(m_hWnd, nullptr) == ::GetCurrentThreadId(); }

    // Starts the discovery worker; false when the thread could not be created.
    virtual bool StartDiscoveryWorker();

    HICON m_hIcon;
    CListCtrl m_listMappings;
    const UINT m_nRefreshTimerId;
    NOTIFYICONDATAA m_nid;
    volatile LONG m_bDiscoveryDone = 0;
    // Counts Starts and Stops, so that a timer handed over by a Start on the
    // worker is not set after a Stop that came later.
    volatile LONG m_nStartGeneration = 0;
    // Reset while a Start runs on the discovery worker.
    HANDLE m_hWorkerRunIdle;
    // Signalled at the end of OnInitDialog.
    HANDLE m_hInitialised;
    ActivityLog m_log;
    // Tries of the icon's add while the taskbar is missing.
    int m_nTrayRetries = 0;

    DECLARE_MESSAGE_MAP()

private:
    void AppendAboutItem();
    void AddTrayIcon();
    // Adds the icon, or renews it; while the taskbar is missing a timer tries again.
    void PutTrayIcon();
    // Reports a failed change of the logon task on the status line and in the log.
    void ReportLogonTask(HRESULT hr);
    void OnTrayNotify(UINT mouseMessage);
    // Shows the first pop-up of a menu resource at the mouse pointer; a chosen
    // item arrives as this window's command.
    void TrackMenuAtCursor(UINT menuId, UINT flags);
    void StartDiscovery();
};
