#include "LogLines.h"
#include "upnp/GatewayRequests.h"
#include "ipv6/Ipv6Firewall.h"
#include "pcp/PortControl.h"
#include "../framework/Format.h"

const char* const kSearchBegins = "开始搜索支持设备...";
const char* const kSearchDone = "完成搜索支持设备.";
const char* const kNoGatewayFound = "没有发现可支持的UPNP映射设备，如果在路由器里被禁用了，请启用UPNP或者尝试重启路由器。"
                                    "如若路由不支持请手工映射。";
const char* const kRouterLost = "与路由器的连接已中断，正在重新搜索支持设备...";
const char* const kNothingStoppedWithoutGateway = "没有发现网关，列表中的映射未被删除。";
const char* const kAllStopped = "成功停止列表中的所有映射!";
const char* const kPermanentLeasesOnly = "路由器只支持永久映射：程序异常退出时，映射会一直留在路由器上。";

std::string FormatGatewayFoundLine(int result, const char* controlUrl)
{
    switch (result) {
    case 1:
        return FormatText("发现有效的IGD : %s\n", controlUrl);
    case 2:
        return FormatText("发现一个没有连接的 IGD : %s\n", controlUrl);
    case 3:
        return FormatText("发现一个设备，IGD是: %s?\n", controlUrl);
    default:
        return FormatText("发现一个IGD设备 : %s\n", controlUrl);
    }
}

std::string FormatPortControlFound(bool natPmp, const std::string& gatewayHost)
{
    return FormatText(natPmp ? "发现支持NAT-PMP的路由器 : %s" : "发现支持PCP的路由器 : %s", gatewayHost.c_str());
}

std::string FormatAdapterUsed(const std::string& adapterName, const std::string& address)
{
    return FormatText("本机有多个网络连接，已通过“%s”(%s)找到路由器。", adapterName.c_str(), address.c_str());
}

std::string FormatExternalAddress(const std::string& address)
{
    if (address.empty())
        return "获取外网IP失败!";
    return FormatText("获取的外网IP是: %s\n", address.c_str());
}

std::string FormatExternalAddressError(int status)
{
    return FormatText("GetExternalIPAddress() 返回错误: %d\n", status);
}

std::string FormatAddressReach(AddressReach reach, const std::string& address)
{
    switch (reach) {
    case AddressReach::NotPublic:
        return FormatText("外网IP %s 不是公网地址：路由器之上还有一层NAT，互联网无法经这些映射访问本机。", address.c_str());
    case AddressReach::Empty:
        return "路由器没有公网IP：路由器之上还有一层NAT或尚未联网，互联网无法经这些映射访问本机。";
    case AddressReach::Public:
        break;
    }
    return FormatText("外网IP %s 是公网地址，互联网可以经这些映射访问本机。", address.c_str());
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
    return FormatStopFailed(entry, result, UpnpErrorText(result));
}

std::string FormatStopFailed(const MappingEntry& entry, int result, const char* reason)
{
    return FormatText("停止映射失败: 外网端口 %s 协议 %s, 错误代码 %d (%s)\n", entry.externalPort.c_str(),
                      entry.protocol.c_str(), result, reason);
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

std::string FormatBadPorts(int rowNumber)
{
    return FormatText("第%d行的端口不正确，此映射未生效。", rowNumber);
}

std::string FormatPortControlFailed(const MappingEntry& row, const PortControlResult& result)
{
    bool pcp = result.protocol == PortControlProtocol::Pcp;
    return FormatText("%s(%s, %s, %s) 失败,错误代码 %d (%s)\n", pcp ? "PCP MAP" : "NAT-PMP", row.externalPort.c_str(),
                      row.localPort.c_str(), row.internalIp.c_str(), result.resultCode,
                      PortControlResultName(result.protocol, result.resultCode));
}

std::string FormatOnlyThisHost(const MappingEntry& row)
{
    return FormatText("路由器只允许为本机映射：内网IP %s 不是本机，此映射未生效。", row.internalIp.c_str());
}

std::string FormatSharedEndpoint(int rowNumber, int earlierRowNumber)
{
    return FormatText("第%d行与第%d行的内部端口相同：PCP/NAT-PMP路由器只能为一个内部端口做一个映射，此映射未生效。",
                      rowNumber, earlierRowNumber);
}

std::string FormatTableMappingDeleted(const RouterMapping& mapping)
{
    return FormatText("已从路由器上删除映射: %s %s -> %s:%s (%s)", mapping.protocol.c_str(), mapping.externalPort.c_str(),
                      mapping.internalClient.c_str(), mapping.internalPort.c_str(), mapping.description.c_str());
}

std::string FormatTableDeleteFailed(const RouterMapping& mapping, int result)
{
    return FormatText("从路由器上删除映射失败: %s %s -> %s:%s, 错误代码 %d (%s)", mapping.protocol.c_str(),
                      mapping.externalPort.c_str(), mapping.internalClient.c_str(), mapping.internalPort.c_str(), result,
                      UpnpErrorText(result));
}

std::string FormatNoListener(const MappingEntry& row)
{
    return FormatText("本机没有程序在监听%s端口%s：从外网连到此映射会被拒绝。", row.protocol.c_str(), row.localPort.c_str());
}

std::string FormatListenerCame(const MappingEntry& row, const std::string& programName)
{
    std::string line = FormatText("本机%s端口%s已有程序在监听", row.protocol.c_str(), row.localPort.c_str());
    return programName.empty() ? line : line + ": " + programName;
}

std::string FormatFirewallBlocks(const MappingEntry& row)
{
    return FormatText("Windows防火墙没有放行%s端口%s的入站连接：从外网连到此映射会被挡住。", row.protocol.c_str(),
                      row.localPort.c_str());
}

std::string FormatFirewallAllowed(const MappingEntry& row, const std::string& program, bool existed)
{
    std::string line = FormatText("已在Windows防火墙中放行%s端口%s。", row.protocol.c_str(), row.localPort.c_str());
    line += program.empty() ? "规则对任何程序有效（Windows没有说出在监听的程序）。"
                            : FormatText("规则只对在监听的程序有效: %s", program.c_str());
    return existed ? line + "（规则本来就有，没有再添加）" : line;
}

std::string FormatFirewallStillBlocks(const MappingEntry& row)
{
    return FormatText("Windows防火墙仍然挡住%s端口%s：有阻止规则或设置为阻止所有入站连接，放行规则不起作用。",
                      row.protocol.c_str(), row.localPort.c_str());
}

std::string FormatFirewallRulesRemoved(int count)
{
    return FormatText("已删除Windows防火墙中本程序添加的%d条规则。", count);
}

std::string FormatFirewallRuleFailed(const MappingEntry& row)
{
    return FormatText("添加Windows防火墙规则失败: %s端口%s", row.protocol.c_str(), row.localPort.c_str());
}

const char* const kFirewallBlocksNothing = "Windows防火墙没有挡住列表中的端口。";

std::string FormatIpv6Address(const std::string& address)
{
    return FormatText("本机IPv6地址: %s", address.c_str());
}

std::string FormatIpv6Reaches(const std::string& address)
{
    return FormatText("可以经IPv6从互联网访问本机: [%s]", address.c_str());
}

std::string FormatPinholeOpened(const std::string& address, const PinholeKey& key)
{
    return FormatText("IPv6防火墙已放行 [%s]:%u 协议:%s\n", address.c_str(), key.port, key.protocol.c_str());
}

std::string FormatPinholeFailed(const std::string& address, const PinholeKey& key, int result)
{
    return FormatText("AddPinhole([%s]:%u) 失败,错误代码 %d (%s)\n", address.c_str(), key.port, result,
                      UpnpErrorText(result));
}

std::string FormatPinholeNotClosed(const std::string& address, const PinholeKey& key)
{
    return FormatText("关闭IPv6防火墙放行失败: [%s]:%u 协议:%s，路由器没有响应。", address.c_str(), key.port,
                      key.protocol.c_str());
}
