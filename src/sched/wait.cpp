#include "sched/wait.h"

#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> WaitTime{0};
std::atomic<long> timelostinws{0};
std::atomic<int> WaitStates{1};

}  // namespace

void WaitState() {
    const int wait = WaitTime.load(std::memory_order_relaxed);
    usleep(static_cast<useconds_t>(wait));
    timelostinws.fetch_add(wait, std::memory_order_relaxed);
}

// One microsecond whatever the thread count: the pause only has to yield the CPU.
void SetWaitTime(int /*nThreads*/) { WaitTime.store(1, std::memory_order_relaxed); }

void EnableWaitState() { WaitStates.store(1, std::memory_order_relaxed); }
void DisableWaitState() { WaitStates.store(0, std::memory_order_relaxed); }
int MinimizeDelay() { return WaitStates.load(std::memory_order_relaxed); }

void SpinLock(pthread_mutex_t* mutex) {
    while (pthread_mutex_trylock(mutex) != 0) WaitState();
}
