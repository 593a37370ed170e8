#pragma once
// Dispatcher counters: datagrams queued, the backlog the maintainer's last pass found, jobs parsed
// and handed back. Read without a lock by the maintainer and the diagnostic dump.
#include <cstdint>

uint32_t GetReceivedCount();
uint32_t GetQueueCount();
uint32_t GetProcessedCount();
void IncrementReceived();
void AddProcessed(uint32_t jobs);
void SetQueueCount(uint32_t jobs);
