#include "Ipv6Pinholes.h"
#include "LogLines.h"
#include "Notices.h"

bool CIpv6Pinholes::Find(const std::string& lanAddress, const std::atomic<bool>& stop, CNotices& notices)
{
    m_strLanAddress = lanAddress;
    m_strAddress.clear();
    m_pKeeper.reset();
    m_pFirewall = SearchIpv6Firewall(stop);
    if (!m_pFirewall)
        return false;
    m_pKeeper = std::make_unique<CPinholeKeeper>(MakePinholeRequests(m_pFirewall->service));
    return NoteAddress(m_pFirewall->localAddress, notices);
}

bool CIpv6Pinholes::NoteAddress(const std::string& address, CNotices& notices)
{
    if (address == m_strAddress)
        return false;
    m_strAddress = address;
    notices.Report(FormatIpv6Address(address));
    return true;
}

bool CIpv6Pinholes::Run(const std::vector<MappingEntry>& rows, CNotices& notices)
{
    if (!m_pKeeper)
        return false;
    // Asked at every run: Windows moves to a new temporary address now and then.
    std::string address = LocalAddressTowards(m_pFirewall->service.controlUrl);
    if (address.empty())
        return false;
    bool news = NoteAddress(address, notices);
    for (const std::string& line : m_pKeeper->Run(rows, m_strLanAddress, address).lines)
        notices.Tell("pinhole " + line, "", line);
    if (notices.NoPublicAddress() && !m_pKeeper->Held().empty())
        notices.Tell("ipv6 reach", "", FormatIpv6Reaches(address));
    return news;
}

void CIpv6Pinholes::Remove(const std::vector<MappingEntry>& rows, bool tryRouter, CNotices& notices)
{
    if (!m_pKeeper)
        return;
    if (tryRouter)
        m_pKeeper->Remove(rows, m_strLanAddress);
    // What is still held was not reached; its lease ends it within the hour.
    for (const PinholeKey& key : PinholeRows(rows, m_strLanAddress)) {
        auto held = m_pKeeper->Held().find(key);
        if (held != m_pKeeper->Held().end())
            notices.Report(FormatPinholeNotClosed(held->second.address, key));
    }
}
