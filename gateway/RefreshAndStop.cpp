// The refresh timer and Stop of the main window.
#include "../app/MappingDlg.h"
#include "GatewayInfo.h"
#include "GatewayRequests.h"
#include "../framework/Format.h"
#include "../mappings/MappingList.h"

namespace {
// UPnP error: the gateway holds no such mapping.
const int kNoSuchEntry = 714;

bool SameAddress(const std::string& a, const std::string& b)
{
    DWORD first, second;
    if (ParseDottedAddress(a.c_str(), &first) && ParseDottedAddress(b.c_str(), &second))
        return first == second;
    return a == b;
}

std::string FormatStopFailed(const MappingEntry& entry, int result)
{
    return FormatText("停止映射失败: 外网端口 %s 协议 %s, 错误代码 %d (%s)\n", entry.externalPort.c_str(),
                      entry.protocol.c_str(), result, UpnpErrorText(result));
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
    GetAddressItem(IDC_EXTERNAL_ADDRESS).SetAddressText(QueryExternalAddress(&status).c_str());
}

void CMappingDlg::OnBnClickedStop()
{
    // A newer generation ends a run still going on the worker early; raised
    // again after the wait, it also voids the timer a Start that finished
    // meanwhile has handed over.
    ::InterlockedIncrement(&m_nStartGeneration);
    WaitWhileWorkerRuns();
    ::InterlockedIncrement(&m_nStartGeneration);
    if (!HasGateway()) {
        Report("没有发现网关，列表中的映射未被删除。");
    } else {
        bool failed = false;
        for (int row = 0; row < m_listMappings.GetItemCount(); ++row)
            StopMapping(ReadMappingTarget(m_listMappings, row), &failed);
        if (!failed)
            Report("成功停止列表中的所有映射!");
    }
    ::KillTimer(m_hWnd, m_nRefreshTimerId);
    EnableMappingControls(TRUE);
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
