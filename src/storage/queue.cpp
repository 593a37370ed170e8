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
#include "storage/overload.h"

// Statically initialised: workers may hand in flows before the writers have started.
pthread_mutex_t StoreData_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr const char* kDebugGeneral =
    "\nDEBUG: General - Mallocs: %ld  - Free: %ld - To be freed: %ld";
constexpr const char* kDebugMemory = "DEBUG: Total allocated memory: %ld\n";
constexpr const char* kDebugDispatcher =
    "DEBUG: Dispatcher - Received: %ld - Queued: %ld - Processed: %ld";
constexpr const char* kDebugStorage = "DEBUG: Storage - Written: %ld - Freed: %ld ";

// A reader's place: the next flow it reads is block->flows[index]; a null block stands for the
// first flow of the queue's head, whenever there is one. pos counts the flows before its place.
struct Reader {
    bool used;
    bool parked;
    bool wake;
    FlowBlock* block;
    size_t index;
    uint64_t pos;
    uint64_t skipped;
    pthread_cond_t cond;
};

// Guarded by StoreData_mutex. Every block but the tail is full; base + the flows in the queue is
// appended.
FlowChain queue{};
uint64_t base = 0;      // flows released since start: the position of the head's first flow
uint64_t appended = 0;  // flows handed in since start
Reader readers[kMaxReaders]{};
int reader_count = 0;
pthread_cond_t room_made = PTHREAD_COND_INITIALIZER;
int room_waiters = 0;

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

bool Active(const Reader& reader) { return reader.used && !reader.parked; }

// Whether the reader has flows of the head block still to read.
bool InHead(const Reader& reader) {
    return reader.block == nullptr ||
           (reader.block == queue.head && reader.index < queue.head->count);
}

// Unlinks the head block onto freed; a reader still in it moves to the next block, and if it is
// active and did not get there by itself, counts what it skipped. Returns those flows.
uint64_t DropHead(FlowChain& freed) {
    FlowBlock* head = queue.head;
    const uint64_t end = base + head->count;
    queue.head = head->next;
    if (queue.head == nullptr) queue.tail = nullptr;
    head->next = freed.head;
    freed.head = head;
    uint64_t skipped = 0;
    for (int r = 0; r < reader_count; ++r) {
        Reader& reader = readers[r];
        if (reader.block != head && reader.block != nullptr) continue;
        if (Active(reader)) {
            skipped += end - reader.pos;
            reader.skipped += end - reader.pos;
        }
        reader.block = queue.head;
        reader.index = 0;
        reader.pos = end;
    }
    base = end;
    return skipped;
}

// Releases the head blocks that no active reader has still to read.
void DropRead(FlowChain& freed) {
    while (queue.head != nullptr) {
        for (int r = 0; r < reader_count; ++r) {
            if (Active(readers[r]) && InHead(readers[r])) return;
        }
        DropHead(freed);
    }
}

// The slowest active reader skips the oldest block when the fastest is kSkipGap ahead of it;
// adds what it skipped to *skipped.
bool SkipOldest(FlowChain& freed, uint64_t* skipped) {
    uint64_t slowest = UINT64_MAX, fastest = 0;
    for (int r = 0; r < reader_count; ++r) {
        if (!Active(readers[r])) continue;
        slowest = std::min(slowest, readers[r].pos);
        fastest = std::max(fastest, readers[r].pos);
    }
    if (slowest == UINT64_MAX || fastest - slowest < kSkipGap) return false;
    *skipped += DropHead(freed);
    return true;
}

// Makes room for count more flows: blocks every active reader has passed go first, then, before
// shutdown, the oldest block of a reader far behind the others.
bool MakeRoom(size_t count, FlowChain& freed, uint64_t* skipped) {
    DropRead(freed);
    while (appended + count - base > kQueueLimitFlows) {
        if (ShutdownInProgress() == 1 || !SkipOldest(freed, skipped)) return false;
    }
    return true;
}

void WakeReadersCrossing(size_t count) {
    for (int r = 0; r < reader_count; ++r) {
        const uint64_t behind = appended - readers[r].pos;
        if (Active(readers[r]) && behind < kWakeFlows && behind + count >= kWakeFlows)
            pthread_cond_signal(&readers[r].cond);
    }
}

// After a reader has moved: the workers waiting for room are woken when blocks were released.
void DropReadAndWake(FlowChain& freed) {
    DropRead(freed);
    if (room_waiters > 0 && freed.head != nullptr) pthread_cond_broadcast(&room_made);
}

// Released outside the lock: the allocator's lock is then never taken under it.
void Release(FlowChain freed) {
    uint64_t flows = 0;
    for (FlowBlock* block = freed.head; block != nullptr;) {
        FlowBlock* next = block->next;
        flows += block->count;
        release_mem(block, sizeof(FlowBlock));
        block = next;
    }
    PacketsFreed.fetch_add(static_cast<uint32_t>(flows), std::memory_order_relaxed);
}

// Appends under the lock; waits for room once shutdown has begun.
bool Append(const FlowItem* flows, size_t count, FlowChain& freed, uint64_t* skipped) {
    LockGuard lock(StoreData_mutex);
    while (!MakeRoom(count, freed, skipped)) {
        if (ShutdownInProgress() != 1) return false;
        ++room_waiters;
        pthread_cond_wait(&room_made, &StoreData_mutex);
        --room_waiters;
    }
    AppendFlows(queue, flows, count);
    WakeReadersCrossing(count);
    appended += count;
    return true;
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
    FlowChain freed{};
    uint64_t skipped = 0;
    const bool stored = Append(flows, count, freed, &skipped);
    Release(freed);
    if (skipped > 0) NoteOverload(kSinkSkips, skipped);
    if (!stored) {
        refused_datagrams.fetch_add(1, std::memory_order_relaxed);
        refused_flows.fetch_add(count, std::memory_order_relaxed);
        NoteOverload(kQueueRefusals, count);
        return false;
    }
    PacketsToStore.fetch_add(static_cast<uint32_t>(count), std::memory_order_relaxed);
    return true;
}

int AddQueueReader() {
    LockGuard lock(StoreData_mutex);
    NF_ASSERT(reader_count < kMaxReaders, "reader_count < kMaxReaders");
    Reader& reader = readers[reader_count];
    reader = Reader{true, false, false, nullptr, 0, base, 0, PTHREAD_COND_INITIALIZER};
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&reader.cond, &attributes);
    pthread_condattr_destroy(&attributes);
    return reader_count++;
}

size_t ReadFlows(int r, FlowItem* out, size_t most) {
    FlowChain freed{};
    size_t copied = 0;
    {
        LockGuard lock(StoreData_mutex);
        Reader& reader = readers[r];
        reader.parked = false;
        while (copied < most) {
            if (reader.block == nullptr) reader.block = queue.head;
            if (reader.block == nullptr) break;
            if (reader.index == reader.block->count) {
                if (reader.block->next == nullptr) break;
                reader.block = reader.block->next;
                reader.index = 0;
            }
            const size_t n = std::min(most - copied, reader.block->count - reader.index);
            std::memcpy(out + copied, &reader.block->flows[reader.index], n * sizeof(FlowItem));
            reader.index += n;
            reader.pos += n;
            copied += n;
        }
        DropReadAndWake(freed);
    }
    Release(freed);
    return copied;
}

void ParkReader(int r) {
    FlowChain freed{};
    {
        LockGuard lock(StoreData_mutex);
        Reader& reader = readers[r];
        reader.parked = true;
        reader.block = queue.tail;
        reader.index = queue.tail != nullptr ? queue.tail->count : 0;
        reader.pos = appended;
        DropReadAndWake(freed);
    }
    Release(freed);
}

// WakeQueueReaders sets the reader's flag under the lock, so a wake that comes before the wait
// begins is seen here: a reader never sleeps through the start of a shutdown.
void WaitForFlows(int r, const timespec& deadline) {
    LockGuard lock(StoreData_mutex);
    Reader& reader = readers[r];
    while (!reader.wake && (reader.parked || appended - reader.pos < kWakeFlows)) {
        if (pthread_cond_timedwait(&reader.cond, &StoreData_mutex, &deadline) == ETIMEDOUT) break;
    }
    reader.wake = false;
}

void WakeQueueReaders() {
    LockGuard lock(StoreData_mutex);
    for (int r = 0; r < reader_count; ++r) {
        readers[r].wake = true;
        pthread_cond_signal(&readers[r].cond);
    }
}

uint64_t SkippedFlows(int r) {
    LockGuard lock(StoreData_mutex);
    return readers[r].skipped;
}

uint64_t UnreadFlows(int r) {
    LockGuard lock(StoreData_mutex);
    return Active(readers[r]) ? appended - readers[r].pos : 0;
}

// What the slowest active reader has still to read.
uint64_t GetStorageQueueFlows() {
    LockGuard lock(StoreData_mutex);
    uint64_t read = appended;
    for (int r = 0; r < reader_count; ++r) {
        if (Active(readers[r])) read = std::min(read, readers[r].pos);
    }
    return appended - read;
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
