#include "GatewayRequests.h"
#include "Discovery.h"
#include "../framework/Format.h"
#include "../framework/IpAddressCtrl.h"
#include <winsock2.h>
#include <upnpcommands.h>
#include <upnperrors.h>
#include <cstdlib>

const int kGatewayUnreachable = UPNPCOMMAND_HTTP_ERROR;

namespace {
const char* kDescription = "Gatewright";
// A connection to a gateway on the LAN takes milliseconds; past this the
// gateway is taken as gone.
const long kConnectTimeoutMs = 2000;

bool WaitConnected(SOCKET s)
{
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval timeout = { kConnectTimeoutMs / 1000, (kConnectTimeoutMs % 1000) * 1000 };
    return ::select(0, nullptr, &writable, &failed, &timeout) > 0 && FD_ISSET(s, &writable);
}

// The library's own connect blocks for minutes on a gateway that drops
// packets (about 21 s on Windows, two minutes under Wine), so every request
// is preceded by a connect of our own that gives up in time.
bool TakesConnection(const char* controlUrl)
{
    std::string host;
    unsigned short port = 0;
    if (!HostAndPortFromUrl(controlUrl, &host, &port))
        return true;  // the library reports a URL it cannot use
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::inet_addr(host.c_str());
    if (address.sin_addr.s_addr == INADDR_NONE)
        return true;  // a host name: only the library resolves it
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return true;
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    bool connected = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
        || (::WSAGetLastError() == WSAEWOULDBLOCK && WaitConnected(s));
    ::closesocket(s);
    return connected;
}

bool Reachable(const GatewayInfo& gateway)
{
    return gateway.urls.controlURL && TakesConnection(gateway.urls.controlURL);
}

const char* ControlUrl(const GatewayInfo& gateway)
{
    return gateway.urls.controlURL;
}

const char* ServiceType(const GatewayInfo& gateway)
{
    return gateway.data.first.servicetype;
}

bool IsNumber(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}
}

int LookUpMapping(const GatewayInfo& gateway, const MappingEntry& entry, MappingHolder* holder)
{
    if (!Reachable(gateway))
        return kGatewayUnreachable;
    char client[40] = {};
    char port[8] = {};
    char lease[16] = {};
    int result = UPNP_GetSpecificPortMappingEntry(ControlUrl(gateway), ServiceType(gateway),
                                                  entry.externalPort.c_str(), entry.protocol.c_str(), nullptr,
                                                  client, port, nullptr, nullptr, lease);
    holder->internalClient = client;
    holder->internalPort = port;
    return result;
}

int AddMapping(const GatewayInfo& gateway, const MappingEntry& entry)
{
    if (!Reachable(gateway))
        return kGatewayUnreachable;
    return UPNP_AddPortMapping(ControlUrl(gateway), ServiceType(gateway), entry.externalPort.c_str(),
                               entry.localPort.c_str(), entry.internalIp.c_str(), kDescription,
                               entry.protocol.c_str(), nullptr, nullptr);
}

int DeleteMapping(const GatewayInfo& gateway, const MappingEntry& entry)
{
    if (!Reachable(gateway))
        return kGatewayUnreachable;
    return UPNP_DeletePortMapping(ControlUrl(gateway), ServiceType(gateway), entry.externalPort.c_str(),
                                  entry.protocol.c_str(), nullptr);
}

std::string QueryExternalAddress(const GatewayInfo& gateway, int* status)
{
    char address[40] = {};
    *status = Reachable(gateway) ? UPNP_GetExternalIPAddress(ControlUrl(gateway), ServiceType(gateway), address)
                                 : kGatewayUnreachable;
    return address;
}

bool MeansGatewayLost(int result)
{
    // Invalid arguments and out of memory are ours, not the gateway's.
    return result == UPNPCOMMAND_UNKNOWN_ERROR || result == UPNPCOMMAND_HTTP_ERROR
        || result == UPNPCOMMAND_INVALID_RESPONSE;
}

bool SameAddress(const std::string& a, const std::string& b)
{
    DWORD first, second;
    if (ParseDottedAddress(a.c_str(), &first) && ParseDottedAddress(b.c_str(), &second))
        return first == second;
    return a == b;
}

bool HeldElsewhere(const MappingEntry& entry, const MappingHolder& holder)
{
    if (!SameAddress(holder.internalClient, entry.internalIp))
        return true;
    // Ports are kept as typed: "080" and "80" are the same port.
    if (IsNumber(holder.internalPort) && IsNumber(entry.localPort))
        return std::atol(holder.internalPort.c_str()) != std::atol(entry.localPort.c_str());
    return holder.internalPort != entry.localPort;
}

const char* UpnpErrorText(int result)
{
    const char* text = strupnperror(result);
    return text ? text : "(null)";
}

std::string FormatAddSucceeded(const std::string& externalAddress, const MappingEntry& entry)
{
    return FormatText("映射成功，请设置防火墙规则！ 外网IP:端口 = %s:%s 协议:%s 内网IP:端口 %s:%s\n",
                      externalAddress.c_str(), entry.externalPort.c_str(), entry.protocol.c_str(),
                      entry.internalIp.c_str(), entry.localPort.c_str());
}

std::string FormatAddFailed(const MappingEntry& entry, int result)
{
    return FormatText("AddPortMapping(%s, %s, %s) 失败,错误代码 %d (%s)\n", entry.externalPort.c_str(),
                      entry.localPort.c_str(), entry.internalIp.c_str(), result, UpnpErrorText(result));
}

std::string FormatStopFailed(const MappingEntry& entry, int result)
{
    return FormatText("停止映射失败: 外网端口 %s 协议 %s, 错误代码 %d (%s)\n", entry.externalPort.c_str(),
                      entry.protocol.c_str(), result, UpnpErrorText(result));
}

std::string FormatHeldElsewhere(const MappingEntry& entry, const MappingHolder& holder)
{
    return FormatText("外网端口 %s 协议 %s 已被 %s:%s 占用，此映射未生效。", entry.externalPort.c_str(),
                      entry.protocol.c_str(), holder.internalClient.c_str(), holder.internalPort.c_str());
}
