#pragma once
// The storage queue: workers hand in each datagram's flows at once, and every sink's writer reads
// them in order, at its own pace, through a reader of its own. A block is released once every
// reader has passed it, so the queue holds what the slowest reader has still to read. Flows live
// in blocks of kBlockFlows, so a record costs no allocation of its own.
#include <pthread.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "common/flow.h"

// At most this many flows wait in the queue: about 60 MB.
constexpr size_t kQueueLimitFlows = size_t{1} << 20;
// A reader this far behind the queue's newest flow is woken before its deadline.
constexpr size_t kWakeFlows = size_t{1} << 15;
constexpr size_t kBlockFlows = 1024;
// A full queue whose slowest reader is this far behind the fastest makes the slowest skip its
// oldest block, so that one sink that waits costs only that sink flows. Readers closer together
// than this are all too slow: the datagram is refused whole and counted.
constexpr size_t kSkipGap = kQueueLimitFlows / 4;
constexpr int kMaxReaders = 8;

struct FlowBlock {
    FlowBlock* next;
    size_t count;  // flows[0, count) are in use
    FlowItem flows[kBlockFlows];
};

// Blocks in hand-in order, head to tail.
struct FlowChain {
    FlowBlock* head;
    FlowBlock* tail;
};

// What the bound turned away since start; a metrics export reads these.
struct StorageRefusals {
    uint64_t datagrams;
    uint64_t flows;
};

// Appends copies of flows[0, count) to chain, in blocks taken as needed (caller's lock).
void AppendFlows(FlowChain& chain, const FlowItem* flows, size_t count);

// The queue's lock; held only to link flows in or copy them out, never across a sink write.
extern pthread_mutex_t StoreData_mutex;

// Queues copies of one datagram's count flows, in order; false if the bound refused them all.
// Once shutdown has begun nothing is refused: a full queue makes the caller wait for room.
bool StoreNetFlowPacket(const FlowItem* flows, size_t count);

// Adds a reader at the oldest flow queued. Main thread, before the writers start.
int AddQueueReader();
// Copies up to most flows from the reader's place into out and moves past them; 0 when it has
// read everything queued.
size_t ReadFlows(int reader, FlowItem* out, size_t most);
// For a sink that is off: moves the reader past every flow queued, and until its next ReadFlows
// the blocks it has not read are released as if it had.
void ParkReader(int reader);
// Waits until deadline (CLOCK_MONOTONIC), WakeQueueReaders, or until the reader has kWakeFlows
// flows to read.
void WaitForFlows(int reader, const timespec& deadline);
// Ends every reader's wait at once.
void WakeQueueReaders();
// Flows the reader skipped since start because it was too far behind.
uint64_t SkippedFlows(int reader);
// Flows queued that the reader has not read; none while it is parked.
uint64_t UnreadFlows(int reader);

uint32_t GetStorageWrittenCount();  // flows handed in since start
uint32_t GetStorageFreedCount();    // flows released after every reader passed them
StorageRefusals GetStorageRefusals();
// Flows the slowest reader has still to read.
uint64_t GetStorageQueueFlows();
void ShowDebugger();
