#include "Discovery.h"
#include "../BoundedCall.h"
#include "GatewayRequests.h"
#include "../LogLines.h"
#include "../../framework/App.h"
#include "../../log/ActivityLog.h"
#include <winsock2.h>
#include <wininet.h>
#include <upnpcommands.h>
#include <functional>

namespace {
// What a gateway may answer to: the device, either connection service, or
// any root device.
const char* const kSearchTypes[] = { "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                     "urn:schemas-upnp-org:service:WANIPConnection:1",
                                     "urn:schemas-upnp-org:service:WANPPPConnection:1", "upnp:rootdevice",
                                     nullptr };
// Every kind is asked for at once and the answers are awaited once, so a
// network without a UPnP gateway costs one search delay, not one per kind;
// then the descriptions of the devices that answered are read.
const DWORD kSearchTimeoutMs = kSearchDelayMs + 3000;
// The router found last is asked first, where it was: one that rebooted, or
// this program started again, is back as soon as it answers, without the
// search's wait; on another network the search follows within this bound.
const DWORD kLastRouterBoundMs = 1000;
const char kSettings[] = "Settings";
const char kLastRouter[] = "LastRouter";

// Chooses a gateway into *gateway and *lanAddress: the library's result (1 a
// connected IGD, 2 one not connected, 3 another device), 0 or below when none.
typedef std::function<int(GatewayInfo* gateway, std::string* lanAddress)> GatewayChoice;

// Chooses a gateway among the devices that answer the search; the result of
// the library's choice, 0 (or below, its own failure) when none is usable.
int ChooseGateway(GatewayInfo* gateway, std::string* lanAddress)
{
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevices(kSearchTypes, kSearchDelayMs, nullptr, nullptr, 0, 0, kMulticastTtl,
                                           &error, 1);
    if (!devices)
        return 0;
    char lan[64] = {};
    int result = UPNP_GetValidIGD(devices, &gateway->urls, &gateway->data, lan, sizeof lan);
    freeUPNPDevlist(devices);
    *lanAddress = lan;
    return result;
}

// The router at the description URL it was found at last, when it is an IGD that answers there.
int AskLastRouter(const std::string& descriptionUrl, GatewayInfo* gateway, std::string* lanAddress)
{
    char lan[64] = {};
    if (!UPNP_GetIGDFromUrl(descriptionUrl.c_str(), &gateway->urls, &gateway->data, lan, sizeof lan)
        || !gateway->urls.controlURL || !*gateway->urls.controlURL || !gateway->data.first.servicetype[0])
        return 0;
    *lanAddress = lan;
    return UPNPIGD_IsConnected(&gateway->urls, &gateway->data) ? 1 : 2;
}

// Runs the choice bounded in time; a device that answers the search but not
// on its web port would hold the library for minutes. Null when none was chosen.
std::shared_ptr<GatewayInfo> ChooseBounded(const GatewayChoice& choose, DWORD boundMs, const std::atomic<bool>& stop,
                                           int* result, std::string* lanAddress)
{
    // Owned by the call too: one given up on goes on alone.
    auto gateway = std::make_shared<GatewayInfo>();
    auto lan = std::make_shared<std::string>();
    auto chosen = std::make_shared<int>(0);
    if (!RunBounded([=] { *chosen = choose(gateway.get(), lan.get()); }, boundMs, &stop) || *chosen <= 0)
        return nullptr;
    *result = *chosen;
    *lanAddress = *lan;
    return gateway;
}
}

std::shared_ptr<GatewayInfo> SearchGateway(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop)
{
    int result = 0;
    std::string lastRouter = GetApp()->GetProfileString(kSettings, kLastRouter, "");
    std::shared_ptr<GatewayInfo> gateway;
    if (!lastRouter.empty()) {
        gateway = ChooseBounded([lastRouter](GatewayInfo* chosen, std::string* lan) {
            return AskLastRouter(lastRouter, chosen, lan);
        }, kLastRouterBoundMs, stop, &result, &found->lanAddress);
    }
    if (!gateway)
        gateway = ChooseBounded(ChooseGateway, kSearchTimeoutMs, stop, &result, &found->lanAddress);
    if (!gateway)
        return nullptr;
    if (gateway->urls.rootdescURL && lastRouter != gateway->urls.rootdescURL)
        GetApp()->WriteProfileString(kSettings, kLastRouter, gateway->urls.rootdescURL);
    log.Report(FormatGatewayFoundLine(result, gateway->urls.controlURL));
    int& status = found->addressStatus;
    found->externalAddress = QueryExternalAddress(*gateway, &status);
    if (status != 0)
        log.Report(FormatExternalAddressError(status));
    log.Report(FormatExternalAddress(found->externalAddress));
    found->gatewayHost = HostFromUrl(gateway->urls.controlURL);
    return gateway;
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
