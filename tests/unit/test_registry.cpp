// Thread registry: ending entries by handle and by worker number, and the 1024-entry limit.
#include <gtest/gtest.h>
#include <pthread.h>

#include "sched/registry.h"

namespace {

// The listener's order: storage, maintainer, then workers 0 to n-1. Handles are stand-ins.
void RegisterAsListener(int workers) {
    InitThreadList();
    AddThread(pthread_t{7001}, kStorageThread, kThreadAlive, -1);
    AddThread(pthread_t{7002}, kDispatcherThread, kThreadAlive, -1);
    for (int i = 0; i < workers; ++i)
        AddThread(pthread_t{8000} + static_cast<pthread_t>(i), kWorkerThread, kThreadAlive, i);
}

TEST(Registry, EndThreadCountsOnceAndTheListHoldsAtMost1024Threads) {
    RegisterAsListener(4);
    EXPECT_EQ(AliveThreads(), 6);
    EndThread(0, 2);
    EndThread(0, 2);
    EXPECT_EQ(AliveThreads(), 5);
    EXPECT_EQ(AliveThreadsOfType(kWorkerThread), 3);

    ASSERT_EQ(FindThread(kDispatcherThread), pthread_t{7002});
    EndThread(FindThread(kDispatcherThread), 0);
    EXPECT_EQ(TID[2].thread_status.load(), kThreadAlive);  // worker 0, whose index is 0
    EndThread(pthread_t{12345}, 0);  // not registered
    EXPECT_EQ(AliveThreads(), 4);

    RegisterAsListener(1024);
    EXPECT_EQ(AliveThreads(), kMaxThreads);
    EXPECT_EQ(TID[kMaxThreads - 1].index, 1021);
    EndThread(0, 1022);  // never registered: changes nothing
    EXPECT_EQ(AliveThreads(), kMaxThreads);
    EndThread(0, 1021);
    EXPECT_EQ(AliveThreads(), kMaxThreads - 1);
}

}  // namespace
