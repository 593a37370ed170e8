#include "common/shutdown.h"

#include <atomic>

namespace {

std::atomic<int> ShuttingDown{0};

}  // namespace

// Release/acquire: a thread that sees the flag also sees every job queued before it was raised.
void StartShutdown() { ShuttingDown.store(1, std::memory_order_release); }
int ShutdownInProgress() { return ShuttingDown.load(std::memory_order_acquire); }
