#include "UpnpRouter.h"
#include "Discovery.h"
#include "../LogLines.h"
#include "../Notices.h"
#include <algorithm>
#include <cstdlib>
#include <map>

namespace {
// UPnP error: the router will not change the mapping as asked.
const int kConflictInMappingEntry = 718;
}

std::shared_ptr<CRouter> FindUpnpRouter(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop)
{
    std::shared_ptr<GatewayInfo> gateway = SearchGateway(found, log, stop);
    return gateway ? std::make_shared<CUpnpRouter>(gateway) : nullptr;
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

bool CUpnpRouter::BeginRun(const std::vector<MappingEntry>& rows)
{
    m_table.entries.clear();
    m_bHaveTable = false;
    if (m_bPerRowLookups || !ListsMappingTable(*m_pGateway))
        return true;
    return ReadTable(rows);
}

bool CUpnpRouter::ReadTable(const std::vector<MappingEntry>& rows)
{
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
        int result = ReadMappingTable(*m_pGateway, span.first, span.second.first, span.second.second, &m_table);
        if (MeansGatewayLost(result))
            return false;
        // The router cannot list its table after all: rows are looked up one by one.
        if (result != 0) {
            m_bPerRowLookups = true;
            return true;
        }
    }
    m_bHaveTable = true;
    return true;
}

MappingLookup CUpnpRouter::LookUp(const MappingEntry& row)
{
    MappingLookup lookup;
    if (m_bHaveTable)
        lookup = LookUpInTable(m_table, row);
    // Missing from the table while the last run found it live: the router is asked once more, and
    // a table that left out a mapping the router holds is not read again.
    if (!m_bHaveTable || (lookup.result != 0 && WasLive(row))) {
        MappingLookup asked;
        asked.result = LookUpMapping(*m_pGateway, row, &asked.holder);
        m_bPerRowLookups |= m_bHaveTable && asked.result == 0;
        lookup = asked;
    }
    return lookup;
}

RowState CUpnpRouter::MapRow(size_t, const MappingEntry& row, const MapRun& run, CNotices& notices)
{
    MappingLookup lookup = LookUp(row);
    RowAction action = DecideRow(row, lookup, run.intervalSeconds);
    if (action == RowAction::Held)
        return ReportHeld(row, lookup.holder, notices);
    // Free or ours again: a later holder, or refusal, is news.
    ForgetHeld(row, notices);
    switch (action) {
    case RowAction::Live:
        ForgetRefused(row, notices);
        return RowState::Live;
    case RowAction::Renew:
        return RenewRow(row, run, notices);
    case RowAction::Add:
        return AddNewRow(row, run, notices, true);
    default:
        return Unreached();
    }
}

RowState CUpnpRouter::AddNewRow(const MappingEntry& row, const MapRun& run, CNotices& notices, bool announce)
{
    int result = AddRow(row, run.intervalSeconds, notices);
    if (MeansGatewayLost(result))
        return Unreached();
    if (result != 0)
        return ReportRefused(row, result, FormatAddFailed(row, result), notices);
    ForgetRefused(row, notices);
    if (announce)
        notices.Report(FormatAddSucceeded(run.externalAddress, row));
    return RowState::Live;
}

int CUpnpRouter::AddRow(const MappingEntry& row, int intervalSeconds, CNotices& notices)
{
    int result = AddMapping(*m_pGateway, row, m_leases.LeaseFor(intervalSeconds));
    if (!m_leases.TakeAddResult(result))
        return result;
    notices.TellOnce("permanent leases only", kPermanentLeasesOnly);
    return AddMapping(*m_pGateway, row, 0);
}

RowState CUpnpRouter::RenewRow(const MappingEntry& row, const MapRun& run, CNotices& notices)
{
    // A renewal is not a new mapping: no line. One the router would not
    // renew stays until its lease ends, and the runs after try again.
    int result = AddRow(row, run.intervalSeconds, notices);
    if (result != kConflictInMappingEntry)
        return MeansGatewayLost(result) ? Unreached() : RowState::Live;
    // The router will not update it in place. Since the run's look, the lease
    // may have ended and another host taken the port: only ours is made anew.
    MappingLookup now;
    now.result = LookUpMapping(*m_pGateway, row, &now.holder);
    if (now.result == 0 && HeldElsewhere(row, now.holder))
        return ReportHeld(row, now.holder, notices);
    if (now.result == 0)
        now.result = DeleteMapping(*m_pGateway, row);
    return MeansGatewayLost(now.result) ? Unreached() : AddNewRow(row, run, notices, false);
}

RemoveResult CUpnpRouter::RemoveRow(const MappingEntry& row, CNotices& notices)
{
    // Only a mapping that points at the row's own address and port is ours to delete.
    MappingHolder holder;
    int result = LookUpMapping(*m_pGateway, row, &holder);
    if (result == 0 && HeldElsewhere(row, holder)) {
        notices.Report(FormatNotOurs(row, holder));
        return RemoveResult::Done;
    }
    if (result == 0)
        result = DeleteMapping(*m_pGateway, row);
    if (result == 0 || result == kNoSuchEntry)
        return RemoveResult::Done;
    if (MeansGatewayLost(result))
        return RemoveResult::Unreached;
    notices.Report(FormatStopFailed(row, result));
    return RemoveResult::Refused;
}

std::string CUpnpRouter::ReadExternalAddress(int* status)
{
    return QueryExternalAddress(*m_pGateway, status);
}

namespace {
// Ends the read as the request's result says: 0 goes on.
bool EndsRead(int result, TableRead* read)
{
    if (result == 0)
        return false;
    read->outcome = MeansGatewayLost(result) ? TableRead::Lost : TableRead::Failed;
    read->code = result;
    return true;
}

// Reads pages of the protocol's span until it is done, up to the limit.
int ReadPages(const GatewayInfo& gateway, const std::string& protocol, const std::function<bool()>& cancelled,
              TableRead* read)
{
    size_t before = read->mappings.size();
    for (unsigned first = 1; first;) {
        if (cancelled()) {
            read->outcome = TableRead::Interrupted;
            return 0;
        }
        if (read->mappings.size() - before >= kTablePagedReadLimit) {
            read->outcome = TableRead::CutAtPageLimit;
            return 0;
        }
        std::vector<RouterMapping> page;
        if (int result = ReadTablePage(gateway, protocol, first, &page))
            return result;
        size_t room = kTablePagedReadLimit - (read->mappings.size() - before);
        read->mappings.insert(read->mappings.end(), page.begin(), page.begin() + std::min(room, page.size()));
        first = NextPageStart(page, kTablePageSize);
    }
    return 0;
}

TableRead ReadByIndex(const GatewayInfo& gateway, const std::function<bool()>& cancelled)
{
    TableRead read;
    for (unsigned index = 0;; ++index) {
        if (cancelled()) {
            read.outcome = TableRead::Interrupted;
            return read;
        }
        RouterMapping mapping;
        int result = ReadTableEntry(gateway, index, &mapping);
        if (result == kIndexOutOfRange || result == kNoSuchEntry || EndsRead(result, &read))
            return read;
        // One more than the limit was asked for only to know whether the table goes on.
        if (index == kTableReadLimit) {
            read.outcome = TableRead::CutAtLimit;
            return read;
        }
        read.mappings.push_back(mapping);
    }
}
}

TableRead CUpnpRouter::ReadWholeTable(const std::function<bool()>& cancelled)
{
    if (!ListsMappingTable(*m_pGateway))
        return ReadByIndex(*m_pGateway, cancelled);
    TableRead read;
    for (const char* protocol : { "TCP", "UDP" }) {
        int result = ReadPages(*m_pGateway, protocol, cancelled, &read);
        if (result && !MeansGatewayLost(result))
            return ReadByIndex(*m_pGateway, cancelled);
        if (EndsRead(result, &read) || read.outcome == TableRead::Interrupted)
            return read;
    }
    return read;
}

int CUpnpRouter::DeleteFromTable(const RouterMapping& mapping)
{
    return DeleteTableMapping(*m_pGateway, mapping);
}
