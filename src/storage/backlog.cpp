#include "storage/backlog.h"

#include <algorithm>
#include <cstdio>

#include "common/memory.h"
#include "common/messages.h"

namespace {

// Each message begins with the server's name.
constexpr const char* kServerAway = "%s server unavailable, keeping its rows: %s";
constexpr const char* kBacklogFull = "%s backlog full, dropping rows";
constexpr const char* kServerBack = "%s server back: %zu rows kept, %llu dropped";
constexpr const char* kRowsLost = "%s rows lost: %zu";

}  // namespace

void BacklogCursor::Next() {
    if (++index < block->count) return;
    block = block->next;
    index = 0;
}

size_t Backlog::Keep(const FlowItem* flows, size_t count) {
    const size_t kept = std::min(count, kBacklogRows - rows);
    AppendFlows(chain, flows, kept);
    rows += kept;
    gauges->depth.store(rows, std::memory_order_relaxed);
    if (kept == count) return kept;
    gauges->dropped.fetch_add(count - kept, std::memory_order_relaxed);
    dropped_in_outage += count - kept;
    if (!drop_reported) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kBacklogFull, server);
        notify(message);
    }
    drop_reported = true;
    return kept;
}

void Backlog::Forget(size_t count) {
    rows -= count;
    gauges->depth.store(rows, std::memory_order_relaxed);
    first += count;
    while (chain.head != nullptr && first >= chain.head->count) {
        FlowBlock* block = chain.head;
        first -= block->count;
        chain.head = block->next;
        if (chain.head == nullptr) chain.tail = nullptr;
        release_mem(block, sizeof(FlowBlock));
    }
}

void Backlog::Lose(const char* reason) {
    if (!away) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kServerAway, server, reason);
        notify(message);
        away = true;
        retry_delay = kFirstRetry;
    }
    RetryLater();
}

void Backlog::Regain() {
    if (!away) return;
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kServerBack, server, rows, dropped_in_outage);
    notify(message);
    away = false;
    dropped_in_outage = 0;
    drop_reported = false;
}

void Backlog::RetryLater() {
    next_attempt = Clock::now() + retry_delay;
    retry_delay = std::min<Clock::duration>(2 * retry_delay, kLastRetry);
}

size_t Backlog::Clear() {
    const size_t lost = rows + dropped_in_outage;
    if (rows > 0) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kRowsLost, server, rows);
        notify(message);
    }
    Forget(rows);
    return lost;
}
