#pragma once
// Every line the gateway side writes to the activity log, in one place, so
// that the words the user reads can be checked and changed together.
#include "PublicAddress.h"
#include "../mappings/MappingEntry.h"
#include <string>

struct MappingHolder;
struct PinholeKey;
struct PortControlResult;
struct RouterMapping;

// The worker's own.
extern const char* const kSearchBegins;
extern const char* const kSearchDone;
extern const char* const kNoGatewayFound;
extern const char* const kRouterLost;
extern const char* const kNothingStoppedWithoutGateway;
extern const char* const kAllStopped;
extern const char* const kPermanentLeasesOnly;

// Found lines: a UPnP search's result of choosing the gateway (UPNP_GetValidIGD's 1-3, else any device).
std::string FormatGatewayFoundLine(int result, const char* controlUrl);
std::string FormatPortControlFound(bool natPmp, const std::string& gatewayHost);
// With more than one adapter, the one the router was found through.
std::string FormatAdapterUsed(const std::string& adapterName, const std::string& address);
// The external address as a search read it: "" when the read failed.
std::string FormatExternalAddress(const std::string& address);
std::string FormatExternalAddressError(int status);
// Whether the internet reaches the external address.
std::string FormatAddressReach(AddressReach reach, const std::string& address);

// A row of the list on the router.
std::string FormatAddSucceeded(const std::string& externalAddress, const MappingEntry& entry);
std::string FormatAddFailed(const MappingEntry& entry, int result);
// UPnP results get the library's text; reason overrides it.
std::string FormatStopFailed(const MappingEntry& entry, int result);
std::string FormatStopFailed(const MappingEntry& entry, int result, const char* reason);
std::string FormatHeldElsewhere(const MappingEntry& entry, const MappingHolder& holder);
// Stop found the entry's external port held by another host or port, and left it.
std::string FormatNotOurs(const MappingEntry& entry, const MappingHolder& holder);
// rowNumber counts from 1, as the list shows it.
std::string FormatBadPorts(int rowNumber);
std::string FormatPortControlFailed(const MappingEntry& row, const PortControlResult& result);
std::string FormatOnlyThisHost(const MappingEntry& row);
// The row (numbered from 1) has the internal endpoint of an earlier row.
std::string FormatSharedEndpoint(int rowNumber, int earlierRowNumber);

// The router's whole table, in its own window.
std::string FormatTableMappingDeleted(const RouterMapping& mapping);
std::string FormatTableDeleteFailed(const RouterMapping& mapping, int result);

// This machine's side of a row: a listener on its port, Windows Firewall.
// programName "" where Windows does not tell whose the listener is.
std::string FormatNoListener(const MappingEntry& row);
std::string FormatListenerCame(const MappingEntry& row, const std::string& programName);
std::string FormatFirewallBlocks(const MappingEntry& row);
// program: the one the rule is for, "" for any; existed: the rule was there before.
std::string FormatFirewallAllowed(const MappingEntry& row, const std::string& program, bool existed);
std::string FormatFirewallStillBlocks(const MappingEntry& row);
// /unregister: the program's own rules removed.
std::string FormatFirewallRulesRemoved(int count);
std::string FormatFirewallRuleFailed(const MappingEntry& row);
extern const char* const kFirewallBlocksNothing;

// The IPv6 firewall.
std::string FormatIpv6Address(const std::string& address);
std::string FormatIpv6Reaches(const std::string& address);
std::string FormatPinholeOpened(const std::string& address, const PinholeKey& key);
std::string FormatPinholeFailed(const std::string& address, const PinholeKey& key, int result);
std::string FormatPinholeNotClosed(const std::string& address, const PinholeKey& key);
