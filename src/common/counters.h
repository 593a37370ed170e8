#pragma once
// Dispatcher counters: datagrams queued, jobs seen by the last reclaim pass, jobs reclaimed.
// Read without a lock by the throttle and the diagnostic dump.
#include <cstdint>

void InitQueueCounters();
uint32_t GetReceivedCount();
uint32_t GetQueueCount();
uint32_t GetProcessedCount();
void IncrementReceived();
void IncrementQueued();
void IncrementProcessed();
void ResetQueued();
