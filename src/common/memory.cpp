#include "common/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "common/messages.h"

namespace {

// The C allocator is thread-safe, so only the accounting has to be shared: atomic counters.
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
    // malloc(0) may return null legitimately; ask for one byte so null always means failure.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        std::fprintf(stderr, "Can't allocate %zu bytes\n", size);
        std::exit(1);
    }
    malloc_counts.fetch_add(1, std::memory_order_relaxed);
    malloc_total.fetch_add(size, std::memory_order_relaxed);
    return block;
}

void release_mem(void* ptr, size_t size) {
    NF_ASSERT(ptr != nullptr, "ptr!=NULL");
    std::free(ptr);
    free_counts.fetch_add(1, std::memory_order_relaxed);
    malloc_total.fetch_sub(size, std::memory_order_relaxed);
}

unsigned long GetMallocTotal() { return malloc_total.load(std::memory_order_relaxed); }
unsigned int GetMallocCounts() { return malloc_counts.load(std::memory_order_relaxed); }
unsigned int GetFreeCounts() { return free_counts.load(std::memory_order_relaxed); }
