#include "storage/queue.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "common/counters.h"
#include "common/memory.h"
#include "common/messages.h"
#include "entry/settings.h"
#include "listen/shutdown.h"
#include "sched/registry.h"
#include "sched/wait.h"
#include "storage/mysql_sink.h"
#include "storage/sqlite_sink.h"
#include "storage/textlog.h"

// Statically initialised: workers may hand in records before the storage thread has started.
pthread_mutex_t StoreData_mutex = PTHREAD_MUTEX_INITIALIZER;
JobStorage* datastore = nullptr;

namespace {

constexpr const char* kNoDataWarning = "Warning, data pointer but no data !!";
constexpr const char* kDebugGeneral =
    "\nDEBUG: General - Mallocs: %ld  - Free: %ld - To be freed: %ld";
constexpr const char* kDebugMemory = "DEBUG: Total allocated memory: %ld\n";
constexpr const char* kDebugDispatcher =
    "DEBUG: Dispatcher - Received: %ld - Queued: %ld - Processed: %ld";
constexpr const char* kDebugStorage = "DEBUG: Storage - Written: %ld - Freed: %ld ";

constexpr time_t kPassIntervalSeconds = 5;
// How soon a storage thread sleeping between passes notices that shutdown has begun.
constexpr long kSleepSliceNanos = 100'000'000;
constexpr long kNanosPerSecond = 1'000'000'000;
// Pause between looks at the registry while the last workers finish their jobs.
constexpr useconds_t kWorkerPollMicros = 10'000;

JobStorage* LastJob = nullptr;  // guarded by StoreData_mutex
// Written under the lock; IsStoring reads it without.
std::atomic<int> IsLastJobValid{0};
std::atomic<uint32_t> PacketsToStore{0};
std::atomic<uint32_t> PacketsFreed{0};

// Plain data: Terminate may exit while other threads still run.
thread_local bool store_lock_held = false;

JobStorage* NewStorageJob(const FlowItem* item) {
    FlowItem* record = new (allocate_mem(sizeof(FlowItem))) FlowItem(*item);
    return new (allocate_mem(sizeof(JobStorage))) JobStorage{record, nullptr, nullptr};
}

// Each switch is read afresh per record: a signal may flip the text log during a pass.
void WriteToSinks(const FlowItem* record) {
    if (IsTextLoggingEnabled() != 0) TextLogPacket(record);
    if (IsBinaryLoggingEnabled() != 0) SQLWrite(record);
    if (IsMYSQLLoggingEnabled() != 0) MySQLWrite(record);
}

// Lock held. Writes and releases every queued record in queue order; true if there was any.
bool DrainQueue() {
    LastJob = nullptr;
    IsLastJobValid.store(0, std::memory_order_relaxed);
    if (datastore == nullptr) return false;

    while (datastore != nullptr) {
        JobStorage* node = datastore;
        if (node->data != nullptr) {
            WriteToSinks(node->data);
            release_mem(node->data, sizeof(FlowItem));
        } else if (IsDetached() == 0) {
            trace(kNoDataWarning);
        }
        datastore = node->next;
        release_mem(node, sizeof(JobStorage));
        PacketsFreed.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

timespec NanosLater(timespec t, long nanos) {
    t.tv_nsec += nanos;
    t.tv_sec += t.tv_nsec / kNanosPerSecond;
    t.tv_nsec %= kNanosPerSecond;
    return t;
}

// Sleeps the interval between passes in short slices, so that once shutdown has begun the
// thread goes straight on to its final pass instead of holding the process up for 5 s.
void PauseBetweenPasses() {
    timespec deadline = MonotonicNow();
    deadline.tv_sec += kPassIntervalSeconds;
    while (ShutdownInProgress() != 1) {
        const timespec now = MonotonicNow();
        if (!Before(now, deadline)) return;
        timespec wake = NanosLater(now, kSleepSliceNanos);
        if (Before(deadline, wake)) wake = deadline;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    }
}

// Workers still finishing their jobs hand in records after shutdown has begun; waiting for
// the last of them lets the final pass write every record decoded before the end.
void WaitForWorkers() {
    while (AliveThreadsOfType(kWorkerThread) > 0) usleep(kWorkerPollMicros);
}

// The open SQLite batch is committed here, under the lock, rather than left to the close at
// termination, which may not get the lock in time.
void FinalPass() {
    {
        StoreLock lock;
        DrainQueue();
        CommitSQLiteBatch();
    }
    sync();
}

}  // namespace

StoreLock::StoreLock() {
    SpinLock(&StoreData_mutex);
    store_lock_held = true;
}

StoreLock::~StoreLock() {
    store_lock_held = false;
    pthread_mutex_unlock(&StoreData_mutex);
}

bool StoreLockHeldHere() { return store_lock_held; }

int StoreNetFlowPacket(const FlowItem* i) {
    AddStorageJob(i);
    PacketsToStore.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void AddStorageJob(const FlowItem* item) {
    // Copied before the lock is taken: workers wait on it for as long as a whole pass lasts,
    // so it is held only for the link.
    JobStorage* node = NewStorageJob(item);

    StoreLock lock;
    JobStorage* tail = GetLastJob();
    if (tail != nullptr) {
        node->prev = tail;
        tail->next = node;
    } else {
        datastore = node;
    }
    LastJob = node;
    IsLastJobValid.store(1, std::memory_order_relaxed);
}

JobStorage* GetLastJob() {
    if (IsLastJobValid.load(std::memory_order_relaxed) == 1) return LastJob;
    JobStorage* tail = datastore;
    while (tail != nullptr && tail->next != nullptr) tail = tail->next;
    return tail;
}

int IsStoring() { return IsLastJobValid.load(std::memory_order_relaxed); }

uint32_t GetStorageWrittenCount() { return PacketsToStore.load(std::memory_order_relaxed); }

uint32_t GetStorageFreedCount() { return PacketsFreed.load(std::memory_order_relaxed); }

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

void InitStorage() {
    InitSQLite();
    InitMySQL();
}

void StoragePass() {
    bool active;
    {
        StoreLock lock;
        active = DrainQueue();
    }
    if (active) sync();
}

void* StorageJob(void* /*unused*/) {
    {
        // A snapshot or rotation asked for at start-up must not meet a half-opened handle.
        StoreLock lock;
        InitStorage();
    }
    PacketsFreed.store(0, std::memory_order_relaxed);
    do {
        StoragePass();
        PauseBetweenPasses();
    } while (ShutdownInProgress() != 1);

    WaitForWorkers();
    FinalPass();
    EndThread(FindThread(kStorageThread), 0);
    return nullptr;
}
