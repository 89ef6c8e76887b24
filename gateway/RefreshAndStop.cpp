// The refresh timer and Stop of the main window.
#include "../app/MappingDlg.h"
#include "GatewayInfo.h"
#include "GatewayRequests.h"
#include "../framework/Format.h"
#include "../mappings/MappingList.h"
#include <upnperrors.h>

namespace {
// UPnP error: the gateway holds no such mapping.
const int kNoSuchEntry = 714;

// Controls unlocked by Stop, in this order; Stop itself stays enabled throughout.
const int kUnlockedControls[] = { IDC_START, IDC_MAPPING_LIST, IDC_GATEWAY_ADDRESS, IDC_LAN_ADDRESS,
                                  IDC_EXTERNAL_ADDRESS, IDC_REFRESH_INTERVAL, IDC_AUTOSTART };

bool SameAddress(const std::string& a, const std::string& b)
{
    DWORD first, second;
    if (ParseDottedAddress(a.c_str(), &first) && ParseDottedAddress(b.c_str(), &second))
        return first == second;
    return a == b;
}

std::string FormatStopFailed(const MappingEntry& entry, int result)
{
    const char* reason = strupnperror(result);
    return FormatText("停止映射失败: 外网端口 %s 协议 %s, 错误代码 %d (%s)\n", entry.externalPort.c_str(),
                      entry.protocol.c_str(), result, reason ? reason : "(null)");
}
}

void CALLBACK CMappingDlg::RefreshTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    g_gatewayInfo.dialog->Refresh();
}

void CMappingDlg::Refresh()
{
    RunMappings(m_nStartGeneration);
    int status;
    AddressField(IDC_EXTERNAL_ADDRESS).SetAddressText(QueryExternalAddress(&status).c_str());
}

void CMappingDlg::OnBnClickedStop()
{
    // A newer generation cancels a run still going on the worker, and the timer it would set.
    ::InterlockedIncrement(&m_nStartGeneration);
    WaitWhileWorkerRuns();
    if (!HasGateway()) {
        Report("没有发现网关，列表中的映射未被删除。");
    } else {
        bool failed = false;
        for (int row = 0; row < m_listMappings.GetItemCount(); ++row)
            StopMapping(ReadMappingRow(m_listMappings, row), &failed);
        if (!failed)
            Report("成功停止列表中的所有映射!");
    }
    ::KillTimer(m_hWnd, m_nRefreshTimerId);
    for (int id : kUnlockedControls)
        GetDlgItem(id).EnableWindow(TRUE);
}

void CMappingDlg::StopMapping(const MappingEntry& entry, bool* failed)
{
    // Only a mapping that points at the row's own address is ours to delete.
    std::string internalClient;
    int result = LookUpMapping(entry, &internalClient);
    if (result == 0 && !SameAddress(internalClient, entry.internalIp)) {
        Report(FormatText("外网端口 %s 协议 %s 的映射属于其他主机 %s，未删除。\n", entry.externalPort.c_str(),
                          entry.protocol.c_str(), internalClient.c_str()));
        return;
    }
    if (result == 0)
        result = DeleteMapping(entry);
    if (result != 0 && result != kNoSuchEntry) {
        Report(FormatStopFailed(entry, result));
        *failed = true;
    }
}

void CMappingDlg::WaitWhileWorkerRuns()
{
    while (::MsgWaitForMultipleObjects(1, &m_hWorkerRunIdle, FALSE, INFINITE, QS_SENDMESSAGE)
           == WAIT_OBJECT_0 + 1) {
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
