// The gateway worker's pure rules: which jobs give way, when to search again,
// which results mean the router is gone, and whose mapping a port holds.
#include "../../gateway/GatewayRequests.h"
#include "../../gateway/GatewayWorker.h"
#include "../../gateway/JobQueue.h"
#include <gtest/gtest.h>
#include <upnpcommands.h>

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
    while (queue.Pop(&job))
        order.push_back(std::string(names[job.kind]) + " " + job.rows[0].externalPort);
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

TEST(JobQueue, CloseSupersedesRunsAndStopsAndTakesNothingAfterIt)
{
    CJobQueue queue;
    queue.Push(Job(GatewayJob::Stop, "1"));
    queue.Push(Job(GatewayJob::Remove, "2"));
    queue.Push(Job(GatewayJob::Run, "3"));
    EXPECT_TRUE(queue.Push(Job(GatewayJob::Close, "4")));
    EXPECT_FALSE(queue.Push(Job(GatewayJob::Run, "5")));
    EXPECT_FALSE(queue.Push(Job(GatewayJob::Remove, "6")));
    EXPECT_EQ((std::vector<std::string>{ "remove 2", "close 4" }), Drain(queue));
    EXPECT_TRUE(queue.Empty());
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

TEST(GatewayLost, OnlyTransportFailuresMeanTheRouterIsGone)
{
    for (int result : { UPNPCOMMAND_UNKNOWN_ERROR, UPNPCOMMAND_HTTP_ERROR, UPNPCOMMAND_INVALID_RESPONSE,
                        kGatewayUnreachable })
        EXPECT_TRUE(MeansGatewayLost(result)) << result;
    // Answers of a router that is there, and failures of our own.
    for (int result : { 0, 402, 606, 714, 718, 725, UPNPCOMMAND_INVALID_ARGS, UPNPCOMMAND_MEM_ALLOC_ERROR })
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
