#include "sched/workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#include "common/counters.h"
#include "entry/settings.h"
#include "listen/shutdown.h"
#include "parser/netflow.h"
#include "sched/joblist.h"
#include "sched/registry.h"
#include "sched/wait.h"

namespace {

// The throttle: written by the receiving thread only, read by every worker and the maintainer.
std::atomic<int> under_pressure{0};
// Shared look-ahead statistics of all workers; they only steer the batch size.
std::atomic<long> predictionhits{0};
std::atomic<long> predictionfails{0};

constexpr long kBatchPerWorker = 4;
// The maintainer's pause is slept in slices this long, so that it notices a shutdown soon.
constexpr std::chrono::milliseconds kPauseSlice{100};
// Searches without a job before an idle worker starts to sleep kIdlePause between searches.
constexpr int kBusySearches = 1000;
constexpr std::chrono::milliseconds kIdlePause{10};

// Saturates: an idle worker adapts thousands of times a second for as long as the daemon runs.
void CountPrediction(std::atomic<long>& counter) {
    long value = counter.load(std::memory_order_relaxed);
    while (value < LONG_MAX &&
           !counter.compare_exchange_weak(value, value + 1, std::memory_order_relaxed)) {
    }
}

// A batch of at least one job, even if the thread count was never set.
int MinimumBatch() { return std::max(TotalThreads.load(std::memory_order_relaxed), 1); }

// Once shutdown has begun nobody calls SetThrottle any more, so a flag left raised by the last
// datagram must not hold the threads that the shutdown waits for.
void HoldWhileReceiving() {
    while (IsReceiving() == 1 && ShutdownInProgress() == 0) WaitState();
}

// One WaitState after a search that found nothing; once a worker has found nothing for a while it
// also sleeps kIdlePause, so a quiet collector does not spend a core on searching an empty list.
// The receive loop holds the workers while datagrams arrive anyway, so the pause delays no job.
void PauseWhileIdle(int& idle_searches) {
    WaitState();
    if (idle_searches < kBusySearches) {
        ++idle_searches;
        return;
    }
    std::this_thread::sleep_for(kIdlePause);
}

JobItem* LookAhead(const JobItem* job, int threadid) {
    JobItem* next = PredictNextJob(job, threadid, TotalThreads.load(std::memory_order_relaxed));
    CountPrediction(next != nullptr ? predictionhits : predictionfails);
    return next;
}

// Parses up to acceleratefactor jobs of this worker, following the round-robin prediction.
void RunBatch(JobItem* job, int threadid, int acceleratefactor) {
    for (int iteration = 0; job != nullptr && iteration < acceleratefactor; ++iteration) {
        NetFlowPacketParser(job->packet, job->from, job->packetsize);
        // Look ahead while the job is still incomplete: once it is complete the maintainer may
        // release it, and its links with it.
        JobItem* next = iteration + 1 < acceleratefactor ? LookAhead(job, threadid) : nullptr;
        // Release: the parser's reads of the job come before the maintainer frees it.
        job->JobComplete.store(1, std::memory_order_release);
        job = next;
    }
}

}  // namespace

// TotalThreads + 1 seconds, cut short once shutdown has begun: the maintainer's last passes
// would otherwise dominate the time a shutdown takes. During a shutdown it still sleeps one
// slice, so its passes never follow each other without a pause.
void YieldCPU() {
    using std::chrono::steady_clock;
    const std::chrono::seconds pause{TotalThreads.load(std::memory_order_relaxed) + 1};
    const auto deadline = steady_clock::now() + pause;
    for (auto now = steady_clock::now(); now < deadline; now = steady_clock::now()) {
        std::this_thread::sleep_for(std::min<steady_clock::duration>(deadline - now, kPauseSlice));
        if (ShutdownInProgress() == 1) return;
    }
}

int InitialBatchSize() {
    const long size = kBatchPerWorker * TotalThreads.load(std::memory_order_relaxed);
    return static_cast<int>(std::clamp<long>(size, MinimumBatch(), INT_MAX));
}

int AdaptBatchSize(int acceleratefactor) {
    const long hits = predictionhits.load(std::memory_order_relaxed);
    const long fails = predictionfails.load(std::memory_order_relaxed);
    if (fails > hits) return std::max(acceleratefactor - 1, MinimumBatch());
    if (hits > fails && acceleratefactor < INT_MAX) return acceleratefactor + 1;
    return acceleratefactor;
}

long GetPredictionHits() { return predictionhits.load(std::memory_order_relaxed); }
long GetPredictionFails() { return predictionfails.load(std::memory_order_relaxed); }

int IsReceiving() { return under_pressure.load(std::memory_order_relaxed); }

void SetThrottle(int condition) {
    if (under_pressure.load(std::memory_order_relaxed) == 1 && condition == 1) {
        // Signed: a stale received count read before a newer processed count must not wrap.
        const auto backlog = static_cast<int32_t>(GetReceivedCount() - GetProcessedCount());
        // Past the limit the flag alternates, letting the workers in between datagrams.
        if (backlog > 0 && static_cast<unsigned long>(backlog) > GetMaxThrottle())
            under_pressure.store(0, std::memory_order_relaxed);
        return;
    }
    under_pressure.store(condition, std::memory_order_relaxed);
}

void* ThreadWorker(void* threadid_arg) {
    const int threadid = static_cast<int>(reinterpret_cast<intptr_t>(threadid_arg));
    int acceleratefactor = InitialBatchSize();
    int idle_searches = 0;
    for (;;) {
        acceleratefactor = AdaptBatchSize(acceleratefactor);
        HoldWhileReceiving();
        // Read before the search: a job queued just before the shutdown began is then found.
        const bool stopping = ShutdownInProgress() == 1;
        JobItem* job = FindFirstJob(threadid);
        if (job != nullptr) {
            idle_searches = 0;
            RunBatch(job, threadid, acceleratefactor);
            continue;
        }
        if (stopping) break;
        PauseWhileIdle(idle_searches);
    }
    EndThread(pthread_t{}, threadid);
    return nullptr;
}

void* JobListMaintainer(void* /*nThreads*/) {
    // The dispatcher counters and PacketList_mutex are ready by static initialisation; they are
    // not reset here, since the receive loop may already be queuing jobs.
    for (;;) {
        HoldWhileReceiving();
        // Read before the pass, so that the empty pass that ends the thread began after the
        // shutdown, when no job can be queued any more.
        const bool stopping = ShutdownInProgress() == 1;
        ReclaimCompletedJobs();
        if (stopping && GetQueueCount() == 0) break;
        YieldCPU();
    }
    // Unregistered (as in tests), FindThread gives no handle, and EndThread would then end the
    // entry of worker 0.
    const pthread_t self = FindThread(kDispatcherThread);
    if (self != pthread_t{}) EndThread(self, 0);
    return nullptr;
}
