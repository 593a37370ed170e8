// Packet job list. The test thread plays the receive loop and, until the last phase, the only
// worker.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/address.h"
#include "common/counters.h"
#include "common/memory.h"
#include "common/shutdown.h"
#include "fixtures.h"
#include "process.h"
#include "sched/joblist.h"

namespace {

using namespace testsupport;

// Queues one datagram of `size` bytes of 'x' from port `size`.
void Queue(size_t size) {
    const std::vector<char> datagram(size, 'x');
    const sockaddr_in from{AF_INET, htons(static_cast<uint16_t>(size)), {}, {}};
    AddJob(datagram.data(), static_cast<long>(size), reinterpret_cast<const sockaddr*>(&from));
}

void Publish(const std::vector<size_t>& sizes) {
    for (size_t size : sizes) Queue(size);
    PublishJobs();
}

// The jobs' sizes, each job checked to hold its datagram and sender.
std::vector<int> Sizes(const JobChain& jobs) {
    std::vector<int> sizes;
    for (const JobItem* job = jobs.first; job != nullptr; job = job->next) {
        EXPECT_EQ(std::string(job->packet, static_cast<size_t>(job->packetsize)),
                  std::string(static_cast<size_t>(job->packetsize), 'x'));
        EXPECT_EQ(SenderPort(reinterpret_cast<const sockaddr*>(&job->from)), job->packetsize);
        sizes.push_back(job->packetsize);
    }
    return sizes;
}

unsigned Blocks() { return GetMallocCounts() - GetFreeCounts(); }

// A worker hands back its last jobs only as it takes more, or once shutdown has begun: the
// chains held by the first two phases are handed back by the last one.
void OldestFirstBoundedReusedTrimmedAndDrainedAtShutdown() {
    UseSwitches({"-i", "4"});
    SetThreadCount(1);
    Queue(30);
    Queue(20000);  // longer than a job holds inline: a block the job keeps
    EXPECT_EQ(RoomForJobs(), 4);  // kept aside until published
    PublishJobs();
    Publish({40});
    EXPECT_EQ(RoomForJobs(), 1);
    JobChain first = TakeJobs({});
    EXPECT_EQ(Sizes(first), (std::vector<int>{30, 20000, 40}));
    Publish({50});
    EXPECT_FALSE(WaitForRoom());  // the backlog is full and nobody makes room: gives up
    const unsigned before = Blocks();
    first = TakeJobs(first);  // hands back three, takes the fourth
    EXPECT_EQ(Sizes(first), (std::vector<int>{50}));
    EXPECT_EQ(GetProcessedCount(), 3u);
    EXPECT_EQ(Blocks(), before);  // the long datagram's block stays, for the job's next one
    EXPECT_TRUE(WaitForRoom());
    EXPECT_EQ(RoomForJobs(), 3);
    Publish({60});  // a new job: none was free at the last publish
    Publish({70});  // a parsed one, taken at that publish
    EXPECT_EQ(Blocks(), before + 1);
    EXPECT_EQ(Sizes(first = TakeJobs(first)), (std::vector<int>{60, 70}));

    // A burst's jobs stay pooled until the maintainer finds the backlog gone; the pool and the
    // receive loop keep a receive batch each, so that the next burst starts without allocating.
    UseSwitches({});
    SetThreadCount(4);
    const unsigned idle = Blocks();
    Publish(std::vector<size_t>(1000, 24));
    ReclaimCompletedJobs();
    EXPECT_EQ(GetQueueCount(), 1002u);  // with the two the first phase holds
    JobChain second = TakeJobs({});
    EXPECT_EQ(second.count, 64);  // a quarter of the queue for each of four, 64 at the most
    for (int taken = second.count; taken < 1000; taken += second.count) second = TakeJobs(second);
    Publish({24});
    second = TakeJobs(second);
    ReclaimCompletedJobs();
    EXPECT_EQ(GetQueueCount(), 3u);
    EXPECT_LE(Blocks(), idle + 2 * kReceiveBatch + 3);

    // Idle workers sleep until jobs come; after the shutdown they still take every job queued
    // before it, then get an empty chain.
    SetThreadCount(2);
    std::atomic<int> parsed{0};
    auto worker = [&parsed] {
        JobChain jobs;
        while ((jobs = TakeJobs(jobs)).count > 0) parsed += jobs.count;
    };
    std::thread a(worker), b(worker);
    Publish(std::vector<size_t>(100, 24));
    EXPECT_TRUE(WaitUntil([&] { return parsed == 100; }));
    Publish(std::vector<size_t>(300, 24));
    StartShutdown();
    WakeDispatchThreads();
    a.join();
    b.join();
    EXPECT_EQ(parsed, 400);
    for (const JobChain& held : {first, second}) EXPECT_EQ(TakeJobs(held).count, 0);
}

// In a child process, as shutdown cannot be undone; its failures fail the exit status.
TEST(JobListDeathTest, OldestFirstBoundedReusedTrimmedAndDrainedAtShutdown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((OldestFirstBoundedReusedTrimmedAndDrainedAtShutdown(),
                 std::exit(::testing::Test::HasFailure() ? 1 : 0)),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
