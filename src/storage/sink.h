#pragma once
// The contract every flow sink keeps with the storage thread, the snapshot and rotation, and the
// termination path. A sink is one table entry (sinks.cpp) plus its own file.
#include <cstddef>

#include "common/flow.h"

// How long a sink may wait for a database that another program holds locked. A regular pass
// leaves what it could not write for the next pass, so that one locked database holds up only
// its own sink; the last pass and the snapshot and rotation wait for as long as it takes.
enum class Patience { kThisPass, kUntilDone };

struct Sink {
    const char* name;  // as the metrics label it: "text", "sqlite", "mysql", "clickhouse"
    int (*enabled)();  // its switch, read afresh for every record
    // At start-up, on the storage thread, when enabled; a sink already open stays as it is.
    void (*open)();
    // Writes flows[0, count) in order and returns how many it took: all of them unless patience
    // is kThisPass and its database is locked, when the rest waits for the next pass. Fatal
    // errors end the process with the sink's own status.
    size_t (*write)(const FlowItem* flows, size_t count, Patience patience);
    // Makes every record written so far durable and visible to other programs; false when a lock
    // held by another program, or a server that is away, defers that to the next pass (which
    // calls again even without new records). A failure is fatal, never success.
    bool (*commit)(Patience patience);
    // Also reached from Terminate: commits what it safely can, reports what is lost, never
    // terminates.
    void (*close)();
};

// Room for this many sinks in the storage thread's bookkeeping.
constexpr size_t kMaxSinks = 8;

// Every sink, in the order each record reaches them: text log, SQLite, MySQL, ClickHouse.
extern const Sink* const kSinks[];
extern const size_t kSinkCount;
