#pragma once
// The router over PCP, or NAT-PMP where it speaks only that: one MAP per row
// per run adds or renews the row with the hour's lease, asking for the row's
// own external port or nothing. Rows for other LAN hosts go with PCP's
// THIRD_PARTY option. Each mapping's nonce comes from a key kept in the
// profile, so that a restarted program still renews and removes its own. A
// router whose epoch shows that it restarted is lost, and found anew.
#include "PortControl.h"
#include "../Router.h"
#include <functional>
#include <map>
#include <set>
#include <string>

// What a run does with a row after the router answered its MAP.
enum class PortControlAction {
    Live,          // mapped on the row's own external port
    OtherPort,     // NAT-PMP mapped another port: delete it, the row's port is held
    Held,          // the row's port is another's
    OnlyThisHost,  // the router maps for the host that asks only
    Refused,       // any other refusal: its code and name are told
    Unreached      // no answer: the router is lost
};
// forOtherHost: the row's internal address is not this machine's.
PortControlAction DecidePortControlRow(const MappingEntry& row, const PortControlResult& result, bool forOtherHost);

// True when a delete's answer leaves nothing of the row's mapping on the router.
bool PortControlDeleteDone(const PortControlResult& result, bool forOtherHost);

// The row's MAP, renewing it for lifetime seconds, or deleting it with 0. Its
// ports must be valid.
PortControlResult MapRowOnRouter(CPortControl& router, const MappingEntry& row, DWORD lifetime);
// Deletes the mapping the router made for the row on externalPort.
PortControlResult DeleteRowOnRouter(CPortControl& router, const MappingEntry& row, WORD externalPort);

// For each row that has the protocol, internal address and port of an
// earlier row, that row's index.
std::map<size_t, size_t> SharedEndpoints(const std::vector<MappingEntry>& rows);

// The row's internal address is not localAddress, this machine's towards the router.
bool IsForOtherHost(const MappingEntry& row, DWORD localAddress);

// How soon a mapping granted lifetime seconds is renewed: before half of it
// has passed, and at least once a day.
DWORD RenewalDelayMs(DWORD lifetime);

class CPortControlRouter : public CRouter {
public:
    // lanAddress: this machine's towards the router; externalAddress: as the search read it.
    CPortControlRouter(std::shared_ptr<CPortControl> router, const std::string& lanAddress,
                       const std::string& externalAddress);
    std::string ReadExternalAddress(int* status) override;
    DWORD RenewDueMs() const override;
    // It cannot be listed: the rows this program keeps mapped.
    TableRead ReadWholeTable(const std::function<bool()>& cancelled) override;
    int DeleteFromTable(const RouterMapping& mapping) override;

protected:
    // Finds the rows that share an internal endpoint with an earlier row.
    bool BeginRun(const std::vector<MappingEntry>& rows) override;
    RowState MapRow(size_t index, const MappingEntry& row, const MapRun& run, CNotices& notices) override;
    RemoveResult RemoveRow(const MappingEntry& row, CNotices& notices) override;

private:
    // PCP and NAT-PMP never say who holds a port.
    RowState ReportHeldByUnknown(const MappingEntry& row, CNotices& notices);
    // A live row's lease ends lifetime seconds from now.
    void NoteGranted(const MappingEntry& row, DWORD lifetime);
    // Deletes the mapping the router made on another port than the row's;
    // false when the delete did not reach the router: it is sent again.
    bool UndoOtherPort(const MappingEntry& row, WORD externalPort);

    std::shared_ptr<CPortControl> m_pRouter;
    std::uint32_t m_dwLocalAddress = 0;
    // As the last answer named it: PCP's MAP answers, or NAT-PMP's address request.
    std::string m_strExternalAddress;
    // Rows whose port the last run found another's: a removal leaves them.
    std::set<std::string> m_held;
    // The router knows a mapping by its protocol and internal endpoint alone:
    // a row that shares them with an earlier row (its index, then the
    // earlier row's) is never sent, and its removal must not touch the other's.
    std::map<size_t, size_t> m_sharedEndpoints;
    std::set<std::string> m_sharedRows;
    // The router may grant less than asked (RFC 6887 section 11.3, RFC 6886
    // section 3.3): the tick by which the shortest lease of the run is renewed.
    bool m_bRenewDue = false;
    DWORD m_dwRenewAt = 0;
    // Each row mapped, by RowKey, and when its lease ends (GetTickCount64).
    std::map<std::string, std::pair<MappingEntry, ULONGLONG>> m_granted;
    // Mappings on another port whose undo the router has not confirmed, by RowKey.
    std::map<std::string, std::pair<MappingEntry, WORD>> m_otherPorts;
};

// Asks the gateway of every adapter at once, by PCP, then NAT-PMP: the first
// that answers is the router.
std::shared_ptr<CRouter> FindPortControlRouter(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop);
// The same for a router already chosen; localAddress is this machine's towards it.
std::shared_ptr<CRouter> ProbePortControl(std::shared_ptr<CPortControl> router, DWORD localAddress, FoundGateway* found,
                                          const std::function<void(const std::string&)>& report);
