#pragma once
#include <string>

// Whether the internet can reach the router's external address. Behind
// carrier-grade NAT, or behind another router, it is not public: mappings then
// reach only the next NAT up.
enum class AddressReach { Public, NotPublic, Empty };

// Not public: this network, private, shared (carrier NAT), loopback, link
// local, IETF protocol, benchmarking, multicast and reserved. Empty: no
// address, or none that reads as one.
AddressReach ClassifyExternalAddress(const std::string& address);

// Follows the external address over its reads and says when the user must hear
// of it: a change of class, or a new address while it is not public; a public
// address at the first read is no news.
class CAddressReachTracker {
public:
    // The line to log for this read, or "" when it is no news.
    std::string Take(const std::string& address);
    // True once a read found the address not public or empty, until one finds it public.
    bool Unreachable() const { return m_bKnown && m_reach != AddressReach::Public; }

private:
    bool m_bKnown = false;
    AddressReach m_reach = AddressReach::Public;
    std::string m_strAddress;
};
