#include "PortControlRows.h"
#include "../framework/DottedAddress.h"
#include "../framework/Format.h"
#include <cstdlib>

namespace {
// RFC 6887 section 7.4.
const int kPcpNotAuthorized = 2;
const int kPcpUnsuppOption = 5;
const int kPcpNoResources = 8;
const int kPcpCannotProvideExternal = 11;

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
    DWORD address = 0;
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

std::string DottedText(DWORD address)
{
    if (!address)
        return std::string();
    return FormatText("%lu.%lu.%lu.%lu", address >> 24, address >> 16 & 0xff, address >> 8 & 0xff, address & 0xff);
}

std::string FormatPortControlFailed(const MappingEntry& row, const PortControlResult& result)
{
    return FormatText("%s(%s, %s, %s) 失败,错误代码 %d (%s)\n", IsPcp(result) ? "PCP MAP" : "NAT-PMP",
                      row.externalPort.c_str(), row.localPort.c_str(), row.internalIp.c_str(), result.resultCode,
                      PortControlResultName(result.protocol, result.resultCode));
}

std::string FormatOnlyThisHost(const MappingEntry& row)
{
    return FormatText("路由器只允许为本机映射：内网IP %s 不是本机，此映射未生效。", row.internalIp.c_str());
}
