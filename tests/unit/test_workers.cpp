// Workers and throttle: every datagram's records reach the storage queue exactly once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <map>
#include <thread>
#include <vector>

#include "v5datagram.h"
#include "common/counters.h"
#include "common/memory.h"
#include "listen/shutdown.h"
#include "sched/joblist.h"
#include "sched/registry.h"
#include "sched/wait.h"
#include "sched/workers.h"
#include "storage/queue.h"
#include "fixtures.h"
#include "process.h"

namespace {

using namespace testsupport;

// Datagram `sequence` carries 1 to 3 records, so each datagram's records can be counted.
size_t RecordsOf(uint32_t sequence) { return 1 + sequence % 3; }

void QueueDatagrams(uint32_t first, uint32_t count) {
    for (uint32_t sequence = first; sequence < first + count; ++sequence) {
        const auto bytes =
            v5::Encode({5, 0, 0, 0, sequence}, std::vector<v5::Record>(RecordsOf(sequence)));
        const sockaddr_in from{AF_INET, 0, {}, {}};
        AddJob(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()),
               reinterpret_cast<const sockaddr*>(&from));
    }
}

unsigned long held_before = 0, blocks_before = 0;

// As the listener does: registry, maintainer, then the workers.
std::vector<pthread_t> StartDispatch(int workers) {
    held_before = GetMallocTotal();
    blocks_before = GetMallocCounts() - GetFreeCounts();
    InitThreadList();
    SetThreadCount(workers);
    SetWaitTime(workers);
    std::vector<pthread_t> threads(static_cast<size_t>(workers) + 1);
    for (int i = -1; i < workers; ++i) {
        pthread_t& thread = threads[static_cast<size_t>(i + 1)];
        pthread_create(&thread, nullptr, i < 0 ? JobListMaintainer : ThreadWorker,
                       reinterpret_cast<void*>(static_cast<intptr_t>(i)));
        AddThread(thread, i < 0 ? kDispatcherThread : kWorkerThread, kThreadAlive, i);
    }
    return threads;
}

// Each datagram's records queued once; every job, copy and record released with its size.
void StopAndCheck(const std::vector<pthread_t>& threads, uint32_t datagrams) {
    StartShutdown();
    EXPECT_TRUE(WaitUntil([] { return AliveThreads() == 0; }, 60s));
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(GetProcessedCount(), datagrams);
    std::map<uint32_t, size_t> counts;
    for (const FlowItem& flow : testsupport::TakeQueuedFlows()) ++counts[flow.sequence];
    EXPECT_EQ(counts.size(), datagrams);
    for (const auto& [sequence, records] : counts) EXPECT_EQ(records, RecordsOf(sequence));
    EXPECT_EQ(GetMallocTotal(), held_before);
    EXPECT_EQ(GetMallocCounts() - GetFreeCounts(), blocks_before);
}

TEST(Throttle, PastTheLimitOfFiftyThousandTheFlagAlternates) {
    struct Case {
        uint32_t received, processed;
        std::vector<int> conditions, flags;
    } const cases[] = {
        {60000, 0, {0, 1, 0, 0}, {0, 1, 0, 0}},  // 0 clears and 1 sets whatever the backlog
        {50000, 0, {0, 1, 1, 1}, {0, 1, 1, 1}},
        {50001, 0, {0, 1, 1, 1, 1, 1}, {0, 1, 0, 1, 0, 1}},
        {0, 1, {0, 1, 1}, {0, 1, 1}},  // processed read ahead of received: no backlog
    };
    UseSwitches({});
    for (const Case& c : cases) {
        InitQueueCounters();
        for (uint32_t i = 0; i < c.received; ++i) IncrementReceived();
        for (uint32_t i = 0; i < c.processed; ++i) IncrementProcessed();
        std::vector<int> flags;
        for (int condition : c.conditions) flags.push_back((SetThrottle(condition), IsReceiving()));
        EXPECT_EQ(flags, c.flags) << c.received;
    }
}

// Four workers, the throttle raised most of the time and a second thread reclaiming as fast
// as it can: each datagram is parsed exactly once. Then the last datagrams leave the throttle
// raised: nothing calls SetThrottle any more, yet shutdown parses and reclaims them all.
void ParseManyThenShutDown() {
    UseSwitches({"-x", "-y", "-z", "-i", "100"});
    const auto threads = StartDispatch(4);
    std::atomic<bool> reclaiming{true};
    std::thread reclaimer([&reclaiming] {
        while (reclaiming) ReclaimCompletedJobs();
    });
    for (uint32_t s = 0; s < 80; ++s) {
        SetThrottle(1);
        QueueDatagrams(s * 50, 50);
        SetThrottle(0);
    }
    EXPECT_TRUE(WaitUntil([] { return GetProcessedCount() >= 4000; }, 60s));
    reclaiming = false;
    reclaimer.join();

    SetThrottle(1);
    const uint32_t written = GetStorageWrittenCount();
    QueueDatagrams(4000, 500);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(GetStorageWrittenCount(), written);  // held while reception has priority
    StopAndCheck(threads, 4500);
}

// In a child process, as shutdown cannot be undone; its failures fail the exit status.
TEST(Workers, ManyDatagramsParsedOnceWhileReclaimedAndNoneLostAtShutdown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((ParseManyThenShutDown(), std::exit(::testing::Test::HasFailure() ? 1 : 0)),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
