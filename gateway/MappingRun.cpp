// Start and the mapping run of the main window.
#include "../app/MappingDlg.h"
#include "GatewayRequests.h"
#include "../mappings/MappingList.h"
#include "../mappings/MappingStore.h"

namespace {
// Controls that must not change while mappings are active, in the order Start
// locks and Stop unlocks them; Stop itself stays enabled throughout.
const int kMappingControls[] = { IDC_START, IDC_MAPPING_LIST, IDC_GATEWAY_ADDRESS, IDC_LAN_ADDRESS,
                                 IDC_EXTERNAL_ADDRESS, IDC_REFRESH_INTERVAL, IDC_AUTOSTART };

// While a Start runs on the discovery worker, its event is reset: a Stop then
// waits for the Start to finish instead of racing it.
class CWorkerStartScope {
public:
    CWorkerStartScope(HANDLE hIdle, bool onWorker) : m_hIdle(onWorker ? hIdle : nullptr)
    {
        if (m_hIdle)
            ::ResetEvent(m_hIdle);
    }
    CWorkerStartScope(const CWorkerStartScope&) = delete;
    CWorkerStartScope& operator=(const CWorkerStartScope&) = delete;
    ~CWorkerStartScope()
    {
        if (m_hIdle)
            ::SetEvent(m_hIdle);
    }

private:
    HANDLE m_hIdle;
};
}

void CMappingDlg::EnableMappingControls(BOOL bEnable)
{
    for (int id : kMappingControls)
        GetDlgItem(id).EnableWindow(bEnable);
}

void CMappingDlg::OnBnClickedStart()
{
    CWorkerStartScope scope(m_hWorkerRunIdle, !IsUiThread());
    LONG seen = m_nStartGeneration;
    if (m_listMappings.GetItemCount() == 0) {
        Report("提示: 请在[端口映射列表]中添加端口映射,在列表中右键或者选中菜单进行操作!");
        return;
    }
    std::string intervalText = GetDlgItem(IDC_REFRESH_INTERVAL).GetWindowText();
    if (intervalText.empty()) {
        Report("错误: 初始化设置项里的间隔时间出错!");
        return;
    }
    int interval = MappingStore::ParseInterval(intervalText);
    if (interval < 1) {
        Report("错误: 设置项里的间隔时间不能小于1秒,端口映射失败!");
        return;
    }
    // A Stop since the checks began wins: this Start then changes nothing.
    LONG generation = seen + 1;
    if (::InterlockedCompareExchange(&m_nStartGeneration, generation, seen) != seen)
        return;
    EnableMappingControls(FALSE);
    RunMappings(generation);
    SetRefreshTimer(generation, interval);
}

void CMappingDlg::RunMappings(LONG generation)
{
    std::string externalAddress = GetAddressItem(IDC_EXTERNAL_ADDRESS).GetAddressText();
    // A Stop while this run goes on (possible only for a run on the worker) ends it.
    for (int row = 0; row < m_listMappings.GetItemCount() && generation == m_nStartGeneration; ++row) {
        MappingEntry entry = ReadMappingTarget(m_listMappings, row);
        std::string internalClient;
        if (LookUpMapping(entry, &internalClient) == 0)
            continue;
        int result = AddMapping(entry);
        Report(result == 0 ? FormatAddSucceeded(externalAddress, entry) : FormatAddFailed(entry, result));
    }
}

void CMappingDlg::SetRefreshTimer(LONG generation, int interval)
{
    // Only the window's own thread may set its timer: a Start on the discovery
    // worker hands it over, and a Stop in between (a newer generation) cancels it.
    if (!IsUiThread()) {
        PostMessage(WM_APP_SET_REFRESH_TIMER, static_cast<WPARAM>(generation), interval);
        return;
    }
    if (generation != m_nStartGeneration)
        return;
    // The period is a 32-bit count of milliseconds; the system caps timers at USER_TIMER_MAXIMUM.
    unsigned long long period = static_cast<unsigned long long>(interval) * 1000;
    ::SetTimer(m_hWnd, m_nRefreshTimerId,
               static_cast<UINT>(period < USER_TIMER_MAXIMUM ? period : USER_TIMER_MAXIMUM),
               RefreshTimerProc);
}

LRESULT CMappingDlg::OnSetRefreshTimer(WPARAM wParam, LPARAM lParam)
{
    SetRefreshTimer(static_cast<LONG>(wParam), static_cast<int>(lParam));
    return 0;
}
