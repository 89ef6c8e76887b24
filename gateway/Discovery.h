#pragma once
#include <string>

// The discovery worker's thread procedure; the parameter is the main dialog.
// Returns 0, or (unsigned)-1 when the socket layer cannot be started.
unsigned __stdcall DiscoverGatewayProc(void* param);

// The log line for a non-zero result of choosing the gateway.
std::string FormatGatewayFoundLine(int result, const char* controlUrl);
// Host part of a URL as WinINet splits it (empty when it cannot be split).
std::string HostFromUrl(const char* url);
