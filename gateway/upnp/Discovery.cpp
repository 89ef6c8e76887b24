#include "Discovery.h"
#include "../Adapters.h"
#include "../BoundedCall.h"
#include "GatewayRequests.h"
#include "../LogLines.h"
#include "../../framework/App.h"
#include "../../framework/DottedAddress.h"
#include "../../log/ActivityLog.h"
#include <winsock2.h>
#include <wininet.h>
#include <upnpcommands.h>
#include <algorithm>
#include <functional>
#include <vector>

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
// The search out of each adapter ends after its delay; a little more for the
// last answers to be taken.
const DWORD kSearchWaitMs = kSearchDelayMs + 500;
// The router found last is asked first, where it was: one that rebooted, or
// this program started again, is back as soon as it answers, without the
// search's wait; on another network the search follows within this bound.
const DWORD kLastRouterBoundMs = 1000;
const char kSettings[] = "Settings";
const char kLastRouter[] = "LastRouter";

// Chooses a gateway into *gateway and *lanAddress: the library's result (1 a
// connected IGD, 2 one not connected, 3 another device), 0 or below when none.
typedef std::function<int(GatewayInfo* gateway, std::string* lanAddress)> GatewayChoice;

// One search's answers through each adapter, freed with the last owner.
struct CDeviceLists {
    std::vector<UPNPDev*> lists;
    ~CDeviceLists()
    {
        for (UPNPDev* list : lists)
            freeUPNPDevlist(list);
    }
};

// The search out of one adapter, by its address; nullptr: where Windows sends it.
UPNPDev* DiscoverThrough(const char* multicastIf)
{
    int error = 0;
    return upnpDiscoverDevices(kSearchTypes, kSearchDelayMs, multicastIf, nullptr, 0, 0, kMulticastTtl, &error, 1);
}

// True when a device of the list answered from inside the adapter's subnet.
bool AnsweredFromSubnet(const UPNPDev* list, const NetworkAdapter& adapter)
{
    for (; list; list = list->pNext) {
        std::uint32_t host = 0;
        if (ParseDottedAddress(HostFromUrl(list->descURL).c_str(), &host) && AdapterHolds(adapter, host))
            return true;
    }
    return false;
}

// The search out of every adapter at once, within the one search's wait; the
// adapters that got answers, those answered from their own subnet first.
std::vector<std::pair<const NetworkAdapter*, UPNPDev*>> SearchEachAdapter(const std::vector<NetworkAdapter>& adapters,
                                                                           std::shared_ptr<CDeviceLists> found)
{
    found->lists.assign(adapters.size(), nullptr);
    std::vector<std::function<bool()>> calls;
    for (size_t index = 0; index < adapters.size(); ++index) {
        std::string address = DottedText(adapters[index].address);
        calls.push_back([found, index, address] { return (found->lists[index] = DiscoverThrough(address.c_str())); });
    }
    std::vector<bool> answered = RunTogether(std::move(calls), kSearchWaitMs, nullptr, false);
    std::vector<std::pair<const NetworkAdapter*, UPNPDev*>> order;
    for (size_t index = 0; index < adapters.size(); ++index) {
        if (answered[index])
            order.emplace_back(&adapters[index], found->lists[index]);
    }
    std::stable_partition(order.begin(), order.end(), [](const std::pair<const NetworkAdapter*, UPNPDev*>& through) {
        return AnsweredFromSubnet(through.second, *through.first);
    });
    return order;
}

// The library's choice among the devices that answered through one adapter.
int ChooseAmong(UPNPDev* devices, GatewayInfo* gateway, std::string* lanAddress)
{
    char lan[64] = {};
    int result = UPNP_GetValidIGD(devices, &gateway->urls, &gateway->data, lan, sizeof lan);
    *lanAddress = lan;
    return result;
}

// Chooses a gateway among the devices that answer the search out of every
// adapter: a connected IGD before any other, then the first adapter's
// choice. The LAN address is that of the adapter that heard it.
int ChooseGateway(const std::vector<NetworkAdapter>& adapters, GatewayInfo* gateway, std::string* lanAddress)
{
    auto found = std::make_shared<CDeviceLists>();
    if (adapters.empty()) {
        found->lists.push_back(DiscoverThrough(nullptr));
        return ChooseAmong(found->lists.back(), gateway, lanAddress);
    }
    int best = 0;
    for (const auto& through : SearchEachAdapter(adapters, found)) {
        GatewayInfo candidate;
        std::string lan;
        int result = ChooseAmong(through.second, &candidate, &lan);
        if (result > 0 && (best <= 0 || result < best)) {
            std::swap(gateway->urls, candidate.urls);
            std::swap(gateway->data, candidate.data);
            *lanAddress = DottedText(through.first->address);
            best = result;
        }
        if (best == 1)
            break;
    }
    return best;
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

// Names the adapter of the LAN address where there is more than one.
void ReportAdapterUsed(const std::vector<NetworkAdapter>& adapters, const std::string& lanAddress, ActivityLog& log)
{
    std::uint32_t address = 0;
    ParseDottedAddress(lanAddress.c_str(), &address);
    std::string line = AdapterUsedLine(adapters, AdapterHolding(adapters, address));
    if (!line.empty())
        log.Report(line);
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
    std::vector<NetworkAdapter> adapters = ReadNetworkAdapters();
    if (!gateway) {
        gateway = ChooseBounded([adapters](GatewayInfo* chosen, std::string* lan) {
            return ChooseGateway(adapters, chosen, lan);
        }, kSearchTimeoutMs, stop, &result, &found->lanAddress);
    }
    if (!gateway)
        return nullptr;
    if (gateway->urls.rootdescURL && lastRouter != gateway->urls.rootdescURL)
        GetApp()->WriteProfileString(kSettings, kLastRouter, gateway->urls.rootdescURL);
    log.Report(FormatGatewayFoundLine(result, gateway->urls.controlURL));
    ReportAdapterUsed(adapters, found->lanAddress, log);
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
