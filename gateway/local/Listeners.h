#pragma once
// This machine's side of a row: which local ports a program listens on (TCP)
// or is bound to (UDP), as Windows tells it in one read of each table.
#include "../../mappings/MappingEntry.h"
#include <windows.h>
#include <string>
#include <vector>

struct LocalSocket {
    bool udp;
    // IPv4 in host order; 0 for every address, 0.0.0.0 or [::].
    DWORD address;
    unsigned port;
    DWORD pid;
};

// The TCP listeners and UDP sockets, IPv4 and IPv6; IPv6 ones only where
// bound to [::], the only IPv6 socket an IPv4 row reaches. False when Windows
// could not tell.
bool ReadLocalSockets(std::vector<LocalSocket>* sockets);

// The socket a connection to the row's local port at its address reaches;
// null when none.
const LocalSocket* FindServingSocket(const std::vector<LocalSocket>& sockets, const MappingEntry& row);

// This machine's IPv4 addresses, host order.
std::vector<DWORD> ThisMachineAddresses();

// The full path of the process's program; "" where Windows does not tell it.
std::string ProgramPath(DWORD pid);
