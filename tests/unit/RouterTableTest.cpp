// The router's whole table: whose each mapping is, and how its pages follow.
#include "../../gateway/PortListing.h"
#include "../../gateway/RouterTable.h"
#include <cstring>
#include <gtest/gtest.h>

namespace {

RouterMapping Mapping(const char* protocol, const char* externalPort, const char* client, const char* internalPort)
{
    return { protocol, externalPort, "", client, internalPort, "", 0 };
}

TEST(RouterTableOwner, ListedOnlyWhenProtocolPortsAndAddressAllMatchElseThisMachineOrAnother)
{
    const std::vector<MappingEntry> listed = { { "UDP", "53", "1053", "198.18.0.2", "" },
                                               { "TCP", "080", "18080", "198.18.0.2", "web" } };
    const std::vector<std::string> thisMachine = { "198.18.0.2", "10.0.0.7" };
    const struct {
        RouterMapping mapping;
        MappingOwner owner;
        int row;
    } cases[] = {
        { Mapping("TCP", "18080", "198.18.0.2", "80"), MappingOwner::Listed, 2 },  // ports as numbers
        { Mapping("UDP", "18080", "198.18.0.2", "80"), MappingOwner::ThisHost, 0 },
        { Mapping("TCP", "18080", "198.18.0.2", "8080"), MappingOwner::ThisHost, 0 },
        { Mapping("TCP", "18080", "198.18.0.3", "80"), MappingOwner::OtherHost, 0 },  // holds the row's port
        { Mapping("TCP", "19000", "10.0.0.7", "80"), MappingOwner::ThisHost, 0 },    // another address of ours
        { Mapping("UDP", "1053", "198.18.0.2", "53"), MappingOwner::Listed, 1 },
        // The same local service on another external port: a stale mapping of this machine's.
        { Mapping("TCP", "18081", "198.18.0.2", "80"), MappingOwner::ThisHost, 0 },
    };
    for (const auto& c : cases) {
        std::string name = c.mapping.protocol + " " + c.mapping.externalPort + " " + c.mapping.internalClient;
        EXPECT_EQ(c.owner, OwnerOf(c.mapping, listed, thisMachine)) << name;
        EXPECT_EQ(c.row, ListedRowOf(c.mapping, listed)) << name;
    }
}

TEST(RouterTablePaging, AFullPageGoesOnPastItsHighestPortAndTheLastPageOrPortEndsIt)
{
    std::vector<RouterMapping> page = { Mapping("TCP", "5000", "", ""), Mapping("TCP", "80", "", ""),
                                        Mapping("TCP", "443", "", "") };
    EXPECT_EQ(0u, NextPageStart(page, 4)) << "fewer than asked: the span is done";
    EXPECT_EQ(5001u, NextPageStart(page, 3)) << "from the highest port, whatever the order";
    page.push_back(Mapping("TCP", "65535", "", ""));
    EXPECT_EQ(0u, NextPageStart(page, 4)) << "no port after the last";
    EXPECT_EQ(0u, NextPageStart({}, 1000));
}

// A listing as the library parses it, linked in the order given.
struct Listing {
    std::vector<PortMapping> entries;

    void Add(const char* protocol, unsigned short externalPort, size_t copies = 1)
    {
        PortMapping entry = {};
        std::strcpy(entry.protocol, protocol);
        std::strcpy(entry.remoteHost, "203.0.113.9");
        std::strcpy(entry.internalClient, "198.18.0.2");
        std::strcpy(entry.description, "\xe7\xbd\x91");  // UTF-8, as the router sends it
        entry.externalPort = externalPort;
        entry.internalPort = 80;
        entry.leaseTime = 3600;
        entries.insert(entries.end(), copies, entry);
    }
    const PortMapping* Head()
    {
        for (size_t i = 0; i + 1 < entries.size(); ++i)
            entries[i].l_next = &entries[i + 1];
        return entries.empty() ? nullptr : &entries.front();
    }
};

TEST(RouterTableListing, TakenWholeOnlyWhenEveryEntryIsOfTheSpanAskedAndNoMoreThanAPage)
{
    Listing listing;
    listing.Add("TCP", 8080);
    listing.Add("TCP", 1000);
    std::vector<RouterMapping> page = { Mapping("UDP", "53", "198.18.0.2", "53") };
    ASSERT_TRUE(TakeListedMappings(listing.Head(), "TCP", 1000, 8080, &page));
    ASSERT_EQ(3u, page.size()) << "appended";
    const RouterMapping& first = page[1];
    EXPECT_EQ("TCP 8080 203.0.113.9 198.18.0.2 80 \xe7\xbd\x91",
              first.protocol + " " + first.externalPort + " " + first.remoteHost + " " + first.internalClient + " "
                  + first.internalPort + " " + first.description);
    EXPECT_EQ(3600u, first.leaseLeft);
    EXPECT_TRUE(TakeListedMappings(nullptr, "TCP", 1, 65535, &page));

    const struct {
        const char* protocol;
        unsigned short port;
        const char* why;
    } distrusted[] = { { "UDP", 2000, "another protocol" }, { "tcp", 2000, "the protocol as another writes it" },
                       { "TCP", 999, "before the span" }, { "TCP", 8081, "past the span" } };
    for (const auto& d : distrusted) {
        Listing other = listing;
        other.Add(d.protocol, d.port);
        page.clear();
        EXPECT_FALSE(TakeListedMappings(other.Head(), "TCP", 1000, 8080, &page)) << d.why;
        EXPECT_TRUE(page.empty()) << d.why;
    }

    Listing full;
    full.Add("TCP", 5000, kTablePageSize);
    EXPECT_TRUE(TakeListedMappings(full.Head(), "TCP", 1, 65535, &page));
    full.Add("TCP", 5001);
    page.clear();
    EXPECT_FALSE(TakeListedMappings(full.Head(), "TCP", 1, 65535, &page)) << "more than a page asks for";
    EXPECT_TRUE(page.empty());
}

}
