#include "GatewayWorker.h"
#include "BoundedCall.h"
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

// How long the worker waits for its thread to end when the window goes.
const DWORD kEndWaitMs = 2000;

bool TickPassed(DWORD tick)
{
    return static_cast<LONG>(::GetTickCount() - tick) >= 0;
}

// Milliseconds until tick, 0 once it has passed; one reading of the clock,
// so that it cannot wrap between two.
DWORD TickLeft(DWORD tick)
{
    LONG left = static_cast<LONG>(tick - ::GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

void PostEventTo(HWND hNotify, GatewayEvent event)
{
    GatewayEvent* posted = new GatewayEvent(std::move(event));
    if (!::PostMessageA(hNotify, WM_APP_GATEWAY_EVENT, 0, reinterpret_cast<LPARAM>(posted)))
        delete posted;
}
}

// Tells the worker when an address of this machine changes: a new network,
// a new lease, a cable plugged in. Where the system cannot tell, it never does.
// A pool thread waits for the change, so that the worker itself waits on its
// condition alone. The system writes into the OVERLAPPED when the request
// completes, which may be after the cancel: it lives on the heap until its
// completion is certain, and is left to the process when that never comes.
class CAddressWatch {
public:
    explicit CAddressWatch(CGatewayWorker& worker) : m_worker(worker), m_pOverlapped(new OVERLAPPED())
    {
        m_pOverlapped->hEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        Arm();
        if (!::RegisterWaitForSingleObject(&m_hWait, m_pOverlapped->hEvent, OnSignal, this, INFINITE,
                                           WT_EXECUTEDEFAULT))
            m_hWait = nullptr;
    }
    CAddressWatch(const CAddressWatch&) = delete;
    CAddressWatch& operator=(const CAddressWatch&) = delete;
    ~CAddressWatch()
    {
        // Returns once no callback runs any more.
        if (m_hWait)
            ::UnregisterWaitEx(m_hWait, INVALID_HANDLE_VALUE);
        if (m_bArmed && !Cancel())
            return;
        ::CloseHandle(m_pOverlapped->hEvent);
        delete m_pOverlapped;
    }
    void Arm()
    {
        HANDLE handle = nullptr;
        m_bArmed = ::NotifyAddrChange(&handle, m_pOverlapped) == ERROR_IO_PENDING;
    }

private:
    static void CALLBACK OnSignal(void* param, BOOLEAN)
    {
        static_cast<CAddressWatch*>(param)->m_worker.OnAddressChanged();
    }

    // True once the request has completed, cancelled or not.
    bool Cancel()
    {
        ::CancelIPChangeNotify(m_pOverlapped);
        return ::WaitForSingleObject(m_pOverlapped->hEvent, kCancelWaitMs) == WAIT_OBJECT_0
            || HasOverlappedIoCompleted(m_pOverlapped);
    }

    static const DWORD kCancelWaitMs = 500;
    CGatewayWorker& m_worker;
    OVERLAPPED* m_pOverlapped;
    bool m_bArmed = false;
    HANDLE m_hWait = nullptr;
};

DWORD SearchRetryDelayMs(DWORD msSinceSearchBegan)
{
    return msSinceSearchBegan < kQuickSearchPeriodMs ? 3000 : 30000;
}

CGatewayWorker::CGatewayWorker(ActivityLog& log)
    : m_log(log)
    , m_hClosed(::CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CGatewayWorker::~CGatewayWorker()
{
    // A window that ends without the close (it cannot otherwise) still must
    // not leave the thread with this object gone.
    if (m_bRunning) {
        PostClose({}, 0);
        GiveUp();
        if (!WaitClosed(kEndWaitMs))
            return;  // never seen: every wait of the worker is bounded
    }
    ::CloseHandle(m_hClosed);
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
        CSrwLockGuard guard(m_lock);
        m_queue.Push(std::move(job));
    }
    ::WakeConditionVariable(&m_wake);
}

bool CGatewayWorker::Take(GatewayJob* job)
{
    CSrwLockGuard guard(m_lock);
    return m_queue.Pop(job);
}

void CGatewayWorker::OnAddressChanged()
{
    {
        CSrwLockGuard guard(m_lock);
        m_bAddressChanged = true;
    }
    ::WakeConditionVariable(&m_wake);
}

bool CGatewayWorker::WaitForChange(DWORD timeoutMs)
{
    CSrwLockGuard guard(m_lock);
    ULONGLONG deadline = timeoutMs == INFINITE ? kNoDeadline : ::GetTickCount64() + timeoutMs;
    while (m_queue.Empty() && !m_bAddressChanged && SleepUntil(m_wake, m_lock, deadline)) {
    }
    bool changed = m_bAddressChanged;
    m_bAddressChanged = false;
    return changed;
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
    m_nCloseProgress = 0;
    GatewayJob job;
    job.kind = GatewayJob::Close;
    job.rows = std::move(rows);
    job.deadline = ::GetTickCount() + timeoutMs;
    Push(std::move(job));
    return true;
}

void CGatewayWorker::GiveUp()
{
    AbandonBoundedCalls();
}

bool CGatewayWorker::WaitClosed(DWORD timeoutMs) const
{
    DWORD deadline = ::GetTickCount() + timeoutMs;
    for (;;) {
        DWORD result = ::MsgWaitForMultipleObjects(1, &m_hClosed, FALSE, TickLeft(deadline), QS_SENDMESSAGE);
        if (result != WAIT_OBJECT_0 + 1)
            return result == WAIT_OBJECT_0;
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void CGatewayWorker::PostEvent(GatewayEvent event) const
{
    PostEventTo(m_hNotify, std::move(event));
}

void CGatewayWorker::EndThread(HWND hNotify)
{
    ::SetEvent(m_hClosed);
    PostEventTo(hNotify, { GatewayEvent::Closed });
}

void CGatewayWorker::Main()
{
    WSADATA wsaData;
    bool canSearch = ::WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
    if (canSearch)
        m_log.Report("开始搜索支持设备...");
    else
        PostEvent({ GatewayEvent::SearchFailed });
    Serve(canSearch);
    EndThread(m_hNotify);
}

void CGatewayWorker::Serve(bool canSearch)
{
    // Gone before the thread's end is signalled: its callback reaches this object.
    CAddressWatch watch(*this);
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
    for (;;) {
        if (canSearch && !m_gateway && TickPassed(m_dwNextSearch)) {
            Search();
            m_dwNextSearch = ::GetTickCount() + SearchRetryDelayMs(::GetTickCount() - m_dwSearchBegan);
        }
        GatewayJob job;
        if (Take(&job)) {
            if (job.kind == GatewayJob::Close) {
                Close(job);
                return;
            }
            Do(job);
            continue;
        }
        WaitForWork(canSearch && !m_gateway ? TickLeft(m_dwNextSearch) : INFINITE, watch);
    }
}

void CGatewayWorker::WaitForWork(DWORD timeoutMs, CAddressWatch& watch)
{
    if (!WaitForChange(timeoutMs))
        return;
    watch.Arm();
    // The router may now be elsewhere, or reachable at last.
    if (m_gateway)
        DeclareLost();
    else
        m_dwNextSearch = ::GetTickCount();
}

void CGatewayWorker::Do(const GatewayJob& job)
{
    switch (job.kind) {
    case GatewayJob::Run:
        RunRows(job);
        break;
    case GatewayJob::Stop:
        StopRows(job.rows, nullptr, true);
        break;
    case GatewayJob::Remove:
        RemoveRows(job.rows);
        break;
    case GatewayJob::Close:
        break;
    }
}

void CGatewayWorker::Close(const GatewayJob& job)
{
    // Rows deleted while the router was lost leave with the list.
    std::vector<MappingEntry> rows = job.rows;
    rows.insert(rows.end(), m_pendingRemovals.begin(), m_pendingRemovals.end());
    StopRows(rows, &job.deadline, true);
}

void CGatewayWorker::Search()
{
    FoundGateway found;
    m_gateway = SearchGateway(&found, m_log);
    if (m_gateway) {
        m_bEverFound = true;
        m_log.Report("完成搜索支持设备.");
        GatewayEvent event = { GatewayEvent::Found };
        event.lanAddress = found.lanAddress;
        event.gatewayHost = found.gatewayHost;
        event.externalAddress = found.externalAddress;
        PostEvent(std::move(event));
        RemovePending();
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
    if (!m_gateway)
        return;
    m_gateway.reset();
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
        RowState state = m_gateway ? MapRow(row, job.externalAddress) : RowState::Failed;
        done.rows.push_back({ row.protocol, row.externalPort, state });
    }
    if (job.refreshAddress && m_gateway)
        RefreshAddress();
    PostEvent(std::move(done));
}

RowState CGatewayWorker::MapRow(const MappingEntry& row, const std::string& externalAddress)
{
    MappingHolder holder;
    int result = LookUpMapping(*m_gateway, row, &holder);
    if (result == 0 && HeldElsewhere(row, holder))
        return ReportHeld(row, holder);
    // Free or ours again: a later holder is news.
    m_held.erase(row.protocol + " " + row.externalPort);
    if (result == 0)
        return RowState::Live;
    if (!MeansGatewayLost(result))
        result = AddMapping(*m_gateway, row);
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
    event.externalAddress = QueryExternalAddress(*m_gateway, &status);
    if (MeansGatewayLost(status))
        DeclareLost();
    PostEvent(std::move(event));
}

void CGatewayWorker::RemoveRows(const std::vector<MappingEntry>& rows)
{
    // Their rows are gone from the list: while the router is lost they wait
    // here, to be removed when it answers again or named at the close.
    if (!m_gateway) {
        m_pendingRemovals.insert(m_pendingRemovals.end(), rows.begin(), rows.end());
        return;
    }
    StopRows(rows, nullptr, false);
}

void CGatewayWorker::RemovePending()
{
    std::vector<MappingEntry> rows;
    rows.swap(m_pendingRemovals);
    RemoveRows(rows);
}

void CGatewayWorker::StopRows(const std::vector<MappingEntry>& rows, const DWORD* deadline, bool summary)
{
    if (!m_bEverFound) {
        m_log.Report("没有发现网关，列表中的映射未被删除。");
        return;
    }
    bool failed = false;
    for (size_t row = 0; row < rows.size(); ++row) {
        if (deadline)
            m_nCloseProgress = row;
        failed |= !StopRow(rows[row], deadline && TickPassed(*deadline));
    }
    if (deadline)
        m_nCloseProgress = rows.size();
    if (summary && !failed)
        m_log.Report("成功停止列表中的所有映射!");
}

bool CGatewayWorker::StopRow(const MappingEntry& row, bool giveUp)
{
    // A lost router or a close out of time: the mapping stays, and the log says so.
    if (!m_gateway || giveUp) {
        m_log.Report(FormatStopFailed(row, kGatewayUnreachable));
        return false;
    }
    // Only a mapping that points at the row's own address is ours to delete.
    MappingHolder holder;
    int result = LookUpMapping(*m_gateway, row, &holder);
    if (result == 0 && !SameAddress(holder.internalClient, row.internalIp)) {
        m_log.Report(FormatText("外网端口 %s 协议 %s 的映射属于其他主机 %s，未删除。\n", row.externalPort.c_str(),
                                row.protocol.c_str(), holder.internalClient.c_str()));
        return true;
    }
    if (result == 0)
        result = DeleteMapping(*m_gateway, row);
    if (result == 0 || result == kNoSuchEntry)
        return true;
    m_log.Report(FormatStopFailed(row, result));
    if (MeansGatewayLost(result))
        DeclareLost();
    return false;
}
