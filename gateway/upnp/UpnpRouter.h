#pragma once
// The router over UPnP IGD: a version 2 router lists its table once per
// protocol per run, a version 1 router, or one whose table cannot be trusted,
// is asked row by row. Mappings get an hour's lease, renewed as it runs low,
// or permanent ones where the router takes no other (725); a router that will
// not renew in place (718) has ours made anew.
#include "../GatewayInfo.h"
#include "GatewayRequests.h"
#include "Lease.h"
#include "../Router.h"
#include <memory>

// What a run does with a row, from what the router holds for its external
// port: the same whether the router was asked for the row alone or listed its table.
enum class RowAction { Live, Held, Renew, Add, Unreached };
RowAction DecideRow(const MappingEntry& row, const MappingLookup& lookup, int intervalSeconds);

class CUpnpRouter : public CRouter {
public:
    explicit CUpnpRouter(std::shared_ptr<GatewayInfo> gateway) : m_pGateway(std::move(gateway)) {}
    std::string ReadExternalAddress(int* status) override;
    // Version 2 lists it a page at a time per protocol; version 1, or a router
    // that refuses that, entry by entry.
    TableRead ReadWholeTable(const std::function<bool()>& cancelled) override;
    int DeleteFromTable(const RouterMapping& mapping) override;

protected:
    // Reads the table where the router can list it.
    bool BeginRun(const std::vector<MappingEntry>& rows) override;
    RowState MapRow(size_t index, const MappingEntry& row, const MapRun& run, CNotices& notices) override;
    RemoveResult RemoveRow(const MappingEntry& row, CNotices& notices) override;

private:
    // False when the router did not answer; rows are then not mapped.
    bool ReadTable(const std::vector<MappingEntry>& rows);
    MappingLookup LookUp(const MappingEntry& row);
    // Adds a row the router does not hold; announced, a success has its line.
    RowState AddNewRow(const MappingEntry& row, const MapRun& run, CNotices& notices, bool announce);
    // Adds the row again before its lease runs out.
    RowState RenewRow(const MappingEntry& row, const MapRun& run, CNotices& notices);
    // Adds the row with the lease its router takes; the router's result.
    int AddRow(const MappingEntry& row, int intervalSeconds, CNotices& notices);

    std::shared_ptr<GatewayInfo> m_pGateway;
    CLeasePolicy m_leases;
    // This run's table, where the router listed it.
    MappingTable m_table;
    bool m_bHaveTable = false;
    // The router could not list its table, or listed it wrong: rows are
    // looked up one by one from then on.
    bool m_bPerRowLookups = false;
};

std::shared_ptr<CRouter> FindUpnpRouter(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop);
