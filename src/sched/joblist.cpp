#include "sched/joblist.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/clock.h"
#include "common/counters.h"
#include "common/lock.h"
#include "common/memory.h"
#include "common/messages.h"
#include "common/metrics.h"
#include "common/settings.h"
#include "common/shutdown.h"

// Statically initialised and never initialised again: the receive loop may queue a job before
// any worker has been scheduled, so nothing may reset the lock under it.
pthread_mutex_t PacketList_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> TotalThreads{0};

namespace {

// A worker takes at most this many jobs at once, so that a burst is spread over all of them.
constexpr int kMostTaken = 64;
constexpr std::chrono::milliseconds kRoomWait{100};
constexpr std::chrono::milliseconds kStoppingPause{100};

// Guarded by PacketList_mutex.
JobChain queued;               // published, not yet taken by a worker
JobItem* free_jobs = nullptr;  // handed back, ready for reuse
int free_count = 0;
int idle_workers = 0;
bool receiver_waiting = false;
pthread_cond_t jobs_ready = PTHREAD_COND_INITIALIZER;
pthread_cond_t room_made = PTHREAD_COND_INITIALIZER;
pthread_cond_t maintainer_wake = PTHREAD_COND_INITIALIZER;

// Written under the lock; read without it by the receive loop when it sizes a read.
std::atomic<int> backlog{0};

// The receive loop's own: jobs filled but not yet published, and free jobs to fill.
JobChain pending;
JobItem* stash = nullptr;
int stash_count = 0;

void Append(JobChain& to, const JobChain& from) {
    if (from.count == 0) return;
    if (to.count == 0) {
        to = from;
        return;
    }
    to.last->next = from.first;
    to.last = from.last;
    to.count += from.count;
}

JobChain PopFront(JobChain& from, int count) {
    JobChain taken;
    if (count <= 0 || from.count == 0) return taken;
    taken.first = from.first;
    taken.last = from.first;
    taken.count = 1;
    while (taken.count < count && taken.last->next != nullptr) {
        taken.last = taken.last->next;
        ++taken.count;
    }
    from.first = taken.last->next;
    from.count -= taken.count;
    if (from.count == 0) from.last = nullptr;
    taken.last->next = nullptr;
    return taken;
}

int Limit() { return static_cast<int>(std::clamp<unsigned long>(GetMaxThrottle(), 1, INT_MAX)); }

// Once the backlog is full the receive loop waits until this much is parsed, so that it then
// reads whole batches rather than one datagram per wake-up.
int ResumeLevel() {
    const int limit = Limit();
    return limit - std::min(kReceiveBatch, (limit + 1) / 2);
}

// Lock held. Refills the receive loop's stash from the handed-back jobs.
void RefillStash() {
    while (stash_count < kReceiveBatch && free_jobs != nullptr) {
        JobItem* job = free_jobs;
        free_jobs = job->next;
        --free_count;
        job->next = stash;
        stash = job;
        ++stash_count;
    }
}

JobItem* NewJob() {
    if (stash == nullptr) return new (allocate_mem(sizeof(JobItem))) JobItem{};
    JobItem* job = stash;
    stash = job->next;
    --stash_count;
    job->next = nullptr;
    return job;
}

// Room for size bytes: inside the job, or its spill block, grown if too small.
char* PacketRoom(JobItem* job, size_t size) {
    if (size <= sizeof job->inline_packet) return job->inline_packet;
    if (size > job->spill_size) {
        if (job->spill != nullptr) release_mem(job->spill, job->spill_size);
        job->spill = static_cast<char*>(allocate_mem(size));
        job->spill_size = size;
    }
    return job->spill;
}

void DestroyJob(JobItem* job) {
    if (job->spill != nullptr) release_mem(job->spill, job->spill_size);
    job->~JobItem();
    release_mem(job, sizeof(JobItem));
}

// Lock held. The parsed jobs become free jobs; the receive loop is woken if it waits for room.
void HandBack(const JobChain& parsed) {
    parsed.last->next = free_jobs;
    free_jobs = parsed.first;
    free_count += parsed.count;
    backlog.fetch_sub(parsed.count, std::memory_order_relaxed);
    AddProcessed(static_cast<uint32_t>(parsed.count));
    if (receiver_waiting && backlog.load(std::memory_order_relaxed) <= ResumeLevel())
        pthread_cond_signal(&room_made);
}

// Lock held. A fair share of the queue, so that the other workers get jobs of a burst too.
int TakeSize() {
    const int share = queued.count / std::max(TotalThreads.load(std::memory_order_relaxed), 1);
    return std::clamp(share, 1, kMostTaken);
}

// Lock held. Enough workers to take the queue in one go each: a worker that is awake takes the
// next jobs as soon as it has parsed its own, and waking more than the queue needs only makes
// them queue for the lock. A queue that outgrows the awake workers wakes more of them.
int WorkersToWake() {
    const int awake = std::max(TotalThreads.load(std::memory_order_relaxed) - idle_workers, 0);
    const int needed = (queued.count + kMostTaken - 1) / kMostTaken;
    return std::clamp(needed - awake, 0, idle_workers);
}

// Waits on cond until deadline, until a wake-up, or for good when deadline is null.
int Wait(pthread_cond_t& cond, const timespec* deadline) {
    if (deadline == nullptr) return pthread_cond_wait(&cond, &PacketList_mutex);
    return pthread_cond_clockwait(&cond, &PacketList_mutex, CLOCK_MONOTONIC, deadline);
}

}  // namespace

void SetThreadCount(int nThreads) { TotalThreads.store(nThreads, std::memory_order_relaxed); }

void AddJob(const char* packet, long packetsize, const sockaddr* from,
            const NetFlowHeader* header, ExportPlan* plan) {
    NF_ASSERT(packet != nullptr, "packet != NULL");
    NF_ASSERT(from != nullptr, "from != NULL");
    NF_ASSERT(packetsize > 0 && packetsize <= INT_MAX, "packetsize > 0");
    JobItem* job = NewJob();
    const auto size = static_cast<size_t>(packetsize);
    job->packet = PacketRoom(job, size);
    std::memcpy(job->packet, packet, size);
    job->packetsize = static_cast<int>(packetsize);
    std::memcpy(&job->from, from,
                from->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    job->decoded = header != nullptr;
    if (header != nullptr) job->header = *header;
    if (plan != nullptr) std::swap(job->plan, *plan);
    Append(pending, JobChain{job, job, 1});
    IncrementReceived();
}

void PublishJobs() {
    if (pending.count == 0) return;
    int wake;
    {
        LockGuard lock(PacketList_mutex);
        Append(queued, pending);
        backlog.fetch_add(pending.count, std::memory_order_relaxed);
        RefillStash();
        wake = WorkersToWake();
    }
    pending = JobChain{};
    for (int i = 0; i < wake; ++i) pthread_cond_signal(&jobs_ready);
}

int RoomForJobs() { return std::max(Limit() - backlog.load(std::memory_order_relaxed), 0); }

int JobBacklog() { return backlog.load(std::memory_order_relaxed); }

namespace {

uint64_t Backlog() { return static_cast<uint64_t>(std::max(JobBacklog(), 0)); }

constexpr Reading kReadings[] = {{kJobBacklog, nullptr, Backlog}};

}  // namespace

void AddJobListReadings() { AddReadings(kReadings, std::size(kReadings)); }

bool WaitForRoom() {
    if (RoomForJobs() > 0) return true;
    const timespec deadline = MonotonicDeadline(kRoomWait);
    LockGuard lock(PacketList_mutex);
    receiver_waiting = true;
    int result = 0;
    while (result != ETIMEDOUT && backlog.load(std::memory_order_relaxed) > ResumeLevel())
        result = Wait(room_made, &deadline);
    receiver_waiting = false;
    return RoomForJobs() > 0;
}

JobChain TakeJobs(JobChain parsed) {
    // The plans' templates go now, so a withdrawn template's memory is not held by idle jobs.
    for (JobItem* job = parsed.first; job != nullptr; job = job->next) job->plan.Clear();
    LockGuard lock(PacketList_mutex);
    if (parsed.count > 0) HandBack(parsed);
    while (queued.count == 0 && ShutdownInProgress() == 0) {
        ++idle_workers;
        Wait(jobs_ready, nullptr);
        --idle_workers;
    }
    return PopFront(queued, TakeSize());
}

void ReclaimCompletedJobs() {
    JobChain spare;
    {
        LockGuard lock(PacketList_mutex);
        const int jobs = backlog.load(std::memory_order_relaxed);
        SetQueueCount(static_cast<uint32_t>(jobs));
        JobChain pool{free_jobs, nullptr, free_count};
        spare = PopFront(pool, free_count - std::max(jobs, kReceiveBatch));
        free_jobs = pool.first;
        free_count = pool.count;
    }
    for (JobItem* job = spare.first; job != nullptr;) {
        JobItem* following = job->next;
        DestroyJob(job);
        job = following;
    }
}

// TotalThreads + 1 seconds, cut short once shutdown has begun. During a shutdown it still waits
// 100 ms, so that its passes never follow each other without a pause.
void YieldCPU() {
    const bool stopping = ShutdownInProgress() == 1;
    const auto pause = stopping ? std::chrono::nanoseconds(kStoppingPause)
                                : std::chrono::seconds(TotalThreads.load() + 1);
    const timespec deadline = MonotonicDeadline(pause);
    LockGuard lock(PacketList_mutex);
    int result = 0;
    while (result != ETIMEDOUT && (stopping || ShutdownInProgress() == 0))
        result = Wait(maintainer_wake, &deadline);
}

void WakeDispatchThreads() {
    LockGuard lock(PacketList_mutex);
    pthread_cond_broadcast(&jobs_ready);
    pthread_cond_broadcast(&maintainer_wake);
}
