#include "Router.h"
#include "LogLines.h"
#include "Notices.h"
#include "pcp/PortControlRouter.h"
#include "upnp/UpnpRouter.h"

namespace {
// The ways of reaching the router, in the order they are tried: UPnP first;
// a router without it is asked by PCP, which falls back to NAT-PMP itself.
const RouterFinder kFinders[] = { FindUpnpRouter, FindPortControlRouter };

bool HasValidPorts(const MappingEntry& row)
{
    return IsValidPort(row.localPort) && IsValidPort(row.externalPort);
}

// False, with its line once per Start, for a row whose ports the router cannot take.
bool CheckPorts(const std::vector<MappingEntry>& rows, size_t index, CNotices& notices)
{
    const MappingEntry& row = rows[index];
    if (HasValidPorts(row))
        return true;
    std::string key = row.protocol + " " + row.localPort + " " + row.externalPort + " " + row.internalIp;
    notices.Tell("ports " + key, "", FormatBadPorts(static_cast<int>(index + 1)));
    return false;
}
}

std::string RowKey(const MappingEntry& row)
{
    return row.protocol + " " + row.externalPort;
}

std::shared_ptr<CRouter> FindRouter(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop)
{
    for (RouterFinder find : kFinders) {
        if (stop)
            break;
        if (std::shared_ptr<CRouter> router = find(found, log, stop))
            return router;
    }
    return nullptr;
}

RunOutcome FailRows(const std::vector<MappingEntry>& rows, CNotices& notices)
{
    RunOutcome outcome;
    for (size_t index = 0; index < rows.size(); ++index) {
        CheckPorts(rows, index, notices);
        outcome.states.push_back(RowState::Failed);
    }
    return outcome;
}

RunOutcome CRouter::MapRows(const MapRun& run, CNotices& notices)
{
    RunOutcome outcome;
    m_bLost = !BeginRun(run.rows);
    for (size_t index = 0; index < run.rows.size(); ++index) {
        if (run.cancelled()) {
            outcome.cancelled = true;
            break;
        }
        const MappingEntry& row = run.rows[index];
        RowState state = RowState::Failed;
        if (CheckPorts(run.rows, index, notices) && !m_bLost)
            state = MapRow(index, row, run, notices);
        if (state == RowState::Live)
            m_live.insert(RowKey(row));
        else
            m_live.erase(RowKey(row));
        outcome.states.push_back(state);
    }
    outcome.lost = m_bLost;
    outcome.learnedAddress = std::move(m_strLearnedAddress);
    m_strLearnedAddress.clear();
    return outcome;
}

RowState CRouter::ReportHeld(const MappingEntry& row, const MappingHolder& holder, CNotices& notices)
{
    notices.Tell("held " + RowKey(row), holder.internalClient + ":" + holder.internalPort,
                 FormatHeldElsewhere(row, holder));
    return RowState::Held;
}

RowState CRouter::ReportRefused(const MappingEntry& row, int code, const std::string& line, CNotices& notices)
{
    notices.Tell("refused " + RowKey(row), std::to_string(code), line);
    return RowState::Failed;
}

void CRouter::ForgetHeld(const MappingEntry& row, CNotices& notices)
{
    notices.Clear("held " + RowKey(row));
}

void CRouter::ForgetRefused(const MappingEntry& row, CNotices& notices)
{
    notices.Clear("refused " + RowKey(row));
}

void CRouter::LearnExternalAddress(const std::string& address, CNotices& notices)
{
    m_strLearnedAddress = address;
    notices.Report(FormatExternalAddress(address));
}

RemoveResult CRouter::Remove(const MappingEntry& row, CNotices& notices)
{
    // Stopped or deleted, the row is no longer live: mapped again, it is told again.
    m_live.erase(RowKey(row));
    // Ports the router cannot take were never mapped.
    return HasValidPorts(row) ? RemoveRow(row, notices) : RemoveResult::Done;
}

RowState CRouter::Unreached()
{
    m_bLost = true;
    return RowState::Failed;
}
