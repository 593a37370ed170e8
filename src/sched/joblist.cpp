#include "sched/joblist.h"

#include <climits>
#include <cstring>
#include <new>

#include "common/counters.h"
#include "common/memory.h"
#include "common/messages.h"
#include "sched/wait.h"

// Statically initialised and never initialised again: the receive loop may queue a job before
// the maintainer thread has even been scheduled, so nothing may reset the lock under it.
pthread_mutex_t PacketList_mutex = PTHREAD_MUTEX_INITIALIZER;
JobItem* head = nullptr;
JobItem* LastItem = nullptr;
int IsLastItemValid = 0;
std::atomic<int> TotalThreads{0};

namespace {

constexpr size_t kAddressSize = 16;  // an IPv4 sockaddr_in, as recvfrom fills it in

// Only the receiving thread assigns jobs, so the cursor needs no lock.
int next_job_thread = 0;

JobItem* NewJob(const char* packet, int packetsize, const sockaddr* from) {
    // Value-initialised: incomplete, unlinked.
    JobItem* job = new (allocate_mem(sizeof(JobItem))) JobItem{};
    job->thread_assigned = GetNextThread();
    job->packet = static_cast<char*>(allocate_mem(static_cast<size_t>(packetsize)));
    std::memcpy(job->packet, packet, static_cast<size_t>(packetsize));
    job->packetsize = packetsize;
    job->from = static_cast<sockaddr*>(allocate_mem(kAddressSize));
    std::memcpy(job->from, from, kAddressSize);
    return job;
}

void ReleaseJob(JobItem* job) {
    release_mem(job->from, kAddressSize);
    release_mem(job->packet, static_cast<size_t>(job->packetsize));
    job->~JobItem();
    release_mem(job, sizeof(JobItem));
}

// Lock held. Returns the job that followed the one removed.
JobItem* UnlinkJob(JobItem* job) {
    JobItem* following = job->next;
    if (job == head) {
        head = following;
    } else if (job->prev != nullptr) {
        job->prev->next = following;
    }
    if (following != nullptr) following->prev = job->prev;
    return following;
}

}  // namespace

void AddJob(const char* packet, long packetsize, const sockaddr* from) {
    NF_ASSERT(packet != nullptr, "packet != NULL");
    NF_ASSERT(from != nullptr, "from != NULL");
    NF_ASSERT(packetsize > 0 && packetsize <= INT_MAX, "packetsize > 0");
    // Allocation and copying stay outside the lock; only the link update is serialised.
    JobItem* job = NewJob(packet, static_cast<int>(packetsize), from);

    LockGuard lock(PacketList_mutex);
    JobItem* tail = GetLastItem();
    if (tail != nullptr) {
        tail->next = job;
        job->prev = tail;
    } else {
        head = job;
    }
    LastItem = job;
    IsLastItemValid = 1;
    IncrementReceived();
}

JobItem* FindFirstJob(int threadid) {
    LockGuard lock(PacketList_mutex);
    for (JobItem* job = head; job != nullptr; job = job->next) {
        if (job->thread_assigned == threadid &&
            job->JobComplete.load(std::memory_order_acquire) == 0)
            return job;
    }
    return nullptr;
}

JobItem* PredictNextJob(const JobItem* job, int threadid, int steps) {
    // No step at all would land on the job itself, which its worker is about to complete.
    if (steps < 1) return nullptr;
    LockGuard lock(PacketList_mutex);
    const JobItem* reached = job;
    for (int step = 0; step < steps && reached != nullptr; ++step) reached = reached->next;
    // A completed job of our own is reached when the maintainer removed jobs between two
    // look-aheads; it may be released at any moment after we unlock, so it is a miss.
    if (reached == nullptr || reached->thread_assigned != threadid ||
        reached->JobComplete.load(std::memory_order_acquire) != 0)
        return nullptr;
    return const_cast<JobItem*>(reached);
}

void ReclaimCompletedJobs() {
    LockGuard lock(PacketList_mutex);
    ResetQueued();
    // The tail may be released below.
    IsLastItemValid = 0;
    JobItem* job = head;
    while (job != nullptr) {
        IncrementQueued();
        // Acquire pairs with the worker's release, so its last reads of the job come first.
        if (job->JobComplete.load(std::memory_order_acquire) != 1) {
            job = job->next;
            continue;
        }
        IncrementProcessed();
        JobItem* following = UnlinkJob(job);
        ReleaseJob(job);
        job = following;
    }
}

int GetNextThread() {
    if (next_job_thread < TotalThreads.load(std::memory_order_relaxed) - 1)
        ++next_job_thread;
    else
        next_job_thread = 0;
    return next_job_thread;
}

JobItem* FindFirstSlot() {
    JobItem* job = head;
    while (job != nullptr && job->next != nullptr) job = job->next;
    return job;
}

JobItem* GetLastItem() { return IsLastItemValid == 1 ? LastItem : FindFirstSlot(); }

void SetThreadCount(int nThreads) { TotalThreads.store(nThreads, std::memory_order_relaxed); }

void SetJobQueue() { head = nullptr; }
