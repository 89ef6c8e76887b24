#include "Ipv6Firewall.h"
#include "../../framework/DottedAddress.h"
#include "../BoundedCall.h"
#include "../upnp/Discovery.h"
#include "../LogLines.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <upnpcommands.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {
const int kSearchIpv6 = 1;
// Searched for by itself: only devices that have the service answer, and with
// no router answering the search ends after twice the delay, where the
// library's four device types over IPv6 took sixteen seconds.
const char* kFirewallService = "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1";
// The search, then the descriptions of the devices that answered.
const DWORD kSearchTimeoutMs = 2 * kSearchDelayMs + 3000;
// Any remote host and port may come in, for an hour unless renewed.
const char* kAnyRemoteHost = "";
const char* kAnyRemotePort = "0";
const char* kLeaseSeconds = "3600";
// The service's error for an unknown unique ID.
const int kNoSuchPinhole = 704;
// miniupnpd's answer instead, to UpdatePinhole and DeletePinhole alike.
const int kInvalidArgs = 402;
// Only the source address matters; nothing is sent to it.
const char* kAnyRouterPort = "1900";

// The IPv6 firewall services of the devices that answer a search over IPv6,
// kept only where their control URL is an IPv6 one.
std::vector<ServiceTarget> FindFirewallServices(const std::string& multicastIf)
{
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevice(kFirewallService, kSearchDelayMs,
                                          multicastIf.empty() ? nullptr : multicastIf.c_str(), nullptr, 0,
                                          kSearchIpv6, kMulticastTtl, &error);
    std::vector<ServiceTarget> found;
    for (UPNPDev* device = devices; device; device = device->pNext) {
        UPNPUrls urls = {};
        IGDdatas data = {};
        char lan[64] = {};
        if (UPNP_GetIGDFromUrl(device->descURL, &urls, &data, lan, sizeof lan) == 1 && data.IPv6FC.servicetype[0]
            && urls.controlURL_6FC && !Ipv6HostFromUrl(urls.controlURL_6FC).empty())
            found.push_back({ urls.controlURL_6FC, data.IPv6FC.servicetype });
        FreeUPNPUrls(&urls);
    }
    freeUPNPDevlist(devices);
    return found;
}

bool LetsPinholesIn(const ServiceTarget& firewall)
{
    auto status = std::make_shared<std::pair<int, int>>(0, 0);
    int result = RunServiceRequest([=](const ServiceTarget& target) {
        return UPNP_GetFirewallStatus(target.controlUrl.c_str(), target.serviceType.c_str(), &status->first,
                                      &status->second);
    }, firewall);
    return result == 0 && status->first && status->second;
}

// The IANA protocol number the service takes.
const char* ProtocolNumber(const std::string& protocol)
{
    return protocol == "TCP" ? "6" : "17";
}

// A global unicast address of an adapter that is up and has it settled.
bool HasGlobalAddress(const IP_ADAPTER_ADDRESSES& adapter)
{
    if (adapter.OperStatus != IfOperStatusUp)
        return false;
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(unicast->Address.lpSockaddr);
        if (unicast->DadState == IpDadStatePreferred && IsGlobalIpv6Unicast(address->sin6_addr))
            return true;
    }
    return false;
}

std::string AddressText(const in6_addr& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET6, &address, text, sizeof text) ? text : "";
}

// The source address the system chooses for a datagram to host; only a global
// one is any use to a pinhole.
std::string SourceAddressFor(const addrinfo& host)
{
    SOCKET probe = ::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET)
        return std::string();
    sockaddr_in6 local = {};
    int size = sizeof local;
    bool known = ::connect(probe, host.ai_addr, static_cast<int>(host.ai_addrlen)) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &size) == 0 && local.sin6_family == AF_INET6
        && IsGlobalIpv6Unicast(local.sin6_addr);
    ::closesocket(probe);
    return known ? AddressText(local.sin6_addr) : std::string();
}

class CPinholeRequests : public IPinholeRequests {
public:
    explicit CPinholeRequests(const ServiceTarget& firewall) : m_firewall(firewall) {}

    int Add(const PinholeKey& key, const std::string& address, std::string* uniqueId) override
    {
        auto id = std::make_shared<std::string>();
        std::string port = std::to_string(key.port), protocol = ProtocolNumber(key.protocol);
        int result = RunServiceRequest([=](const ServiceTarget& target) {
            char answer[16] = {};
            int sent = UPNP_AddPinhole(target.controlUrl.c_str(), target.serviceType.c_str(), kAnyRemoteHost,
                                       kAnyRemotePort, address.c_str(), port.c_str(), protocol.c_str(),
                                       kLeaseSeconds, answer);
            *id = answer;
            return sent;
        }, m_firewall);
        if (result == 0)
            *uniqueId = *id;
        return result;
    }

    int Update(const std::string& uniqueId) override
    {
        return RunServiceRequest([=](const ServiceTarget& target) {
            return UPNP_UpdatePinhole(target.controlUrl.c_str(), target.serviceType.c_str(), uniqueId.c_str(),
                                      kLeaseSeconds);
        }, m_firewall);
    }

    int Delete(const std::string& uniqueId) override
    {
        return RunServiceRequest([=](const ServiceTarget& target) {
            return UPNP_DeletePinhole(target.controlUrl.c_str(), target.serviceType.c_str(), uniqueId.c_str());
        }, m_firewall);
    }

private:
    ServiceTarget m_firewall;
};
}

bool IsGlobalIpv6Unicast(const in6_addr& ipv6)
{
    const unsigned char* address = ipv6.s6_addr;
    static const unsigned char kLoopback[16] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 };
    static const unsigned char kUnspecified[16] = {};
    if (!memcmp(address, kLoopback, 16) || !memcmp(address, kUnspecified, 16))
        return false;
    // ff00::/8 multicast, fe80::/10 link-local, fec0::/10 site-local, fc00::/7 unique local.
    if (address[0] == 0xff || (address[0] == 0xfe && (address[1] & 0x80)) || (address[0] & 0xfe) == 0xfc)
        return false;
    // ::ffff:0:0/96 is an IPv4 address.
    static const unsigned char kMappedPrefix[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
    return memcmp(address, kMappedPrefix, 12) != 0;
}

bool HasGlobalIpv6Address()
{
    ULONG size = 16 * 1024;
    std::vector<BYTE> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    while (result == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(AF_INET6, flags, nullptr,
                                        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != ERROR_SUCCESS)
        return false;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next)
        if (HasGlobalAddress(*adapter))
            return true;
    return false;
}

std::shared_ptr<Ipv6Firewall> SearchIpv6Firewall(const std::string& lanAddress, const std::atomic<bool>& stop)
{
    if (!HasGlobalIpv6Address())
        return nullptr;
    auto services = std::make_shared<std::vector<ServiceTarget>>();
    std::string multicastIf = Ipv6SearchInterface(ReadNetworkAdapters(), lanAddress);
    // A device that answers the search but not on its web port would hold
    // the library for minutes.
    if (!RunBounded([=] { *services = FindFirewallServices(multicastIf); }, kSearchTimeoutMs, &stop))
        return nullptr;
    for (const ServiceTarget& service : *services) {
        if (stop)
            return nullptr;
        std::string address = LocalAddressTowards(service.controlUrl);
        if (!address.empty() && LetsPinholesIn(service))
            return std::make_shared<Ipv6Firewall>(Ipv6Firewall{ service, address });
    }
    return nullptr;
}

std::string Ipv6SearchInterface(const std::vector<NetworkAdapter>& adapters, const std::string& lanAddress)
{
    std::uint32_t address = 0;
    if (!ParseDottedAddress(lanAddress.c_str(), &address))
        return std::string();
    for (const NetworkAdapter& adapter : adapters) {
        if (adapter.address == address && adapter.ipv6IfIndex)
            return std::to_string(adapter.ipv6IfIndex);
    }
    return std::string();
}

std::string Ipv6HostFromUrl(const std::string& url)
{
    size_t scheme = url.find("://");
    if (scheme == std::string::npos || url.compare(scheme + 3, 1, "[") != 0)
        return std::string();
    size_t begin = scheme + 4, end = url.find(']', begin);
    if (end == std::string::npos)
        return std::string();
    std::string host = url.substr(begin, end - begin);
    // A zone is written "%25" inside a URL (RFC 6874).
    size_t zone = host.find("%25");
    if (zone != std::string::npos)
        host.erase(zone + 1, 2);
    return host;
}

std::string LocalAddressTowards(const std::string& url)
{
    addrinfo hints = {}, *host = nullptr;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    std::string name = Ipv6HostFromUrl(url);
    if (name.empty() || ::getaddrinfo(name.c_str(), kAnyRouterPort, &hints, &host) != 0)
        return std::string();
    std::string address = SourceAddressFor(*host);
    ::freeaddrinfo(host);
    return address;
}

bool operator<(const PinholeKey& a, const PinholeKey& b)
{
    return a.protocol != b.protocol ? a.protocol < b.protocol : a.port < b.port;
}

std::vector<PinholeKey> PinholeRows(const std::vector<MappingEntry>& rows, const std::string& lanAddress)
{
    std::vector<PinholeKey> keys;
    for (const MappingEntry& row : rows) {
        bool known = row.protocol == "TCP" || row.protocol == "UDP";
        if (known && IsValidPort(row.localPort) && SameAddress(row.internalIp, lanAddress))
            keys.push_back({ row.protocol, static_cast<unsigned>(std::atol(row.localPort.c_str())) });
    }
    return keys;
}

std::vector<MappingEntry> RowsToClose(const std::vector<MappingEntry>& removed, const std::vector<MappingEntry>& listed,
                                      const std::string& lanAddress)
{
    std::vector<MappingEntry> staying;
    for (const MappingEntry& row : listed)
        if (std::find(removed.begin(), removed.end(), row) == removed.end())
            staying.push_back(row);
    std::vector<PinholeKey> needed = PinholeRows(staying, lanAddress);
    std::set<PinholeKey> kept(needed.begin(), needed.end());
    std::vector<MappingEntry> closing;
    for (const MappingEntry& row : removed) {
        std::vector<PinholeKey> key = PinholeRows({ row }, lanAddress);
        if (!key.empty() && !kept.count(key[0]))
            closing.push_back(row);
    }
    return closing;
}

std::vector<PinholeStep> PlanPinholes(const PinholeRecord& open, const std::vector<PinholeKey>& wanted,
                                      const std::string& address)
{
    std::vector<PinholeStep> steps;
    // Rows that differ only in their external port share one pinhole.
    std::set<PinholeKey> keys(wanted.begin(), wanted.end());
    for (const PinholeKey& key : keys) {
        auto held = open.find(key);
        if (held == open.end())
            steps.push_back({ PinholeAction::Add, key, {} });
        else if (held->second.address == address)
            steps.push_back({ PinholeAction::Update, key, held->second });
        else
            steps.push_back({ PinholeAction::Move, key, held->second });
    }
    for (const auto& pinhole : open)
        if (!keys.count(pinhole.first))
            steps.push_back({ PinholeAction::Delete, pinhole.first, pinhole.second });
    return steps;
}

std::unique_ptr<IPinholeRequests> MakePinholeRequests(const ServiceTarget& firewall)
{
    return std::unique_ptr<IPinholeRequests>(new CPinholeRequests(firewall));
}

bool MeansNoSuchPinhole(int result)
{
    return result == kNoSuchPinhole || result == kInvalidArgs;
}

CPinholeKeeper::CPinholeKeeper(std::unique_ptr<IPinholeRequests> requests) : m_pRequests(std::move(requests)) {}

PinholeReport CPinholeKeeper::Run(const std::vector<MappingEntry>& rows, const std::string& lanAddress,
                                  const std::string& address)
{
    PinholeReport report;
    for (const PinholeStep& step : PlanPinholes(m_open, PinholeRows(rows, lanAddress), address))
        if (!Do(step, address, &report)) {
            report.unreached = true;
            break;
        }
    return report;
}

PinholeReport CPinholeKeeper::Remove(const std::vector<MappingEntry>& rows, const std::string& lanAddress)
{
    PinholeReport report;
    for (const PinholeKey& key : PinholeRows(rows, lanAddress))
        if (m_open.count(key) && !Close(key)) {
            report.unreached = true;
            break;
        }
    return report;
}

bool CPinholeKeeper::Do(const PinholeStep& step, const std::string& address, PinholeReport* report)
{
    switch (step.action) {
    case PinholeAction::Update:
        return Renew(step, address, report);
    case PinholeAction::Add:
        return Open(step.key, address, report);
    case PinholeAction::Move:
        return Close(step.key) && Open(step.key, address, report);
    case PinholeAction::Delete:
        break;
    }
    return Close(step.key);
}

bool CPinholeKeeper::Renew(const PinholeStep& step, const std::string& address, PinholeReport* report)
{
    int result = m_pRequests->Update(step.held.uniqueId);
    if (MeansGatewayLost(result))
        return false;
    // The router restarted, or let the pinhole lapse: open it anew.
    if (MeansNoSuchPinhole(result)) {
        m_open.erase(step.key);
        return Open(step.key, address, report);
    }
    return true;
}

bool CPinholeKeeper::Close(const PinholeKey& key)
{
    if (MeansGatewayLost(m_pRequests->Delete(m_open[key].uniqueId)))
        return false;
    // Refused or unknown, it ends with its lease all the same.
    m_open.erase(key);
    return true;
}

bool CPinholeKeeper::Open(const PinholeKey& key, const std::string& address, PinholeReport* report)
{
    std::string uniqueId;
    int result = m_pRequests->Add(key, address, &uniqueId);
    if (MeansGatewayLost(result))
        return false;
    if (result == 0) {
        m_open[key] = { uniqueId, address };
        report->lines.push_back(FormatPinholeOpened(address, key));
    } else {
        report->lines.push_back(FormatPinholeFailed(address, key, result));
    }
    return true;
}
