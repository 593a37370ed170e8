#include "common/registry.h"

#include "common/messages.h"

// Zero-initialised static storage: an untouched table is empty and counts no thread.
thread_matrix TID[kRegistrySize];

namespace {

bool IsNoThread(pthread_t tid) { return tid == pthread_t{}; }

// The entry's type, or 0 when the entry is empty and every scan stops there.
int TypeAt(int i) { return TID[i].thread_type.load(std::memory_order_acquire); }

// Acquire pairs with EndThread's release.
bool IsAlive(int i) { return TID[i].thread_status.load(std::memory_order_acquire) == kThreadAlive; }

}  // namespace

void InitThreadList() {
    for (thread_matrix& entry : TID) {
        entry.thread_id = pthread_t{};
        entry.thread_status.store(0, std::memory_order_relaxed);
        entry.index = -1;
        entry.thread_type.store(0, std::memory_order_release);
    }
}

// Only the listener registers, on the main thread, so the search for a free slot needs no lock.
void AddThread(pthread_t tid, int thread_type, int thread_status, int index) {
    for (thread_matrix& entry : TID) {
        if (!IsNoThread(entry.thread_id)) continue;
        entry.thread_id = tid;
        entry.index = index;
        entry.thread_status.store(thread_status, std::memory_order_relaxed);
        entry.thread_type.store(thread_type, std::memory_order_release);
        return;
    }
    NF_ASSERT(false, "a free thread registry entry");
}

pthread_t FindThread(int thread_type) {
    for (int i = 0; i < kRegistrySize; ++i) {
        const int type = TypeAt(i);
        if (type == 0) break;
        if (type == thread_type) return TID[i].thread_id;
    }
    return pthread_t{};
}

void EndThread(pthread_t tid, int index) {
    for (int i = 0; i < kRegistrySize && TypeAt(i) != 0; ++i) {
        const bool match =
            IsNoThread(tid) ? TID[i].index == index : pthread_equal(TID[i].thread_id, tid) != 0;
        if (!match) continue;
        // Release: whatever the thread did last is visible to whoever sees it ended.
        TID[i].thread_status.store(kThreadEnded, std::memory_order_release);
        return;
    }
}

int AliveThreadsOfType(int thread_type) {
    int alive = 0;
    for (int i = 0; i < kRegistrySize; ++i) {
        const int type = TypeAt(i);
        if (type == 0) break;
        if (type == thread_type && IsAlive(i)) ++alive;
    }
    return alive;
}

int AliveThreads() {
    int alive = 0;
    for (int i = 0; i < kRegistrySize && TypeAt(i) != 0; ++i)
        if (IsAlive(i)) ++alive;
    return alive;
}
