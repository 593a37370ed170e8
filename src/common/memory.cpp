#include "common/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "common/messages.h"
#include "sched/wait.h"

pthread_mutex_t memmgr_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Written under memmgr_mutex; atomic so the diagnostic dump may read them without it.
std::atomic<unsigned long> malloc_total{0};
std::atomic<unsigned int> malloc_counts{0};
std::atomic<unsigned int> free_counts{0};

}  // namespace

void InitMemoryManager() {
    malloc_total.store(0, std::memory_order_relaxed);
    malloc_counts.store(0, std::memory_order_relaxed);
    free_counts.store(0, std::memory_order_relaxed);
}

void* allocate_mem(size_t size) {
    void* block;
    {
        LockGuard lock(memmgr_mutex);
        // malloc(0) may return null legitimately; ask for one byte so null always means failure.
        block = std::malloc(size == 0 ? 1 : size);
        if (block != nullptr) {
            malloc_counts.fetch_add(1, std::memory_order_relaxed);
            malloc_total.fetch_add(size, std::memory_order_relaxed);
        }
    }
    if (block == nullptr) {
        std::fprintf(stderr, "Can't allocate %zu bytes\n", size);
        std::exit(1);
    }
    return block;
}

void release_mem(void* ptr, size_t size) {
    NF_ASSERT(ptr != nullptr, "ptr!=NULL");
    LockGuard lock(memmgr_mutex);
    std::free(ptr);
    free_counts.fetch_add(1, std::memory_order_relaxed);
    malloc_total.fetch_sub(size, std::memory_order_relaxed);
}

unsigned long GetMallocTotal() { return malloc_total.load(std::memory_order_relaxed); }
unsigned int GetMallocCounts() { return malloc_counts.load(std::memory_order_relaxed); }
unsigned int GetFreeCounts() { return free_counts.load(std::memory_order_relaxed); }
