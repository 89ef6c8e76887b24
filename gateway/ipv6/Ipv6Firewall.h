#pragma once
// The router's IPv6 firewall (UPnP WANIPv6FirewallControl:1): pinholes that
// let the internet reach this machine's IPv6 address on the local ports of
// its rows. IPv6 has no NAT, so a pinhole names the port the program listens
// on, and only the machine itself may open one: the router takes the address
// its requests come from, so they go to the firewall over IPv6.
#include "../Adapters.h"
#include "../ServiceRequest.h"
#include "../../mappings/MappingEntry.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The firewall a search found.
struct Ipv6Firewall {
    ServiceTarget service;     // its IPv6 control URL and service type
    std::string localAddress;  // this machine's IPv6 address as the router sees it
};

// True when an adapter that is up has a global unicast IPv6 address: no
// link-local, loopback, unique local (fc00::/7) or site-local one.
bool HasGlobalIpv6Address();
bool IsGlobalIpv6Unicast(const in6_addr& address);

// Searches over IPv6 (SSDP on ff02::c) for a router whose IPv6 firewall is
// enabled and lets pinholes in, out of the adapter whose IPv4 address is
// lanAddress, where the router was found; a VPN may hold the default
// multicast route. Null, at once, when this machine has no global IPv6
// address; null when no such router answered in time, or when stop was set
// meanwhile. Blocks for seconds: call it on the worker thread.
std::shared_ptr<Ipv6Firewall> SearchIpv6Firewall(const std::string& lanAddress, const std::atomic<bool>& stop);

// The interface the search goes out of, as the library takes it: the IPv6
// index, in decimal, of the adapter holding lanAddress; "" (where Windows
// sends it) when none does or IPv6 is off on it.
std::string Ipv6SearchInterface(const std::vector<NetworkAdapter>& adapters, const std::string& lanAddress);

// This machine's source address towards the host of an IPv6 URL
// ("http://[2001:db8::1]:5000/ctl"), "" when it is not a global one. Sends nothing
// and returns at once, so a run can ask it again each time: Windows may move
// to a new temporary address at any time.
std::string LocalAddressTowards(const std::string& url);
// The host inside the brackets of an IPv6 URL, its zone decoded; "" for others.
std::string Ipv6HostFromUrl(const std::string& url);

// A row's pinhole is known by its protocol and local port: rows that differ
// only in their external port share one.
struct PinholeKey {
    std::string protocol;  // "TCP" or "UDP"
    unsigned port;
};
bool operator<(const PinholeKey& a, const PinholeKey& b);

// The rows that get a pinhole: those whose internal address is lanAddress,
// this machine's IPv4 address towards the router, with a valid local port.
std::vector<PinholeKey> PinholeRows(const std::vector<MappingEntry>& rows, const std::string& lanAddress);

// Of the removed rows, those whose pinhole no other listed row needs: rows
// that differ only in their external port share one.
std::vector<MappingEntry> RowsToClose(const std::vector<MappingEntry>& removed, const std::vector<MappingEntry>& listed,
                                      const std::string& lanAddress);

// A pinhole the router opened.
struct OpenPinhole {
    std::string uniqueId;  // the router's name for it
    std::string address;   // the IPv6 address it lets in
};
typedef std::map<PinholeKey, OpenPinhole> PinholeRecord;

// What a run does with one pinhole.
enum class PinholeAction {
    Update,  // renew the one held
    Add,     // open it (none held)
    Move,    // held for an old address: delete it, open it for the new one
    Delete   // its row is gone from the list
};
struct PinholeStep {
    PinholeAction action;
    PinholeKey key;
    OpenPinhole held;  // Update, Move, Delete: the pinhole held
};
std::vector<PinholeStep> PlanPinholes(const PinholeRecord& open, const std::vector<PinholeKey>& wanted,
                                      const std::string& address);

// The requests to the firewall: the library's result, or kGatewayUnreachable.
class IPinholeRequests {
public:
    virtual ~IPinholeRequests() = default;
    virtual int Add(const PinholeKey& key, const std::string& address, std::string* uniqueId) = 0;
    virtual int Update(const std::string& uniqueId) = 0;
    virtual int Delete(const std::string& uniqueId) = 0;
};
// Bounded requests like every other request to the router; pinholes live an hour.
std::unique_ptr<IPinholeRequests> MakePinholeRequests(const ServiceTarget& firewall);

// True when the router says it holds no pinhole of that ID: 704 NoSuchEntry
// as the service defines it, or 402 Invalid Args, which miniupnpd answers.
bool MeansNoSuchPinhole(int result);

// What a run or a removal did.
struct PinholeReport {
    std::vector<std::string> lines;  // for the activity log
    bool unreached = false;          // a request did not reach the router; the rest were left
};

// The pinholes of one router, kept for this machine's rows. Calls come from
// one thread (the worker's).
class CPinholeKeeper {
public:
    explicit CPinholeKeeper(std::unique_ptr<IPinholeRequests> requests);
    // The firewall was found anew: what is open stays known, and is asked of it from now on.
    void Retarget(std::unique_ptr<IPinholeRequests> requests) { m_pRequests = std::move(requests); }

    // Renews the pinholes of the rows, opens the missing ones, moves those of
    // an old address to address, and deletes those whose rows are gone.
    PinholeReport Run(const std::vector<MappingEntry>& rows, const std::string& lanAddress,
                      const std::string& address);
    // Deletes the pinholes of these rows (of this machine) that it holds.
    PinholeReport Remove(const std::vector<MappingEntry>& rows, const std::string& lanAddress);
    const PinholeRecord& Held() const { return m_open; }

private:
    // False when the router was not reached.
    bool Do(const PinholeStep& step, const std::string& address, PinholeReport* report);
    bool Renew(const PinholeStep& step, const std::string& address, PinholeReport* report);
    bool Close(const PinholeKey& key);
    bool Open(const PinholeKey& key, const std::string& address, PinholeReport* report);

    std::unique_ptr<IPinholeRequests> m_pRequests;
    PinholeRecord m_open;
};
