#include "storage/queue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/counters.h"
#include "common/lock.h"
#include "common/memory.h"
#include "common/messages.h"
#include "common/shutdown.h"

// Statically initialised: workers may hand in flows before the storage thread has started.
pthread_mutex_t StoreData_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr const char* kDebugGeneral =
    "\nDEBUG: General - Mallocs: %ld  - Free: %ld - To be freed: %ld";
constexpr const char* kDebugMemory = "DEBUG: Total allocated memory: %ld\n";
constexpr const char* kDebugDispatcher =
    "DEBUG: Dispatcher - Received: %ld - Queued: %ld - Processed: %ld";
constexpr const char* kDebugStorage = "DEBUG: Storage - Written: %ld - Freed: %ld ";

pthread_cond_t storage_wake = PTHREAD_COND_INITIALIZER;

// Guarded by StoreData_mutex.
FlowChain queue{};
size_t queued_flows = 0;  // in queue
size_t held_flows = 0;    // in queue, or taken and not yet released
bool wake_requested = false;

std::atomic<uint32_t> PacketsToStore{0};
std::atomic<uint32_t> PacketsFreed{0};
std::atomic<uint64_t> refused_datagrams{0};
std::atomic<uint64_t> refused_flows{0};

// The tail block, with room for at least one more flow.
FlowBlock* TailWithRoom(FlowChain& chain) {
    if (chain.tail != nullptr && chain.tail->count < kBlockFlows) return chain.tail;
    auto* block = static_cast<FlowBlock*>(allocate_mem(sizeof(FlowBlock)));
    block->next = nullptr;
    block->count = 0;
    if (chain.tail != nullptr) {
        chain.tail->next = block;
    } else {
        chain.head = block;
    }
    chain.tail = block;
    return block;
}

}  // namespace

void AppendFlows(FlowChain& chain, const FlowItem* flows, size_t count) {
    while (count > 0) {
        FlowBlock* block = TailWithRoom(chain);
        const size_t n = std::min(count, kBlockFlows - block->count);
        std::memcpy(&block->flows[block->count], flows, n * sizeof(FlowItem));
        block->count += n;
        flows += n;
        count -= n;
    }
}

bool StoreNetFlowPacket(const FlowItem* flows, size_t count) {
    {
        LockGuard lock(StoreData_mutex);
        if (held_flows + count > kQueueLimitFlows) {
            refused_datagrams.fetch_add(1, std::memory_order_relaxed);
            refused_flows.fetch_add(count, std::memory_order_relaxed);
            return false;
        }
        AppendFlows(queue, flows, count);
        const bool crossed = queued_flows < kWakeFlows && queued_flows + count >= kWakeFlows;
        queued_flows += count;
        held_flows += count;
        if (crossed) pthread_cond_signal(&storage_wake);
    }
    PacketsToStore.fetch_add(static_cast<uint32_t>(count), std::memory_order_relaxed);
    return true;
}

FlowChain TakeStorageQueue() {
    LockGuard lock(StoreData_mutex);
    const FlowChain taken = queue;
    queue = FlowChain{};
    queued_flows = 0;
    return taken;
}

void ReleaseFlowBlock(FlowBlock* block) {
    const size_t flows = block->count;
    release_mem(block, sizeof(FlowBlock));
    {
        LockGuard lock(StoreData_mutex);
        held_flows -= flows;
    }
    PacketsFreed.fetch_add(static_cast<uint32_t>(flows), std::memory_order_relaxed);
}

// The shutdown flag is raised before WakeStorage takes the lock, so it is seen either here or
// by the wake: the thread never sleeps through the start of a shutdown.
void WaitForStorageWork(const timespec& deadline) {
    LockGuard lock(StoreData_mutex);
    while (!wake_requested && queued_flows < kWakeFlows && ShutdownInProgress() != 1) {
        if (pthread_cond_clockwait(&storage_wake, &StoreData_mutex, CLOCK_MONOTONIC, &deadline) ==
            ETIMEDOUT) {
            break;
        }
    }
    wake_requested = false;
}

void WakeStorage() {
    LockGuard lock(StoreData_mutex);
    wake_requested = true;
    pthread_cond_signal(&storage_wake);
}

uint64_t GetStorageQueueFlows() {
    LockGuard lock(StoreData_mutex);
    return held_flows;
}

uint32_t GetStorageWrittenCount() { return PacketsToStore.load(std::memory_order_relaxed); }

uint32_t GetStorageFreedCount() { return PacketsFreed.load(std::memory_order_relaxed); }

StorageRefusals GetStorageRefusals() {
    return StorageRefusals{refused_datagrams.load(std::memory_order_relaxed),
                           refused_flows.load(std::memory_order_relaxed)};
}

void ShowDebugger() {
    const long mallocs = GetMallocCounts();
    const long frees = GetFreeCounts();
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kDebugGeneral, mallocs, frees, mallocs - frees);
    trace(message);
    std::snprintf(message, sizeof message, kDebugMemory, static_cast<long>(GetMallocTotal()));
    trace(message);
    std::snprintf(message, sizeof message, kDebugDispatcher, static_cast<long>(GetReceivedCount()),
                  static_cast<long>(GetQueueCount()), static_cast<long>(GetProcessedCount()));
    trace(message);
    std::snprintf(message, sizeof message, kDebugStorage,
                  static_cast<long>(GetStorageWrittenCount()),
                  static_cast<long>(GetStorageFreedCount()));
    trace(message);
}
