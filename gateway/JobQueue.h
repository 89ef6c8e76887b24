#pragma once
// The jobs the window gives the gateway worker, and the queue that orders them.
#include "RouterTable.h"
#include "../mappings/MappingEntry.h"
#include <windows.h>
#include <deque>
#include <string>
#include <vector>

// How long the close may wait on the router: it gives up once the router has
// been silent for silenceMs, not merely slow, or capMs after the close began.
struct CloseBound {
    DWORD began = 0;
    DWORD silenceMs = 0;
    DWORD capMs = 0;
    // lastAnswer: the tick of the router's last answer, or of the close's beginning.
    bool Exceeded(DWORD lastAnswer, DWORD now, DWORD graceMs = 0) const
    {
        return now - began >= capMs + graceMs || now - lastAnswer >= silenceMs + graceMs;
    }
};

// What the window asks of the gateway worker. The rows are a copy of the
// list taken on the window's thread: the worker never reads a control.
struct GatewayJob {
    enum Kind { Run, Stop, Remove, Close, AllowInFirewall, ForgetFirewallRules, ReadTable, DeleteFromTable };
    Kind kind = Run;
    // Run and Stop: the Start they belong to; a Stop ends every older Start.
    long generation = 0;
    // Run: a refresh also reads the external address again afterwards.
    bool refreshAddress = false;
    std::vector<MappingEntry> rows;
    // Run: the external address the success lines show.
    std::string externalAddress;
    // Run: the refresh interval in seconds, which the leases must outlast.
    int intervalSeconds = 0;
    // DeleteFromTable: the router's mappings to delete, as its table listed them.
    std::vector<RouterMapping> mappings;
    // ForgetFirewallRules: the rows the list keeps; rows are those deleted.
    std::vector<MappingEntry> listed;
    // Close: how long the worker may wait on the gateway.
    CloseBound bound;
};

// The worker's queue and its rules of precedence. Runs never pile up: a new
// run replaces a waiting one. A Stop drops the waiting runs. A Close drops
// every waiting job and takes over the rows of the Stops and removals among
// them that the list no longer has: it stops them with the list, so that the
// close alone knows every row it leaves behind. It takes no job after it.
// Removals of deleted rows always stay, or go into the close: their mappings
// must leave the router whatever comes next. Not locked: the worker locks around it.
class CJobQueue {
public:
    // False when the job was refused because a Close came first.
    bool Push(GatewayJob job);
    // False when nothing waits.
    bool Pop(GatewayJob* job);
    // The rows of the waiting Close; empty when none waits.
    std::vector<MappingEntry> CloseRows() const;
    bool Empty() const { return m_jobs.empty(); }

private:
    void Drop(bool (*unwanted)(const GatewayJob&));
    void TakeOverRows(GatewayJob* close) const;

    std::deque<GatewayJob> m_jobs;
    bool m_bClosed = false;
};
