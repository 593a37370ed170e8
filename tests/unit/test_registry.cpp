// Thread registry: the start-up layout, ending entries by handle and by worker number, the
// 1024-entry limit, and real threads ending themselves while the count is polled.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sched/registry.h"

namespace {

// Stand-in handles: the registry only stores and compares them.
pthread_t Handle(unsigned long n) { return static_cast<pthread_t>(n); }

constexpr unsigned long kStorage = 7001;
constexpr unsigned long kDispatcher = 7002;
constexpr unsigned long kFirstWorker = 8000;

// The listener's order: storage, maintainer, then workers 0 to n-1.
void RegisterAsListener(int workers) {
    InitThreadList();
    AddThread(Handle(kStorage), kStorageThread, kThreadAlive, -1);
    AddThread(Handle(kDispatcher), kDispatcherThread, kThreadAlive, -1);
    for (int i = 0; i < workers; ++i)
        AddThread(Handle(kFirstWorker + static_cast<unsigned long>(i)), kWorkerThread,
                  kThreadAlive, i);
}

TEST(Registry, EmptyAfterInit) {
    RegisterAsListener(3);
    InitThreadList();
    EXPECT_EQ(AliveThreads(), 0);
    for (int type : {kWorkerThread, kStorageThread, kDispatcherThread}) {
        EXPECT_EQ(FindThread(type), pthread_t{});
        EXPECT_EQ(AliveThreadsOfType(type), 0);
    }
    EXPECT_EQ(TID[0].index, -1);
}

TEST(Registry, EndThreadByWorkerNumberCountsOnce) {
    RegisterAsListener(4);
    EXPECT_EQ(AliveThreads(), 6);
    EXPECT_EQ(AliveThreadsOfType(kWorkerThread), 4);
    EndThread(0, 2);
    EXPECT_EQ(AliveThreads(), 5);
    EndThread(0, 2);
    EXPECT_EQ(AliveThreads(), 5);
    EXPECT_EQ(TID[4].thread_status.load(), kThreadEnded);  // worker 2's entry
    EXPECT_EQ(AliveThreadsOfType(kWorkerThread), 3);
    EXPECT_EQ(AliveThreadsOfType(kStorageThread), 1);
}

TEST(Registry, EndThreadByHandleEndsThatEntryOnly) {
    RegisterAsListener(4);
    ASSERT_EQ(FindThread(kDispatcherThread), Handle(kDispatcher));
    EndThread(FindThread(kDispatcherThread), 0);
    EXPECT_EQ(TID[1].thread_status.load(), kThreadEnded);
    EXPECT_EQ(TID[2].thread_status.load(), kThreadAlive);  // worker 0, whose index is 0
    EXPECT_EQ(AliveThreadsOfType(kDispatcherThread), 0);

    EndThread(Handle(12345), 0);  // not registered
    EXPECT_EQ(AliveThreads(), 5);
    EndThread(FindThread(kStorageThread), 0);
    EXPECT_EQ(AliveThreads(), 4);
}

TEST(Registry, HoldsAtMost1024Threads) {
    RegisterAsListener(1023);
    EXPECT_EQ(AliveThreads(), kMaxThreads);
    EXPECT_EQ(TID[kMaxThreads - 1].index, 1021);
    EndThread(0, 1022);  // never registered: changes nothing
    EXPECT_EQ(AliveThreads(), kMaxThreads);

    RegisterAsListener(1024);
    EXPECT_EQ(AliveThreads(), kMaxThreads);
    EXPECT_EQ(AliveThreadsOfType(kWorkerThread), 1022);
    EndThread(0, 1023);
    EXPECT_EQ(AliveThreads(), kMaxThreads);
    EndThread(0, 1021);
    EXPECT_EQ(AliveThreads(), kMaxThreads - 1);
}

// As in the daemon: each thread is registered after it started, ends its own entry, and the
// main thread polls the count until none is alive.
TEST(Registry, RealThreadsEndThemselves) {
    constexpr int kWorkers = 8;
    InitThreadList();
    static std::atomic<int> go{0};
    go = 0;
    std::vector<pthread_t> threads(kWorkers);
    for (int i = 0; i < kWorkers; ++i) {
        auto body = [](void* arg) -> void* {
            while (go.load() == 0) std::this_thread::yield();
            EndThread(0, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
            return nullptr;
        };
        ASSERT_EQ(pthread_create(&threads[static_cast<size_t>(i)], nullptr, body,
                                 reinterpret_cast<void*>(static_cast<intptr_t>(i))),
                  0);
        AddThread(threads[static_cast<size_t>(i)], kWorkerThread, kThreadAlive, i);
    }
    EXPECT_EQ(AliveThreads(), kWorkers);
    go = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (AliveThreads() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(AliveThreads(), 0);
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

}  // namespace
