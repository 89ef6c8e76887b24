#pragma once
#include "../GatewayInfo.h"
#include "../Router.h"
#include "../RouterTable.h"
#include "../ServiceRequest.h"
#include "../../mappings/MappingEntry.h"
#include <map>
#include <string>
#include <utility>
#include <vector>

// The requests sent to a gateway. Each gives up after a few seconds: a
// gateway that drops packets, or whose UPnP service hangs, would otherwise
// hold it for minutes. A gateway that cannot be reached, or does not answer
// in time, gives kGatewayUnreachable (ServiceRequest.h).


// What the gateway holds for an entry's external port and protocol: result 0
// and where it points, kNoSuchEntry, or the request's failure.
struct MappingLookup {
    int result = kNoSuchEntry;
    MappingHolder holder;
};

// Result 0 when the gateway holds a mapping for the entry's external port and
// protocol; *holder then tells where it points.
int LookUpMapping(const GatewayInfo& gateway, const MappingEntry& entry, MappingHolder* holder);

// The gateway's mappings of one protocol over a span of external ports, as
// IGD version 2 lists them in one answer. Keyed by protocol and port number.
struct MappingTable {
    std::map<std::pair<std::string, unsigned>, MappingHolder> entries;
};
// True when the gateway's connection service is version 2 or later, which can list its table.
bool ListsMappingTable(const GatewayInfo& gateway);
// Adds the protocol's mappings from first to last to *table. 0 when the answer
// can be trusted, kGatewayUnreachable, or the gateway's or the parser's failure.
int ReadMappingTable(const GatewayInfo& gateway, const std::string& protocol, unsigned first, unsigned last,
                     MappingTable* table);
// The entry's mapping as the table shows it.
MappingLookup LookUpInTable(const MappingTable& table, const MappingEntry& entry);
// One page of the router's whole table of a protocol from port first on,
// as IGD version 2 lists it; 0, kGatewayUnreachable or the router's refusal.
int ReadTablePage(const GatewayInfo& gateway, const std::string& protocol, unsigned first,
                  std::vector<RouterMapping>* page);
// The mapping at index of the table, as IGD version 1 lists it; past the end
// the router answers kIndexOutOfRange (or, some routers, kNoSuchEntry).
int ReadTableEntry(const GatewayInfo& gateway, unsigned index, RouterMapping* mapping);
const int kIndexOutOfRange = 713;
// Deletes the mapping exactly as the router listed it, remote host and all.
int DeleteTableMapping(const GatewayInfo& gateway, const RouterMapping& mapping);

// Adds the entry with the description "Gatewright", the lease in seconds (0:
// permanent) and any remote host.
int AddMapping(const GatewayInfo& gateway, const MappingEntry& entry, unsigned leaseSeconds);
int DeleteMapping(const GatewayInfo& gateway, const MappingEntry& entry);
// The external address, or "" when the query failed; *status gets the result.
std::string QueryExternalAddress(const GatewayInfo& gateway, int* status);

// True when the holder is another host or another internal port than the entry's.
bool HeldElsewhere(const MappingEntry& entry, const MappingHolder& holder);

// The library's text for a result, "(null)" where it has none.
const char* UpnpErrorText(int result);
