// The gateway worker's pure rules: which jobs give way, when to search again,
// which results mean the router is gone, and whose mapping a port holds.
#include "../../gateway/BoundedCall.h"
#include "../../gateway/GatewayRequests.h"
#include "../../gateway/GatewayWorker.h"
#include "../../gateway/JobQueue.h"
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
    static const char* names[] = { "run", "stop", "remove", "close" };
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
