#include "Discovery.h"
#include "../BoundedCall.h"
#include "GatewayRequests.h"
#include "../LogLines.h"
#include "../../log/ActivityLog.h"
#include <winsock2.h>
#include <wininet.h>
#include <upnpcommands.h>

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
