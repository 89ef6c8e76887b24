#pragma once
// One way of reaching the router, behind what the worker asks of any router:
// map these rows and say each one's state, remove a row, read the external
// address. FindRouter finds it, trying each way in turn (Routers.cpp); the
// one that answers serves every run and removal until the router is lost.
// A router found anew is a new object, so what one knew of its router (the
// leases it takes, a table it cannot list, ports it saw held) goes with it.
// Calls come from the worker's thread only.
#include "RouterTable.h"
#include "../mappings/MappingEntry.h"
#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ActivityLog;
class CNotices;
// Where an existing mapping points.
struct MappingHolder {
    std::string internalClient;
    std::string internalPort;
    // Seconds of lease left; 0 for a permanent mapping.
    unsigned leaseLeft = 0;
};

// What the router held for a row at the last run.
enum class RowState { Inactive, Live, Failed, Held };

enum class RemoveResult { Done, Refused, Unreached };

// One run over the list's rows.
struct MapRun {
    const std::vector<MappingEntry>& rows;
    // The refresh interval in seconds, which the leases must outlast.
    int intervalSeconds;
    // The external address the success lines show, where the protocol does not name one.
    const std::string& externalAddress;
    // A Stop or the close came since the run began: it ends at the next row.
    std::function<bool()> cancelled;
};

struct RunOutcome {
    std::vector<RowState> states;  // one per row, unless cancelled
    bool lost = false;             // a request did not reach the router
    bool cancelled = false;
    // The external address, where this run was the first to learn it.
    std::string learnedAddress;
};

// A search's address status: the router has not named its address yet.
const int kAddressNotKnownYet = -1000;

// No router answers: every row fails; bad ports are told all the same.
RunOutcome FailRows(const std::vector<MappingEntry>& rows, CNotices& notices);

// Rows are known to the router by protocol and external port: "TCP 80".
std::string RowKey(const MappingEntry& row);

class CRouter {
public:
    virtual ~CRouter() = default;

    // Maps the rows and says what each one's state is. A row whose ports the
    // router cannot take fails with its line, once per Start; after the first
    // request that does not reach the router, the rest fail without a request.
    RunOutcome MapRows(const MapRun& run, CNotices& notices);
    // Removes the row's mapping where it is ours.
    RemoveResult Remove(const MappingEntry& row, CNotices& notices);
    // The external address, "" when it could not be read; *status 0, the
    // router's refusal, or kGatewayUnreachable when it did not answer.
    virtual std::string ReadExternalAddress(int* status) = 0;
    // Milliseconds until a live row's lease, as the router granted it, must
    // be renewed by mapping the last run's rows again; INFINITE while the
    // window's runs come soon enough.
    virtual DWORD RenewDueMs() const { return INFINITE; }
    // The router's whole table; a router that cannot list it gives this
    // program's own mappings. It ends before its next request once cancelled() is true.
    virtual TableRead ReadWholeTable(const std::function<bool()>& cancelled) = 0;
    // Deletes a mapping of that table as it was listed; 0, kGatewayUnreachable
    // or the router's refusal.
    virtual int DeleteFromTable(const RouterMapping& mapping) = 0;

protected:
    // Before the run's rows; false when the router did not answer.
    virtual bool BeginRun(const std::vector<MappingEntry>&) { return true; }
    // The row at index of the run; its ports are valid.
    virtual RowState MapRow(size_t index, const MappingEntry& row, const MapRun& run, CNotices& notices) = 0;
    virtual RemoveResult RemoveRow(const MappingEntry& row, CNotices& notices) = 0;
    // A request did not reach the router: the run ends here, and the row failed.
    RowState Unreached();
    // The last run found the row live.
    bool WasLive(const MappingEntry& row) const { return m_live.count(RowKey(row)) != 0; }
    // The router named its external address for the first time: told, and
    // handed to the window with the run's outcome.
    void LearnExternalAddress(const std::string& address, CNotices& notices);
    // What the log tells of a row, once per Start: another holds its port;
    // the router refused it (code); its port is free or ours again; it is live.
    RowState ReportHeld(const MappingEntry& row, const MappingHolder& holder, CNotices& notices);
    RowState ReportRefused(const MappingEntry& row, int code, const std::string& line, CNotices& notices);
    void ForgetHeld(const MappingEntry& row, CNotices& notices);
    void ForgetRefused(const MappingEntry& row, CNotices& notices);

private:
    bool m_bLost = false;
    std::string m_strLearnedAddress;
    std::set<std::string> m_live;
};

// What finding the router shows in the main window.
struct FoundGateway {
    std::string lanAddress;       // this machine's address towards the gateway
    std::string gatewayHost;      // the router's address
    std::string externalAddress;  // "" when the query failed
    int addressStatus = 0;        // the query's result
};

// Finds the router by one way; logs its found lines and fills *found. Null,
// with nothing logged, when it did not answer, or once stop is set.
typedef std::shared_ptr<CRouter> (*RouterFinder)(FoundGateway* found, ActivityLog& log,
                                                 const std::atomic<bool>& stop);
std::shared_ptr<CRouter> FindRouter(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop);
