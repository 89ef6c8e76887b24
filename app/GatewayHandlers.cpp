// The main window's side of the gateway work: handlers copy the list into jobs
// for the gateway worker and return at once; what the worker posts back
// arrives in OnGatewayEvent, which alone updates the controls.
#include "MappingDlg.h"
#include "../desktop/Autostart.h"
#include "../desktop/TrayIcon.h"
#include "../gateway/LogLines.h"
#include "../mappings/MappingList.h"
#include "../mappings/MappingRecord.h"
#include "../mappings/MappingStore.h"
#include <map>
#include <memory>

namespace {
// Controls that must not change while mappings are active, in the order Start
// locks and Stop unlocks them; Stop itself stays enabled throughout.
const int kMappingControls[] = { IDC_START, IDC_MAPPING_LIST, IDC_GATEWAY_ADDRESS, IDC_LAN_ADDRESS,
                                 IDC_EXTERNAL_ADDRESS, IDC_REFRESH_INTERVAL, IDC_AUTOSTART };

const UINT_PTR kCloseTimerId = 2;
const UINT kCloseCheckMs = 250;
// The worker stops rows until the router has been silent for the first, or
// for the second in all (the setup waits 15 s for the close); half a second
// later the window makes it give up whatever it still waits for, and waits at
// most the third for it to name what stayed. At the end of the Windows
// session the first bounds the whole close, which ends within five seconds.
const DWORD kCloseSilenceMs = 3500;
const DWORD kCloseCapMs = 11500;
const DWORD kCloseGraceMs = 500;
const DWORD kGiveUpWaitMs = 500;
}

std::vector<MappingEntry> CMappingDlg::ReadRows() const
{
    std::vector<MappingEntry> rows;
    for (int row = 0; row < m_listMappings.GetItemCount(); ++row)
        rows.push_back(ReadMappingTarget(m_listMappings, row));
    return rows;
}

void CMappingDlg::EnableMappingControls(BOOL bEnable)
{
    // Start needs a router that answers.
    for (int id : kMappingControls)
        GetDlgItem(id).EnableWindow(bEnable && (id != IDC_START || m_bGatewayReady));
}

void CMappingDlg::EnableStartStop(BOOL bEnable)
{
    // Stop first: whoever sees Start enabled finds Stop enabled too.
    GetDlgItem(IDC_STOP).EnableWindow(bEnable);
    GetDlgItem(IDC_START).EnableWindow(bEnable && !m_bMappingActive);
}

void CMappingDlg::OnBnClickedStart()
{
    if (m_bMappingActive || m_bClosing)
        return;
    if (m_listMappings.GetItemCount() == 0) {
        Report("提示: 请在[端口映射列表]中添加端口映射,在列表中右键或者选中菜单进行操作!");
        return;
    }
    std::string intervalText = GetDlgItem(IDC_REFRESH_INTERVAL).GetWindowText();
    if (intervalText.empty()) {
        Report("错误: 初始化设置项里的间隔时间出错!");
        return;
    }
    int interval = ParseIntervalText(intervalText);
    if (interval < 1) {
        Report("错误: 设置项里的间隔时间不能小于1秒,端口映射失败!");
        return;
    }
    m_nInterval = interval;
    MappingStore::SaveInterval(intervalText);
    m_bMappingActive = true;
    ++m_nGeneration;
    // Locked before the worker is handed the run: nothing it does, on the
    // router or in the log, comes before the settings are locked.
    EnableMappingControls(FALSE);
    PostRun(false);
}

void CMappingDlg::PostRun(bool refreshAddress)
{
    m_worker->PostRun(m_nGeneration, ReadRows(), GetAddressItem(IDC_EXTERNAL_ADDRESS).GetAddressText(), m_nInterval,
                      refreshAddress);
}

void CMappingDlg::OnBnClickedStop()
{
    if (m_bClosing)
        return;
    m_bMappingActive = false;
    ++m_nGeneration;
    ::KillTimer(m_hWnd, m_nRefreshTimerId);
    // A Stop ends the autostart's first run early: it is over all the same.
    HideAfterFirstRun();
    ShowRowStates(RowState::Inactive);
    EnableMappingControls(TRUE);
    // The worker last: its lines may come at once, and the window is unlocked by then.
    m_worker->PostStop(m_nGeneration, ReadRows());
}

LRESULT CMappingDlg::OnGatewayEvent(WPARAM, LPARAM lParam)
{
    std::unique_ptr<GatewayEvent> event(reinterpret_cast<GatewayEvent*>(lParam));
    if (m_bClosing && event->kind != GatewayEvent::Closed)
        return 0;
    switch (event->kind) {
    case GatewayEvent::Found:
        OnGatewayFound(*event);
        break;
    case GatewayEvent::SearchFailed:
        EndDiscovery();
        break;
    case GatewayEvent::Lost:
        OnGatewayLost();
        break;
    case GatewayEvent::RunDone:
        OnRunDone(*event);
        break;
    case GatewayEvent::Renewed:
        ShowResultsOf(*event);
        break;
    case GatewayEvent::ExternalAddress:
        OnExternalAddress(*event);
        break;
    case GatewayEvent::Ipv6Address:
        m_strIpv6Address = event->ipv6Address;
        break;
    case GatewayEvent::Table:
        if (m_pTableDlg && m_pTableDlg->IsOpen())
            m_pTableDlg->ShowTable(event->table);
        break;
    case GatewayEvent::Closed:
        FinishClose();
        break;
    }
    return 0;
}

void CMappingDlg::OnGatewayFound(const GatewayEvent& event)
{
    GetAddressItem(IDC_LAN_ADDRESS).SetAddressText(event.lanAddress.c_str());
    GetAddressItem(IDC_GATEWAY_ADDRESS).SetAddressText(event.gatewayHost.c_str());
    GetAddressItem(IDC_EXTERNAL_ADDRESS).SetAddressText(event.externalAddress.c_str());
    m_bNoPublicAddress = event.noPublicAddress;
    bool firstFound = !m_bFoundOnce;
    m_bGatewayReady = m_bFoundOnce = true;
    EnableStartStop(TRUE);
    if (m_bMappingActive) {
        // A router found again gets the list at once, not at the next interval.
        PostRun(false);
    } else if (firstFound && IsAutostartEnabled()) {
        // Started with Windows: map as soon as the router answers, however
        // late, then live in the notification area once the first run is over.
        OnBnClickedStart();
        m_bHideAfterRun = m_bMappingActive;
        if (!m_bHideAfterRun)
            HideInTray();
    }
    EndDiscovery();
}

void CMappingDlg::OnExternalAddress(const GatewayEvent& event)
{
    GetAddressItem(IDC_EXTERNAL_ADDRESS).SetAddressText(event.externalAddress.c_str());
    m_bNoPublicAddress = event.noPublicAddress;
    ShowLiveCount();
}

void CMappingDlg::OnGatewayLost()
{
    m_bGatewayReady = false;
    if (m_bMappingActive)
        ShowRowStates(RowState::Failed);
    GetAddressItem(IDC_EXTERNAL_ADDRESS).SetAddressText("");
    GetDlgItem(IDC_START).EnableWindow(FALSE);
}

void CMappingDlg::HideAfterFirstRun()
{
    if (m_bHideAfterRun)
        HideInTray();
    m_bHideAfterRun = false;
}

bool CMappingDlg::ShowResultsOf(const GatewayEvent& event)
{
    if (event.generation != m_nGeneration || !m_bMappingActive)
        return false;
    // Results of a run that lost the router came after the Lost event: the
    // rows stay failed.
    if (m_bGatewayReady)
        ShowRunResults(event.rows);
    return true;
}

void CMappingDlg::OnRunDone(const GatewayEvent& event)
{
    if (!ShowResultsOf(event))
        return;
    HideAfterFirstRun();
    // The next refresh comes one interval after this run ended, so runs
    // never pile up behind a slow router. The period is a 32-bit count of
    // milliseconds; the system caps timers at USER_TIMER_MAXIMUM.
    unsigned long long period = static_cast<unsigned long long>(m_nInterval) * 1000;
    ::SetTimer(m_hWnd, m_nRefreshTimerId,
               static_cast<UINT>(period < USER_TIMER_MAXIMUM ? period : USER_TIMER_MAXIMUM), nullptr);
}

void CMappingDlg::ShowRowStates(RowState state)
{
    for (int row = 0; row < m_listMappings.GetItemCount(); ++row)
        ShowRowState(row, state);
    ShowLiveCount();
}

void CMappingDlg::ShowRowState(int row, RowState state)
{
    // Only a change repaints the row.
    if (m_listMappings.GetItemImage(row) != static_cast<int>(state))
        m_listMappings.SetItemImage(row, static_cast<int>(state));
}

void CMappingDlg::ShowLiveCount()
{
    // The shell is another process, and at the session's end it is going too.
    if (m_bSessionEnding)
        return;
    int live = 0;
    for (int row = 0; row < m_listMappings.GetItemCount(); ++row)
        live += m_listMappings.GetItemImage(row) == static_cast<int>(RowState::Live);
    ShowTrayTip(live);
}

void CMappingDlg::ShowRunResults(const std::vector<RowResult>& results)
{
    // Matched by protocol and external port: rows added, deleted or moved
    // since the run began keep their own state.
    std::map<std::string, RowState> states;
    for (const RowResult& result : results)
        states[result.protocol + " " + result.externalPort] = result.state;
    for (int row = 0; row < m_listMappings.GetItemCount(); ++row) {
        MappingEntry entry = ReadMappingTarget(m_listMappings, row);
        auto found = states.find(entry.protocol + " " + entry.externalPort);
        if (found != states.end())
            ShowRowState(row, found->second);
    }
    ShowLiveCount();
}

void CMappingDlg::OnTimer(UINT_PTR nIDEvent)
{
    ::KillTimer(m_hWnd, nIDEvent);
    if (nIDEvent == kCloseTimerId) {
        if (!m_worker->CloseOverdue(kCloseGraceMs)) {
            ::SetTimer(m_hWnd, kCloseTimerId, kCloseCheckMs, nullptr);
            return;
        }
        GiveUpClose();
        FinishClose();
    } else if (nIDEvent == m_nRefreshTimerId && m_bMappingActive && m_bGatewayReady) {
        // While the router is lost the refreshes pause: the worker is
        // searching, and the router found again gets the list at once.
        PostRun(true);
    }
}

void CMappingDlg::BeginClose()
{
    if (m_bClosing)
        return;
    m_bClosing = true;
    m_bMappingActive = false;
    ::KillTimer(m_hWnd, m_nRefreshTimerId);
    ShowRowStates(RowState::Inactive);
    if (!m_worker->PostClose(ReadRows(), kCloseSilenceMs, m_bSessionEnding ? kCloseSilenceMs : kCloseCapMs)) {
        FinishClose();
        return;
    }
    ::SetTimer(m_hWnd, kCloseTimerId, kCloseCheckMs, nullptr);
}

void CMappingDlg::GiveUpClose()
{
    m_worker->GiveUp();
    if (!m_worker->WaitClosed(kGiveUpWaitMs))
        ReportRowsLeft();
}

void CMappingDlg::ReportRowsLeft()
{
    CloseLeft left = m_worker->TakeCloseLeft();
    for (const MappingEntry& row : left.rows)
        Report(FormatStopFailed(row, kGatewayUnreachable));
    for (const std::string& line : left.pinholeLines)
        Report(line);
}

void CMappingDlg::FinishClose()
{
    if (m_bClosed)
        return;
    m_bClosed = true;
    ::KillTimer(m_hWnd, kCloseTimerId);
    // At the session's end the list is saved already, and the shell is going.
    if (!m_bSessionEnding) {
        RemoveTrayIcon(&m_nid);
        MappingStore::Save(m_listMappings, GetDlgItem(IDC_REFRESH_INTERVAL).GetWindowText());
    }
    // Enter and Esc are ignored, so the close ends the dialog itself.
    EndDialog(IDCANCEL);
}

LRESULT CMappingDlg::OnQueryEndSession(WPARAM, LPARAM)
{
    return TRUE;
}

LRESULT CMappingDlg::OnEndSession(WPARAM wParam, LPARAM)
{
    if (!wParam)
        return 0;
    // The process may end as soon as this returns, or be killed before: the
    // list is saved first, then the close's work is done here, the stop
    // bounded in time, whatever the close rules would refuse.
    m_bSessionEnding = true;
    MappingStore::Save(m_listMappings, GetDlgItem(IDC_REFRESH_INTERVAL).GetWindowText());
    BeginClose();
    if (!m_bClosed && !m_worker->WaitClosed(kCloseSilenceMs + kCloseGraceMs))
        GiveUpClose();
    FinishClose();
    return 0;
}
