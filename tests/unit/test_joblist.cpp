// Packet job list, checked through its links and the allocator counters.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/counters.h"
#include "common/memory.h"
#include "sched/joblist.h"
#include "sched/wait.h"

namespace {

// Queues `size` bytes of 'x' from port `size` and returns its job; the buffers die here.
JobItem* Queue(size_t size) {
    const std::vector<char> datagram(size, 'x');
    const sockaddr_in from{AF_INET, htons(static_cast<uint16_t>(size)), {}, {}};
    AddJob(datagram.data(), static_cast<long>(size), reinterpret_cast<const sockaddr*>(&from));
    LockGuard lock(PacketList_mutex);
    return FindFirstSlot();
}

// The list in order, checking that every prev link mirrors its next link.
std::vector<JobItem*> Jobs() {
    LockGuard lock(PacketList_mutex);
    std::vector<JobItem*> jobs;
    for (JobItem* job = head; job != nullptr; job = job->next) {
        EXPECT_EQ(job->prev, jobs.empty() ? nullptr : jobs.back());
        jobs.push_back(job);
    }
    return jobs;
}

void Complete(JobItem* job) { job->JobComplete.store(1); }

void Drain() {
    for (JobItem* job : Jobs()) Complete(job);
    ReclaimCompletedJobs();
}

// Every job is released with the size it was allocated with, checked at the end.
TEST(JobList, RoundRobinSearchLookAheadReclaimAndTheTailCache) {
    const unsigned long held = GetMallocTotal();
    const unsigned int blocks = GetMallocCounts() - GetFreeCounts();
    SetThreadCount(4);  // the cursor starts at 0: the first job goes to worker 1
    std::vector<JobItem*> jobs;
    std::vector<int> assigned;
    for (size_t i = 0; i < 9; ++i) jobs.push_back(Queue(40 + i));
    for (JobItem* job : jobs) assigned.push_back(job->thread_assigned);
    EXPECT_EQ(assigned, (std::vector<int>{1, 2, 3, 0, 1, 2, 3, 0, 1}));
    EXPECT_EQ(FindFirstJob(1), jobs[0]);
    EXPECT_EQ(PredictNextJob(jobs[0], 1, 4), jobs[4]);
    EXPECT_EQ(PredictNextJob(jobs[5], 2, 4), nullptr);  // the end of the list is a miss
    Complete(jobs[0]);
    EXPECT_EQ(FindFirstJob(1), jobs[4]);
    Complete(jobs[4]);
    EXPECT_EQ(FindFirstJob(1), jobs[8]);
    Complete(jobs[8]);
    EXPECT_EQ(FindFirstJob(1), nullptr);
    EXPECT_EQ(PredictNextJob(jobs[4], 1, 4), nullptr);  // already parsed
    EXPECT_EQ(FindFirstJob(7), nullptr);                // a worker with no job at all
    EXPECT_EQ(FindFirstJob(0), jobs[3]);

    const uint32_t processed = GetProcessedCount();
    ReclaimCompletedJobs();  // head, middle and tail
    const std::vector<JobItem*> left{jobs[1], jobs[2], jobs[3], jobs[5], jobs[6], jobs[7]};
    EXPECT_EQ(Jobs(), left);
    EXPECT_EQ(GetQueueCount(), 9u);  // the pass counts the jobs it released too
    EXPECT_EQ(GetProcessedCount(), processed + 3);
    Drain();

    SetThreadCount(1);
    JobItem* a = Queue(20);
    EXPECT_EQ(std::string(a->packet, static_cast<size_t>(a->packetsize)), std::string(20, 'x'));
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in*>(a->from)->sin_port), 20);
    JobItem* b = Queue(21);
    Complete(Queue(22));
    ReclaimCompletedJobs();  // releases the cached tail
    EXPECT_EQ(IsLastItemValid, 0);
    JobItem* d = Queue(23);
    EXPECT_EQ(Jobs(), (std::vector<JobItem*>{a, b, d}));
    EXPECT_EQ(LastItem, d);
    EXPECT_EQ(IsLastItemValid, 1);
    for (JobItem* job : {a, b, d}) EXPECT_EQ(job->thread_assigned, 0);  // the only worker
    Drain();
    EXPECT_EQ(GetMallocTotal(), held);
    EXPECT_EQ(GetMallocCounts() - GetFreeCounts(), blocks);
}

}  // namespace
