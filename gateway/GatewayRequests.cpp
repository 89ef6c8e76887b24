#include "GatewayRequests.h"
#include "GatewayInfo.h"
#include "../framework/Format.h"
#include <upnpcommands.h>
#include <upnperrors.h>

namespace {
const char* kDescription = "Gatewright";

const char* ControlUrl()
{
    return g_gatewayInfo.urls.controlURL;
}

const char* ServiceType()
{
    return g_gatewayInfo.data.first.servicetype;
}
}

bool HasGateway()
{
    return ControlUrl() != nullptr;
}

int LookUpMapping(const MappingEntry& entry, std::string* internalClient)
{
    char client[40] = {};
    char port[8] = {};
    char lease[16] = {};
    int result = UPNP_GetSpecificPortMappingEntry(ControlUrl(), ServiceType(), entry.externalPort.c_str(),
                                                  entry.protocol.c_str(), nullptr, client, port, nullptr,
                                                  nullptr, lease);
    internalClient->assign(client);
    return result;
}

int AddMapping(const MappingEntry& entry)
{
    return UPNP_AddPortMapping(ControlUrl(), ServiceType(), entry.externalPort.c_str(),
                               entry.localPort.c_str(), entry.internalIp.c_str(), kDescription,
                               entry.protocol.c_str(), nullptr, nullptr);
}

int DeleteMapping(const MappingEntry& entry)
{
    return UPNP_DeletePortMapping(ControlUrl(), ServiceType(), entry.externalPort.c_str(),
                                  entry.protocol.c_str(), nullptr);
}

std::string QueryExternalAddress(int* status)
{
    char address[40] = {};
    *status = UPNP_GetExternalIPAddress(ControlUrl(), ServiceType(), address);
    return address;
}

std::string FormatAddSucceeded(const std::string& externalAddress, const MappingEntry& entry)
{
    return FormatText("映射成功，请设置防火墙规则！ 外网IP:端口 = %s:%s 协议:%s 内网IP:端口 %s:%s\n",
                      externalAddress.c_str(), entry.externalPort.c_str(), entry.protocol.c_str(),
                      entry.internalIp.c_str(), entry.localPort.c_str());
}

const char* UpnpErrorText(int result)
{
    const char* text = strupnperror(result);
    return text ? text : "(null)";
}

std::string FormatAddFailed(const MappingEntry& entry, int result)
{
    return FormatText("AddPortMapping(%s, %s, %s) 失败,错误代码 %d (%s)\n", entry.externalPort.c_str(),
                      entry.localPort.c_str(), entry.internalIp.c_str(), result, UpnpErrorText(result));
}
