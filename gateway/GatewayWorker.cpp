#include "GatewayWorker.h"
#include "Discovery.h"
#include "GatewayRequests.h"
#include "../framework/Format.h"
#include "../framework/Thread.h"
#include "../log/ActivityLog.h"
#include <winsock2.h>
#include <iphlpapi.h>

namespace {
// UPnP error: the gateway holds no such mapping.
const int kNoSuchEntry = 714;
const DWORD kQuickSearchPeriodMs = 5 * 60 * 1000;

const char* kNoGatewayFound = "没有发现可支持的UPNP映射设备，如果在路由器里被禁用了，请启用UPNP或者尝试重启路由器。"
                              "如若路由不支持请手工映射。";

bool TickPassed(DWORD tick)
{
    return static_cast<LONG>(::GetTickCount() - tick) >= 0;
}
}

// Signals its event when an address of this machine changes: a new network,
// a new lease, a cable plugged in. Where the system cannot tell, it never does.
class CAddressWatch {
public:
    CAddressWatch() : m_overlapped() { m_overlapped.hEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr); Arm(); }
    CAddressWatch(const CAddressWatch&) = delete;
    CAddressWatch& operator=(const CAddressWatch&) = delete;
    ~CAddressWatch()
    {
        if (m_bArmed)
            ::CancelIPChangeNotify(&m_overlapped);
        ::CloseHandle(m_overlapped.hEvent);
    }
    HANDLE Event() const { return m_overlapped.hEvent; }
    void Arm()
    {
        HANDLE handle = nullptr;
        m_bArmed = ::NotifyAddrChange(&handle, &m_overlapped) == ERROR_IO_PENDING;
    }

private:
    OVERLAPPED m_overlapped;
    bool m_bArmed = false;
};

DWORD SearchRetryDelayMs(DWORD msSinceSearchBegan)
{
    return msSinceSearchBegan < kQuickSearchPeriodMs ? 3000 : 30000;
}

CGatewayWorker::CGatewayWorker(ActivityLog& log)
    : m_log(log)
    , m_hWake(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
    , m_hClosed(::CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CGatewayWorker::~CGatewayWorker()
{
    // A worker stuck in a request past the close is left to the process's end.
    if (m_bRunning && !WaitClosed(0))
        return;
    ::CloseHandle(m_hClosed);
    ::CloseHandle(m_hWake);
}

bool CGatewayWorker::Start(HWND hNotify)
{
    m_hNotify = hNotify;
    m_bRunning = StartWorkerThread(ThreadProc, this);
    return m_bRunning;
}

unsigned __stdcall CGatewayWorker::ThreadProc(void* param)
{
    static_cast<CGatewayWorker*>(param)->Main();
    return 0;
}

void CGatewayWorker::Push(GatewayJob job)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_queue.Push(std::move(job));
    }
    ::SetEvent(m_hWake);
}

bool CGatewayWorker::Take(GatewayJob* job)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_queue.Pop(job);
}

void CGatewayWorker::PostRun(long generation, std::vector<MappingEntry> rows, const std::string& externalAddress,
                             bool refreshAddress)
{
    m_nGeneration = generation;
    GatewayJob job;
    job.kind = GatewayJob::Run;
    job.generation = generation;
    job.rows = std::move(rows);
    job.externalAddress = externalAddress;
    job.refreshAddress = refreshAddress;
    Push(std::move(job));
}

void CGatewayWorker::PostStop(long generation, std::vector<MappingEntry> rows)
{
    // Set before the job waits, so that a run going on sees it at its next row.
    m_nGeneration = generation;
    GatewayJob job;
    job.kind = GatewayJob::Stop;
    job.generation = generation;
    job.rows = std::move(rows);
    Push(std::move(job));
}

void CGatewayWorker::PostRemove(std::vector<MappingEntry> rows)
{
    GatewayJob job;
    job.kind = GatewayJob::Remove;
    job.rows = std::move(rows);
    Push(std::move(job));
}

bool CGatewayWorker::PostClose(std::vector<MappingEntry> rows, DWORD timeoutMs)
{
    if (!m_bRunning)
        return false;
    ++m_nGeneration;
    GatewayJob job;
    job.kind = GatewayJob::Close;
    job.rows = std::move(rows);
    job.deadline = ::GetTickCount() + timeoutMs;
    Push(std::move(job));
    return true;
}

bool CGatewayWorker::WaitClosed(DWORD timeoutMs) const
{
    DWORD deadline = ::GetTickCount() + timeoutMs;
    for (;;) {
        DWORD left = TickPassed(deadline) ? 0 : deadline - ::GetTickCount();
        DWORD result = ::MsgWaitForMultipleObjects(1, &m_hClosed, FALSE, left, QS_SENDMESSAGE);
        if (result != WAIT_OBJECT_0 + 1)
            return result == WAIT_OBJECT_0;
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void CGatewayWorker::PostEvent(GatewayEvent event) const
{
    GatewayEvent* posted = new GatewayEvent(std::move(event));
    if (!::PostMessageA(m_hNotify, WM_APP_GATEWAY_EVENT, 0, reinterpret_cast<LPARAM>(posted)))
        delete posted;
}

void CGatewayWorker::Main()
{
    WSADATA wsaData;
    bool canSearch = ::WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
    if (canSearch)
        m_log.Report("开始搜索支持设备...");
    else
        PostEvent({ GatewayEvent::SearchFailed });
    CAddressWatch watch;
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
    for (;;) {
        if (canSearch && !m_bFound && TickPassed(m_dwNextSearch)) {
            Search();
            m_dwNextSearch = ::GetTickCount() + SearchRetryDelayMs(::GetTickCount() - m_dwSearchBegan);
        }
        GatewayJob job;
        if (Take(&job)) {
            if (!Do(job))
                return;
            continue;
        }
        bool searching = canSearch && !m_bFound;
        WaitForWork(searching ? (TickPassed(m_dwNextSearch) ? 0 : m_dwNextSearch - ::GetTickCount()) : INFINITE,
                    watch);
    }
}

void CGatewayWorker::WaitForWork(DWORD timeoutMs, CAddressWatch& watch)
{
    HANDLE handles[] = { m_hWake, watch.Event() };
    if (::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) != WAIT_OBJECT_0 + 1)
        return;
    watch.Arm();
    // The router may now be elsewhere, or reachable at last.
    if (m_bFound)
        DeclareLost();
    else
        m_dwNextSearch = ::GetTickCount();
}

bool CGatewayWorker::Do(const GatewayJob& job)
{
    switch (job.kind) {
    case GatewayJob::Run:
        RunRows(job);
        return true;
    case GatewayJob::Stop:
        StopRows(job, true);
        return true;
    case GatewayJob::Remove:
        StopRows(job, false);
        return true;
    case GatewayJob::Close:
        StopRows(job, true);
        PostEvent({ GatewayEvent::Closed });
        ::SetEvent(m_hClosed);
        return false;
    }
    return true;
}

void CGatewayWorker::Search()
{
    FoundGateway found;
    if (SearchGateway(&m_gateway, &found, m_log)) {
        m_bFound = m_bEverFound = true;
        m_log.Report("完成搜索支持设备.");
        GatewayEvent event = { GatewayEvent::Found };
        event.lanAddress = found.lanAddress;
        event.gatewayHost = found.gatewayHost;
        event.externalAddress = found.externalAddress;
        PostEvent(std::move(event));
        return;
    }
    // Told once: the worker keeps searching quietly until a router answers.
    if (m_bEverFound || m_bFailureReported)
        return;
    m_bFailureReported = true;
    m_log.Report(kNoGatewayFound);
    PostEvent({ GatewayEvent::SearchFailed });
}

void CGatewayWorker::DeclareLost()
{
    if (!m_bFound)
        return;
    FreeUPNPUrls(&m_gateway.urls);
    m_gateway = GatewayInfo();
    m_bFound = false;
    m_log.Report("与路由器的连接已中断，正在重新搜索支持设备...");
    PostEvent({ GatewayEvent::Lost });
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
}

void CGatewayWorker::RunRows(const GatewayJob& job)
{
    if (job.generation != m_nGeneration)
        return;
    if (job.generation != m_nHeldGeneration) {
        m_held.clear();
        m_nHeldGeneration = job.generation;
    }
    GatewayEvent done = { GatewayEvent::RunDone };
    done.generation = job.generation;
    for (const MappingEntry& row : job.rows) {
        // A Stop or a close since the run began ends it here.
        if (job.generation != m_nGeneration)
            return;
        RowState state = m_bFound ? MapRow(row, job.externalAddress) : RowState::Failed;
        done.rows.push_back({ row.protocol, row.externalPort, state });
    }
    if (job.refreshAddress && m_bFound)
        RefreshAddress();
    PostEvent(std::move(done));
}

RowState CGatewayWorker::MapRow(const MappingEntry& row, const std::string& externalAddress)
{
    MappingHolder holder;
    int result = LookUpMapping(m_gateway, row, &holder);
    if (result == 0)
        return HeldElsewhere(row, holder) ? ReportHeld(row, holder) : RowState::Live;
    if (!MeansGatewayLost(result))
        result = AddMapping(m_gateway, row);
    if (MeansGatewayLost(result)) {
        // One line for the router, not one per row.
        DeclareLost();
        return RowState::Failed;
    }
    m_log.Report(result == 0 ? FormatAddSucceeded(externalAddress, row) : FormatAddFailed(row, result));
    return result == 0 ? RowState::Live : RowState::Failed;
}

RowState CGatewayWorker::ReportHeld(const MappingEntry& row, const MappingHolder& holder)
{
    std::string& told = m_held[row.protocol + " " + row.externalPort];
    std::string holderText = holder.internalClient + ":" + holder.internalPort;
    if (told != holderText) {
        told = holderText;
        m_log.Report(FormatHeldElsewhere(row, holder));
    }
    return RowState::Held;
}

void CGatewayWorker::RefreshAddress()
{
    int status = 0;
    GatewayEvent event = { GatewayEvent::ExternalAddress };
    event.externalAddress = QueryExternalAddress(m_gateway, &status);
    if (MeansGatewayLost(status))
        DeclareLost();
    PostEvent(std::move(event));
}

void CGatewayWorker::StopRows(const GatewayJob& job, bool summary)
{
    if (!m_bEverFound) {
        m_log.Report("没有发现网关，列表中的映射未被删除。");
        return;
    }
    bool failed = false;
    for (size_t row = 0; row < job.rows.size(); ++row) {
        m_nCloseProgress = row;
        bool giveUp = job.kind == GatewayJob::Close && TickPassed(job.deadline);
        failed |= !StopRow(job.rows[row], giveUp);
    }
    m_nCloseProgress = job.rows.size();
    if (summary && !failed)
        m_log.Report("成功停止列表中的所有映射!");
}

bool CGatewayWorker::StopRow(const MappingEntry& row, bool giveUp)
{
    // A lost router or a close out of time: the mapping stays, and the log says so.
    if (!m_bFound || giveUp) {
        m_log.Report(FormatStopFailed(row, kGatewayUnreachable));
        return false;
    }
    // Only a mapping that points at the row's own address is ours to delete.
    MappingHolder holder;
    int result = LookUpMapping(m_gateway, row, &holder);
    if (result == 0 && !SameAddress(holder.internalClient, row.internalIp)) {
        m_log.Report(FormatText("外网端口 %s 协议 %s 的映射属于其他主机 %s，未删除。\n", row.externalPort.c_str(),
                                row.protocol.c_str(), holder.internalClient.c_str()));
        return true;
    }
    if (result == 0)
        result = DeleteMapping(m_gateway, row);
    if (result == 0 || result == kNoSuchEntry)
        return true;
    m_log.Report(FormatStopFailed(row, result));
    if (MeansGatewayLost(result))
        DeclareLost();
    return false;
}
