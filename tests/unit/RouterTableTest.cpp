// The router's whole table: whose each mapping is, and how its pages follow.
#include "../../gateway/RouterTable.h"
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

}
