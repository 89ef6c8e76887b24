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
#include "GatewayInfo.h"
#include "JobQueue.h"
#include <windows.h>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ActivityLog;

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
        Closed            // the close has stopped the list; the worker has ended
    };
    Kind kind;
    long generation = 0;
    std::string lanAddress;
    std::string gatewayHost;
    std::string externalAddress;
    std::vector<RowResult> rows;
};

// Wait between searches, counted from when searching began: quick tries while
// a router may still be booting or the network coming up, slower ones later.
DWORD SearchRetryDelayMs(DWORD msSinceSearchBegan);

class CGatewayWorker {
public:
    explicit CGatewayWorker(ActivityLog& log);
    CGatewayWorker(const CGatewayWorker&) = delete;
    CGatewayWorker& operator=(const CGatewayWorker&) = delete;
    ~CGatewayWorker();

    // Starts the thread, which searches at once; events go to hNotify.
    // False when the thread could not be created.
    bool Start(HWND hNotify);

    // One mapping run over the rows for the Start of that generation.
    void PostRun(long generation, std::vector<MappingEntry> rows, const std::string& externalAddress,
                 bool refreshAddress);
    // Removes the rows' mappings; a run still going on ends at its next row.
    void PostStop(long generation, std::vector<MappingEntry> rows);
    // Removes the mappings of rows deleted from the list while mapping.
    void PostRemove(std::vector<MappingEntry> rows);
    // Stops the rows, giving up on the router after timeoutMs, then ends the
    // thread. False when no worker runs to do it.
    bool PostClose(std::vector<MappingEntry> rows, DWORD timeoutMs);
    // Waits for the thread to end, serving messages sent to this thread.
    bool WaitClosed(DWORD timeoutMs) const;
    // How many rows of the close have been dealt with.
    size_t CloseProgress() const { return m_nCloseProgress; }
    // The program is ending: every wait on the router ends at once, and the
    // close names what it could not remove.
    void GiveUp();

private:
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
    void RunRows(const GatewayJob& job);
    RowState MapRow(const MappingEntry& row, const std::string& externalAddress);
    RowState ReportHeld(const MappingEntry& row, const struct MappingHolder& holder);
    void RefreshAddress();
    void RemoveRows(const std::vector<MappingEntry>& rows);
    void RemovePending();
    // Stop's work on the rows; with a deadline, rows after it are only named.
    void StopRows(const std::vector<MappingEntry>& rows, const DWORD* deadline, bool summary);
    bool StopRow(const MappingEntry& row, bool giveUp);
    void PostEvent(GatewayEvent event) const;
    // Signals the thread's end; nothing of this object is touched after it.
    void EndThread(HWND hNotify);

    ActivityLog& m_log;
    HWND m_hNotify = nullptr;
    bool m_bRunning = false;

    // Shared with the window's thread (and the address watch's callback):
    // the queue and the address flag are read and written under the lock.
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_wake = CONDITION_VARIABLE_INIT;
    CJobQueue m_queue;
    bool m_bAddressChanged = false;
    HANDLE m_hClosed;
    std::atomic<long> m_nGeneration{ 0 };
    std::atomic<size_t> m_nCloseProgress{ 0 };

    // The worker's own. Null while no router answers.
    std::shared_ptr<GatewayInfo> m_gateway;
    bool m_bEverFound = false;
    bool m_bFailureReported = false;
    DWORD m_dwSearchBegan = 0;
    DWORD m_dwNextSearch = 0;
    // Held ports already reported for this Start: "TCP 80" -> "host:port".
    std::map<std::string, std::string> m_held;
    long m_nHeldGeneration = 0;
    // Deleted rows whose mappings wait for the router to answer again.
    std::vector<MappingEntry> m_pendingRemovals;
};
