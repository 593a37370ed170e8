#include "common/counters.h"

#include <atomic>

namespace {

// Zero by static initialisation, so they are ready before any thread can queue a job. Each on a
// cache line of its own: the receive loop counts every datagram, the workers every hand-back.
alignas(64) std::atomic<uint32_t> ReceivedPDU{0};
alignas(64) std::atomic<uint32_t> encountered{0};
alignas(64) std::atomic<uint32_t> processed{0};

}  // namespace

uint32_t GetReceivedCount() { return ReceivedPDU.load(std::memory_order_relaxed); }
uint32_t GetQueueCount() { return encountered.load(std::memory_order_relaxed); }
uint32_t GetProcessedCount() { return processed.load(std::memory_order_relaxed); }
void IncrementReceived() { ReceivedPDU.fetch_add(1, std::memory_order_relaxed); }
void AddProcessed(uint32_t jobs) { processed.fetch_add(jobs, std::memory_order_relaxed); }
void SetQueueCount(uint32_t jobs) { encountered.store(jobs, std::memory_order_relaxed); }
