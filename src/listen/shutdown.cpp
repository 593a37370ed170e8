#include "listen/shutdown.h"

#include <atomic>

namespace {

std::atomic<int> ShuttingDown{0};

}  // namespace

void StartShutdown() { ShuttingDown.store(1, std::memory_order_relaxed); }
int ShutdownInProgress() { return ShuttingDown.load(std::memory_order_relaxed); }
