// Packet job list: round-robin assignment, the tail cache, the search, the look-ahead and the
// reclaim pass, checked through the list's links and the allocator counters.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/counters.h"
#include "common/memory.h"
#include "sched/joblist.h"
#include "sched/wait.h"

namespace {

sockaddr_in Sender(const char* dotted, uint16_t port) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &from.sin_addr);
    return from;
}

// Queues a datagram of `size` bytes, each byte `fill`, and returns its job.
JobItem* Queue(size_t size, char fill = 'x') {
    const std::vector<char> datagram(size, fill);
    const sockaddr_in from = Sender("192.0.2.1", 2055);
    AddJob(datagram.data(), static_cast<long>(size), reinterpret_cast<const sockaddr*>(&from));
    LockGuard lock(PacketList_mutex);
    return FindFirstSlot();
}

// The list in order, checking on the way that every prev link mirrors its next link.
std::vector<JobItem*> Jobs() {
    LockGuard lock(PacketList_mutex);
    std::vector<JobItem*> jobs;
    const JobItem* prev = nullptr;
    for (JobItem* job = head; job != nullptr; job = job->next) {
        EXPECT_EQ(job->prev, prev);
        jobs.push_back(job);
        prev = job;
    }
    return jobs;
}

void Complete(JobItem* job) { job->JobComplete.store(1); }

void Drain() {
    for (JobItem* job : Jobs()) Complete(job);
    ReclaimCompletedJobs();
}

// Brings the round-robin cursor back to 0, where it starts: the next job goes to worker 1.
void RewindCursor() {
    while (GetNextThread() != 0) {
    }
}

class JobList : public ::testing::Test {
protected:
    void SetUp() override {
        Drain();
        SetThreadCount(4);
        RewindCursor();
        held_ = GetMallocTotal();
        blocks_ = GetMallocCounts() - GetFreeCounts();
    }
    // Every job of a test is reclaimed with the sizes it was allocated with.
    void TearDown() override {
        Drain();
        EXPECT_EQ(head, nullptr);
        EXPECT_EQ(GetMallocTotal(), held_);
        EXPECT_EQ(GetMallocCounts() - GetFreeCounts(), blocks_);
    }

private:
    unsigned long held_ = 0;
    unsigned int blocks_ = 0;
};

TEST_F(JobList, AssignsWorkersRoundRobin) {
    std::vector<int> assigned;
    for (int i = 0; i < 5; ++i) assigned.push_back(Queue(10)->thread_assigned);
    EXPECT_EQ(assigned, (std::vector<int>{1, 2, 3, 0, 1}));

    // The cursor is not reset when the list empties.
    Drain();
    EXPECT_EQ(Queue(10)->thread_assigned, 2);

    SetThreadCount(1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Queue(10)->thread_assigned, 0);
}

TEST_F(JobList, FirstJobBecomesHeadAndCachedTail) {
    const uint32_t received = GetReceivedCount();
    std::vector<char> datagram{'a'};
    sockaddr_in from = Sender("198.51.100.7", 9995);
    AddJob(datagram.data(), 1, reinterpret_cast<const sockaddr*>(&from));
    // The job holds copies: the caller's buffers are free for the next datagram.
    datagram[0] = 'b';
    from.sin_port = 0;

    ASSERT_NE(head, nullptr);
    EXPECT_EQ(LastItem, head);
    EXPECT_EQ(IsLastItemValid, 1);
    EXPECT_EQ(head->next, nullptr);
    EXPECT_EQ(head->packetsize, 1);
    EXPECT_EQ(head->packet[0], 'a');
    const auto* copy = reinterpret_cast<const sockaddr_in*>(head->from);
    EXPECT_EQ(ntohs(copy->sin_port), 9995);
    EXPECT_EQ(ntohl(copy->sin_addr.s_addr), 0xC6336407u);
    EXPECT_EQ(GetReceivedCount(), received + 1);
}

TEST_F(JobList, AppendsAfterTrueTailOnceThePassClearedTheCache) {
    JobItem* a = Queue(20);
    JobItem* b = Queue(21);
    Complete(Queue(22));
    ReclaimCompletedJobs();  // releases the cached tail
    EXPECT_EQ(IsLastItemValid, 0);

    JobItem* d = Queue(23);
    EXPECT_EQ(Jobs(), (std::vector<JobItem*>{a, b, d}));
    EXPECT_EQ(LastItem, d);
    EXPECT_EQ(IsLastItemValid, 1);
}

TEST_F(JobList, ReclaimUnlinksCompletedJobsAnywhere) {
    std::vector<JobItem*> jobs;
    for (int i = 0; i < 6; ++i) jobs.push_back(Queue(static_cast<size_t>(30 + i)));
    const uint32_t processed = GetProcessedCount();
    for (int i : {0, 2, 5}) Complete(jobs[static_cast<size_t>(i)]);

    ReclaimCompletedJobs();
    EXPECT_EQ(Jobs(), (std::vector<JobItem*>{jobs[1], jobs[3], jobs[4]}));
    EXPECT_EQ(GetQueueCount(), 6u);  // the pass counts the jobs it released too
    EXPECT_EQ(GetProcessedCount(), processed + 3);

    ReclaimCompletedJobs();
    EXPECT_EQ(GetQueueCount(), 3u);
    EXPECT_EQ(GetProcessedCount(), processed + 3);
}

TEST_F(JobList, FindFirstJobSkipsCompletedAndForeignJobs) {
    std::vector<JobItem*> jobs;  // workers 1, 2, 3, 0, 1, 2, 3, 0
    for (int i = 0; i < 8; ++i) jobs.push_back(Queue(40));
    EXPECT_EQ(FindFirstJob(1), jobs[0]);
    Complete(jobs[0]);
    EXPECT_EQ(FindFirstJob(1), jobs[4]);
    Complete(jobs[4]);
    EXPECT_EQ(FindFirstJob(1), nullptr);
    EXPECT_EQ(FindFirstJob(7), nullptr);  // a worker with no job at all
    EXPECT_EQ(FindFirstJob(0), jobs[3]);
}

TEST_F(JobList, LookAheadHitsOnlyAnIncompleteJobOfItsOwn) {
    std::vector<JobItem*> jobs;  // workers 1, 2, 3, 0, 1, 2, 3, 0, 1
    for (int i = 0; i < 9; ++i) jobs.push_back(Queue(50));
    EXPECT_EQ(PredictNextJob(jobs[0], 1, 4), jobs[4]);
    EXPECT_EQ(PredictNextJob(jobs[5], 2, 4), nullptr);  // the end of the list is a miss
    EXPECT_EQ(PredictNextJob(jobs[0], 1, 0), nullptr);  // never the job itself

    // Job 8 already parsed: a look-ahead that skipped job 4 after a reclaim got there first.
    Complete(jobs[8]);
    EXPECT_EQ(PredictNextJob(jobs[4], 1, 4), nullptr);

    // A reclaimed job of another worker shifts the rotation: the step lands elsewhere.
    Complete(jobs[2]);
    ReclaimCompletedJobs();
    EXPECT_EQ(PredictNextJob(jobs[0], 1, 4), nullptr);
    EXPECT_EQ(PredictNextJob(jobs[0], 1, 3), jobs[4]);
}

TEST(JobListDeath, NullDatagramFailsTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const sockaddr_in from = Sender("192.0.2.1", 2055);
    EXPECT_DEATH(AddJob(nullptr, 1, reinterpret_cast<const sockaddr*>(&from)),
                 "failed assertion `packet != NULL'");
}

}  // namespace
