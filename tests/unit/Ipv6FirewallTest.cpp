#include "../../gateway/ipv6/Ipv6Firewall.h"
#include "../../gateway/ipv6/Ipv6Pinholes.h"
#include "../../gateway/Notices.h"
#include "../../gateway/upnp/GatewayRequests.h"
#include <gtest/gtest.h>

// Found by the vectors' comparison where PinholeKey lives.
bool operator==(const PinholeKey& a, const PinholeKey& b)
{
    return !(a < b) && !(b < a);
}

namespace {

const char* kLan = "198.18.0.2";
const char* kOld = "2001:db8:1::2";
const char* kNew = "2001:db8:1::7";

bool IsGlobal(const char* text)
{
    in6_addr address = {};
    EXPECT_EQ(1, ::inet_pton(AF_INET6, text, &address)) << text;
    return IsGlobalIpv6Unicast(address);
}

TEST(Ipv6Address, OnlyGlobalUnicastCountsAndTheDocumentationPrefixIsGlobal)
{
    for (const char* global : { "2001:db8:1::2", "2a00:1450::1", "3fff::1", "64:ff9b::c000:221" })
        EXPECT_TRUE(IsGlobal(global)) << global;
    for (const char* local : { "::", "::1", "fe80::1", "febf::1", "fec0::1", "fc00::1", "fd12:3456::1", "ff02::c",
                               "::ffff:198.18.0.2" })
        EXPECT_FALSE(IsGlobal(local)) << local;
}

TEST(Ipv6Address, HostOfAnIpv6UrlWithItsZoneDecoded)
{
    EXPECT_EQ("2001:db8:1::1", Ipv6HostFromUrl("http://[2001:db8:1::1]:5000/ctl/IP6FCtl"));
    EXPECT_EQ("fe80::1%4", Ipv6HostFromUrl("http://[fe80::1%254]/ctl"));
    EXPECT_EQ("", Ipv6HostFromUrl("http://198.18.0.1:5000/ctl/IP6FCtl"));
    EXPECT_EQ("", Ipv6HostFromUrl("http://[2001:db8:1::1/ctl"));
    EXPECT_EQ("", Ipv6HostFromUrl("[2001:db8:1::1]"));
}

std::vector<PinholeKey> Keys(const std::vector<PinholeStep>& steps)
{
    std::vector<PinholeKey> keys;
    for (const PinholeStep& step : steps)
        keys.push_back(step.key);
    return keys;
}

TEST(PinholePlan, OnlyThisMachinesRowsWithValidPortsGetOne)
{
    std::vector<MappingEntry> rows = { { "TCP", "080", "8080", kLan, "" },      { "UDP", "53", "53", "198.18.0.5", "" },
                                       { "UDP", "9000", "9000", kLan, "" },     { "TCP", "0", "81", kLan, "" },
                                       { "TCP", "70000", "82", kLan, "" } };
    std::vector<PinholeKey> expected = { { "TCP", 80 }, { "UDP", 9000 } };
    EXPECT_EQ(expected, PinholeRows(rows, kLan));
}

TEST(PinholePlan, KeepsAddsMovesToANewAddressAndDeletesRowsGone)
{
    PinholeRecord open = { { { "TCP", 80 }, { "1", kOld } }, { { "UDP", 53 }, { "2", kOld } } };
    // Two rows that differ in their external port share the pinhole.
    std::vector<PinholeKey> wanted = { { "TCP", 80 }, { "TCP", 443 }, { "TCP", 80 } };

    std::vector<PinholeStep> same = PlanPinholes(open, wanted, kOld);
    std::vector<PinholeKey> order = { { "TCP", 80 }, { "TCP", 443 }, { "UDP", 53 } };
    ASSERT_EQ(order, Keys(same));
    EXPECT_EQ(PinholeAction::Update, same[0].action);
    EXPECT_EQ("1", same[0].held.uniqueId);
    EXPECT_EQ(PinholeAction::Add, same[1].action);
    EXPECT_EQ(PinholeAction::Delete, same[2].action);
    EXPECT_EQ("2", same[2].held.uniqueId);

    std::vector<PinholeStep> moved = PlanPinholes(open, wanted, kNew);
    ASSERT_EQ(order, Keys(moved));
    EXPECT_EQ(PinholeAction::Move, moved[0].action);
    EXPECT_EQ(kOld, moved[0].held.address);
}

TEST(PinholeRows, ARemovedRowClosesItsPinholeOnlyWhenNoRowLeftNeedsIt)
{
    const MappingEntry tcp80 = { "TCP", "80", "80", kLan, "" }, tcp8080 = { "TCP", "80", "8080", kLan, "" },
                       udp53 = { "UDP", "53", "53", kLan, "" };
    const std::vector<MappingEntry> listed = { tcp80, tcp8080, udp53 };
    EXPECT_TRUE(RowsToClose({ tcp8080 }, listed, kLan).empty()) << "TCP 80 still serves the first row";
    EXPECT_EQ(std::vector<MappingEntry>{ udp53 }, RowsToClose({ tcp8080, udp53 }, listed, kLan));
    EXPECT_EQ(listed, RowsToClose(listed, listed, kLan)) << "Stop closes them all";
}

// The router's side: scripted results, each call written down.
class CFakeFirewall : public IPinholeRequests {
public:
    int Add(const PinholeKey& key, const std::string& address, std::string* uniqueId) override
    {
        calls.push_back("Add " + key.protocol + " " + std::to_string(key.port) + " " + address);
        *uniqueId = std::to_string(++lastId);
        return Answer();
    }
    int Update(const std::string& uniqueId) override { return Log("Update " + uniqueId); }
    int Delete(const std::string& uniqueId) override { return Log("Delete " + uniqueId); }

    std::vector<std::string> calls;
    std::vector<int> answers;  // in call order; 0 once they run out
    int lastId = 0;

private:
    int Log(const std::string& call)
    {
        calls.push_back(call);
        return Answer();
    }
    int Answer()
    {
        if (answers.empty())
            return 0;
        int answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
};

class PinholeKeeper : public ::testing::Test {
protected:
    PinholeKeeper() : firewall(new CFakeFirewall), keeper(std::unique_ptr<IPinholeRequests>(firewall)) {}

    // Runs over one row of this machine, TCP port 80; the calls it made.
    std::vector<std::string> RunOnce(const std::string& address, PinholeReport* report = nullptr)
    {
        firewall->calls.clear();
        PinholeReport made = keeper.Run({ { "TCP", "80", "8080", kLan, "" } }, kLan, address);
        if (report)
            *report = made;
        return firewall->calls;
    }

    CFakeFirewall* firewall;
    CPinholeKeeper keeper;
};

TEST_F(PinholeKeeper, AnAddressChangeMovesThePinholeToTheNewAddress)
{
    PinholeReport report;
    EXPECT_EQ(std::vector<std::string>{ "Add TCP 80 2001:db8:1::2" }, RunOnce(kOld, &report));
    EXPECT_EQ(std::vector<std::string>{ "IPv6防火墙已放行 [2001:db8:1::2]:80 协议:TCP\n" }, report.lines);
    EXPECT_EQ(std::vector<std::string>{ "Update 1" }, RunOnce(kOld));
    EXPECT_EQ((std::vector<std::string>{ "Delete 1", "Add TCP 80 2001:db8:1::7" }), RunOnce(kNew));
    EXPECT_EQ("2", keeper.Held().at({ "TCP", 80 }).uniqueId);
    EXPECT_EQ(kNew, keeper.Held().at({ "TCP", 80 }).address);
}

TEST_F(PinholeKeeper, AnIdTheRouterNoLongerKnowsIsOpenedAgain)
{
    RunOnce(kOld);
    // 704 is the service's answer, 402 miniupnpd's.
    for (int unknown : { 704, 402 }) {
        firewall->answers = { unknown };
        PinholeReport report;
        std::string id = keeper.Held().at({ "TCP", 80 }).uniqueId;
        EXPECT_EQ((std::vector<std::string>{ "Update " + id, "Add TCP 80 2001:db8:1::2" }), RunOnce(kOld, &report));
        EXPECT_EQ(1u, report.lines.size());
        EXPECT_EQ(std::to_string(firewall->lastId), keeper.Held().at({ "TCP", 80 }).uniqueId);
    }
    // Any other refusal keeps the ID for the next run.
    firewall->answers = { 501 };
    EXPECT_EQ(std::vector<std::string>{ "Update 3" }, RunOnce(kOld));
    EXPECT_EQ("3", keeper.Held().at({ "TCP", 80 }).uniqueId);
}

TEST_F(PinholeKeeper, ARefusedAddIsLoggedAndTriedAgainAndAnUnreachedRouterEndsTheRun)
{
    firewall->answers = { 606 };
    PinholeReport report;
    RunOnce(kOld, &report);
    EXPECT_EQ(std::vector<std::string>{ "AddPinhole([2001:db8:1::2]:80) 失败,错误代码 606 (Action not authorized)\n" },
              report.lines);
    EXPECT_TRUE(keeper.Held().empty());
    EXPECT_EQ(std::vector<std::string>{ "Add TCP 80 2001:db8:1::2" }, RunOnce(kOld));

    // Unreached, the old pinhole is kept: the new one is not asked for.
    firewall->answers = { kGatewayUnreachable };
    EXPECT_EQ(std::vector<std::string>{ "Delete 2" }, RunOnce(kNew, &report));
    EXPECT_TRUE(report.unreached);
    EXPECT_EQ(kOld, keeper.Held().at({ "TCP", 80 }).address);

    PinholeReport removal = keeper.Remove({ { "TCP", "80", "8081", kLan, "" } }, kLan);
    EXPECT_FALSE(removal.unreached);
    EXPECT_TRUE(keeper.Held().empty());

    // A renewal that does not reach the router ends the run: the next
    // pinhole is not asked for, each request waiting out its bound.
    std::vector<MappingEntry> two = { { "TCP", "80", "8080", kLan, "" }, { "UDP", "81", "8081", kLan, "" } };
    keeper.Run(two, kLan, kOld);
    firewall->calls.clear();
    firewall->answers = { kGatewayUnreachable };
    EXPECT_TRUE(keeper.Run(two, kLan, kOld).unreached);
    EXPECT_EQ(std::vector<std::string>{ "Update 3" }, firewall->calls);
    keeper.Remove(two, kLan);

    // An add that does not reach the router is no refusal.
    firewall->answers = { kGatewayUnreachable };
    RunOnce(kNew, &report);
    EXPECT_TRUE(report.unreached);
    EXPECT_TRUE(report.lines.empty());
}

TEST(Ipv6SearchBackoff, AFirewallNotFoundIsSoughtAgainAfterAMinuteThenDoublingToHalfAnHour)
{
    std::vector<DWORD> waits;
    for (DWORD wait = 0; waits.size() < 8;)
        waits.push_back(wait = Ipv6SearchBackoffMs(wait));
    EXPECT_EQ((std::vector<DWORD>{ 60000, 120000, 240000, 480000, 960000, 1800000, 1800000, 1800000 }), waits);
}

// The pinholes over a fake network: a firewall found while found is set, each
// search's requests recorded by the fake made last.
class Ipv6Pinholes : public ::testing::Test {
protected:
    Ipv6Pinholes() : pinholes(Network()), notices([](const std::string&) {}) {}

    Ipv6Network Network()
    {
        Ipv6Network network;
        network.searchFirewall = [this](const std::string& lanAddress, const std::atomic<bool>&) {
            searchedFrom.push_back(lanAddress);
            return found ? firewall : nullptr;
        };
        network.makeRequests = [this](const ServiceTarget&) {
            latest = new CFakeFirewall;
            return std::unique_ptr<IPinholeRequests>(latest);
        };
        network.localAddressTowards = [](const std::string&) { return std::string(kOld); };
        network.hasGlobalAddress = [] { return true; };
        return network;
    }

    std::shared_ptr<Ipv6Firewall> firewall =
        std::make_shared<Ipv6Firewall>(Ipv6Firewall{ { "http://[2001:db8:1::1]:5000/ctl", "fw" }, kOld });
    bool found = true;
    // The LAN address each search was to go out from.
    std::vector<std::string> searchedFrom;
    CFakeFirewall* latest = nullptr;
    CIpv6Pinholes pinholes;
    CNotices notices;
    std::atomic<bool> stop{ false };
};

TEST_F(Ipv6Pinholes, WhatWasOpenedStaysKnownWhenTheRouterIsFoundAgainWithOrWithoutItsFirewall)
{
    const std::vector<MappingEntry> rows = { { "TCP", "80", "8080", kLan, "" } };

    EXPECT_TRUE(pinholes.Find(kLan, stop, notices));
    EXPECT_EQ(INFINITE, pinholes.SearchDueMs());
    pinholes.Run(rows, notices);
    // Lost and found again: the pinhole opened before is renewed, not opened twice.
    pinholes.Find(kLan, stop, notices);
    pinholes.Run(rows, notices);
    EXPECT_EQ(std::vector<std::string>{ "Update 1" }, latest->calls);

    // Found again without its firewall: nothing is renewed, the firewall is
    // sought again in a minute, and Stop still closes what is open.
    found = false;
    pinholes.Find(kLan, stop, notices);
    EXPECT_GT(pinholes.SearchDueMs(), 50000u);
    EXPECT_LE(pinholes.SearchDueMs(), 60000u);
    latest->calls.clear();
    pinholes.Run(rows, notices);
    EXPECT_TRUE(latest->calls.empty());
    pinholes.Remove(rows, true, notices);
    EXPECT_EQ(std::vector<std::string>{ "Delete 1" }, latest->calls);
    found = true;
    pinholes.SearchAgain(stop, notices);
    EXPECT_EQ(INFINITE, pinholes.SearchDueMs());
    EXPECT_EQ(std::vector<std::string>(4, kLan), searchedFrom) << "each search from the router's adapter, the later one too";
}

TEST(Ipv6SearchInterface, TheSearchGoesOutOfTheAdapterTheRouterWasFoundOn)
{
    NetworkAdapter vpn, lan, v4only;
    vpn.address = 0x0A080006;     // 10.8.0.6
    vpn.ipv6IfIndex = 7;
    lan.address = 0xC0A80114;     // 192.168.1.20
    lan.ipv6IfIndex = 12;
    v4only.address = 0xC0A80214;  // 192.168.2.20
    const std::vector<NetworkAdapter> adapters = { vpn, lan, v4only };
    EXPECT_EQ("12", Ipv6SearchInterface(adapters, "192.168.1.20"));
    EXPECT_EQ("7", Ipv6SearchInterface(adapters, "10.8.0.6"));
    EXPECT_EQ("", Ipv6SearchInterface(adapters, "192.168.2.20")) << "IPv6 off on it: where Windows sends it";
    EXPECT_EQ("", Ipv6SearchInterface(adapters, "192.168.1.21"));
    EXPECT_EQ("", Ipv6SearchInterface(adapters, ""));
}

TEST_F(Ipv6Pinholes, ASharedPinholeStaysWhileARowNeedsItAndClosesWithTheLastOneLeft)
{
    // Two external ports for one local service: one pinhole.
    const std::vector<MappingEntry> rows = { { "TCP", "8080", "80", kLan, "" }, { "TCP", "8080", "8000", kLan, "" } };
    pinholes.Find(kLan, stop, notices);
    pinholes.Run(rows, notices);
    latest->calls.clear();
    pinholes.Remove({ rows[0] }, true, notices);
    EXPECT_TRUE(latest->calls.empty()) << "the other row still needs it";
    // Stop before the next run: the deleted row no longer counts as staying.
    pinholes.Remove({ rows[1] }, true, notices);
    EXPECT_EQ(std::vector<std::string>{ "Delete 1" }, latest->calls);
}

}
