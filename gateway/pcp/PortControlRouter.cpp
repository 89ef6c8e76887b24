#include "PortControlRouter.h"
#include "../Adapters.h"
#include "../BoundedCall.h"
#include "../RouterTable.h"
#include "../ServiceRequest.h"
#include "../upnp/Lease.h"
#include "../LogLines.h"
#include "../Notices.h"
#include "../Ticks.h"
#include "../../framework/DottedAddress.h"
#include "../../framework/Format.h"
#include "../../log/ActivityLog.h"
#include <algorithm>
#include <cstdlib>

namespace {
// RFC 6887 section 7.4.
const int kPcpNotAuthorized = 2;
const int kPcpUnsuppOption = 5;
const int kPcpNoResources = 8;
const int kPcpCannotProvideExternal = 11;
// The port of the mapping a search deletes: any answer shows the protocol,
// and a PCP answer names the external address.
const WORD kProbePort = 9;
// What the run knows of a port that PCP or NAT-PMP would not give: not who holds it.
const MappingHolder kUnknownHolder = { "未知主机", "?" };
const DWORD kLongestRenewalDelayMs = 24 * 60 * 60 * 1000;

// The probe of one adapter's gateway, owned by its call too: the first
// gateway to answer wins, and the others' probes end on their own.
struct CGatewayProbe {
    std::shared_ptr<CRouter> router;
    FoundGateway found;
    std::vector<std::string> lines;
};
// Past the probe's own bound, for its thread to hand over.
const DWORD kProbeSlackMs = 500;

size_t FirstAnswered(const std::vector<bool>& answered)
{
    return std::find(answered.begin(), answered.end(), true) - answered.begin();
}

BYTE ProtocolNumber(const MappingEntry& row)
{
    return row.protocol == "UDP" ? IPPROTO_UDP : IPPROTO_TCP;
}

WORD PortNumber(const std::string& port)
{
    return WORD(std::atol(port.c_str()));
}

DWORD InternalAddress(const MappingEntry& row)
{
    std::uint32_t address = 0;
    ParseDottedAddress(row.internalIp.c_str(), &address);
    return address;
}

bool IsPcp(const PortControlResult& result)
{
    return result.protocol == PortControlProtocol::Pcp;
}
}

PortControlAction DecidePortControlRow(const MappingEntry& row, const PortControlResult& result, bool forOtherHost)
{
    if (result.status == PortControlStatus::NoAnswer)
        return PortControlAction::Unreached;
    if (result.status == PortControlStatus::NotForOtherHosts)
        return PortControlAction::OnlyThisHost;
    if (result.resultCode == kPortControlSuccess)
        return result.externalPort == PortNumber(row.externalPort) ? PortControlAction::Live
                                                                    : PortControlAction::OtherPort;
    // PREFER_FAILURE: the router would have had to give another port.
    if (IsPcp(result) && result.resultCode == kPcpCannotProvideExternal)
        return PortControlAction::Held;
    bool bThirdPartyRefused = result.resultCode == kPcpNotAuthorized || result.resultCode == kPcpUnsuppOption;
    if (IsPcp(result) && forOtherHost && bThirdPartyRefused)
        return PortControlAction::OnlyThisHost;
    return PortControlAction::Refused;
}

bool PortControlDeleteDone(const PortControlResult& result, bool forOtherHost)
{
    // A router that maps for this host only never made one for another.
    if (result.status == PortControlStatus::NotForOtherHosts)
        return true;
    if (result.status != PortControlStatus::Answered)
        return false;
    if (result.resultCode == kPortControlSuccess)
        return true;
    // RFC 6887 asks for SUCCESS to the delete of a mapping the router does
    // not hold; some routers answer NO_RESOURCES.
    return IsPcp(result)
        && (result.resultCode == kPcpNoResources
            || (forOtherHost && (result.resultCode == kPcpNotAuthorized || result.resultCode == kPcpUnsuppOption)));
}

PortControlResult MapRowOnRouter(CPortControl& router, const MappingEntry& row, DWORD lifetime)
{
    return router.Map(ProtocolNumber(row), InternalAddress(row), PortNumber(row.localPort),
                      PortNumber(row.externalPort), lifetime);
}

PortControlResult DeleteRowOnRouter(CPortControl& router, const MappingEntry& row, WORD externalPort)
{
    return router.Delete(ProtocolNumber(row), InternalAddress(row), PortNumber(row.localPort), externalPort);
}

bool IsForOtherHost(const MappingEntry& row, DWORD localAddress)
{
    return InternalAddress(row) != localAddress;
}

DWORD RenewalDelayMs(DWORD lifetime)
{
    // A second early, so that the renewal's own round trip still falls inside the half.
    unsigned long long delay = lifetime * 500ULL;
    delay = delay > 2000 ? delay - 1000 : 1000;
    return delay < kLongestRenewalDelayMs ? static_cast<DWORD>(delay) : kLongestRenewalDelayMs;
}

std::shared_ptr<CRouter> FindPortControlRouter(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop)
{
    std::vector<NetworkAdapter> adapters = ReadNetworkAdapters();
    std::vector<NetworkAdapter> routed = AdaptersWithGateways(adapters);
    PortControlKey key = LoadPortControlKey();
    std::vector<std::shared_ptr<CGatewayProbe>> probes;
    std::vector<std::function<bool()>> calls;
    for (const NetworkAdapter& adapter : routed) {
        auto probe = std::make_shared<CGatewayProbe>();
        DWORD gateway = adapter.gateway, localAddress = adapter.address;
        calls.push_back([probe, gateway, localAddress, key] {
            auto router = std::make_shared<CPortControl>(gateway, key);
            probe->router = ProbePortControl(router, localAddress, &probe->found,
                                             [probe](const std::string& line) { probe->lines.push_back(line); });
            return probe->router != nullptr;
        });
        probes.push_back(probe);
    }
    size_t first = FirstAnswered(RunTogether(std::move(calls), kPortControlBoundMs + kProbeSlackMs, &stop, true));
    if (first == probes.size())
        return nullptr;
    const CGatewayProbe& probe = *probes[first];
    *found = probe.found;
    for (size_t line = 0; line < probe.lines.size(); ++line) {
        log.Report(probe.lines[line]);
        // The found line comes first.
        if (line == 0 && adapters.size() > 1)
            log.Report(AdapterUsedLine(adapters, &routed[first]));
    }
    return probe.router;
}

std::shared_ptr<CRouter> ProbePortControl(std::shared_ptr<CPortControl> router, DWORD localAddress, FoundGateway* found,
                                          const std::function<void(const std::string&)>& report)
{
    PortControlResult answer = router->Delete(IPPROTO_UDP, localAddress, kProbePort, kProbePort);
    if (answer.status == PortControlStatus::Answered && router->SpeaksNatPmp())
        answer = router->QueryExternalAddress();
    if (answer.status != PortControlStatus::Answered)
        return nullptr;
    found->lanAddress = DottedText(localAddress);
    found->gatewayHost = DottedText(router->Gateway());
    found->externalAddress = DottedText(answer.externalAddress);
    found->addressStatus = found->externalAddress.empty() ? answer.resultCode : 0;
    report(FormatPortControlFound(router->SpeaksNatPmp(), found->gatewayHost));
    // A PCP router may answer a delete with the all-zero address it was
    // given (RFC 6887, erratum 3621): not known yet, and no word on it until
    // a MAP answer names it.
    bool unknown = found->externalAddress.empty() && !router->SpeaksNatPmp();
    if (unknown)
        found->addressStatus = kAddressNotKnownYet;
    else
        report(FormatExternalAddress(found->externalAddress));
    return std::make_shared<CPortControlRouter>(router, found->lanAddress, found->externalAddress);
}

CPortControlRouter::CPortControlRouter(std::shared_ptr<CPortControl> router, const std::string& lanAddress,
                                       const std::string& externalAddress)
    : m_pRouter(std::move(router)), m_strExternalAddress(externalAddress)
{
    ParseDottedAddress(lanAddress.c_str(), &m_dwLocalAddress);
}

std::map<size_t, size_t> SharedEndpoints(const std::vector<MappingEntry>& rows)
{
    std::map<std::string, size_t> first;
    std::map<size_t, size_t> shared;
    for (size_t index = 0; index < rows.size(); ++index) {
        const MappingEntry& row = rows[index];
        std::string endpoint = row.protocol + " " + DottedText(InternalAddress(row)) + ":"
            + std::to_string(PortNumber(row.localPort));
        auto earlier = first.emplace(endpoint, index);
        if (!earlier.second)
            shared[index] = earlier.first->second;
    }
    return shared;
}

bool CPortControlRouter::BeginRun(const std::vector<MappingEntry>& rows)
{
    // An undo lost earlier goes again: the port it leaves open is of no use to anyone.
    for (auto pending : std::map<std::string, std::pair<MappingEntry, WORD>>(m_otherPorts))
        UndoOtherPort(pending.second.first, pending.second.second);
    m_sharedEndpoints = SharedEndpoints(rows);
    m_sharedRows.clear();
    m_bRenewDue = false;
    for (const auto& shared : m_sharedEndpoints)
        m_sharedRows.insert(RowKey(rows[shared.first]));
    return true;
}

RowState CPortControlRouter::MapRow(size_t index, const MappingEntry& row, const MapRun& run, CNotices& notices)
{
    auto shared = m_sharedEndpoints.find(index);
    if (shared != m_sharedEndpoints.end()) {
        notices.Tell("shared " + RowKey(row), std::to_string(shared->second),
                     FormatSharedEndpoint(static_cast<int>(index + 1), static_cast<int>(shared->second + 1)));
        return RowState::Failed;
    }
    PortControlResult result = MapRowOnRouter(*m_pRouter, row, LifetimeForInterval(run.intervalSeconds));
    // The router lost its mappings: all of them are made again once it is found again.
    if (result.routerRestarted)
        return Unreached();
    if (result.externalAddress) {
        std::string address = DottedText(result.externalAddress);
        if (m_strExternalAddress.empty())
            LearnExternalAddress(address, notices);
        m_strExternalAddress = address;
    }
    PortControlAction action = DecidePortControlRow(row, result, IsForOtherHost(row, m_dwLocalAddress));
    // Free or ours again: a later holder is news.
    if (action != PortControlAction::Held && action != PortControlAction::OtherPort) {
        m_held.erase(RowKey(row));
        ForgetHeld(row, notices);
    }
    switch (action) {
    case PortControlAction::Live:
        ForgetRefused(row, notices);
        NoteGranted(row, result.lifetime);
        // Renewals are silent: only a row that becomes mapped has its line.
        if (!WasLive(row))
            notices.Report(FormatAddSucceeded(m_strExternalAddress, row));
        return RowState::Live;
    case PortControlAction::OtherPort:
        // No use to the user, who chose the port: the router's choice is undone.
        UndoOtherPort(row, result.externalPort);
        return ReportHeldByUnknown(row, notices);
    case PortControlAction::Held:
        return ReportHeldByUnknown(row, notices);
    case PortControlAction::OnlyThisHost:
        return ReportRefused(row, result.resultCode, FormatOnlyThisHost(row), notices);
    case PortControlAction::Refused:
        return ReportRefused(row, result.resultCode, FormatPortControlFailed(row, result), notices);
    default:
        return Unreached();
    }
}

bool CPortControlRouter::UndoOtherPort(const MappingEntry& row, WORD externalPort)
{
    bool reached = DeleteRowOnRouter(*m_pRouter, row, externalPort).status != PortControlStatus::NoAnswer;
    if (reached)
        m_otherPorts.erase(RowKey(row));
    else
        m_otherPorts[RowKey(row)] = { row, externalPort };
    return reached;
}

RowState CPortControlRouter::ReportHeldByUnknown(const MappingEntry& row, CNotices& notices)
{
    m_held.insert(RowKey(row));
    return ReportHeld(row, kUnknownHolder, notices);
}

void CPortControlRouter::NoteGranted(const MappingEntry& row, DWORD lifetime)
{
    m_granted[RowKey(row)] = { row, ::GetTickCount64() + lifetime * 1000ULL };
    DWORD delay = RenewalDelayMs(lifetime);
    if (m_bRenewDue && delay >= TickLeft(m_dwRenewAt))
        return;
    m_bRenewDue = true;
    m_dwRenewAt = ::GetTickCount() + delay;
}

DWORD CPortControlRouter::RenewDueMs() const
{
    return m_bRenewDue ? TickLeft(m_dwRenewAt) : INFINITE;
}

RemoveResult CPortControlRouter::RemoveRow(const MappingEntry& row, CNotices& notices)
{
    // Its endpoint's mapping, if any, is another row's; the row leaves the
    // list, so it shares nothing with a row that may come later.
    if (m_sharedRows.erase(RowKey(row)))
        return RemoveResult::Done;
    // A held port was never ours; nothing else tells whose it is. Only the
    // other port the router gave instead may be ours still.
    if (m_held.count(RowKey(row))) {
        auto otherPort = m_otherPorts.find(RowKey(row));
        if (otherPort != m_otherPorts.end() && !UndoOtherPort(row, otherPort->second.second))
            return RemoveResult::Unreached;
        notices.Report(FormatNotOurs(row, kUnknownHolder));
        return RemoveResult::Done;
    }
    WORD externalPort = PortNumber(row.externalPort);
    PortControlResult result = DeleteRowOnRouter(*m_pRouter, row, externalPort);
    if (PortControlDeleteDone(result, IsForOtherHost(row, m_dwLocalAddress))) {
        m_granted.erase(RowKey(row));
        return RemoveResult::Done;
    }
    if (result.status == PortControlStatus::NoAnswer)
        return RemoveResult::Unreached;
    notices.Report(FormatStopFailed(row, result.resultCode, PortControlResultName(result.protocol, result.resultCode)));
    return RemoveResult::Refused;
}

std::string CPortControlRouter::ReadExternalAddress(int* status)
{
    *status = 0;
    // PCP has no address request: its MAP answers name the address.
    if (!m_pRouter->SpeaksNatPmp()) {
        if (m_strExternalAddress.empty())
            *status = kAddressNotKnownYet;
        return m_strExternalAddress;
    }
    PortControlResult result = m_pRouter->QueryExternalAddress();
    if (result.status != PortControlStatus::Answered)
        *status = kGatewayUnreachable;
    else if (result.resultCode != kPortControlSuccess)
        *status = result.resultCode;
    else
        m_strExternalAddress = DottedText(result.externalAddress);
    return *status ? std::string() : m_strExternalAddress;
}

TableRead CPortControlRouter::ReadWholeTable(const std::function<bool()>&)
{
    TableRead read;
    read.outcome = TableRead::OwnOnly;
    ULONGLONG now = ::GetTickCount64();
    for (const auto& granted : m_granted) {
        const MappingEntry& row = granted.second.first;
        ULONGLONG ends = granted.second.second;
        if (WasLive(row))
            read.mappings.push_back({ row.protocol, row.externalPort, "", row.internalIp, row.localPort, "Gatewright",
                                      static_cast<unsigned>(ends > now ? (ends - now) / 1000 : 0) });
    }
    return read;
}

int CPortControlRouter::DeleteFromTable(const RouterMapping& mapping)
{
    auto granted = m_granted.find(mapping.protocol + " " + mapping.externalPort);
    if (granted == m_granted.end())
        return kNoSuchEntry;
    const MappingEntry& row = granted->second.first;
    PortControlResult result = DeleteRowOnRouter(*m_pRouter, row, PortNumber(row.externalPort));
    if (result.status == PortControlStatus::NoAnswer)
        return kGatewayUnreachable;
    if (!PortControlDeleteDone(result, IsForOtherHost(row, m_dwLocalAddress)))
        return result.resultCode;
    m_granted.erase(granted);
    return 0;
}
