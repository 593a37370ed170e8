#pragma once
// The contract every sink keeps with the rest of the daemon: the command line, the help, the
// start-up report and file check, the metrics, and its writer, a thread of its own that alone
// uses the sink until the termination path closes it. A sink is its own file plus one table row
// (sinks/table.cpp).
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/flow.h"
#include "common/metrics.h"

// How long a sink may wait for a database that another program holds locked. A regular pass
// leaves what it could not write for the next pass, so that its writer stays free to commit and
// to serve; the last pass and the snapshot and rotation wait for as long as it takes.
enum class Patience { kThisPass, kUntilDone };

// What the command line sets for a sink: the file (or server) it writes to, a tracked copy, and
// its switch, 0 or 1, which a signal may toggle at run time.
struct SinkSetting {
    char* name;
    std::atomic<int> enabled;
};

// What a start-up report shows for the sink's file: its name, or "Disabled" while it is off.
inline const char* ReportedName(const SinkSetting& setting) {
    return setting.enabled ? setting.name : "Disabled";
}

// A toggle's work, on the main thread only.
inline void ToggleSink(SinkSetting& setting) { setting.enabled = (setting.enabled != 1); }

// A sink's row names what it has; the members it leaves out are null, 0 or false.
struct Sink {
    const char* name;  // as the metrics label it: "text", "sqlite", "mysql", "trash", "clickhouse"
    SinkSetting* setting;

    // The command line. name_switch sets the name; off_switch (0: none) turns the sink off. A sink
    // with a default name starts on; one without starts off, and naming it turns it on.
    char name_switch = 0;
    char off_switch = 0;
    // A sink without a letter (name_switch 0) is named by this long switch: --long_switch NAME.
    const char* long_switch = nullptr;
    const char* default_name = nullptr;
    // The help: "help default_name" (or help alone) and off_help, each on a line of its own.
    const char* help;
    const char* off_help = nullptr;  // null with off_switch 0
    // The start-up report: prints the sink's line. The lines that show a sink that is off come
    // first, then those that show only while their sink is on.
    void (*report)();
    bool report_when_off = false;
    // The start-up check of the named file while the sink is on (null: none): refused with
    // Terminate(4, check_refusal) if it exists and cannot be written; created with a first line
    // if it is missing and check_creates is set.
    const char* check_refusal = nullptr;
    bool check_creates = false;
    // Series of the metrics beyond the flows it took.
    const Reading* readings = nullptr;
    size_t reading_count = 0;
    // The flows its series nf5d_written_flows_total shows; null: those it took. A sink for a
    // server counts the rows the server has committed or accepted.
    uint64_t (*written)() = nullptr;

    // The flow contract; null for a log that takes no flows (the trash log).
    // At start-up, on its writer, when enabled (null: nothing to open); a sink already open
    // stays as it is.
    void (*open)() = nullptr;
    // Writes flows[0, count) in order and returns how many it took: all of them unless patience
    // is kThisPass and its database is locked, when the rest waits for the next pass. Fatal
    // errors end the process with the sink's own status.
    size_t (*write)(const FlowItem* flows, size_t count, Patience patience) = nullptr;
    // Makes every record written so far durable and visible to other programs; false when a lock
    // held by another program, or a server that is away, defers that to the next pass (which
    // calls again even without new records). A failure is fatal, never success.
    bool (*commit)(Patience patience) = nullptr;
    // Also reached from Terminate: commits what it safely can, reports what is lost, never
    // terminates. Returns how many flows it could not keep.
    size_t (*close)() = nullptr;
    // Work its writer does at every pass besides the flows (null: none): the trash log appends
    // its waiting lines, the SQLite database makes the snapshot or rotation asked for.
    void (*serve)() = nullptr;
};

// Room for this many sinks, and a writer each.
constexpr size_t kMaxSinks = 8;

// Every sink, in the order each record reaches them and the help lists them.
extern const Sink* const kSinks[];
extern const size_t kSinkCount;

// The sink's switch, read afresh for every record.
inline bool SinkOn(const Sink& sink) { return sink.setting->enabled.load() != 0; }
inline bool TakesFlows(const Sink& sink) { return sink.write != nullptr; }
