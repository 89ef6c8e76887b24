#include "GatewayWorker.h"
#include "AddressWatch.h"
#include "BoundedCall.h"
#include "local/LocalReach.h"
#include "LogLines.h"
#include "RunTiming.h"
#include "Ticks.h"
#include "../framework/Thread.h"
#include "../log/ActivityLog.h"
#include <winsock2.h>
#include <algorithm>

namespace {
const DWORD kQuickSearchPeriodMs = 5 * 60 * 1000;
// How long the worker waits for its thread to end when the window goes.
const DWORD kEndWaitMs = 2000;

GatewayJob MakeJob(GatewayJob::Kind kind, std::vector<MappingEntry> rows = {})
{
    GatewayJob job;
    job.kind = kind;
    job.rows = std::move(rows);
    return job;
}

}

DWORD SearchRetryDelayMs(DWORD msSinceSearchBegan)
{
    return msSinceSearchBegan < kQuickSearchPeriodMs ? 3000 : 30000;
}

CGatewayWorker::CGatewayWorker(std::shared_ptr<ActivityLog> log)
    : m_pLog(std::move(log))
    , m_log(*m_pLog)
    , m_hClosed(::CreateEventA(nullptr, TRUE, FALSE, nullptr))
    , m_notices([this](const std::string& line) { m_log.Report(line); })
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
        PostClose({}, 0, 0);
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

void CGatewayWorker::PostRun(long generation, std::vector<MappingEntry> rows, const std::string& externalAddress,
                             int intervalSeconds, bool refreshAddress)
{
    m_nGeneration = generation;
    GatewayJob job = MakeJob(GatewayJob::Run, std::move(rows));
    job.generation = generation;
    job.externalAddress = externalAddress;
    job.intervalSeconds = intervalSeconds;
    job.refreshAddress = refreshAddress;
    m_inbox.Push(std::move(job));
}

void CGatewayWorker::PostStop(long generation, std::vector<MappingEntry> rows)
{
    // Set before the job waits, so that a run going on sees it at its next row.
    m_nGeneration = generation;
    GatewayJob job = MakeJob(GatewayJob::Stop, std::move(rows));
    job.generation = generation;
    m_inbox.Push(std::move(job));
}

void CGatewayWorker::PostRemove(std::vector<MappingEntry> rows)
{
    m_inbox.Push(MakeJob(GatewayJob::Remove, std::move(rows)));
}

void CGatewayWorker::PostAllowInFirewall(std::vector<MappingEntry> rows)
{
    m_inbox.Push(MakeJob(GatewayJob::AllowInFirewall, std::move(rows)));
}

void CGatewayWorker::PostForgetFirewallRules(std::vector<MappingEntry> deleted, std::vector<MappingEntry> listed)
{
    GatewayJob job = MakeJob(GatewayJob::ForgetFirewallRules, std::move(deleted));
    job.listed = std::move(listed);
    m_inbox.Push(std::move(job));
}

void CGatewayWorker::PostReadTable()
{
    m_inbox.Push(MakeJob(GatewayJob::ReadTable));
}

void CGatewayWorker::PostDeleteFromTable(std::vector<RouterMapping> mappings)
{
    GatewayJob job = MakeJob(GatewayJob::DeleteFromTable);
    job.mappings = std::move(mappings);
    m_inbox.Push(std::move(job));
}

bool CGatewayWorker::PostClose(std::vector<MappingEntry> rows, DWORD silenceMs, DWORD capMs)
{
    if (!m_bRunning)
        return false;
    ++m_nGeneration;
    GatewayJob job = MakeJob(GatewayJob::Close, std::move(rows));
    m_closeBound = job.bound = { ::GetTickCount(), silenceMs, capMs };
    m_dwLastAnswer = job.bound.began;
    m_inbox.PushClose(std::move(job));
    // A search going on would hold the close up for seconds: it ends here,
    // and the close tries the router last found.
    m_bClosePosted = true;
    WakeBoundedCalls();
    return true;
}

bool CGatewayWorker::CloseOverdue(DWORD graceMs) const
{
    return m_closeBound.Exceeded(m_dwLastAnswer, ::GetTickCount(), graceMs);
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
    GatewayEvent* posted = new GatewayEvent(std::move(event));
    if (!::PostMessageA(m_hNotify, WM_APP_GATEWAY_EVENT, 0, reinterpret_cast<LPARAM>(posted)))
        delete posted;
}

void CGatewayWorker::PostIpv6Address() const
{
    GatewayEvent event = { GatewayEvent::Ipv6Address };
    event.ipv6Address = m_ipv6.Address();
    PostEvent(std::move(event));
}

void CGatewayWorker::Main()
{
    WSADATA wsaData;
    bool canSearch = ::WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
    if (canSearch)
        m_log.Report(kSearchBegins);
    else
        PostEvent({ GatewayEvent::SearchFailed });
    Serve(canSearch);
    ::SetEvent(m_hClosed);
    PostEvent({ GatewayEvent::Closed });
}

void CGatewayWorker::Serve(bool canSearch)
{
    // Gone before the thread's end is signalled: its callback reaches the inbox.
    CAddressWatch watch(m_inbox);
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
    for (;;) {
        if (canSearch && !m_pRouter && TickPassed(m_dwNextSearch)) {
            Search();
            m_dwNextSearch = ::GetTickCount() + SearchRetryDelayMs(::GetTickCount() - m_dwSearchBegan);
        }
        GatewayJob job;
        if (m_inbox.Take(&job)) {
            if (job.kind == GatewayJob::Close) {
                Close(job);
                return;
            }
            Do(job);
            // Should the window give up on the close, it names what is open.
            m_inbox.SetOpenPinholeLines(m_ipv6.NameOpen());
            continue;
        }
        // Only while no job waits: a run is never held up by these.
        if (RenewDueMs() == 0) {
            Renew();
            continue;
        }
        if (m_pRouter && m_ipv6.SearchDueMs() == 0) {
            if (m_ipv6.SearchAgain(m_bClosePosted, m_notices))
                PostIpv6Address();
            continue;
        }
        WaitForWork(NextWakeMs(canSearch), watch);
    }
}

DWORD CGatewayWorker::NextWakeMs(bool canSearch) const
{
    if (!m_pRouter)
        return canSearch ? TickLeft(m_dwNextSearch) : INFINITE;
    return std::min(m_ipv6.SearchDueMs(), RenewDueMs());
}

void CGatewayWorker::WaitForWork(DWORD timeoutMs, CAddressWatch& watch)
{
    if (!m_inbox.WaitForChange(timeoutMs))
        return;
    watch.Arm();
    // The router may now be elsewhere, or reachable at last.
    if (m_pRouter)
        DeclareLost();
    else
        m_dwNextSearch = ::GetTickCount();
}

void CGatewayWorker::Do(const GatewayJob& job)
{
    switch (job.kind) {
    case GatewayJob::Run:
        // After the window has the run: this machine's side never holds it up.
        if (RunRows(job))
            CheckLocalReach(job.rows, m_notices);
        break;
    case GatewayJob::Stop:
        StopListed(job.rows);
        break;
    case GatewayJob::Remove:
        RemoveRows(job.rows);
        break;
    case GatewayJob::AllowInFirewall:
        AllowBlockedInFirewall(job.rows, m_notices);
        break;
    case GatewayJob::ForgetFirewallRules:
        RemoveFirewallRules(job.rows, job.listed);
        break;
    case GatewayJob::DeleteFromTable:
        DeleteFromTable(job.mappings);
        ReadRouterTable();
        break;
    case GatewayJob::ReadTable:
        ReadRouterTable();
        break;
    case GatewayJob::Close:
        break;
    }
}

void CGatewayWorker::Close(const GatewayJob& job)
{
    if (!m_bEverFound) {
        m_log.Report(kNothingStoppedWithoutGateway);
        return;
    }
    m_inbox.ClosePending();
    // A router lost a moment ago may well answer again: the close tries it.
    std::shared_ptr<CRouter> target = m_pRouter ? m_pRouter : m_pLastRouter;
    bool allDone = true;
    MappingEntry row;
    std::vector<MappingEntry> closed;
    while (m_inbox.NextCloseRow(&row)) {
        closed.push_back(row);
        RemoveResult result = target && !job.bound.Exceeded(m_dwLastAnswer, ::GetTickCount())
            ? target->Remove(row, m_notices)
            : RemoveResult::Unreached;
        if (result != RemoveResult::Unreached)
            m_dwLastAnswer = ::GetTickCount();
        if (result == RemoveResult::Unreached) {
            m_log.Report(FormatStopFailed(row, kGatewayUnreachable));
            // One row that cannot reach it is enough: the rest are only named.
            target = nullptr;
        }
        allDone &= result == RemoveResult::Done;
    }
    // Rows taken by the window are named there, with their pinholes: they did not all leave.
    if (!m_inbox.ClaimClosePinholes())
        return;
    m_ipv6.Remove(closed, !job.bound.Exceeded(m_dwLastAnswer, ::GetTickCount()), m_notices);
    if (allDone)
        m_log.Report(kAllStopped);
}

void CGatewayWorker::Search()
{
    FoundGateway found;
    m_pRouter = FindRouter(&found, m_log, m_bClosePosted);
    if (m_pRouter) {
        m_pLastRouter = m_pRouter;
        m_bEverFound = true;
        m_log.Report(kSearchDone);
        m_notices.NoteExternalAddress(found.externalAddress, found.addressStatus);
        GatewayEvent event = { GatewayEvent::Found };
        event.lanAddress = found.lanAddress;
        event.gatewayHost = found.gatewayHost;
        event.externalAddress = found.externalAddress;
        event.noPublicAddress = m_notices.NoPublicAddress();
        PostEvent(std::move(event));
        if (m_ipv6.Find(found.lanAddress, m_bClosePosted, m_notices))
            PostIpv6Address();
        RemoveRows(m_inbox.TakePending());
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
    if (!m_pRouter)
        return;
    m_pRouter = nullptr;
    m_log.Report(kRouterLost);
    PostEvent({ GatewayEvent::Lost });
    m_dwSearchBegan = m_dwNextSearch = ::GetTickCount();
}

bool CGatewayWorker::RunRows(const GatewayJob& job)
{
    CRunTimer timer;
    if (job.generation != m_nGeneration)
        return false;
    m_notices.BeginStart(job.generation);
    GatewayEvent done = { GatewayEvent::RunDone };
    if (!MapListed(job, &done))
        return false;
    m_lastRun = job;
    if (job.refreshAddress && m_pRouter)
        RefreshAddress();
    Ipv6RunReport ipv6 = m_ipv6.Run(job.rows, m_notices);
    if (ipv6.newAddress)
        PostIpv6Address();
    // A firewall that does not answer is the router gone quiet.
    if (ipv6.unreached)
        DeclareLost();
    PostEvent(std::move(done));
    return true;
}

bool CGatewayWorker::MapListed(const GatewayJob& job, GatewayEvent* event)
{
    long generation = job.generation;
    MapRun run = { job.rows, job.intervalSeconds, job.externalAddress,
                   [this, generation] { return generation != m_nGeneration; } };
    RunOutcome outcome = m_pRouter ? m_pRouter->MapRows(run, m_notices) : FailRows(job.rows, m_notices);
    // One line for the router, not one per row.
    if (outcome.lost)
        DeclareLost();
    // A Stop or a close since the run began ends it here.
    if (outcome.cancelled)
        return false;
    event->generation = generation;
    for (size_t index = 0; index < job.rows.size(); ++index)
        event->rows.push_back({ job.rows[index].protocol, job.rows[index].externalPort, outcome.states[index] });
    if (!outcome.learnedAddress.empty())
        PostExternalAddress(outcome.learnedAddress, 0);
    return true;
}

DWORD CGatewayWorker::RenewDueMs() const
{
    bool listed = !m_lastRun.rows.empty() && m_lastRun.generation == m_nGeneration;
    return m_pRouter && listed ? m_pRouter->RenewDueMs() : INFINITE;
}

void CGatewayWorker::Renew()
{
    GatewayEvent renewed = { GatewayEvent::Renewed };
    if (MapListed(m_lastRun, &renewed))
        PostEvent(std::move(renewed));
}

void CGatewayWorker::RefreshAddress()
{
    int status = 0;
    std::string address = m_pRouter->ReadExternalAddress(&status);
    if (MeansGatewayLost(status))
        DeclareLost();
    PostExternalAddress(address, status);
}

void CGatewayWorker::PostExternalAddress(const std::string& address, int status)
{
    m_notices.NoteExternalAddress(address, status);
    GatewayEvent event = { GatewayEvent::ExternalAddress };
    event.externalAddress = address;
    event.noPublicAddress = m_notices.NoPublicAddress();
    PostEvent(std::move(event));
}

std::function<bool()> CGatewayWorker::StopOrCloseSince() const
{
    long generation = m_nGeneration;
    return [this, generation] { return generation != m_nGeneration || m_bClosePosted; };
}

void CGatewayWorker::ReadRouterTable()
{
    GatewayEvent event = { GatewayEvent::Table };
    if (m_pRouter)
        event.table = m_pRouter->ReadWholeTable(StopOrCloseSince());
    else
        event.table.outcome = TableRead::Lost;
    if (m_pRouter && event.table.outcome == TableRead::Lost)
        DeclareLost();
    PostEvent(std::move(event));
}

void CGatewayWorker::DeleteFromTable(const std::vector<RouterMapping>& mappings)
{
    std::function<bool()> cancelled = StopOrCloseSince();
    for (const RouterMapping& mapping : mappings) {
        if (cancelled())
            return;
        int result = m_pRouter ? m_pRouter->DeleteFromTable(mapping) : kGatewayUnreachable;
        m_log.Report(result == 0 ? FormatTableMappingDeleted(mapping) : FormatTableDeleteFailed(mapping, result));
        if (MeansGatewayLost(result)) {
            DeclareLost();
            return;
        }
    }
}

void CGatewayWorker::StopListed(const std::vector<MappingEntry>& rows)
{
    m_lastRun.rows.clear();
    if (!m_bEverFound) {
        m_log.Report(kNothingStoppedWithoutGateway);
        return;
    }
    if (StopRows(rows))
        m_log.Report(kAllStopped);
    // Once the close is posted, it closes the pinholes of every row, within its own bounds.
    if (!m_bClosePosted)
        m_ipv6.Remove(rows, true, m_notices);
}

void CGatewayWorker::RemoveRows(const std::vector<MappingEntry>& rows)
{
    // Deleted from the list: no renewal maps them again.
    for (const MappingEntry& row : rows)
        m_lastRun.rows.erase(std::remove_if(m_lastRun.rows.begin(), m_lastRun.rows.end(),
                                            [&row](const MappingEntry& listed) { return RowKey(listed) == RowKey(row); }),
                             m_lastRun.rows.end());
    m_ipv6.Remove(rows, true, m_notices);
    // Their rows are gone from the list: while the router is lost they wait
    // in the inbox, to be removed when it answers again or named at the close.
    if (!m_pRouter) {
        for (const MappingEntry& row : rows)
            m_inbox.AddPending(row);
        return;
    }
    StopRows(rows);
}

bool CGatewayWorker::StopRows(const std::vector<MappingEntry>& rows)
{
    bool allDone = true;
    for (const MappingEntry& row : rows) {
        // The close removes what is left, within its own bounds.
        if (m_bClosePosted) {
            m_inbox.AddPending(row);
            allDone = false;
            continue;
        }
        RemoveResult result = m_pRouter ? m_pRouter->Remove(row, m_notices) : RemoveResult::Unreached;
        if (result != RemoveResult::Unreached)
            m_dwLastAnswer = ::GetTickCount();
        if (result == RemoveResult::Unreached) {
            // The mapping stays for now, and the log says so; it leaves when
            // the router answers again.
            m_log.Report(FormatStopFailed(row, kGatewayUnreachable));
            m_inbox.AddPending(row);
            DeclareLost();
        }
        allDone &= result == RemoveResult::Done;
    }
    return allDone;
}
