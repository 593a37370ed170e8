// Thread registry: room for every thread. (Ending entries by handle and by worker number: the
// storage and daemon tests, whose threads end that way.)
#include <gtest/gtest.h>
#include <pthread.h>

#include "common/registry.h"

namespace {

// The listener's order: storage, maintainer, then workers 0 to n-1. Handles are stand-ins.
void RegisterAsListener(int workers) {
    InitThreadList();
    AddThread(pthread_t{7001}, kStorageThread, kThreadAlive, -1);
    AddThread(pthread_t{7002}, kDispatcherThread, kThreadAlive, -1);
    for (int i = 0; i < workers; ++i)
        AddThread(pthread_t{8000} + static_cast<pthread_t>(i), kWorkerThread, kThreadAlive, i);
}

// Every thread the thread count allows is registered and waited for; one more is a fault.
TEST(Registry, HoldsTheMostWorkersTheThreadCountAllowsAndRefusesMoreLoudly) {
    RegisterAsListener(kMaxThreads);
    EndThread(0, kMaxThreads - 1);
    EXPECT_EQ(AliveThreads(), kMaxThreads + 1);
    EXPECT_DEATH(AddThread(pthread_t{9999}, kWorkerThread, kThreadAlive, kMaxThreads),
                 "failed assertion `a free thread registry entry'");
}

}  // namespace
