#include "storage/pass.h"

#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <iterator>
#include <utility>

#include "common/clock.h"
#include "common/registry.h"
#include "common/shutdown.h"
#include "common/terminate.h"
#include "storage/queue.h"
#include "storage/sinks/trashlog.h"

namespace {

constexpr std::chrono::seconds kPassInterval{5};
// Pause between looks at the registry while the last workers finish their jobs.
constexpr useconds_t kWorkerPollMicros = 10'000;
constexpr useconds_t kLockPollMicros = 1000;
// How long Terminate waits for a storage pass to release the sinks.
constexpr long kCloseWaitMillis = 2000;

pthread_mutex_t sink_mutex = PTHREAD_MUTEX_INITIALIZER;
thread_local bool sink_lock_held = false;

// Where a sink goes on writing: a block of the pending chain and a record in it; a null block
// means the sink has written everything taken so far.
struct Cursor {
    FlowBlock* block;
    size_t index;
};

// Storage thread only (sink lock held): the blocks taken but not yet written by every sink,
// each sink's place in them, and whether it holds records not yet committed.
FlowChain pending{};
Cursor cursors[kMaxSinks]{};
bool uncommitted[kMaxSinks]{};

// For the metrics: flows each sink has taken since start, and the last pass's size and length.
std::atomic<uint64_t> written[kMaxSinks]{};
std::atomic<uint64_t> last_pass_flows{0};
std::atomic<uint64_t> last_pass_micros{0};

// Returns the number of flows taken.
uint64_t AppendToPending(const FlowChain& taken) {
    if (taken.head == nullptr) return 0;
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (TakesFlows(*kSinks[s]) && cursors[s].block == nullptr)
            cursors[s] = Cursor{taken.head, 0};
    }
    if (pending.tail != nullptr) {
        pending.tail->next = taken.head;
    } else {
        pending.head = taken.head;
    }
    pending.tail = taken.tail;
    uint64_t flows = 0;
    for (const FlowBlock* block = taken.head; block != nullptr; block = block->next)
        flows += block->count;
    return flows;
}

// The records from index on that share the switch of the first; the switch is read per record,
// so a toggle takes effect between two records.
size_t RunOfSameSwitch(const Sink& sink, const FlowBlock* block, size_t index, bool* on) {
    *on = SinkOn(sink);
    size_t end = index + 1;
    while (end < block->count && SinkOn(sink) == *on) ++end;
    return end - index;
}

// Writes the sink's share of the pending chain; stops early when its database is locked.
void Drain(size_t s, Patience patience) {
    const Sink& sink = *kSinks[s];
    Cursor& at = cursors[s];
    while (at.block != nullptr) {
        while (at.index < at.block->count) {
            bool on = false;
            const size_t run = RunOfSameSwitch(sink, at.block, at.index, &on);
            if (!on) {
                at.index += run;
                continue;
            }
            const size_t took = sink.write(&at.block->flows[at.index], run, patience);
            at.index += took;
            written[s].fetch_add(took, std::memory_order_relaxed);
            if (took > 0) uncommitted[s] = true;
            if (took < run) return;
        }
        at = Cursor{at.block->next, 0};
    }
}

bool WrittenByEverySink(const FlowBlock* block) {
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (cursors[s].block == block) return false;
    }
    return true;
}

void ReleaseWrittenBlocks() {
    while (pending.head != nullptr && WrittenByEverySink(pending.head)) {
        FlowBlock* block = pending.head;
        pending.head = block->next;
        if (pending.head == nullptr) pending.tail = nullptr;
        ReleaseFlowBlock(block);
    }
}

template <size_t S>
uint64_t WrittenBy() {
    return written[S].load(std::memory_order_relaxed);
}

template <size_t... S>
constexpr std::array<uint64_t (*)(), kMaxSinks> WrittenReaders(std::index_sequence<S...>) {
    return {WrittenBy<S>...};
}

// The metrics' reading of sink s's written flows is kWrittenBy[s].
constexpr auto kWrittenBy = WrittenReaders(std::make_index_sequence<kMaxSinks>());

uint64_t RefusedFlows() { return GetStorageRefusals().flows; }
uint64_t LastPassFlows() { return last_pass_flows.load(std::memory_order_relaxed); }
uint64_t LastPassMicros() { return last_pass_micros.load(std::memory_order_relaxed); }

constexpr Reading kReadings[] = {
    {kDroppedFlows, "storage_queue", RefusedFlows},
    {kStorageQueue, nullptr, GetStorageQueueFlows},
    {kPassDuration, nullptr, LastPassMicros},
    {kPassFlows, nullptr, LastPassFlows},
};

// Workers still finishing their jobs hand in flows after shutdown has begun; waiting for the
// last of them lets the final pass write every flow decoded before the end.
void WaitForWorkers() {
    while (AliveThreadsOfType(kWorkerThread) > 0) usleep(kWorkerPollMicros);
}

}  // namespace

SinkLock::SinkLock() {
    pthread_mutex_lock(&sink_mutex);
    sink_lock_held = true;
}

SinkLock::~SinkLock() { ReleaseSinkLock(); }

bool SinkLockHeldHere() { return sink_lock_held; }

bool TakeSinkLockWithin(long milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (pthread_mutex_trylock(&sink_mutex) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(kLockPollMicros);
    }
    sink_lock_held = true;
    return true;
}

void ReleaseSinkLock() {
    sink_lock_held = false;
    pthread_mutex_unlock(&sink_mutex);
}

void InitStorage() {
    AddExitHook(CloseStorage);
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (TakesFlows(*kSinks[s]) && SinkOn(*kSinks[s])) kSinks[s]->open();
    }
}

// Never closes a handle under a storage pass that is using it. The lock taken here is kept:
// nothing may touch the handles between their close and the exit.
void CloseStorage() {
    if (!SinkLockHeldHere() && !TakeSinkLockWithin(kCloseWaitMillis)) return;
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (TakesFlows(*kSinks[s])) kSinks[s]->close();
    }
}

void StoragePass(Patience patience) {
    const auto began = std::chrono::steady_clock::now();
    SinkLock lock;
    WriteTrashLines();
    last_pass_flows.store(AppendToPending(TakeStorageQueue()), std::memory_order_relaxed);
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (!TakesFlows(*kSinks[s])) continue;
        Drain(s, patience);
        if (uncommitted[s] && kSinks[s]->commit(patience)) uncommitted[s] = false;
    }
    ReleaseWrittenBlocks();
    const auto took = std::chrono::steady_clock::now() - began;
    last_pass_micros.store(std::chrono::duration_cast<std::chrono::microseconds>(took).count(),
                           std::memory_order_relaxed);
}

// The storage's own series first, then each sink's flows written and its own series.
void AddStorageReadings() {
    AddReadings(kReadings, std::size(kReadings));
    for (size_t s = 0; s < kSinkCount; ++s) {
        const Sink& sink = *kSinks[s];
        if (TakesFlows(sink)) {
            const Reading flows{kWrittenFlows, sink.name,
                                sink.written != nullptr ? sink.written : kWrittenBy[s]};
            AddReadings(&flows, 1);
        }
        AddReadings(sink.readings, sink.reading_count);
    }
}

void* StorageJob(void* /*unused*/) {
    {
        // A snapshot or rotation asked for at start-up must not meet a half-opened handle.
        SinkLock lock;
        InitStorage();
    }
    while (ShutdownInProgress() != 1) {
        const timespec deadline = MonotonicDeadline(kPassInterval);
        StoragePass();
        WaitForStorageWork(deadline);
    }
    WaitForWorkers();
    StoragePass(Patience::kUntilDone);
    EndThread(FindThread(kStorageThread), 0);
    return nullptr;
}
