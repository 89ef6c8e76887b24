#pragma once
// What reaches the gateway worker from other threads, under one lock: the
// window's jobs, the system's word that an address changed, the rows the close
// answers for, and the removals that wait for the router to answer again.
#include "JobQueue.h"
#include <windows.h>
#include <string>
#include <vector>

struct CloseLeft {
    std::vector<MappingEntry> rows;
    std::vector<std::string> pinholeLines;
};

class CWorkerInbox {
public:
    void Push(GatewayJob job);
    // From now on the close answers for every row it leaves behind, whether
    // or not the worker ever gets to it: its own, and the pending removals.
    void PushClose(GatewayJob job);
    // False when nothing waits.
    bool Take(GatewayJob* job);
    // Any thread: an address of this machine changed.
    void NoteAddressChange();
    // Waits until a job or an address change comes, or the time is up;
    // true for an address change.
    bool WaitForChange(DWORD timeoutMs);

    // A removal that did not reach the router; done when it answers again.
    void AddPending(const MappingEntry& row);
    std::vector<MappingEntry> TakePending();
    // The close: removals that failed since it was posted go with it.
    void ClosePending();
    // The close's next row, or false when none is left or the rest were taken.
    bool NextCloseRow(MappingEntry* row);
    // What the close leaves undone, taken once: the rows the worker has not
    // dealt with and the lines that name the open pinholes, together, so that
    // the worker leaves both to the caller to name.
    CloseLeft TakeCloseLeft();
    bool CloseRowsTaken();
    // The lines that name the open pinholes, kept current by the worker. The
    // worker claims them (true) before it closes the pinholes itself, unless
    // the window took what the close left.
    void SetOpenPinholeLines(std::vector<std::string> lines);
    bool ClaimClosePinholes();

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_wake = CONDITION_VARIABLE_INIT;
    CJobQueue m_queue;
    bool m_bAddressChanged = false;
    std::vector<MappingEntry> m_closeRowsLeft;
    bool m_bCloseRowsTaken = false;
    std::vector<std::string> m_closePinholeLines;
    std::vector<MappingEntry> m_pendingRemovals;
};
