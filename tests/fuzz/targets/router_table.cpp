// A page of the router's table as the library parsed it, taken as the program
// takes it (TakeListedMappings), then paged on and told whose each mapping is.
// The input describes entries, 9 bytes each: protocol (bit 0: TCP or UDP, bit
// 1: "tcp"), external port, internal port, lease (16 bits), how many times the
// entry is listed (so that short inputs pass kTablePageSize), address byte and
// a description byte. The first 3 bytes are the span asked: protocol, first port.
#include "FuzzInput.h"
#include "../../../gateway/PortListing.h"
#include "../../../gateway/RouterTable.h"
#include <cstdio>
#include <memory>

namespace {
const char* ProtocolName(std::uint8_t selector)
{
    if (selector & 2)
        return "tcp";
    return selector & 1 ? "UDP" : "TCP";
}

std::vector<std::unique_ptr<PortMapping>> ReadListing(CFuzzInput& input)
{
    std::vector<std::unique_ptr<PortMapping>> listing;
    while (!input.AtEnd() && listing.size() <= 2 * kTablePageSize) {
        PortMapping entry = {};
        std::snprintf(entry.protocol, sizeof entry.protocol, "%s", ProtocolName(input.Byte()));
        entry.externalPort = input.Word();
        entry.internalPort = input.Word();
        entry.leaseTime = input.Word();
        unsigned copies = input.Byte() % 4 == 0 ? 256u + input.Byte() : 1u;
        std::snprintf(entry.internalClient, sizeof entry.internalClient, "198.18.0.%u", unsigned(input.Byte()));
        std::snprintf(entry.description, sizeof entry.description, "%c", char(input.Byte()));
        for (unsigned i = 0; i < copies; ++i)
            listing.push_back(std::make_unique<PortMapping>(entry));
    }
    for (size_t i = 0; i + 1 < listing.size(); ++i)
        listing[i]->l_next = listing[i + 1].get();
    return listing;
}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    CFuzzInput input(data, size);
    std::string protocol = ProtocolName(input.Byte());
    unsigned first = input.Word();
    std::vector<std::unique_ptr<PortMapping>> listing = ReadListing(input);
    std::vector<RouterMapping> page;
    if (!TakeListedMappings(listing.empty() ? nullptr : listing.front().get(), protocol, first, 65535, &page)) {
        FUZZ_CHECK(page.empty());
        return 0;
    }
    FUZZ_CHECK(page.size() == listing.size() && page.size() <= kTablePageSize);
    const std::vector<MappingEntry> listed = { { "TCP", "8080", "80", "198.18.0.2", "" } };
    for (const RouterMapping& mapping : page) {
        FUZZ_CHECK(mapping.protocol == protocol && std::stoul(mapping.externalPort) >= first);
        bool bListed = OwnerOf(mapping, listed, { "198.18.0.2" }) == MappingOwner::Listed;
        FUZZ_CHECK(bListed == (ListedRowOf(mapping, listed) == 1));
    }
    // The next page starts past this one, or the span is done: the read always ends.
    unsigned next = NextPageStart(page, kTablePageSize);
    FUZZ_CHECK(next == 0 || next > first);
    return 0;
}
