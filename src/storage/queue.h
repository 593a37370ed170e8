#pragma once
// The storage queue: workers hand in each datagram's flows at once, the storage thread takes the
// whole queue in one step and writes it outside the lock. Flows live in blocks of kBlockFlows,
// so a record costs no allocation of its own.
#include <pthread.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "common/flow.h"

// At most this many flows wait for the sinks (queued, or taken but not yet written by every
// enabled sink): about 60 MB. A datagram that does not fit is refused whole and counted.
constexpr size_t kQueueLimitFlows = size_t{1} << 20;
// A queue this long wakes the storage thread before its 5-second deadline.
constexpr size_t kWakeFlows = size_t{1} << 15;
constexpr size_t kBlockFlows = 1024;

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

// The queue's lock; held only to link flows in or take them out, never across a sink write.
extern pthread_mutex_t StoreData_mutex;

// Queues copies of one datagram's count flows, in order; false if the bound refused them all.
bool StoreNetFlowPacket(const FlowItem* flows, size_t count);
// Takes the whole queue, in O(1) under the lock.
FlowChain TakeStorageQueue();
// Releases a taken block: its flows no longer count against the bound.
void ReleaseFlowBlock(FlowBlock* block);

// Waits until deadline (CLOCK_MONOTONIC), WakeStorage, kWakeFlows queued flows or shutdown.
void WaitForStorageWork(const timespec& deadline);
// Ends the storage thread's wait at once.
void WakeStorage();

// The storage thread's body (pass.cpp), started by the listener.
void* StorageJob(void* unused);

uint32_t GetStorageWrittenCount();  // flows handed in since start
uint32_t GetStorageFreedCount();    // flows released after every sink wrote them
StorageRefusals GetStorageRefusals();
// Flows counted against the bound now: queued, or taken and not yet written by every sink.
uint64_t GetStorageQueueFlows();
void ShowDebugger();
