#include "GatewayWorker.h"
#include "BoundedCall.h"
#include "Discovery.h"
#include "GatewayRequests.h"
#include "PortControlRows.h"
#include "RunTiming.h"
#include "../framework/DottedAddress.h"
#include "../framework/Format.h"
#include "../framework/Thread.h"
#include "../mappings/MappingEntry.h"
#include "../log/ActivityLog.h"
#include <winsock2.h>
#include <iphlpapi.h>
#include <algorithm>

namespace {
// UPnP error: the router will not change the mapping as asked.
const int kConflictInMappingEntry = 718;
const DWORD kQuickSearchPeriodMs = 5 * 60 * 1000;

// What the run knows of a port that PCP or NAT-PMP would not give: not who holds it.
const MappingHolder kUnknownHolder = { "未知主机", "?" };

const char* kAllStopped = "成功停止列表中的所有映射!";
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

// Rows are known to the router by protocol and external port.
std::string RowKey(const MappingEntry& row)
{
    return row.protocol + " " + row.externalPort;
}

void AddOnce(std::vector<MappingEntry>* rows, const MappingEntry& row)
{
    if (std::find(rows->begin(), rows->end(), row) == rows->end())
        rows->push_back(row);
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

CGatewayWorker::CGatewayWorker(std::shared_ptr<ActivityLog> log)
    : m_pLog(std::move(log))
    , m_log(*m_pLog)
    , m_hClosed(::CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CGatewayWorker::~CGatewayWorker()
{
    ::CloseHandle(m_hClosed);
}

void CGatewayWorker::Release()
{
    // A window that ends without the close (it cannot otherwise) still must
    // not keep the process waiting on the router.
    if (m_bRunning && ::WaitForSingleObject(m_hClosed, 0) != WAIT_OBJECT_0) {
        PostClose({}, 0);
        GiveUp();
        WaitClosed(kEndWaitMs);
    }
}

bool CGatewayWorker::Start(HWND hNotify)
{
    m_hNotify = hNotify;
    auto* self = new std::shared_ptr<CGatewayWorker>(shared_from_this());
    m_bRunning = StartWorkerThread(ThreadProc, self);
    if (!m_bRunning)
        delete self;
    return m_bRunning;
}

unsigned __stdcall CGatewayWorker::ThreadProc(void* param)
{
    std::unique_ptr<std::shared_ptr<CGatewayWorker>> self(static_cast<std::shared_ptr<CGatewayWorker>*>(param));
    (*self)->Main();
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
                             int intervalSeconds, bool refreshAddress)
{
    m_nGeneration = generation;
    GatewayJob job;
    job.kind = GatewayJob::Run;
    job.generation = generation;
    job.rows = std::move(rows);
    job.externalAddress = externalAddress;
    job.intervalSeconds = intervalSeconds;
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
    {
        // From now on the close answers for every row it leaves behind,
        // whether or not the worker ever gets to it.
        CSrwLockGuard guard(m_lock);
        m_queue.Push(std::move(job));
        m_closeRowsLeft = m_queue.CloseRows();
        TakePending(&m_closeRowsLeft);
    }
    ::WakeConditionVariable(&m_wake);
    // A search going on would hold the close up for seconds: it ends here,
    // and the close tries the router last found.
    m_bClosePosted = true;
    WakeBoundedCalls();
    return true;
}

void CGatewayWorker::GiveUp()
{
    AbandonBoundedCalls();
}

std::vector<MappingEntry> CGatewayWorker::TakeCloseRowsLeft()
{
    CSrwLockGuard guard(m_lock);
    m_bCloseRowsTaken = true;
    return std::move(m_closeRowsLeft);
}

bool CGatewayWorker::NextCloseRow(MappingEntry* row)
{
    CSrwLockGuard guard(m_lock);
    if (m_bCloseRowsTaken || m_closeRowsLeft.empty())
        return false;
    *row = m_closeRowsLeft.front();
    m_closeRowsLeft.erase(m_closeRowsLeft.begin());
    return true;
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

void CGatewayWorker::EndThread()
{
    ::SetEvent(m_hClosed);
    PostEvent({ GatewayEvent::Closed });
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
    EndThread();
}

void CGatewayWorker::Serve(bool canSearch)
{
    // Gone before the thread's end is signalled: its callback reaches this object.
    CAddressWatch watch(*this);
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
    for (;;) {
        if (canSearch && !m_router && TickPassed(m_dwNextSearch)) {
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
        WaitForWork(canSearch && !m_router ? TickLeft(m_dwNextSearch) : INFINITE, watch);
    }
}

void CGatewayWorker::WaitForWork(DWORD timeoutMs, CAddressWatch& watch)
{
    if (!WaitForChange(timeoutMs))
        return;
    watch.Arm();
    // The router may now be elsewhere, or reachable at last.
    if (m_router)
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
        StopListed(job.rows);
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
    if (!m_bEverFound) {
        m_log.Report("没有发现网关，列表中的映射未被删除。");
        return;
    }
    {
        // Removals that failed since the close was posted go with it.
        CSrwLockGuard guard(m_lock);
        TakePending(&m_closeRowsLeft);
    }
    // A router lost a moment ago may well answer again: the close tries it.
    FoundRouter target = m_router ? m_router : m_lastRouter;
    bool allDone = true;
    MappingEntry row;
    std::vector<MappingEntry> closed;
    while (NextCloseRow(&row)) {
        closed.push_back(row);
        StopResult result = target && !TickPassed(job.deadline) ? StopRow(target, row) : StopResult::Unreached;
        if (result == StopResult::Unreached) {
            m_log.Report(FormatStopFailed(row, kGatewayUnreachable));
            // One row that cannot reach it is enough: the rest are only named.
            target = FoundRouter();
        }
        allDone &= result == StopResult::Done;
    }
    RemovePinholes(closed, !TickPassed(job.deadline));
    // Rows taken by the window are named there: they did not all leave.
    bool taken;
    {
        CSrwLockGuard guard(m_lock);
        taken = m_bCloseRowsTaken;
    }
    if (allDone && !taken)
        m_log.Report(kAllStopped);
}

void CGatewayWorker::Search()
{
    FoundGateway found;
    m_router.upnp = SearchGateway(&found, m_log, m_bClosePosted);
    // UPnP first: only a router without it is asked by PCP, then NAT-PMP.
    if (!m_router && !m_bClosePosted) {
        m_router.portControl = SearchPortControl(&found, m_log);
        ParseDottedAddress(found.lanAddress.c_str(), &m_router.localAddress);
    }
    if (m_router) {
        m_lastRouter = m_router;
        m_strMappedAddress = found.externalAddress;
        m_strLanAddress = found.lanAddress;
        m_leases.Forget();
        m_bPerRowLookups = false;
        m_confirmed.clear();
        m_bEverFound = true;
        m_log.Report("完成搜索支持设备.");
        CheckReach(found.externalAddress, found.addressStatus);
        GatewayEvent event = { GatewayEvent::Found };
        event.lanAddress = found.lanAddress;
        event.gatewayHost = found.gatewayHost;
        event.externalAddress = found.externalAddress;
        event.noPublicAddress = m_reach.Unreachable();
        PostEvent(std::move(event));
        SearchIpv6();
        RemovePending();
        return;
    }
    // Told once: the worker keeps searching quietly until a router answers.
    // A search cut short by the close found nothing to tell.
    if (m_bEverFound || m_bFailureReported || m_bClosePosted)
        return;
    m_bFailureReported = true;
    m_log.Report(kNoGatewayFound);
    PostEvent({ GatewayEvent::SearchFailed });
}

void CGatewayWorker::DeclareLost()
{
    if (!m_router)
        return;
    m_router = FoundRouter();
    m_log.Report("与路由器的连接已中断，正在重新搜索支持设备...");
    PostEvent({ GatewayEvent::Lost });
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
}

void CGatewayWorker::RunRows(const GatewayJob& job)
{
    CRunTimer timer;
    if (job.generation != m_nGeneration)
        return;
    if (job.generation != m_nToldGeneration) {
        m_held.clear();
        m_badPortsTold.clear();
        m_refusalsTold.clear();
        m_pinholeLinesTold.clear();
        m_bIpv6ReachTold = false;
        m_nToldGeneration = job.generation;
    }
    GatewayEvent done = { GatewayEvent::RunDone };
    done.generation = job.generation;
    MappingTable table;
    bool haveTable = m_router.upnp && ReadTable(job.rows, &table);
    for (size_t index = 0; index < job.rows.size(); ++index) {
        // A Stop or a close since the run began ends it here.
        if (job.generation != m_nGeneration)
            return;
        const MappingEntry& row = job.rows[index];
        RowState state = RunRow(index, row, job, haveTable ? &table : nullptr);
        if (state == RowState::Live)
            m_confirmed.insert(RowKey(row));
        else
            m_confirmed.erase(RowKey(row));
        done.rows.push_back({ row.protocol, row.externalPort, state });
    }
    if (job.refreshAddress && m_router)
        RefreshAddress();
    RunPinholes(job.rows);
    PostEvent(std::move(done));
}

bool CGatewayWorker::ReadTable(const std::vector<MappingEntry>& rows, MappingTable* table)
{
    if (m_bPerRowLookups || !ListsMappingTable(*m_router.upnp))
        return false;
    // One read per protocol, over the span of its listed external ports.
    std::map<std::string, std::pair<unsigned, unsigned>> spans;
    for (const MappingEntry& row : rows) {
        if (!IsValidPort(row.localPort) || !IsValidPort(row.externalPort))
            continue;
        unsigned port = static_cast<unsigned>(std::atol(row.externalPort.c_str()));
        auto span = spans.emplace(row.protocol, std::make_pair(port, port)).first;
        span->second.first = std::min(span->second.first, port);
        span->second.second = std::max(span->second.second, port);
    }
    for (const auto& span : spans) {
        int result = ReadMappingTable(*m_router.upnp, span.first, span.second.first, span.second.second, table);
        if (MeansGatewayLost(result)) {
            DeclareLost();
            return false;
        }
        // The router cannot list its table after all: rows are looked up one by one until it is lost.
        if (result != 0) {
            m_bPerRowLookups = true;
            return false;
        }
    }
    return true;
}

MappingLookup CGatewayWorker::LookUp(const MappingEntry& row, const MappingTable* table)
{
    MappingLookup lookup;
    if (table)
        lookup = LookUpInTable(*table, row);
    // Missing from the table while the last run found it live: the router is asked once more, and
    // a table that left out a mapping the router holds is not read again.
    if (!table || (lookup.result != 0 && m_confirmed.count(RowKey(row)))) {
        MappingLookup asked;
        asked.result = LookUpMapping(*m_router.upnp, row, &asked.holder);
        m_bPerRowLookups |= table && asked.result == 0;
        lookup = asked;
    }
    return lookup;
}

RowState CGatewayWorker::RunRow(size_t index, const MappingEntry& row, const GatewayJob& job,
                                const MappingTable* table)
{
    if (!IsValidPort(row.localPort) || !IsValidPort(row.externalPort)) {
        ReportBadPorts(index, row);
        return RowState::Failed;
    }
    if (m_router.portControl)
        return MapRowByPortControl(row, job);
    return m_router ? MapRow(row, job, LookUp(row, table)) : RowState::Failed;
}

RowAction DecideRow(const MappingEntry& row, const MappingLookup& lookup, int intervalSeconds)
{
    if (MeansGatewayLost(lookup.result))
        return RowAction::Unreached;
    // Anything but an answer that the router holds it means it is missing.
    if (lookup.result != 0)
        return RowAction::Add;
    if (HeldElsewhere(row, lookup.holder))
        return RowAction::Held;
    return IsDueForRenewal(lookup.holder.leaseLeft, intervalSeconds) ? RowAction::Renew : RowAction::Live;
}

RowState CGatewayWorker::MapRow(const MappingEntry& row, const GatewayJob& job, const MappingLookup& lookup)
{
    RowAction action = DecideRow(row, lookup, job.intervalSeconds);
    if (action == RowAction::Held)
        return ReportHeld(row, lookup.holder);
    // Free or ours again: a later holder, or refusal, is news.
    m_held.erase(RowKey(row));
    switch (action) {
    case RowAction::Live:
        m_refusalsTold.erase(RowKey(row));
        return RowState::Live;
    case RowAction::Renew:
        return RenewRow(row, job);
    case RowAction::Add:
        return AddNewRow(row, job, true);
    default:
        return Unreached();
    }
}

RowState CGatewayWorker::Unreached()
{
    // One line for the router, not one per row.
    DeclareLost();
    return RowState::Failed;
}

RowState CGatewayWorker::AddNewRow(const MappingEntry& row, const GatewayJob& job, bool announce)
{
    int result = AddRow(row, job.intervalSeconds);
    if (MeansGatewayLost(result))
        return Unreached();
    if (result != 0)
        return ReportRefused(row, result, FormatAddFailed(row, result));
    return ReportMapped(row, job.externalAddress, announce);
}

RowState CGatewayWorker::ReportMapped(const MappingEntry& row, const std::string& externalAddress, bool announce)
{
    m_refusalsTold.erase(RowKey(row));
    if (announce)
        m_log.Report(FormatAddSucceeded(externalAddress, row));
    return RowState::Live;
}

RowState CGatewayWorker::ReportRefused(const MappingEntry& row, int result, const std::string& line)
{
    auto told = m_refusalsTold.emplace(RowKey(row), result);
    if (told.second || told.first->second != result) {
        told.first->second = result;
        m_log.Report(line);
    }
    return RowState::Failed;
}

int CGatewayWorker::AddRow(const MappingEntry& row, int intervalSeconds)
{
    int result = AddMapping(*m_router.upnp, row, m_leases.LeaseFor(intervalSeconds));
    if (!m_leases.TakeAddResult(result))
        return result;
    if (!m_bPermanentOnlyTold) {
        m_bPermanentOnlyTold = true;
        m_log.Report("路由器只支持永久映射：程序异常退出时，映射会一直留在路由器上。");
    }
    return AddMapping(*m_router.upnp, row, 0);
}

RowState CGatewayWorker::RenewRow(const MappingEntry& row, const GatewayJob& job)
{
    // A renewal is not a new mapping: no line. One the router would not
    // renew stays until its lease ends, and the runs after try again.
    int result = AddRow(row, job.intervalSeconds);
    if (result != kConflictInMappingEntry)
        return MeansGatewayLost(result) ? Unreached() : RowState::Live;
    // The router will not update it in place. Since the run's look, the lease
    // may have ended and another host taken the port: only ours is made anew.
    MappingLookup now;
    now.result = LookUpMapping(*m_router.upnp, row, &now.holder);
    if (now.result == 0 && HeldElsewhere(row, now.holder))
        return ReportHeld(row, now.holder);
    if (now.result == 0)
        now.result = DeleteMapping(*m_router.upnp, row);
    return MeansGatewayLost(now.result) ? Unreached() : AddNewRow(row, job, false);
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

void CGatewayWorker::ReportBadPorts(size_t index, const MappingEntry& row)
{
    std::string key = row.protocol + " " + row.localPort + " " + row.externalPort + " " + row.internalIp;
    if (m_badPortsTold.insert(key).second)
        m_log.Report(FormatText("第%d行的端口不正确，此映射未生效。", static_cast<int>(index + 1)));
}

void CGatewayWorker::RefreshAddress()
{
    int status = 0;
    GatewayEvent event = { GatewayEvent::ExternalAddress };
    if (m_router.upnp)
        event.externalAddress = QueryExternalAddress(*m_router.upnp, &status);
    else
        event.externalAddress = QueryPortControlAddress(&status);
    if (MeansGatewayLost(status))
        DeclareLost();
    CheckReach(event.externalAddress, status);
    event.noPublicAddress = m_reach.Unreachable();
    PostEvent(std::move(event));
}

void CGatewayWorker::CheckReach(const std::string& externalAddress, int status)
{
    // A router that did not answer, or refused the question, said nothing of its address.
    if (status != 0)
        return;
    std::string line = m_reach.Take(externalAddress);
    if (!line.empty())
        m_log.Report(line);
}

void CGatewayWorker::StopListed(const std::vector<MappingEntry>& rows)
{
    if (!m_bEverFound) {
        m_log.Report("没有发现网关，列表中的映射未被删除。");
        return;
    }
    if (StopRows(rows))
        m_log.Report(kAllStopped);
    RemovePinholes(rows, true);
}

void CGatewayWorker::RemoveRows(const std::vector<MappingEntry>& rows)
{
    RemovePinholes(rows, true);
    // Their rows are gone from the list: while the router is lost they wait
    // here, to be removed when it answers again or named at the close.
    if (!m_router) {
        for (const MappingEntry& row : rows)
            AddPending(row);
        return;
    }
    StopRows(rows);
}

void CGatewayWorker::RemovePending()
{
    std::vector<MappingEntry> rows;
    {
        CSrwLockGuard guard(m_lock);
        TakePending(&rows);
    }
    RemoveRows(rows);
}

void CGatewayWorker::AddPending(const MappingEntry& row)
{
    CSrwLockGuard guard(m_lock);
    AddOnce(&m_pendingRemovals, row);
}

void CGatewayWorker::TakePending(std::vector<MappingEntry>* rows)
{
    for (const MappingEntry& row : m_pendingRemovals)
        AddOnce(rows, row);
    m_pendingRemovals.clear();
}

bool CGatewayWorker::StopRows(const std::vector<MappingEntry>& rows)
{
    bool allDone = true;
    for (const MappingEntry& row : rows) {
        StopResult result = m_router ? StopRow(m_router, row) : StopResult::Unreached;
        if (result == StopResult::Unreached) {
            // The mapping stays for now, and the log says so; it leaves when
            // the router answers again.
            m_log.Report(FormatStopFailed(row, kGatewayUnreachable));
            AddPending(row);
            DeclareLost();
        }
        allDone &= result == StopResult::Done;
    }
    return allDone;
}

CGatewayWorker::StopResult CGatewayWorker::StopRow(const FoundRouter& router, const MappingEntry& row)
{
    // Ports the router cannot take were never mapped.
    if (!IsValidPort(row.localPort) || !IsValidPort(row.externalPort))
        return StopResult::Done;
    if (router.portControl)
        return StopRowByPortControl(router, row);
    const GatewayInfo& gateway = *router.upnp;
    // Only a mapping that points at the row's own address and port is ours to delete.
    MappingHolder holder;
    int result = LookUpMapping(gateway, row, &holder);
    if (result == 0 && HeldElsewhere(row, holder)) {
        m_log.Report(FormatNotOurs(row, holder));
        return StopResult::Done;
    }
    if (result == 0)
        result = DeleteMapping(gateway, row);
    if (result == 0 || result == kNoSuchEntry)
        return StopResult::Done;
    if (MeansGatewayLost(result))
        return StopResult::Unreached;
    m_log.Report(FormatStopFailed(row, result));
    return StopResult::Refused;
}

RowState CGatewayWorker::MapRowByPortControl(const MappingEntry& row, const GatewayJob& job)
{
    CPortControl& router = *m_router.portControl;
    PortControlResult result = MapRowOnRouter(router, row, LeaseForInterval(job.intervalSeconds));
    // The router lost its mappings: all of them are made again once it is found again.
    if (result.routerRestarted)
        return Unreached();
    if (result.externalAddress)
        m_strMappedAddress = DottedText(result.externalAddress);
    PortControlAction action = DecidePortControlRow(row, result, IsForOtherHost(row, m_router.localAddress));
    // Free or ours again: a later holder is news.
    if (action != PortControlAction::Held && action != PortControlAction::OtherPort)
        m_held.erase(RowKey(row));
    switch (action) {
    case PortControlAction::Live:
        return ReportMapped(row, m_strMappedAddress, !m_confirmed.count(RowKey(row)));
    case PortControlAction::OtherPort:
        // No use to the user, who chose the port: the router's choice is undone.
        DeleteRowOnRouter(router, row, result.externalPort);
        return ReportHeld(row, kUnknownHolder);
    case PortControlAction::Held:
        return ReportHeld(row, kUnknownHolder);
    case PortControlAction::OnlyThisHost:
        return ReportRefused(row, result.resultCode, FormatOnlyThisHost(row));
    case PortControlAction::Refused:
        return ReportRefused(row, result.resultCode, FormatPortControlFailed(row, result));
    default:
        return Unreached();
    }
}

std::string CGatewayWorker::QueryPortControlAddress(int* status)
{
    *status = 0;
    // PCP has no address request: its MAP answers name the address.
    if (!m_router.portControl->SpeaksNatPmp())
        return m_strMappedAddress;
    PortControlResult result = m_router.portControl->QueryExternalAddress();
    if (result.status != PortControlStatus::Answered)
        *status = kGatewayUnreachable;
    else if (result.resultCode != kPortControlSuccess)
        *status = result.resultCode;
    else
        m_strMappedAddress = DottedText(result.externalAddress);
    return *status ? std::string() : m_strMappedAddress;
}

CGatewayWorker::StopResult CGatewayWorker::StopRowByPortControl(const FoundRouter& router, const MappingEntry& row)
{
    // A held port was never ours; nothing else tells whose it is.
    if (m_held.count(RowKey(row))) {
        m_log.Report(FormatNotOurs(row, kUnknownHolder));
        return StopResult::Done;
    }
    WORD externalPort = WORD(std::atol(row.externalPort.c_str()));
    PortControlResult result = DeleteRowOnRouter(*router.portControl, row, externalPort);
    if (PortControlDeleteDone(result, IsForOtherHost(row, router.localAddress)))
        return StopResult::Done;
    if (result.status == PortControlStatus::NoAnswer)
        return StopResult::Unreached;
    m_log.Report(FormatStopFailed(row, result.resultCode, PortControlResultName(result.protocol, result.resultCode)));
    return StopResult::Refused;
}

void CGatewayWorker::SearchIpv6()
{
    m_strIpv6Address.clear();
    m_pPinholes.reset();
    m_pFirewall = SearchIpv6Firewall(m_bClosePosted);
    if (!m_pFirewall)
        return;
    m_pPinholes = std::make_unique<CPinholeKeeper>(MakePinholeRequests(m_pFirewall->service));
    NoteIpv6Address(m_pFirewall->localAddress);
}

void CGatewayWorker::NoteIpv6Address(const std::string& address)
{
    if (address == m_strIpv6Address)
        return;
    m_strIpv6Address = address;
    m_log.Report(FormatText("本机IPv6地址: %s", address.c_str()));
    GatewayEvent event = { GatewayEvent::Ipv6Address };
    event.ipv6Address = address;
    PostEvent(std::move(event));
}

void CGatewayWorker::RunPinholes(const std::vector<MappingEntry>& rows)
{
    if (!m_pPinholes)
        return;
    // Asked at every run: Windows moves to a new temporary address now and then.
    std::string address = LocalAddressTowards(m_pFirewall->service.controlUrl);
    if (address.empty())
        return;
    NoteIpv6Address(address);
    for (const std::string& line : m_pPinholes->Run(rows, m_strLanAddress, address).lines) {
        if (m_pinholeLinesTold.insert(line).second)
            m_log.Report(line);
    }
    if (m_reach.Unreachable() && !m_pPinholes->Held().empty() && !m_bIpv6ReachTold) {
        m_bIpv6ReachTold = true;
        m_log.Report(FormatText("可以经IPv6从互联网访问本机: [%s]", address.c_str()));
    }
}

void CGatewayWorker::RemovePinholes(const std::vector<MappingEntry>& rows, bool tryRouter)
{
    if (!m_pPinholes)
        return;
    if (tryRouter)
        m_pPinholes->Remove(rows, m_strLanAddress);
    // What is still held was not reached; its lease ends it within the hour.
    for (const PinholeKey& key : PinholeRows(rows, m_strLanAddress)) {
        auto held = m_pPinholes->Held().find(key);
        if (held != m_pPinholes->Held().end())
            m_log.Report(FormatText("关闭IPv6防火墙放行失败: [%s]:%u 协议:%s，路由器没有响应。",
                                    held->second.address.c_str(), key.port, key.protocol.c_str()));
    }
}
