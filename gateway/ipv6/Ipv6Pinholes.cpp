#include "Ipv6Pinholes.h"
#include "../LogLines.h"
#include "../Notices.h"
#include "../Ticks.h"
#include <algorithm>

namespace {
const DWORD kFirstSearchBackoffMs = 60 * 1000;
const DWORD kLongestSearchBackoffMs = 30 * 60 * 1000;
}

DWORD Ipv6SearchBackoffMs(DWORD previousMs)
{
    if (!previousMs)
        return kFirstSearchBackoffMs;
    return previousMs < kLongestSearchBackoffMs / 2 ? previousMs * 2 : kLongestSearchBackoffMs;
}

bool CIpv6Pinholes::Find(const std::string& lanAddress, const std::atomic<bool>& stop, CNotices& notices)
{
    m_strLanAddress = lanAddress;
    m_strAddress.clear();
    m_dwBackoffMs = 0;
    return SearchAgain(stop, notices);
}

bool CIpv6Pinholes::SearchAgain(const std::atomic<bool>& stop, CNotices& notices)
{
    m_pFirewall = m_network.searchFirewall(m_strLanAddress, stop);
    if (!m_pFirewall) {
        // Without a global address there is nothing a firewall could let in.
        m_dwBackoffMs = m_network.hasGlobalAddress() ? Ipv6SearchBackoffMs(m_dwBackoffMs) : 0;
        m_dwNextSearch = ::GetTickCount() + m_dwBackoffMs;
        return false;
    }
    m_dwBackoffMs = 0;
    std::unique_ptr<IPinholeRequests> requests = m_network.makeRequests(m_pFirewall->service);
    if (m_pKeeper)
        m_pKeeper->Retarget(std::move(requests));
    else
        m_pKeeper = std::make_unique<CPinholeKeeper>(std::move(requests));
    return NoteAddress(m_pFirewall->localAddress, notices);
}

DWORD CIpv6Pinholes::SearchDueMs() const
{
    if (!m_dwBackoffMs)
        return INFINITE;
    return TickLeft(m_dwNextSearch);
}

bool CIpv6Pinholes::NoteAddress(const std::string& address, CNotices& notices)
{
    if (address == m_strAddress)
        return false;
    m_strAddress = address;
    notices.Report(FormatIpv6Address(address));
    return true;
}

Ipv6RunReport CIpv6Pinholes::Run(const std::vector<MappingEntry>& rows, CNotices& notices)
{
    Ipv6RunReport report;
    m_rows = rows;
    if (!m_pFirewall)
        return report;
    // Asked at every run: Windows moves to a new temporary address now and then.
    std::string address = m_network.localAddressTowards(m_pFirewall->service.controlUrl);
    if (address.empty())
        return report;
    report.newAddress = NoteAddress(address, notices);
    PinholeReport kept = m_pKeeper->Run(rows, m_strLanAddress, address);
    report.unreached = kept.unreached;
    for (const std::string& line : kept.lines)
        notices.Tell("pinhole " + line, "", line);
    if (notices.NoPublicAddress() && !m_pKeeper->Held().empty())
        notices.Tell("ipv6 reach", "", FormatIpv6Reaches(address));
    return report;
}

void CIpv6Pinholes::Remove(const std::vector<MappingEntry>& removed, bool tryRouter, CNotices& notices)
{
    if (!m_pKeeper)
        return;
    std::vector<MappingEntry> rows = RowsToClose(removed, m_rows, m_strLanAddress);
    // Gone from the list: a later removal keeps open only what the rows left need.
    m_rows.erase(std::remove_if(m_rows.begin(), m_rows.end(),
                                [&removed](const MappingEntry& row) {
                                    return std::find(removed.begin(), removed.end(), row) != removed.end();
                                }),
                 m_rows.end());
    if (tryRouter)
        m_pKeeper->Remove(rows, m_strLanAddress);
    // What is still held was not reached; its lease ends it within the hour.
    for (const std::string& line : NameOpen(rows))
        notices.Report(line);
}

std::vector<std::string> CIpv6Pinholes::NameOpen(const std::vector<MappingEntry>& rows) const
{
    std::vector<std::string> lines;
    if (!m_pKeeper)
        return lines;
    for (const PinholeKey& key : PinholeRows(rows, m_strLanAddress)) {
        auto held = m_pKeeper->Held().find(key);
        if (held != m_pKeeper->Held().end())
            lines.push_back(FormatPinholeNotClosed(held->second.address, key));
    }
    return lines;
}

std::vector<std::string> CIpv6Pinholes::NameOpen() const
{
    std::vector<std::string> lines;
    if (m_pKeeper) {
        for (const auto& held : m_pKeeper->Held())
            lines.push_back(FormatPinholeNotClosed(held.second.address, held.first));
    }
    return lines;
}
