#pragma once
// The IPv6 side of the list: once the router is found, its IPv6 firewall is
// looked for, and every run keeps a pinhole open for each row whose internal
// address is this machine's, at the address Windows sends from now.
#include "Ipv6Firewall.h"
#include <atomic>
#include <memory>
#include <string>
#include <vector>

class CNotices;

class CIpv6Pinholes {
public:
    // The router was found anew: looks for its firewall. lanAddress: this
    // machine's IPv4 address towards the router, which picks the rows.
    // True when this machine's IPv6 address is news.
    bool Find(const std::string& lanAddress, const std::atomic<bool>& stop, CNotices& notices);
    // Renews, opens and moves the rows' pinholes; true when this machine's IPv6 address is news.
    bool Run(const std::vector<MappingEntry>& rows, CNotices& notices);
    // Closes the rows' pinholes, or with tryRouter false only names them;
    // those still open after are named.
    void Remove(const std::vector<MappingEntry>& rows, bool tryRouter, CNotices& notices);
    // This machine's IPv6 address as the router's firewall sees it.
    const std::string& Address() const { return m_strAddress; }

private:
    bool NoteAddress(const std::string& address, CNotices& notices);

    std::shared_ptr<Ipv6Firewall> m_pFirewall;
    std::unique_ptr<CPinholeKeeper> m_pKeeper;
    std::string m_strLanAddress;
    std::string m_strAddress;
};
