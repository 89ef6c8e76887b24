#pragma once
// The IPv6 side of the list: once the router is found, its IPv6 firewall is
// looked for, and every run keeps a pinhole open for each row whose internal
// address is this machine's, at the address Windows sends from now. What was
// opened stays known when the router is lost and found again, so that Stop,
// the close and deleted rows still close it. While this machine has a global
// IPv6 address and no firewall is known, it is looked for again now and then.
#include "Ipv6Firewall.h"
#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CNotices;

// What the pinholes need of the network; tests put fakes in its place.
struct Ipv6Network {
    // lanAddress: where the router was found, this machine's IPv4 address towards it.
    std::function<std::shared_ptr<Ipv6Firewall>(const std::string& lanAddress, const std::atomic<bool>&)>
        searchFirewall = SearchIpv6Firewall;
    std::function<std::unique_ptr<IPinholeRequests>(const ServiceTarget&)> makeRequests = MakePinholeRequests;
    std::function<std::string(const std::string&)> localAddressTowards = LocalAddressTowards;
    std::function<bool()> hasGlobalAddress = HasGlobalIpv6Address;
};

// The wait before the next search for a firewall after one that found none:
// a minute, then doubling, at most half an hour.
DWORD Ipv6SearchBackoffMs(DWORD previousMs);

struct Ipv6RunReport {
    bool newAddress = false;  // this machine's IPv6 address is news
    bool unreached = false;   // a request did not reach the router
};

class CIpv6Pinholes {
public:
    explicit CIpv6Pinholes(Ipv6Network network = Ipv6Network()) : m_network(std::move(network)) {}

    // The router was found anew: looks for its firewall. lanAddress: this
    // machine's IPv4 address towards the router, which picks the rows.
    // True when this machine's IPv6 address is news.
    bool Find(const std::string& lanAddress, const std::atomic<bool>& stop, CNotices& notices);
    // Milliseconds until the firewall is to be looked for again; INFINITE when it is not.
    DWORD SearchDueMs() const;
    // Looks for the firewall again; true when this machine's IPv6 address is news.
    bool SearchAgain(const std::atomic<bool>& stop, CNotices& notices);
    // Renews, opens and moves the rows' pinholes.
    Ipv6RunReport Run(const std::vector<MappingEntry>& rows, CNotices& notices);
    // Closes the pinholes of the rows that no other row of the last run, and
    // not removed since, needs, or with tryRouter false only names them; those
    // still open after are named.
    void Remove(const std::vector<MappingEntry>& removed, bool tryRouter, CNotices& notices);
    // The lines that name the open pinholes: of the rows, or all of them.
    std::vector<std::string> NameOpen(const std::vector<MappingEntry>& rows) const;
    std::vector<std::string> NameOpen() const;
    // This machine's IPv6 address as the router's firewall sees it.
    const std::string& Address() const { return m_strAddress; }

private:
    bool NoteAddress(const std::string& address, CNotices& notices);

    Ipv6Network m_network;
    // The firewall found with the router; null while none is known.
    std::shared_ptr<Ipv6Firewall> m_pFirewall;
    // What was opened, kept across finds; its requests go to the firewall last found.
    std::unique_ptr<CPinholeKeeper> m_pKeeper;
    std::string m_strLanAddress;
    std::string m_strAddress;
    // The list as the last run had it, less the rows removed since.
    std::vector<MappingEntry> m_rows;
    // The next search, while no firewall is known: its tick and the wait before it.
    DWORD m_dwBackoffMs = 0;
    DWORD m_dwNextSearch = 0;
};
