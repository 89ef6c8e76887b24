#pragma once
// The gateway worker: one thread owns every request to the router.
//
//   window handler ── Post…() ──> job queue ──> worker thread ──> miniupnpc
//        ^                                           │
//        └── controls <── OnGatewayEvent <── posted WM_APP_GATEWAY_EVENT
//                                                    └──> ActivityLog lines
//
// The window's thread only copies the list into a job and returns; it never
// waits on the network. The worker only schedules: it searches until a router
// answers, hands each run and removal to the way that router is reached
// (Router.h) and to its IPv6 firewall (Ipv6Pinholes.h), and declares the
// router lost when requests cannot reach it or this machine's addresses
// change; it then searches again and tells the window, which maps the list anew.
//
// The thread shares the worker object and the activity log with the window:
// when the window goes while a request still runs, both live on until the
// thread ends, whatever it still does.
#include "GatewayEvent.h"
#include "ipv6/Ipv6Pinholes.h"
#include "Notices.h"
#include "Router.h"
#include "WorkerInbox.h"
#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ActivityLog;
class CAddressWatch;

// Wait between searches, counted from when searching began: quick tries while
// a router may still be booting or the network coming up, slower ones later.
DWORD SearchRetryDelayMs(DWORD msSinceSearchBegan);

class CGatewayWorker : public std::enable_shared_from_this<CGatewayWorker> {
public:
    // Made with std::make_shared: the thread holds the object too.
    explicit CGatewayWorker(std::shared_ptr<ActivityLog> log);
    CGatewayWorker(const CGatewayWorker&) = delete;
    CGatewayWorker& operator=(const CGatewayWorker&) = delete;
    ~CGatewayWorker();

    // Starts the thread, which searches at once; events go to hNotify.
    // False when the thread could not be created.
    bool Start(HWND hNotify);

    // One mapping run over the rows for the Start of that generation.
    void PostRun(long generation, std::vector<MappingEntry> rows, const std::string& externalAddress,
                 int intervalSeconds, bool refreshAddress);
    // Removes the rows' mappings; a run still going on ends at its next row.
    void PostStop(long generation, std::vector<MappingEntry> rows);
    // Removes the mappings of rows deleted from the list while mapping.
    void PostRemove(std::vector<MappingEntry> rows);
    // Adds Windows Firewall allow rules for the list's rows it blocks.
    void PostAllowInFirewall(std::vector<MappingEntry> rows);
    // Removes the firewall rules added for deleted rows that the list's rows do not need.
    void PostForgetFirewallRules(std::vector<MappingEntry> deleted, std::vector<MappingEntry> listed);
    // Reads the router's whole table for its window.
    void PostReadTable();
    // Deletes mappings of that table, then reads it again.
    void PostDeleteFromTable(std::vector<RouterMapping> mappings);
    // Stops the rows, giving up on the router once it has been silent for
    // silenceMs or capMs have passed, then ends the thread. False when no
    // worker runs to do it.
    bool PostClose(std::vector<MappingEntry> rows, DWORD silenceMs, DWORD capMs);
    // The close has waited on the router graceMs longer than its bounds allow.
    bool CloseOverdue(DWORD graceMs) const;
    // Waits for the thread to end, serving messages sent to this thread.
    bool WaitClosed(DWORD timeoutMs) const;
    // The program is ending: every wait on the router ends at once, and the
    // close names what it could not remove.
    void GiveUp();
    // The rows of the close the worker has not dealt with and the lines that
    // name their open pinholes, taken once: the worker then leaves both to
    // the caller to name.
    CloseLeft TakeCloseLeft() { return m_inbox.TakeCloseLeft(); }
    // The window goes: a thread still running is closed, given up on and
    // waited for a moment; past that it ends on its own.
    void Release();

private:
    static unsigned __stdcall ThreadProc(void* param);
    void Main();
    // Searches and does the jobs until the close has done its own.
    void Serve(bool canSearch);
    // How long the worker may wait for a job: until the next search is due.
    DWORD NextWakeMs(bool canSearch) const;
    void WaitForWork(DWORD timeoutMs, CAddressWatch& watch);
    void Do(const GatewayJob& job);
    void Close(const GatewayJob& job);
    void Search();
    void DeclareLost();
    // False when the run was of an older Start, or cut short.
    bool RunRows(const GatewayJob& job);
    // Maps the job's rows and fills the event with their states; false when
    // a Stop or the close cut the run short.
    bool MapListed(const GatewayJob& job, GatewayEvent* event);
    // Until the router's leases need the last run mapped again: INFINITE
    // without a router or a list being mapped.
    DWORD RenewDueMs() const;
    // Maps the last run's rows again, between the window's runs.
    void Renew();
    void RefreshAddress();
    // Tells the window of a read of the external address; status as ReadExternalAddress's.
    void PostExternalAddress(const std::string& address, int status);
    void StopListed(const std::vector<MappingEntry>& rows);
    void RemoveRows(const std::vector<MappingEntry>& rows);
    // Removes the rows' mappings; rows the router could not be reached for
    // are named and wait for it to answer again. True when every row is off.
    bool StopRows(const std::vector<MappingEntry>& rows);
    // True from when a Stop or the close is posted after this call: a long
    // job then ends before its next request.
    std::function<bool()> StopOrCloseSince() const;
    void ReadRouterTable();
    void DeleteFromTable(const std::vector<RouterMapping>& mappings);
    void PostEvent(GatewayEvent event) const;
    void PostIpv6Address() const;

    std::shared_ptr<ActivityLog> m_pLog;
    ActivityLog& m_log;
    HWND m_hNotify = nullptr;
    bool m_bRunning = false;
    // Shared with the window's thread and the address watch.
    CWorkerInbox m_inbox;
    HANDLE m_hClosed;
    std::atomic<long> m_nGeneration{ 0 };
    std::atomic<bool> m_bClosePosted{ false };
    // The close's bounds, set on the window's thread, and the router's last
    // answer to a removal since it was posted.
    CloseBound m_closeBound;
    std::atomic<DWORD> m_dwLastAnswer{ 0 };

    // The worker's own. Null while no router answers.
    std::shared_ptr<CRouter> m_pRouter;
    // The router last found, kept when it is lost: the close still tries it.
    std::shared_ptr<CRouter> m_pLastRouter;
    CIpv6Pinholes m_ipv6;
    CNotices m_notices;
    // The window's last run of the list being mapped: what a renewal maps.
    GatewayJob m_lastRun;
    bool m_bEverFound = false;
    bool m_bFailureReported = false;
    DWORD m_dwSearchBegan = 0;
    DWORD m_dwNextSearch = 0;
};
