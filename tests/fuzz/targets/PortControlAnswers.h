#pragma once
// The request every PCP and NAT-PMP target answers: the seeds echo it.
#include "../../../gateway/pcp/PortControlMessages.h"

inline PcpMapRequest FuzzedMapRequest()
{
    return { { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 }, 0xc0a80102, 0xc0a80102, kPortControlTcp, 8080, 8080, 3600 };
}
