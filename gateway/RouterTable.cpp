#include "RouterTable.h"
#include "PortListing.h"
#include "../framework/DottedAddress.h"
#include <algorithm>
#include <cstdlib>

namespace {
unsigned PortNumber(const std::string& text)
{
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

bool IsRowOf(const RouterMapping& mapping, const MappingEntry& row)
{
    return row.protocol == mapping.protocol && PortNumber(row.externalPort) == PortNumber(mapping.externalPort)
        && PortNumber(row.localPort) == PortNumber(mapping.internalPort)
        && SameAddress(row.internalIp, mapping.internalClient);
}
}

unsigned NextPageStart(const std::vector<RouterMapping>& page, size_t pageSize)
{
    if (page.size() < pageSize)
        return 0;
    unsigned last = 0;
    for (const RouterMapping& mapping : page)
        last = std::max(last, PortNumber(mapping.externalPort));
    return last < 65535 ? last + 1 : 0;
}

bool TakeListedMappings(const PortMapping* listed, const std::string& protocol, unsigned first, unsigned last,
                        std::vector<RouterMapping>* page)
{
    std::vector<RouterMapping> taken;
    for (const PortMapping* m = listed; m; m = m->l_next) {
        if (protocol != m->protocol || m->externalPort < first || m->externalPort > last
            || taken.size() == kTablePageSize)
            return false;
        taken.push_back({ m->protocol, std::to_string(m->externalPort), m->remoteHost, m->internalClient,
                          std::to_string(m->internalPort), m->description, static_cast<unsigned>(m->leaseTime) });
    }
    page->insert(page->end(), taken.begin(), taken.end());
    return true;
}

int ListedRowOf(const RouterMapping& mapping, const std::vector<MappingEntry>& listed)
{
    auto row = std::find_if(listed.begin(), listed.end(),
                            [&mapping](const MappingEntry& entry) { return IsRowOf(mapping, entry); });
    return row == listed.end() ? 0 : static_cast<int>(row - listed.begin()) + 1;
}

MappingOwner OwnerOf(const RouterMapping& mapping, const std::vector<MappingEntry>& listed,
                     const std::vector<std::string>& thisMachine)
{
    if (ListedRowOf(mapping, listed))
        return MappingOwner::Listed;
    bool mine = std::any_of(thisMachine.begin(), thisMachine.end(),
                            [&mapping](const std::string& address) { return SameAddress(address, mapping.internalClient); });
    return mine ? MappingOwner::ThisHost : MappingOwner::OtherHost;
}
