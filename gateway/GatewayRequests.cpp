#include "GatewayRequests.h"
#include "BoundedCall.h"
#include "../framework/Format.h"
#include "../framework/DottedAddress.h"
#include <upnpcommands.h>
#include <upnperrors.h>
#include <cstdlib>
#include <memory>

const int kGatewayUnreachable = UPNPCOMMAND_HTTP_ERROR;

namespace {
const char* kDescription = "Gatewright";
// A gateway on the LAN answers within milliseconds; past this it is taken as gone.
const DWORD kRequestTimeoutMs = 3000;

// What a request needs of the gateway, owned by the request itself.
struct Target {
    explicit Target(const GatewayInfo& gateway)
        : controlUrl(gateway.urls.controlURL), serviceType(gateway.data.first.servicetype)
    {
    }
    std::string controlUrl;
    std::string serviceType;
};

// One request on a thread of its own; kGatewayUnreachable when the gateway
// does not answer in time.
int Request(std::function<int(const Target&)> request, const GatewayInfo& gateway)
{
    auto result = std::make_shared<int>(kGatewayUnreachable);
    Target target(gateway);
    if (!RunBounded([=] { *result = request(target); }, kRequestTimeoutMs))
        return kGatewayUnreachable;
    return *result;
}

bool IsNumber(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}
}

int LookUpMapping(const GatewayInfo& gateway, const MappingEntry& entry, MappingHolder* holder)
{
    auto found = std::make_shared<MappingHolder>();
    int result = Request([=](const Target& target) {
        char client[40] = {};
        char port[8] = {};
        char lease[16] = {};
        int answer = UPNP_GetSpecificPortMappingEntry(target.controlUrl.c_str(), target.serviceType.c_str(),
                                                      entry.externalPort.c_str(), entry.protocol.c_str(), nullptr,
                                                      client, port, nullptr, nullptr, lease);
        found->internalClient = client;
        found->internalPort = port;
        return answer;
    }, gateway);
    if (result == 0)
        *holder = *found;
    return result;
}

int AddMapping(const GatewayInfo& gateway, const MappingEntry& entry)
{
    return Request([=](const Target& target) {
        return UPNP_AddPortMapping(target.controlUrl.c_str(), target.serviceType.c_str(),
                                   entry.externalPort.c_str(), entry.localPort.c_str(), entry.internalIp.c_str(),
                                   kDescription, entry.protocol.c_str(), nullptr, nullptr);
    }, gateway);
}

int DeleteMapping(const GatewayInfo& gateway, const MappingEntry& entry)
{
    return Request([=](const Target& target) {
        return UPNP_DeletePortMapping(target.controlUrl.c_str(), target.serviceType.c_str(),
                                      entry.externalPort.c_str(), entry.protocol.c_str(), nullptr);
    }, gateway);
}

std::string QueryExternalAddress(const GatewayInfo& gateway, int* status)
{
    auto address = std::make_shared<std::string>();
    *status = Request([=](const Target& target) {
        char text[40] = {};
        int answer = UPNP_GetExternalIPAddress(target.controlUrl.c_str(), target.serviceType.c_str(), text);
        *address = text;
        return answer;
    }, gateway);
    return *status == kGatewayUnreachable ? std::string() : *address;
}

bool MeansGatewayLost(int result)
{
    // The library's "no connection or no reply"; every other result is an
    // answer of a gateway that is there (or a fault of our own).
    return result == UPNPCOMMAND_HTTP_ERROR;
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

std::string FormatNotOurs(const MappingEntry& entry, const MappingHolder& holder)
{
    return FormatText("外网端口 %s 协议 %s 的映射属于其他主机 %s:%s，未删除。\n", entry.externalPort.c_str(),
                      entry.protocol.c_str(), holder.internalClient.c_str(), holder.internalPort.c_str());
}
