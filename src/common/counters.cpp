#include "common/counters.h"

#include <atomic>

namespace {

// Zero by static initialisation, so they are ready before any thread can queue a job.
std::atomic<uint32_t> ReceivedPDU{0};
std::atomic<uint32_t> encountered{0};
std::atomic<uint32_t> processed{0};

}  // namespace

void InitQueueCounters() {
    processed.store(0, std::memory_order_relaxed);
    ReceivedPDU.store(0, std::memory_order_relaxed);
    encountered.store(0, std::memory_order_relaxed);
}

uint32_t GetReceivedCount() { return ReceivedPDU.load(std::memory_order_relaxed); }
uint32_t GetQueueCount() { return encountered.load(std::memory_order_relaxed); }
uint32_t GetProcessedCount() { return processed.load(std::memory_order_relaxed); }
void IncrementReceived() { ReceivedPDU.fetch_add(1, std::memory_order_relaxed); }
void IncrementQueued() { encountered.fetch_add(1, std::memory_order_relaxed); }
void IncrementProcessed() { processed.fetch_add(1, std::memory_order_relaxed); }
void ResetQueued() { encountered.store(0, std::memory_order_relaxed); }
