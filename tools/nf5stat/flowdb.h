#pragma once
// Read-only access to nf5d's flow database: opening, the row filter shared by every report, and
// the progress line shown on a terminal while a long query runs.
#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "options.h"

namespace nf5stat {

// How long a query waits for nf5d to finish a commit before giving up.
constexpr int kBusyTimeoutMs = 30000;

// Owns an open database handle.
struct FlowDb {
    sqlite3* db = nullptr;
    FlowDb() = default;
    FlowDb(const FlowDb&) = delete;
    FlowDb& operator=(const FlowDb&) = delete;
    ~FlowDb() { sqlite3_close(db); }
};

// Owns a prepared statement.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt); }
};

// Opens the file read-only and makes sure it holds the table flows; false with a message if not.
bool OpenFlowDb(const std::string& path, FlowDb& flowdb, std::string& error);

// " WHERE ..." for the options' time range and exporter (empty when unrestricted), with the
// parameters bound by BindFilter.
std::string FilterClause(const StatOptions& options);
bool PrepareFiltered(FlowDb& flowdb, const std::string& sql, const StatOptions& options,
                     Statement& statement, std::string& error);

// Puts "query failed: " and SQLite's last message into error; false, for the caller to return.
bool QueryFailed(FlowDb& flowdb, std::string& error);

// Whether the table holds any flow of the exporter, whatever time it was received.
bool HoldsExporter(FlowDb& flowdb, const std::string& exporter, bool& held, std::string& error);

// Text of a column, "" for NULL.
std::string ColumnText(sqlite3_stmt* stmt, int column);

// The progress line, only ever shown when err is a terminal and the query has run a second.
struct Progress {
    FILE* err = nullptr;
    bool enabled = false;
    double started = 0;
    double last_shown = 0;
    bool shown = false;
    unsigned spin = 0;
    const char* what = "";
};
void StartProgress(FlowDb& flowdb, Progress& progress, FILE* err, const char* what);
void StopProgress(FlowDb& flowdb, Progress& progress);

}  // namespace nf5stat
