#pragma once
// This machine's IPv4 network adapters, as every way of reaching the router
// sees them: a VPN, a game accelerator or a virtual switch takes the routes,
// so the router is looked for through each adapter, not through the route
// Windows would choose. Addresses are in host order.
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

struct NetworkAdapter {
    std::string name;          // its friendly name, in the program's code page
    std::uint32_t address = 0; // its first IPv4 unicast address
    BYTE prefixLength = 0;     // of that address's subnet
    std::uint32_t gateway = 0; // its IPv4 default gateway, 0 when it has none
    DWORD ifType = 0;          // IF_TYPE_*
    DWORD ipv6IfIndex = 0;     // 0 when IPv6 is off on it
};

// The adapters that are up, are not loopback and have an IPv4 unicast
// address: physical ones (Ethernet, Wi-Fi) first, tunnels and virtual ones
// after, each kind in Windows' order. Empty when Windows cannot list them.
std::vector<NetworkAdapter> ReadNetworkAdapters();

// The same order, for a list read otherwise.
std::vector<NetworkAdapter> PhysicalFirst(std::vector<NetworkAdapter> adapters);

// True when address lies in the adapter's subnet.
bool AdapterHolds(const NetworkAdapter& adapter, std::uint32_t address);
// The first adapter whose subnet holds address; null when none.
const NetworkAdapter* AdapterHolding(const std::vector<NetworkAdapter>& adapters, std::uint32_t address);
// The adapters that have a gateway, in the same order: each is a router to ask.
std::vector<NetworkAdapter> AdaptersWithGateways(const std::vector<NetworkAdapter>& adapters);

// The line that names the adapter the router was found through, where there is
// more than one; "" where there is one or none.
std::string AdapterUsedLine(const std::vector<NetworkAdapter>& adapters, const NetworkAdapter* used);
