// The gateway worker's pure rules: which jobs give way, when to search again,
// which results mean the router is gone, and whose mapping a port holds.
#include "../../gateway/BoundedCall.h"
#include "../../gateway/upnp/GatewayRequests.h"
#include "../../gateway/GatewayWorker.h"
#include "../../gateway/JobQueue.h"
#include "../../gateway/LogLines.h"
#include "../../gateway/upnp/Lease.h"
#include "../../gateway/upnp/UpnpRouter.h"
#include "../../gateway/WorkerInbox.h"
#include <gtest/gtest.h>
#include <upnpcommands.h>
#include <memory>

namespace {

GatewayJob Job(GatewayJob::Kind kind, const char* externalPort = "80", long generation = 1)
{
    GatewayJob job;
    job.kind = kind;
    job.generation = generation;
    job.rows.push_back({ "TCP", "80", externalPort, "198.18.0.2", "" });
    return job;
}

std::vector<std::string> Drain(CJobQueue& queue)
{
    static const char* names[] = { "run", "stop", "remove", "close", "allow", "forget" };
    std::vector<std::string> order;
    GatewayJob job;
    while (queue.Pop(&job)) {
        std::string ports;
        for (const MappingEntry& row : job.rows)
            ports += (ports.empty() ? "" : ",") + row.externalPort;
        order.push_back(std::string(names[job.kind]) + " " + ports);
    }
    return order;
}

TEST(JobQueue, RunsNeverPileUpAndTheNewestListWins)
{
    CJobQueue queue;
    queue.Push(Job(GatewayJob::Run, "1"));
    queue.Push(Job(GatewayJob::Remove, "2"));
    queue.Push(Job(GatewayJob::Run, "3"));
    EXPECT_EQ((std::vector<std::string>{ "remove 2", "run 3" }), Drain(queue));
}

TEST(JobQueue, StopDropsWaitingRunsButKeepsRemovals)
{
    CJobQueue queue;
    queue.Push(Job(GatewayJob::Run, "1"));
    queue.Push(Job(GatewayJob::Remove, "2"));
    queue.Push(Job(GatewayJob::Stop, "3"));
    queue.Push(Job(GatewayJob::Run, "4"));
    EXPECT_EQ((std::vector<std::string>{ "remove 2", "stop 3", "run 4" }), Drain(queue));
}

TEST(JobQueue, CloseSupersedesEveryWaitingJobButKeepsTheRowsOfStopsAndRemovalsAndTakesNothingAfterIt)
{
    CJobQueue queue;
    queue.Push(Job(GatewayJob::Stop, "1"));
    queue.Push(Job(GatewayJob::Remove, "2"));
    queue.Push(Job(GatewayJob::Run, "3"));
    // The firewall's jobs leave no mapping behind: their rows are not the close's.
    queue.Push(Job(GatewayJob::AllowInFirewall, "10"));
    queue.Push(Job(GatewayJob::ForgetFirewallRules, "11"));
    GatewayJob close = Job(GatewayJob::Close, "4");
    close.rows.push_back(Job(GatewayJob::Stop, "1").rows[0]);
    close.rows.push_back(Job(GatewayJob::Stop, "5").rows[0]);
    EXPECT_TRUE(queue.Push(close));
    EXPECT_FALSE(queue.Push(Job(GatewayJob::Run, "6")));
    EXPECT_FALSE(queue.Push(Job(GatewayJob::Remove, "7")));
    EXPECT_EQ(4u, queue.CloseRows().size());
    EXPECT_EQ((std::vector<std::string>{ "close 4,1,5,2" }), Drain(queue))
        << "a row stopped or deleted but not yet removed still leaves the router, once";

    CJobQueue other;
    other.Push(Job(GatewayJob::Stop, "8"));
    other.Push(Job(GatewayJob::Close, "9"));
    EXPECT_EQ((std::vector<std::string>{ "close 9,8" }), Drain(other));
}

TEST(CloseBound, GivesUpOnASilentRouterNotOnASlowOneAndAlwaysAtTheCap)
{
    // Begun just before the tick count wraps.
    const DWORD began = 0xFFFFF000;
    const CloseBound bound = { began, 3500, 11500 };
    // A router that answers a removal every two seconds is never given up on for silence.
    for (DWORD elapsed = 0; elapsed < 11500; elapsed += 250)
        EXPECT_FALSE(bound.Exceeded(began + elapsed - elapsed % 2000, began + elapsed)) << elapsed;
    EXPECT_TRUE(bound.Exceeded(began + 11000, began + 11500)) << "the cap holds however it answers";
    // One that falls silent, from its last answer on.
    EXPECT_FALSE(bound.Exceeded(began + 5000, began + 8499));
    EXPECT_TRUE(bound.Exceeded(began + 5000, began + 8500));
    EXPECT_FALSE(bound.Exceeded(began + 5000, began + 8999, 500)) << "the window's grace";
    EXPECT_TRUE(bound.Exceeded(began + 5000, began + 9000, 500));
}

TEST(WorkerInbox, TheClosesOpenPinholesAreNamedByTheWindowOrByTheWorkerNeverBoth)
{
    GatewayJob close = Job(GatewayJob::Close);
    CWorkerInbox first;
    first.SetOpenPinholeLines({ "open 80" });
    first.PushClose(close);
    EXPECT_TRUE(first.ClaimClosePinholes()) << "the worker closes them and names what stays";
    CloseLeft left = first.TakeCloseLeft();
    EXPECT_TRUE(left.rows.size() == 1 && left.pinholeLines.empty());

    // The window gives up first: the lines go with the rows, whenever the worker gets to its claim.
    CWorkerInbox givenUp;
    givenUp.SetOpenPinholeLines({ "open 80" });
    givenUp.PushClose(close);
    left = givenUp.TakeCloseLeft();
    EXPECT_EQ(close.rows, left.rows);
    EXPECT_EQ(std::vector<std::string>{ "open 80" }, left.pinholeLines);
    givenUp.SetOpenPinholeLines({ "open 81" });
    EXPECT_FALSE(givenUp.ClaimClosePinholes()) << "the window named them";
    EXPECT_TRUE(givenUp.TakeCloseLeft().pinholeLines.empty()) << "named once";
}

TEST(BoundedCall, GivesUpInTimeAndTheLateCallFinishesOnItsOwn)
{
    auto result = std::make_shared<int>(0);
    EXPECT_TRUE(RunBounded([result] { *result = 1; }, 2000));
    EXPECT_EQ(1, *result);

    auto late = std::make_shared<int>(0);
    DWORD started = ::GetTickCount();
    EXPECT_FALSE(RunBounded([late] { ::Sleep(3000); *late = 2; }, 300));
    EXPECT_LT(::GetTickCount() - started, 2000u);
    ::Sleep(3500);
    EXPECT_EQ(2, *late) << "the call went on with what it owns";
}

// A wake missed between the two threads shows as a call that waits out its
// bound, or is given up on, though it had ended.
TEST(BoundedCall, CallsBackToBackAreEachAnsweredAtOnceAndInTurn)
{
    auto count = std::make_shared<int>(0);
    for (int i = 0; i < 2000; ++i) {
        ULONGLONG started = ::GetTickCount64();
        ASSERT_TRUE(RunBounded([count, i] {
            if (i % 3 == 0)
                ::Sleep(0);
            ++*count;
        }, 2000)) << i;
        ASSERT_LT(::GetTickCount64() - started, 1000u) << i;
        ASSERT_EQ(i + 1, *count);
    }
}

TEST(SearchRetry, QuickForFiveMinutesThenAtMostAMinuteAndNeverSpinning)
{
    for (DWORD since : { 0u, 1000u, 60000u, 299999u }) {
        EXPECT_LE(SearchRetryDelayMs(since), 10000u) << since;
        EXPECT_GE(SearchRetryDelayMs(since), 1000u) << since;
    }
    for (DWORD since : { 300000u, 3600000u, 0xFFFFFFF0u }) {
        EXPECT_LE(SearchRetryDelayMs(since), 60000u) << since;
        EXPECT_GT(SearchRetryDelayMs(since), SearchRetryDelayMs(0)) << since;
    }
}

TEST(GatewayLost, OnlyNoConnectionOrNoReplyMeansTheRouterIsGone)
{
    EXPECT_TRUE(MeansGatewayLost(UPNPCOMMAND_HTTP_ERROR));
    EXPECT_TRUE(MeansGatewayLost(kGatewayUnreachable));
    // Answers of a router that is there, odd ones included, and failures of our own.
    for (int result : { 0, 402, 606, 714, 718, 725, UPNPCOMMAND_UNKNOWN_ERROR, UPNPCOMMAND_INVALID_RESPONSE,
                        UPNPCOMMAND_INVALID_ARGS, UPNPCOMMAND_MEM_ALLOC_ERROR })
        EXPECT_FALSE(MeansGatewayLost(result)) << result;
}

TEST(HeldElsewhere, AnotherHostOrAnotherPortHoldsItOursDoesNot)
{
    MappingEntry row = { "TCP", "8080", "18080", "198.18.0.2", "" };
    EXPECT_FALSE(HeldElsewhere(row, { "198.18.0.2", "8080" }));
    EXPECT_FALSE(HeldElsewhere(row, { "198.018.0.2", "08080" })) << "the same address and port, written otherwise";
    EXPECT_TRUE(HeldElsewhere(row, { "198.18.0.3", "8080" }));
    EXPECT_TRUE(HeldElsewhere(row, { "198.18.0.2", "8081" }));
    EXPECT_TRUE(HeldElsewhere(row, { "", "" })) << "a router that names no holder";
    EXPECT_EQ("外网端口 18080 协议 TCP 已被 198.18.0.3:9000 占用，此映射未生效。",
              FormatHeldElsewhere(row, { "198.18.0.3", "9000" }));
}

}

namespace {

TEST(Lease, RenewedWhenLessThanThreeIntervalsAndAMinuteAreLeftNeverWhenPermanent)
{
    EXPECT_TRUE(IsDueForRenewal(1, 10));
    EXPECT_TRUE(IsDueForRenewal(89, 10));
    EXPECT_FALSE(IsDueForRenewal(90, 10));
    EXPECT_FALSE(IsDueForRenewal(3597, 10));
    EXPECT_FALSE(IsDueForRenewal(0, 10)) << "permanent";
    EXPECT_FALSE(IsDueForRenewal(0, 2147483647));
    EXPECT_TRUE(IsDueForRenewal(4294967295u, 2147483647)) << "no overflow";

    EXPECT_EQ(3600u, LeaseForInterval(10));
    EXPECT_EQ(3600u, LeaseForInterval(1770));
    EXPECT_EQ(4060u, LeaseForInterval(2000)) << "outlasts two refreshes";
    EXPECT_EQ(604800u, LeaseForInterval(302370));
    EXPECT_EQ(0u, LeaseForInterval(302371)) << "beyond a week only a permanent mapping outlasts the interval";
    EXPECT_EQ(0u, LeaseForInterval(2147483647));
    // PCP and NAT-PMP delete with 0: they ask for the long lease instead.
    EXPECT_EQ(3600u, LifetimeForInterval(10));
    EXPECT_EQ(604802u, LifetimeForInterval(302371));
    EXPECT_EQ(4294967295u, LifetimeForInterval(2147483647));
}

TEST(Lease, RouterThatRefusesFiniteLeasesGetsPermanentOnesUntilForgotten)
{
    CLeasePolicy policy;
    EXPECT_FALSE(policy.TakeAddResult(0));
    EXPECT_FALSE(policy.TakeAddResult(718));
    EXPECT_EQ(3600u, policy.LeaseFor(10));
    EXPECT_TRUE(policy.TakeAddResult(725)) << "add again with lease 0";
    EXPECT_EQ(0u, policy.LeaseFor(10));
    EXPECT_FALSE(policy.TakeAddResult(725)) << "a refusal of lease 0 is the router's last word";
    policy.Forget();
    EXPECT_EQ(3600u, policy.LeaseFor(10));
}

}

namespace {

// The router's answer to a lookup of the entry alone, as GetSpecificPortMappingEntry gives it.
MappingLookup AskedAlone(const std::vector<std::pair<std::string, MappingHolder>>& routerTable, const MappingEntry& row)
{
    MappingLookup lookup;
    for (const auto& mapping : routerTable) {
        if (mapping.first == row.protocol + " " + std::to_string(std::atoi(row.externalPort.c_str()))) {
            lookup.result = 0;
            lookup.holder = mapping.second;
        }
    }
    return lookup;
}

TEST(DecideRow, TheTableAndTheLookupsOfSingleRowsLeadToTheSameAction)
{
    const std::vector<std::pair<std::string, MappingHolder>> routerTable = {
        { "TCP 8080", { "198.18.0.2", "80", 3500 } },  // ours
        { "TCP 8081", { "198.18.0.2", "81", 30 } },    // ours, running low
        { "UDP 8082", { "198.18.0.3", "82", 0 } },     // another host's
        { "TCP 8083", { "198.18.0.2", "9083", 0 } },   // this host's, another port
        { "TCP 8084", { "198.18.0.2", "84", 0 } },     // ours, permanent
    };
    MappingTable table;
    for (const auto& mapping : routerTable) {
        std::string protocol = mapping.first.substr(0, 3);
        table.entries[{ protocol, static_cast<unsigned>(std::atoi(mapping.first.c_str() + 4)) }] = mapping.second;
    }
    const std::pair<MappingEntry, RowAction> rows[] = {
        { { "TCP", "80", "8080", "198.18.0.2", "" }, RowAction::Live },
        { { "TCP", "080", "08080", "198.18.0.2", "" }, RowAction::Live },
        { { "TCP", "81", "8081", "198.18.0.2", "" }, RowAction::Renew },
        { { "UDP", "82", "8082", "198.18.0.2", "" }, RowAction::Held },
        { { "TCP", "83", "8083", "198.18.0.2", "" }, RowAction::Held },
        { { "TCP", "84", "8084", "198.18.0.2", "" }, RowAction::Live },
        { { "UDP", "80", "8080", "198.18.0.2", "" }, RowAction::Add },
        { { "TCP", "85", "8085", "198.18.0.2", "" }, RowAction::Add },
    };
    for (const auto& row : rows) {
        const MappingEntry& entry = row.first;
        EXPECT_EQ(row.second, DecideRow(entry, LookUpInTable(table, entry), 10)) << entry.protocol << entry.externalPort;
        EXPECT_EQ(row.second, DecideRow(entry, AskedAlone(routerTable, entry), 10)) << entry.protocol << entry.externalPort;
    }
    MappingLookup silent;
    silent.result = kGatewayUnreachable;
    EXPECT_EQ(RowAction::Unreached, DecideRow(rows[0].first, silent, 10));
}

}
