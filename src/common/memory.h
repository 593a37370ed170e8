#pragma once
// Tracked allocator: every queue node, datagram copy, record and large buffer of the
// daemon is allocated and released here, so the counters can be reported at any time.
// The caller states the block's size again at release; the allocator keeps no sizes.
#include <cstddef>

void InitMemoryManager();

// Never returns null: an allocation failure ends the process with status 1.
void* allocate_mem(size_t size);
void release_mem(void* ptr, size_t size);

// Counter snapshots (diagnostics only).
unsigned long GetMallocTotal();
unsigned int GetMallocCounts();
unsigned int GetFreeCounts();
