#include "Discovery.h"
#include "GatewayRequests.h"
#include "../framework/Format.h"
#include "../log/ActivityLog.h"
#include <winsock2.h>
#include <wininet.h>
#include <upnpcommands.h>

namespace {
const int kSearchDelayMs = 2000;
const unsigned char kMulticastTtl = 2;

// Chooses a gateway among the devices that answered the search; the result
// of the library's choice, 0 (or below, its own failure) when none is usable.
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

bool SearchGateway(GatewayInfo* gateway, FoundGateway* found, ActivityLog& log)
{
    int result = ChooseGateway(gateway, &found->lanAddress);
    if (result <= 0) {
        // The library may have filled part of the URLs before it failed.
        FreeUPNPUrls(&gateway->urls);
        *gateway = GatewayInfo();
        return false;
    }
    log.Report(FormatGatewayFoundLine(result, gateway->urls.controlURL));
    int status = 0;
    found->externalAddress = QueryExternalAddress(*gateway, &status);
    if (status != 0)
        log.Report(FormatText("GetExternalIPAddress() 返回错误: %d\n", status));
    if (!found->externalAddress.empty())
        log.Report(FormatText("获取的外网IP是: %s\n", found->externalAddress.c_str()));
    else
        log.Report("获取外网IP失败!");
    found->gatewayHost = HostFromUrl(gateway->urls.controlURL);
    return true;
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

bool HostAndPortFromUrl(const char* url, std::string* host, unsigned short* port)
{
    char canonical[INTERNET_MAX_URL_LENGTH] = {};
    DWORD length = sizeof canonical;
    if (!url || !::InternetCanonicalizeUrlA(url, canonical, &length, ICU_BROWSER_MODE))
        return false;
    char hostName[INTERNET_MAX_HOST_NAME_LENGTH] = {};
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = sizeof hostName;
    if (!::InternetCrackUrlA(canonical, 0, 0, &parts))
        return false;
    *host = hostName;
    *port = parts.nPort;
    return true;
}

std::string HostFromUrl(const char* url)
{
    std::string host;
    unsigned short port = 0;
    return HostAndPortFromUrl(url, &host, &port) ? host : std::string();
}
