#pragma once
// What the gateway worker tells the window, posted to it.
#include "Router.h"
#include <windows.h>
#include <string>
#include <vector>

// Posted to the window; lParam is a GatewayEvent the handler takes over.
const UINT WM_APP_GATEWAY_EVENT = WM_APP + 3;

struct RowResult {
    std::string protocol;
    std::string externalPort;
    RowState state;
};

struct GatewayEvent {
    enum Kind {
        Found,            // a router answered: the three addresses
        SearchFailed,     // the first search found nothing (the worker goes on searching)
        Lost,             // the router stopped answering
        RunDone,          // a run of this generation ended: one result per row
        Renewed,          // the worker renewed the last run's leases: as RunDone
        ExternalAddress,  // a refresh read the external address ("" when it failed)
        Ipv6Address,      // this machine's IPv6 address as the router's firewall sees it
        Table,            // a read of the router's whole table
        Closed            // the close has stopped the list; the worker has ended
    };
    Kind kind;
    long generation = 0;
    std::string lanAddress;
    std::string gatewayHost;
    std::string externalAddress;
    std::string ipv6Address;
    std::vector<RowResult> rows;
    TableRead table;
    // Found, ExternalAddress: the internet cannot reach the external address.
    bool noPublicAddress = false;
};
