#pragma once
// The packet job list: one node per received datagram, in arrival order, each assigned
// round-robin to a worker. Appended by the receive loop, searched by the workers, pruned
// of completed jobs by the maintainer.
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

struct JobItem {
    int32_t thread_assigned;
    std::atomic<int> JobComplete;  // 0 -> 1 once, by the owning worker
    char* packet;
    sockaddr* from;  // 16-byte copy of the sender's address
    int packetsize;
    JobItem* prev;
    JobItem* next;
};

extern pthread_mutex_t PacketList_mutex;
extern JobItem* head;
extern JobItem* LastItem;
extern int IsLastItemValid;
extern std::atomic<int> TotalThreads;

void AddJob(const char* packet, long packetsize, const sockaddr* from);
JobItem* FindFirstJob(int threadid);
// The worker's look-ahead, under the lock: the job `steps` links after `job` if it is an
// incomplete job of `threadid`, else null (a miss). `job` must still be incomplete.
JobItem* PredictNextJob(const JobItem* job, int threadid, int steps);
// One maintainer pass: unlinks and releases every completed job, recounting the list.
void ReclaimCompletedJobs();
int GetNextThread();
JobItem* FindFirstSlot();  // lock held
JobItem* GetLastItem();    // lock held
void SetThreadCount(int nThreads);
void SetJobQueue();
