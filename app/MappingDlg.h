#pragma once
#include "../framework/Dialog.h"
#include "../framework/IpAddressCtrl.h"
#include "../framework/ListCtrl.h"
#include "../log/ActivityLog.h"
#include "../res/resource.h"
#include <string>

// The main window: addresses, the mapping list, Start and Stop, the status line.
class CMappingDlg : public CDialog {
public:
    CMappingDlg();
    ~CMappingDlg() override = default;

    // Callable from the discovery worker: each becomes window messages that
    // the user-interface thread carries out.
    void Report(const std::string& message) { m_log.Report(message); }
    void ShowAddresses(const char* lanAddress, const char* gatewayHost, const char* externalAddress);
    void EnableStartStop();
    void MarkDiscoveryDone() { ::InterlockedExchange(&m_bDiscoveryDone, 1); }

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange() override;
    // Enter and Esc must not end the program behind the close rules' back.
    void OnOK() override {}
    void OnCancel() override {}

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnAbout();
    void OnClose();
    void OnLButtonDown(UINT nFlags, POINT point);
    LRESULT OnReservedMessage(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowStatus(WPARAM wParam, LPARAM lParam);

    // Starts the discovery worker; false when the thread could not be created.
    virtual bool StartDiscoveryWorker();

    CIpAddressCtrl AddressField(int id) const { return CIpAddressCtrl(::GetDlgItem(m_hWnd, id)); }

    HICON m_hIcon;
    CListCtrl m_listMappings;
    const UINT m_nRefreshTimerId;
    volatile LONG m_bDiscoveryDone = 0;
    ActivityLog m_log;

    DECLARE_MESSAGE_MAP()

private:
    void AppendAboutItem();
    void StartDiscovery();
};
