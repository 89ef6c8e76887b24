#pragma once
// The router's whole table, as the user sees it in its own window: every
// mapping, whoever made it, so that stale ones can be removed and another
// host's taken into the list.
#include "../mappings/MappingEntry.h"
#include <string>
#include <vector>

// One mapping as the router lists it.
struct RouterMapping {
    std::string protocol;
    std::string externalPort;
    std::string remoteHost;  // "" for any
    std::string internalClient;
    std::string internalPort;
    std::string description;
    unsigned leaseLeft = 0;  // seconds; 0 for a permanent mapping
};

// A read of the table: the mappings read, and how the read ended.
struct TableRead {
    enum Outcome {
        Whole,           // every mapping
        CutAtLimit,      // the first kTableReadLimit, by index
        CutAtPageLimit,  // the first kTablePagedReadLimit of each protocol, by port
        Interrupted,     // a Stop or the close came first; the mappings read before stay
        OwnOnly,     // the router cannot list its table: this program's own mappings
        Lost,        // the router stopped answering; the mappings read before stay
        Failed       // the router refused a read (code)
    };
    std::vector<RouterMapping> mappings;
    Outcome outcome = Whole;
    int code = 0;
};

// UPnP error 714, the gateway holds no such mapping: table results are UPnP's
// codes whichever way the router is reached.
const int kNoSuchEntry = 714;

// A router listed by index is read no further than this.
const unsigned kTableReadLimit = 1000;
// Nor one listed a page at a time, per protocol: a router whose pages never
// end would otherwise hold the worker and fill the memory.
const unsigned kTablePagedReadLimit = 10000;

// Mappings a table read asks for at most; miniupnpd lists no more than a thousand.
const size_t kTablePageSize = 1000;

// IGD version 2 lists a span of ports at most a page at a time: the first
// port of the next page after one that came back full, 0 when the span is done.
unsigned NextPageStart(const std::vector<RouterMapping>& page, size_t pageSize);

// One entry of the library's parsed listing (PortListing.h).
struct PortMapping;
// Appends the mappings of a listing of protocol over ports first to last,
// as the library parsed it, to *page; descriptions stay UTF-8. False when
// the listing cannot be trusted: an entry of another protocol or outside the
// span, or more than kTablePageSize entries, the most a listing is asked for
// and the most taken.
bool TakeListedMappings(const PortMapping* listed, const std::string& protocol, unsigned first, unsigned last,
                        std::vector<RouterMapping>* page);

// Whose a mapping is, as its own window says it.
enum class MappingOwner {
    Listed,      // a row of the list: same protocol, ports and internal address
    ThisHost,    // this machine's, not in the list
    OtherHost
};
MappingOwner OwnerOf(const RouterMapping& mapping, const std::vector<MappingEntry>& listed,
                     const std::vector<std::string>& thisMachine);
// The row of the list (numbered from 1) whose mapping it is, 0 when none.
int ListedRowOf(const RouterMapping& mapping, const std::vector<MappingEntry>& listed);
