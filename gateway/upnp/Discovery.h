#pragma once
#include "../GatewayInfo.h"
#include "../Router.h"
#include <atomic>
#include <memory>
#include <string>

class ActivityLog;

// Every SSDP search, over IPv4 or IPv6: how long it waits for answers, and how
// far its multicast goes (past the home router's LAN is no use).
const int kSearchDelayMs = 2000;
const unsigned char kMulticastTtl = 2;


// Asks the router found last at its description URL (Settings\LastRouter),
// else searches the network for a gateway; chooses one, keeps its URL for the
// next time and reads its external address, logging the found lines. Null, with nothing logged, when no usable
// gateway answered in time, or when stop was set meanwhile.
std::shared_ptr<GatewayInfo> SearchGateway(FoundGateway* found, ActivityLog& log, const std::atomic<bool>& stop);

// Host part of a URL as WinINet splits it (empty when it cannot be split).
std::string HostFromUrl(const char* url);
