#include "GatewayRequests.h"
#include "../ServiceRequest.h"
#include "../../framework/DottedAddress.h"
#include "../../framework/Format.h"
#include "../PortListing.h"
#include <upnpcommands.h>
#include <upnperrors.h>
#include <cstring>
#include <cstdlib>
#include <memory>

namespace {
const char* kDescription = "Gatewright";
// UPnP error of a table read: no mapping in the span.
const int kNoMappingsInRange = 730;

// The gateway's connection service, which every request here goes to.
int Request(std::function<int(const ServiceTarget&)> request, const GatewayInfo& gateway)
{
    return RunServiceRequest(request, { gateway.urls.controlURL, gateway.data.first.servicetype });
}

bool IsNumber(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}
}

int LookUpMapping(const GatewayInfo& gateway, const MappingEntry& entry, MappingHolder* holder)
{
    auto found = std::make_shared<MappingHolder>();
    int result = Request([=](const ServiceTarget& target) {
        char client[40] = {};
        char port[8] = {};
        char lease[16] = {};
        int answer = UPNP_GetSpecificPortMappingEntry(target.controlUrl.c_str(), target.serviceType.c_str(),
                                                      entry.externalPort.c_str(), entry.protocol.c_str(), nullptr,
                                                      client, port, nullptr, nullptr, lease);
        found->internalClient = client;
        found->internalPort = port;
        found->leaseLeft = static_cast<unsigned>(std::strtoul(lease, nullptr, 10));
        return answer;
    }, gateway);
    if (result == 0)
        *holder = *found;
    return result;
}

int AddMapping(const GatewayInfo& gateway, const MappingEntry& entry, unsigned leaseSeconds)
{
    std::string lease = std::to_string(leaseSeconds);
    return Request([=](const ServiceTarget& target) {
        return UPNP_AddPortMapping(target.controlUrl.c_str(), target.serviceType.c_str(),
                                   entry.externalPort.c_str(), entry.localPort.c_str(), entry.internalIp.c_str(),
                                   kDescription, entry.protocol.c_str(), nullptr, lease.c_str());
    }, gateway);
}

int DeleteMapping(const GatewayInfo& gateway, const MappingEntry& entry)
{
    return Request([=](const ServiceTarget& target) {
        return UPNP_DeletePortMapping(target.controlUrl.c_str(), target.serviceType.c_str(),
                                      entry.externalPort.c_str(), entry.protocol.c_str(), nullptr);
    }, gateway);
}

bool ListsMappingTable(const GatewayInfo& gateway)
{
    // "urn:schemas-upnp-org:service:WANIPConnection:2"
    const char* type = gateway.data.first.servicetype;
    const char* version = std::strrchr(type, ':');
    return version && std::atoi(version + 1) >= 2;
}

int ReadMappingTable(const GatewayInfo& gateway, const std::string& protocol, unsigned first, unsigned last,
                     MappingTable* table)
{
    auto read = std::make_shared<MappingTable>();
    std::string from = std::to_string(first), to = std::to_string(last), count = std::to_string(kTablePageSize);
    int result = Request([=](const ServiceTarget& target) {
        PortMappingParserData data = {};
        std::vector<RouterMapping> listed;
        int answer = UPNP_GetListOfPortMappings(target.controlUrl.c_str(), target.serviceType.c_str(), from.c_str(),
                                                to.c_str(), protocol.c_str(), count.c_str(), &data);
        // An entry that was not asked for: the rest cannot be trusted either.
        if (answer == 0 && !TakeListedMappings(data.l_head, protocol, first, last, &listed))
            answer = UPNPCOMMAND_INVALID_RESPONSE;
        FreePortListing(&data);
        for (const RouterMapping& m : listed) {
            unsigned port = static_cast<unsigned>(std::atol(m.externalPort.c_str()));
            read->entries[{ protocol, port }] = { m.internalClient, m.internalPort, m.leaseLeft };
        }
        return answer;
    }, gateway);
    // None in the span is an answer too.
    if (result == kNoMappingsInRange)
        return 0;
    // As many as asked for: there may be more.
    if (result == 0 && read->entries.size() >= kTablePageSize)
        return UPNPCOMMAND_INVALID_RESPONSE;
    if (result == 0)
        table->entries.insert(read->entries.begin(), read->entries.end());
    return result;
}

int ReadTablePage(const GatewayInfo& gateway, const std::string& protocol, unsigned first,
                  std::vector<RouterMapping>* page)
{
    auto read = std::make_shared<std::vector<RouterMapping>>();
    std::string from = std::to_string(first), count = std::to_string(kTablePageSize);
    int result = Request([=](const ServiceTarget& target) {
        PortMappingParserData data = {};
        int answer = UPNP_GetListOfPortMappings(target.controlUrl.c_str(), target.serviceType.c_str(), from.c_str(),
                                                "65535", protocol.c_str(), count.c_str(), &data);
        // Outside what was asked for: the next page could start anywhere.
        if (answer == 0 && !TakeListedMappings(data.l_head, protocol, first, 65535, read.get()))
            answer = UPNPCOMMAND_INVALID_RESPONSE;
        FreePortListing(&data);
        return answer;
    }, gateway);
    if (result != 0)
        return result == kNoMappingsInRange ? 0 : result;
    for (RouterMapping& mapping : *read)
        mapping.description = NarrowFromUtf8(mapping.description);
    page->insert(page->end(), read->begin(), read->end());
    return 0;
}

int ReadTableEntry(const GatewayInfo& gateway, unsigned index, RouterMapping* mapping)
{
    auto read = std::make_shared<RouterMapping>();
    std::string at = std::to_string(index);
    int result = Request([=](const ServiceTarget& target) {
        char port[8] = {}, client[40] = {}, internalPort[8] = {}, protocol[4] = {}, description[80] = {},
             enabled[4] = {}, remoteHost[64] = {}, lease[16] = {};
        int answer = UPNP_GetGenericPortMappingEntry(target.controlUrl.c_str(), target.serviceType.c_str(),
                                                     at.c_str(), port, client, internalPort, protocol, description,
                                                     enabled, remoteHost, lease);
        *read = { protocol, port, remoteHost, client, internalPort, NarrowFromUtf8(description),
                  static_cast<unsigned>(std::strtoul(lease, nullptr, 10)) };
        return answer;
    }, gateway);
    if (result == 0)
        *mapping = *read;
    return result;
}

int DeleteTableMapping(const GatewayInfo& gateway, const RouterMapping& mapping)
{
    return Request([=](const ServiceTarget& target) {
        return UPNP_DeletePortMapping(target.controlUrl.c_str(), target.serviceType.c_str(),
                                      mapping.externalPort.c_str(), mapping.protocol.c_str(),
                                      mapping.remoteHost.empty() ? nullptr : mapping.remoteHost.c_str());
    }, gateway);
}

MappingLookup LookUpInTable(const MappingTable& table, const MappingEntry& entry)
{
    MappingLookup lookup;
    auto found = table.entries.find({ entry.protocol, static_cast<unsigned>(std::atol(entry.externalPort.c_str())) });
    if (found != table.entries.end()) {
        lookup.result = 0;
        lookup.holder = found->second;
    }
    return lookup;
}

std::string QueryExternalAddress(const GatewayInfo& gateway, int* status)
{
    auto address = std::make_shared<std::string>();
    *status = Request([=](const ServiceTarget& target) {
        char text[40] = {};
        int answer = UPNP_GetExternalIPAddress(target.controlUrl.c_str(), target.serviceType.c_str(), text);
        *address = text;
        return answer;
    }, gateway);
    return *status == kGatewayUnreachable ? std::string() : *address;
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
