#include "Discovery.h"
#include "GatewayInfo.h"
#include "../app/MappingDlg.h"
#include "../desktop/Autostart.h"
#include "../framework/Format.h"
#include <winsock2.h>
#include <wininet.h>
#include <upnpcommands.h>

GatewayInfo g_gatewayInfo;

namespace {
const int kSearchDelayMs = 2000;
const unsigned char kMulticastTtl = 2;

// Search, choose the gateway and read its external address. False when no
// usable gateway answered.
bool FindGateway(CMappingDlg* dialog, char* lanAddress, int lanAddressSize, char* externalAddress)
{
    int error = 0;
    UPNPDev* devices = upnpDiscover(kSearchDelayMs, nullptr, nullptr, 0, 0, kMulticastTtl, &error);
    if (!devices)
        return false;
    int result = UPNP_GetValidIGD(devices, &g_gatewayInfo.urls, &g_gatewayInfo.data,
                                  lanAddress, lanAddressSize);
    // Below zero the library itself failed (out of memory): no gateway either.
    if (result <= 0)
        return false;
    dialog->Report(FormatGatewayFoundLine(result, g_gatewayInfo.urls.controlURL));

    int status = UPNP_GetExternalIPAddress(g_gatewayInfo.urls.controlURL,
                                           g_gatewayInfo.data.first.servicetype, externalAddress);
    if (status != 0)
        dialog->Report(FormatText("GetExternalIPAddress() 返回错误: %d\n", status));
    if (externalAddress[0] != '\0')
        dialog->Report(FormatText("获取的外网IP是: %s\n", externalAddress));
    else
        dialog->Report("获取外网IP失败!");
    return true;
}
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

unsigned __stdcall DiscoverGatewayProc(void* param)
{
    CMappingDlg* dialog = static_cast<CMappingDlg*>(param);
    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        dialog->MarkDiscoveryDone();
        return static_cast<unsigned>(-1);
    }
    dialog->Report("开始搜索支持设备...");
    char lanAddress[64] = {};
    char externalAddress[40] = {};
    if (!FindGateway(dialog, lanAddress, sizeof lanAddress, externalAddress)) {
        dialog->Report("没有发现可支持的UPNP映射设备，如果在路由器里被禁用了，请启用UPNP或者尝试重启路由器。"
                       "如若路由不支持请手工映射。");
        dialog->MarkDiscoveryDone();
        return 0;
    }
    dialog->ShowAddresses(lanAddress, HostFromUrl(g_gatewayInfo.urls.controlURL).c_str(),
                          externalAddress);
    dialog->Report("完成搜索支持设备.");
    dialog->EnableStartStop();
    if (IsAutostartEnabled()) {
        // Started with Windows: map at once, then live in the notification area.
        dialog->WaitUntilInitialised();
        dialog->OnBnClickedStart();
        dialog->Hide();
    }
    dialog->MarkDiscoveryDone();
    return 0;
}
