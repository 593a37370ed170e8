#pragma once
// What a sink for a remote server keeps while the server is away or behind: its rows in a bounded
// chain of blocks, oldest first, and the state of the outage (once-per-outage messages, the
// doubling delay between attempts). Storage thread only (sink lock held), but for the gauges.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "storage/queue.h"

// Rows kept for a server that is away (about 64 MiB); the newer ones past it are dropped.
constexpr size_t kBacklogRows = size_t{1} << 20;

// A place in the backlog: a block and a row in it.
struct BacklogCursor {
    const FlowBlock* block;
    size_t index;
    const FlowItem& Row() const { return block->flows[index]; }
    void Next();
};

// What the metrics read, from any thread.
struct BacklogGauges {
    std::atomic<uint64_t> dropped{0};  // rows dropped at the bound since start
    std::atomic<size_t> depth{0};      // rows kept now
};

// Plain data, so that a sink can start afresh by assigning a new one.
struct Backlog {
    using Clock = std::chrono::steady_clock;
    // The delay after the first loss of an outage; it doubles with each failed attempt, to kLast.
    static constexpr std::chrono::seconds kFirstRetry{1};
    static constexpr std::chrono::seconds kLastRetry{30};

    const char* server;  // the name its messages begin with: "MySQL", "ClickHouse"
    BacklogGauges* gauges;
    FlowChain chain{};
    size_t first = 0;  // rows of the head block before it are gone
    size_t rows = 0;
    bool away = false;
    Clock::duration retry_delay = kFirstRetry;
    Clock::time_point next_attempt{};
    unsigned long long dropped_in_outage = 0;
    bool drop_reported = false;

    // Appends what the bound leaves room for; the rest is dropped, counted and reported once.
    // Returns how many it kept.
    size_t Keep(const FlowItem* flows, size_t count);
    // Releases the oldest rows, which the server has taken.
    void Forget(size_t count);
    BacklogCursor Oldest() const { return BacklogCursor{chain.head, first}; }

    // The server is lost: the first loss of an outage says so, every loss delays the next try.
    void Lose(const char* reason);
    // The server has taken rows again: ends an outage with its message.
    void Regain();
    // A regular pass tries again only once the delay has passed.
    bool RetryDue() const { return Clock::now() >= next_attempt; }
    void RetryLater();
    // Reports the rows still kept as lost and releases them; returns those and the rows the
    // outage in progress dropped.
    size_t Clear();
};
