#pragma once
// The gateway worker: one thread owns every request to the router.
//
//   window handler ── Post…() ──> job queue ──> worker thread ──> miniupnpc
//        ^                                           │
//        └── controls <── OnGatewayEvent <── posted WM_APP_GATEWAY_EVENT
//                                                    └──> ActivityLog lines
//
// The window's thread only copies the list into a job and returns; it never
// waits on the network. The worker searches until a router answers, maps and
// stops the rows it is given, and declares the router lost when requests
// cannot reach it or this machine's addresses change; it then searches again
// and tells the window, which maps the list anew.
//
// The thread shares the worker object and the activity log with the window:
// when the window goes while a request still runs, both live on until the
// thread ends, whatever it still does.
#include "GatewayInfo.h"
#include "Ipv6Firewall.h"
#include "JobQueue.h"
#include "Lease.h"
#include "PortControl.h"
#include "PublicAddress.h"
#include <windows.h>
#include <atomic>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

class ActivityLog;

// The router a search found: by UPnP, or by PCP or NAT-PMP where it has no UPnP.
struct FoundRouter {
    std::shared_ptr<GatewayInfo> upnp;
    std::shared_ptr<CPortControl> portControl;
    // This machine's address towards a PCP or NAT-PMP router.
    DWORD localAddress = 0;
    explicit operator bool() const { return upnp || portControl; }
};

// Posted to the window; lParam is a GatewayEvent the handler takes over.
const UINT WM_APP_GATEWAY_EVENT = WM_APP + 3;

// What the router held for a row at the last run.
enum class RowState { Inactive, Live, Failed, Held };

struct RowResult {
    std::string protocol;
    std::string externalPort;
    RowState state;
};

struct GatewayEvent {
    enum Kind {
        Found,            // a router answered: the three addresses
        SearchFailed,     // the first search found nothing (the worker goes on searching)
        Lost,             // the router stopped answering
        RunDone,          // a run of this generation ended: one result per row
        ExternalAddress,  // a refresh read the external address ("" when it failed)
        Ipv6Address,      // this machine's IPv6 address as the router's firewall sees it
        Closed            // the close has stopped the list; the worker has ended
    };
    Kind kind;
    long generation = 0;
    std::string lanAddress;
    std::string gatewayHost;
    std::string externalAddress;
    std::string ipv6Address;
    std::vector<RowResult> rows;
    // Found, ExternalAddress: the internet cannot reach the external address.
    bool noPublicAddress = false;
};

// What a run does with a row, from what the router holds for its external
// port: the same whether the router was asked for the row alone or listed its table.
enum class RowAction { Live, Held, Renew, Add, Unreached };
RowAction DecideRow(const MappingEntry& row, const struct MappingLookup& lookup, int intervalSeconds);

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
    // Stops the rows, giving up on the router after timeoutMs, then ends the
    // thread. False when no worker runs to do it.
    bool PostClose(std::vector<MappingEntry> rows, DWORD timeoutMs);
    // Waits for the thread to end, serving messages sent to this thread.
    bool WaitClosed(DWORD timeoutMs) const;
    // The program is ending: every wait on the router ends at once, and the
    // close names what it could not remove.
    void GiveUp();
    // The rows of the close the worker has not dealt with, each once: taken,
    // the worker leaves them to the caller to name.
    std::vector<MappingEntry> TakeCloseRowsLeft();
    // The window goes: a thread still running is closed, given up on and
    // waited for a moment; past that it ends on its own.
    void Release();

private:
    enum class StopResult { Done, Refused, Unreached };

    static unsigned __stdcall ThreadProc(void* param);
    void Main();
    // Searches and does the jobs until the close has done its own.
    void Serve(bool canSearch);
    void Push(GatewayJob job);
    bool Take(GatewayJob* job);
    void Do(const GatewayJob& job);
    void Close(const GatewayJob& job);
    void WaitForWork(DWORD timeoutMs, class CAddressWatch& watch);
    // Waits until a job or an address change comes, or the time is up;
    // true for an address change.
    bool WaitForChange(DWORD timeoutMs);
    // On a pool thread: the address watch's callback.
    friend class CAddressWatch;
    void OnAddressChanged();
    void Search();
    void DeclareLost();
    // Looks for the router's IPv6 firewall once a router is found.
    void SearchIpv6();
    void NoteIpv6Address(const std::string& address);
    // Keeps the pinholes of this machine's rows open, moved to its current address.
    void RunPinholes(const std::vector<MappingEntry>& rows);
    // Closes the rows' pinholes, or with tryRouter false only names them;
    // those still held after are named.
    void RemovePinholes(const std::vector<MappingEntry>& rows, bool tryRouter);
    void RunRows(const GatewayJob& job);
    // Reads the router's table for the rows where it can list it; false
    // where the rows are to be looked up one by one.
    bool ReadTable(const std::vector<MappingEntry>& rows, struct MappingTable* table);
    struct MappingLookup LookUp(const MappingEntry& row, const struct MappingTable* table);
    RowState RunRow(size_t index, const MappingEntry& row, const GatewayJob& job, const struct MappingTable* table);
    RowState MapRow(const MappingEntry& row, const GatewayJob& job, const struct MappingLookup& lookup);
    // One MAP renews the row, or makes it anew; a new mapping has its line.
    RowState MapRowByPortControl(const MappingEntry& row, const GatewayJob& job);
    RowState ReportMapped(const MappingEntry& row, const std::string& externalAddress, bool announce);
    // Adds the row with the lease its router takes; the router's result.
    int AddRow(const MappingEntry& row, int intervalSeconds);
    // Adds the row again before its lease runs out.
    RowState RenewRow(const MappingEntry& row, const GatewayJob& job);
    // Adds a row the router does not hold; announced, a success has its line.
    RowState AddNewRow(const MappingEntry& row, const GatewayJob& job, bool announce);
    // The router did not answer: it is lost, and the row failed.
    RowState Unreached();
    RowState ReportHeld(const MappingEntry& row, const struct MappingHolder& holder);
    // Told once per Start: a refused row, again when its code changes or the
    // row was live in between.
    RowState ReportRefused(const MappingEntry& row, int result, const std::string& line);
    // Told once per Start: a row whose ports the router cannot take.
    void ReportBadPorts(size_t index, const MappingEntry& row);
    void RefreshAddress();
    // The external address as a PCP or NAT-PMP router gives it; *status as QueryExternalAddress's.
    std::string QueryPortControlAddress(int* status);
    // Tells of a change in whether the internet reaches the external address.
    void CheckReach(const std::string& externalAddress, int status);
    void StopListed(const std::vector<MappingEntry>& rows);
    void RemoveRows(const std::vector<MappingEntry>& rows);
    void RemovePending();
    void AddPending(const MappingEntry& row);
    // Under the lock: moves the pending removals to rows, once each.
    void TakePending(std::vector<MappingEntry>* rows);
    // Removes the rows' mappings; rows the router could not be reached for
    // are named and wait for it to answer again. True when every row is off.
    bool StopRows(const std::vector<MappingEntry>& rows);
    StopResult StopRow(const FoundRouter& router, const MappingEntry& row);
    StopResult StopRowByPortControl(const FoundRouter& router, const MappingEntry& row);
    // The close's next row, or false when none is left or the rest were taken.
    bool NextCloseRow(MappingEntry* row);
    void PostEvent(GatewayEvent event) const;
    // Signals the thread's end.
    void EndThread();

    std::shared_ptr<ActivityLog> m_pLog;
    ActivityLog& m_log;
    HWND m_hNotify = nullptr;
    bool m_bRunning = false;

    // Shared with the window's thread (and the address watch's callback):
    // the queue, the address flag and the close's rows are read and written
    // under the lock.
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_wake = CONDITION_VARIABLE_INIT;
    CJobQueue m_queue;
    bool m_bAddressChanged = false;
    std::vector<MappingEntry> m_closeRowsLeft;
    bool m_bCloseRowsTaken = false;
    // Removals that did not reach the router; done when it answers again.
    std::vector<MappingEntry> m_pendingRemovals;
    HANDLE m_hClosed;
    std::atomic<long> m_nGeneration{ 0 };
    std::atomic<bool> m_bClosePosted{ false };

    // The worker's own. Empty while no router answers.
    FoundRouter m_router;
    // The router last found, kept when it is lost: the close still tries it.
    FoundRouter m_lastRouter;
    // What a PCP router's MAP answers of this run named as the external address.
    std::string m_strMappedAddress;
    // This machine's address towards the router last found.
    std::string m_strLanAddress;
    // The router's IPv6 firewall, and the pinholes held there; null without one.
    std::shared_ptr<Ipv6Firewall> m_pFirewall;
    std::unique_ptr<CPinholeKeeper> m_pPinholes;
    std::string m_strIpv6Address;
    CLeasePolicy m_leases;
    // This router could not list its table, or listed it wrong: rows are
    // looked up one by one until it is lost.
    bool m_bPerRowLookups = false;
    // Rows the last run found live, "TCP 80".
    std::set<std::string> m_confirmed;
    CAddressReachTracker m_reach;
    bool m_bPermanentOnlyTold = false;
    bool m_bEverFound = false;
    bool m_bFailureReported = false;
    DWORD m_dwSearchBegan = 0;
    DWORD m_dwNextSearch = 0;
    // Told for this Start: held ports, "TCP 80" -> "host:port", and rows
    // with ports the router cannot take.
    std::map<std::string, std::string> m_held;
    std::set<std::string> m_badPortsTold;
    std::map<std::string, int> m_refusalsTold;
    std::set<std::string> m_pinholeLinesTold;
    bool m_bIpv6ReachTold = false;
    long m_nToldGeneration = 0;
};
