#pragma once
#include <miniupnpc.h>

// The gateway that a search chose: where every request goes. It frees the
// library's URLs with itself; the worker shares it with requests that may
// outlive a give-up.
struct GatewayInfo {
    GatewayInfo() : urls(), data() {}
    GatewayInfo(const GatewayInfo&) = delete;
    GatewayInfo& operator=(const GatewayInfo&) = delete;
    ~GatewayInfo() { FreeUPNPUrls(&urls); }

    UPNPUrls urls;     // urls.controlURL addresses every request
    IGDdatas data;     // data.first.servicetype goes with every request
};
