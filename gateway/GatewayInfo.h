#pragma once
#include <miniupnpc.h>

class CMappingDlg;

// The gateway chosen by discovery. Written once by the discovery worker before
// Start and Stop are enabled, read-only afterwards.
struct GatewayInfo {
    UPNPUrls urls;     // urls.controlURL addresses every request; null without a gateway
    IGDdatas data;     // data.first.servicetype goes with every request
    CMappingDlg* dialog;
};

extern GatewayInfo g_gatewayInfo;
