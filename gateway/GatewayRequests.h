#pragma once
#include "../mappings/MappingEntry.h"
#include <string>

// The requests sent to the gateway that discovery chose: its control URL and
// the service type of its first WAN connection service.
bool HasGateway();
// Result 0 when the gateway holds a mapping for the entry's external port and
// protocol; *internalClient then holds the address it points to.
int LookUpMapping(const MappingEntry& entry, std::string* internalClient);
// Adds the entry with the description "Gatewright", no lease limit and any remote host.
int AddMapping(const MappingEntry& entry);
int DeleteMapping(const MappingEntry& entry);
// The external address, or "" when the query failed; *status gets the result.
std::string QueryExternalAddress(int* status);

// The library's text for a result, "(null)" where it has none.
const char* UpnpErrorText(int result);

// Log lines of an add.
std::string FormatAddSucceeded(const std::string& externalAddress, const MappingEntry& entry);
std::string FormatAddFailed(const MappingEntry& entry, int result);
