#pragma once
// The packet job list: one job per received datagram, oldest first. The receive loop appends
// jobs in batches; workers take the oldest ones and hand them back once parsed, in the same
// lock, and handed-back jobs are reused for later datagrams. The jobs received but not yet
// parsed are the backlog, which the -i limit bounds: past it the receive loop stops reading.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

#include "parser/netflow.h"

// Room inside a job for the largest v5 datagram (a header and 30 records); a longer datagram
// goes to a block the job keeps for the next one.
constexpr int kInlinePacketSize = kV5HeaderSize + 30 * kV5RecordSize;

struct JobItem {
    JobItem* next;
    char* packet;  // inline_packet, or spill
    int packetsize;
    // A tracked block for datagrams too long for inline_packet, kept while the job is pooled.
    char* spill;
    size_t spill_size;
    sockaddr_in6 from;  // or a sockaddr_in, as sa_family says
    bool decoded;       // header holds the datagram's header, which the parser accepts
    NetFlowHeader header;
    ExportPlan plan;  // v9 and IPFIX: what the receive loop found of it
    char inline_packet[kInlinePacketSize];
};

// A run of jobs linked through next, first to last.
struct JobChain {
    JobItem* first = nullptr;
    JobItem* last = nullptr;
    int count = 0;
};

// Datagrams the receive loop reads with one system call, at most.
constexpr int kReceiveBatch = 64;

extern pthread_mutex_t PacketList_mutex;
extern std::atomic<int> TotalThreads;

void SetThreadCount(int nThreads);

// Receive loop only. AddJob copies a datagram into a job kept aside until PublishJobs appends
// every job kept aside since the last call, with one lock, and wakes idle workers. A header the
// receive loop has already decoded (or null) goes with it, so the parser need not decode it again,
// and so does a plan: swapped with the job's, which leaves plan holding a cleared one to reuse.
void AddJob(const char* packet, long packetsize, const sockaddr* from,
            const NetFlowHeader* header = nullptr, ExportPlan* plan = nullptr);
void PublishJobs();
// How many more datagrams fit in the backlog (the -i limit, at least 1).
int RoomForJobs();
// Datagrams received and not yet parsed, as any thread may read it.
int JobBacklog();
// Adds the backlog to the metrics' readings.
void AddJobListReadings();
// While the backlog is full, waits up to 100 ms for the workers to make room; true if there is.
bool WaitForRoom();

// Workers: hands back the jobs of the last call, parsed, and waits for the oldest jobs not yet
// taken. An empty chain means shutdown has begun and no job is left.
JobChain TakeJobs(JobChain parsed);

// Maintainer: releases pooled jobs beyond what the backlog needs and counts the backlog; waits
// up to TotalThreads + 1 seconds, or 100 ms once shutdown has begun, between two passes.
void ReclaimCompletedJobs();
void YieldCPU();

// Wakes every thread waiting in TakeJobs or YieldCPU, so that it sees the shutdown flag.
void WakeDispatchThreads();
