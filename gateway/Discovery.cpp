#include "Discovery.h"
#include "BoundedCall.h"
#include "GatewayRequests.h"
#include "PortControlRows.h"
#include "../framework/Format.h"
#include "../log/ActivityLog.h"
#include <winsock2.h>
#include <wininet.h>
#include <upnpcommands.h>

namespace {
// Up to four kinds of device are searched for, each for the search delay;
// then the descriptions of the devices that answered are read.
const DWORD kSearchTimeoutMs = 4 * kSearchDelayMs + 3000;
// The port of the mapping a PCP search deletes: any answer shows the protocol,
// and a PCP answer names the external address.
const WORD kProbePort = 9;

void ReportExternalAddress(ActivityLog& log, const std::string& address)
{
    if (!address.empty())
        log.Report(FormatText("获取的外网IP是: %s\n", address.c_str()));
    else
        log.Report("获取外网IP失败!");
}

// Chooses a gateway among the devices that answer the search; the result of
// the library's choice, 0 (or below, its own failure) when none is usable.
int ChooseGateway(GatewayInfo* gateway, std::string* lanAddress)
{
    int error = 0;
    UPNPDev* devices = upnpDiscover(kSearchDelayMs, nullptr, nullptr, 0, 0, kMulticastTtl, &error);
    if (!devices)
        return 0;
    char lan[64] = {};
    int result = UPNP_GetValidIGD(devices, &gateway->urls, &gateway->data, lan, sizeof lan);
    freeUPNPDevlist(devices);
    *lanAddress = lan;
    return result;
}
}

std::shared_ptr<GatewayInfo> SearchGateway(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop)
{
    // A device that answers the search but not on its web port would hold
    // the library for minutes.
    auto gateway = std::make_shared<GatewayInfo>();
    auto lanAddress = std::make_shared<std::string>();
    auto result = std::make_shared<int>(0);
    if (!RunBounded([=] { *result = ChooseGateway(gateway.get(), lanAddress.get()); }, kSearchTimeoutMs, &stop)
        || *result <= 0)
        return nullptr;
    found->lanAddress = *lanAddress;
    log.Report(FormatGatewayFoundLine(*result, gateway->urls.controlURL));
    int& status = found->addressStatus;
    found->externalAddress = QueryExternalAddress(*gateway, &status);
    if (status != 0)
        log.Report(FormatText("GetExternalIPAddress() 返回错误: %d\n", status));
    ReportExternalAddress(log, found->externalAddress);
    found->gatewayHost = HostFromUrl(gateway->urls.controlURL);
    return gateway;
}

std::shared_ptr<CPortControl> SearchPortControl(FoundGateway* found, ActivityLog& log)
{
    DWORD gatewayAddress = 0, localAddress = 0;
    if (!FindDefaultGateway(&gatewayAddress, &localAddress))
        return nullptr;
    auto router = std::make_shared<CPortControl>(gatewayAddress, LoadPortControlKey());
    PortControlResult answer = router->Delete(IPPROTO_UDP, localAddress, kProbePort, kProbePort);
    if (answer.status == PortControlStatus::Answered && router->SpeaksNatPmp())
        answer = router->QueryExternalAddress();
    if (answer.status != PortControlStatus::Answered)
        return nullptr;
    found->lanAddress = DottedText(localAddress);
    found->gatewayHost = DottedText(gatewayAddress);
    found->externalAddress = DottedText(answer.externalAddress);
    found->addressStatus = found->externalAddress.empty() ? answer.resultCode : 0;
    log.Report(FormatText(router->SpeaksNatPmp() ? "发现支持NAT-PMP的路由器 : %s" : "发现支持PCP的路由器 : %s",
                          found->gatewayHost.c_str()));
    ReportExternalAddress(log, found->externalAddress);
    return router;
}

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

std::string HostFromUrl(const char* url)
{
    char canonical[INTERNET_MAX_URL_LENGTH] = {};
    DWORD length = sizeof canonical;
    if (!url || !::InternetCanonicalizeUrlA(url, canonical, &length, ICU_BROWSER_MODE))
        return std::string();
    char host[INTERNET_MAX_HOST_NAME_LENGTH] = {};
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    if (!::InternetCrackUrlA(canonical, 0, 0, &parts))
        return std::string();
    return host;
}
