// Workers, maintainer and throttle. The threaded scenarios run the real parser and storage queue
// in a child process each (the shutdown flag cannot be lowered again) and check that every
// datagram's records reach the storage queue exactly once and that every block is released.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "v5datagram.h"
#include "common/counters.h"
#include "common/memory.h"
#include "entry/settings.h"
#include "listen/shutdown.h"
#include "sched/joblist.h"
#include "sched/registry.h"
#include "sched/wait.h"
#include "sched/workers.h"
#include "storage/queue.h"
#include "fixtures.h"

namespace {

using std::chrono::steady_clock;

void Configure(std::vector<std::string> args) { testsupport::UseSwitches(std::move(args)); }

bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs a threaded scenario in a child process; its gtest failures fail the exit status.
void InChild(const std::function<void()>& scenario) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            scenario();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Datagram `sequence` carries 1 to 3 records, so each datagram's records can be counted.
int RecordsOf(uint32_t sequence) { return 1 + static_cast<int>(sequence % 3); }

void QueueDatagram(uint32_t sequence) {
    v5::Header header;
    header.sequence = sequence;
    const std::vector<v5::Record> records(static_cast<size_t>(RecordsOf(sequence)));
    const std::vector<uint8_t> bytes = v5::Encode(header, records);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(2055);
    from.sin_addr.s_addr = htonl(v5::Ipv4("192.0.2.1"));
    AddJob(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()),
           reinterpret_cast<const sockaddr*>(&from));
}

uint32_t RecordsUpTo(uint32_t datagrams) {
    uint32_t total = 0;
    for (uint32_t s = 0; s < datagrams; ++s) total += static_cast<uint32_t>(RecordsOf(s));
    return total;
}

// Records per datagram sequence number, as they sit in the storage queue.
std::map<uint32_t, int> QueuedRecords() {
    std::map<uint32_t, int> counts;
    StoreLock lock;
    for (JobStorage* node = datastore; node != nullptr; node = node->next)
        ++counts[node->data->sequence];
    return counts;
}

// The listener's part: registry, maintainer, then the workers.
struct Dispatch {
    std::vector<pthread_t> threads;

    explicit Dispatch(int workers) {
        InitThreadList();
        SetThreadCount(workers);
        SetWaitTime(workers);
        Start(JobListMaintainer, nullptr, kDispatcherThread, -1);
        for (int i = 0; i < workers; ++i)
            Start(ThreadWorker, reinterpret_cast<void*>(static_cast<intptr_t>(i)), kWorkerThread,
                  i);
    }
    void Start(void* (*body)(void*), void* arg, int type, int index) {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, body, arg), 0);
        AddThread(thread, type, kThreadAlive, index);
        threads.push_back(thread);
    }
    // Shutdown: every registered thread ends, and only then the job list is empty.
    void Stop() {
        StartShutdown();
        EXPECT_TRUE(WaitFor([] { return AliveThreads() == 0; }));
        for (pthread_t thread : threads) pthread_join(thread, nullptr);
        EXPECT_EQ(head, nullptr);
    }
};

struct Allocations {
    unsigned long held = GetMallocTotal();
    unsigned int blocks = GetMallocCounts() - GetFreeCounts();
};

// Every datagram's records reached the storage queue exactly once; once the queue is drained,
// every job, datagram copy and record has been released with its own size.
void ExpectParsedOnceAndReleased(uint32_t datagrams, const Allocations& before) {
    EXPECT_EQ(GetStorageWrittenCount(), RecordsUpTo(datagrams));
    const std::map<uint32_t, int> counts = QueuedRecords();
    EXPECT_EQ(counts.size(), datagrams);
    for (const auto& [sequence, records] : counts)
        EXPECT_EQ(records, RecordsOf(sequence)) << "datagram " << sequence;
    StoragePass();
    EXPECT_EQ(GetMallocTotal(), before.held);
    EXPECT_EQ(GetMallocCounts() - GetFreeCounts(), before.blocks);
}

// Throttle rule at the default limit of 50000, with the backlog made by the counters alone.
void Backlog(uint32_t received, uint32_t processed) {
    Configure({});
    InitQueueCounters();
    for (uint32_t i = 0; i < received; ++i) IncrementReceived();
    for (uint32_t i = 0; i < processed; ++i) IncrementProcessed();
}

std::vector<int> ThrottleAfter(std::vector<int> conditions) {
    std::vector<int> flags;
    for (int condition : conditions) {
        SetThrottle(condition);
        flags.push_back(IsReceiving());
    }
    return flags;
}

TEST(Throttle, ZeroClearsAndOneSetsWhateverTheBacklog) {
    Backlog(60000, 0);
    EXPECT_EQ(ThrottleAfter({0, 1, 0, 0}), (std::vector<int>{0, 1, 0, 0}));
}

TEST(Throttle, PastTheLimitTheFlagAlternates) {
    Backlog(50000, 0);
    EXPECT_EQ(ThrottleAfter({0, 1, 1, 1}), (std::vector<int>{0, 1, 1, 1}));
    Backlog(50001, 0);
    EXPECT_EQ(ThrottleAfter({0, 1, 1, 1, 1, 1}), (std::vector<int>{0, 1, 0, 1, 0, 1}));
    // A processed count read ahead of the received count is no backlog at all.
    Backlog(0, 1);
    EXPECT_EQ(ThrottleAfter({0, 1, 1}), (std::vector<int>{0, 1, 1}));
}

TEST(BatchSize, StartsAtFourPerWorkerAndHoldsWhileEven) {
    ASSERT_EQ(GetPredictionHits(), GetPredictionFails());  // no worker ran in this process
    SetThreadCount(4);
    EXPECT_EQ(InitialBatchSize(), 16);
    EXPECT_EQ(AdaptBatchSize(16), 16);
}

// One worker, ten jobs queued before it starts: batches of 4 (3 hits) and 5 (4 hits), then a
// last job whose look-ahead meets the end of the list (1 miss).
TEST(Workers, OneWorkerPredictsEveryFollowingJob) {
    InChild([] {
        Configure({"-x", "-y", "-z"});
        const Allocations before;
        SetThreadCount(1);
        for (uint32_t s = 0; s < 10; ++s) QueueDatagram(s);
        Dispatch dispatch(1);
        EXPECT_TRUE(WaitFor([] { return FindFirstJob(0) == nullptr; }));
        EXPECT_EQ(GetPredictionHits(), 7);
        EXPECT_EQ(GetPredictionFails(), 1);
        // Hits ahead: the batch grows by one per pass, and saturates.
        EXPECT_EQ(AdaptBatchSize(6), 7);
        EXPECT_EQ(AdaptBatchSize(INT_MAX), INT_MAX);
        dispatch.Stop();
        ExpectParsedOnceAndReleased(10, before);
    });
}

// Four workers and the datagrams arriving in bursts, with the throttle raised during each burst
// and a second thread reclaiming as fast as it can: each datagram is parsed exactly once.
TEST(Workers, ManyDatagramsParsedOnceWhileReclaimed) {
    InChild([] {
        Configure({"-x", "-y", "-z", "-i", "100"});
        const Allocations before;
        constexpr uint32_t kDatagrams = 4000;
        Dispatch dispatch(4);
        std::atomic<bool> reclaiming{true};
        std::thread reclaimer([&reclaiming] {
            while (reclaiming) {
                ReclaimCompletedJobs();
                std::this_thread::yield();
            }
        });
        for (uint32_t s = 0; s < kDatagrams; ++s) {
            SetThrottle(s % 50 != 49 ? 1 : 0);
            QueueDatagram(s);
        }
        SetThrottle(0);
        EXPECT_TRUE(WaitFor([] { return GetStorageWrittenCount() >= RecordsUpTo(kDatagrams); }));
        reclaiming = false;
        reclaimer.join();
        dispatch.Stop();
        EXPECT_EQ(GetProcessedCount(), kDatagrams);
        ExpectParsedOnceAndReleased(kDatagrams, before);
    });
}

// Shutdown while the last datagram left the throttle raised and jobs are still queued: nothing
// calls SetThrottle any more, yet every job is parsed and reclaimed before the threads end.
TEST(Workers, ShutdownWithJobsQueuedLosesNone) {
    InChild([] {
        Configure({"-x", "-y", "-z"});
        const Allocations before;
        constexpr uint32_t kDatagrams = 500;
        SetThrottle(0);
        SetThrottle(1);
        Dispatch dispatch(3);
        for (uint32_t s = 0; s < kDatagrams; ++s) QueueDatagram(s);
        EXPECT_EQ(IsReceiving(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(GetStorageWrittenCount(), 0u);  // held while reception has priority
        dispatch.Stop();
        ExpectParsedOnceAndReleased(kDatagrams, before);
    });
}

TEST(Maintainer, PauseLastsTotalThreadsPlusOneSeconds) {
    SetThreadCount(0);
    const auto begun = steady_clock::now();
    YieldCPU();
    EXPECT_GE(steady_clock::now() - begun, std::chrono::seconds(1));
}

TEST(Maintainer, PauseEndsOnceShutdownBegins) {
    InChild([] {
        SetThreadCount(1000);
        std::atomic<bool> done{false};
        std::thread pause([&done] {
            YieldCPU();
            done = true;
        });
        StartShutdown();
        EXPECT_TRUE(WaitFor([&done] { return done.load(); }));
        if (done) {
            pause.join();
        } else {
            pause.detach();
        }
    });
}

}  // namespace
