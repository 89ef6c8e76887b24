#pragma once
#include <miniupnpc.h>

// The gateway that the search chose. Owned by the gateway worker and used
// only on its thread; a lost gateway is freed and searched for again.
struct GatewayInfo {
    UPNPUrls urls;     // urls.controlURL addresses every request; null without a gateway
    IGDdatas data;     // data.first.servicetype goes with every request
};
