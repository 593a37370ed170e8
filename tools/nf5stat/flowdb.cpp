// Opening the database and the pieces every report's query shares.
#include "flowdb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace nf5stat {
namespace {

constexpr const char* kTableProbe =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'flows'";
constexpr const char* kExporterProbe = "SELECT 1 FROM flows WHERE PROBE = ?1 LIMIT 1";
// Virtual machine steps between two looks at the clock for the progress line.
constexpr int kProgressSteps = 200000;
constexpr double kProgressDelay = 1.0;
constexpr double kProgressInterval = 0.5;

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int ShowProgress(void* arg) {
    auto* progress = static_cast<Progress*>(arg);
    const double now = Now();
    if (now - progress->started < kProgressDelay || now - progress->last_shown < kProgressInterval)
        return 0;
    static const char kSpinner[] = "|/-\\";
    std::fprintf(progress->err, "\rnf5stat: reading flows for %s %c %.0f s ", progress->what,
                 kSpinner[progress->spin++ % 4], now - progress->started);
    std::fflush(progress->err);
    progress->last_shown = now;
    progress->shown = true;
    return 0;
}

bool CheckFile(const std::string& path, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot open " + path + ": not a regular file";
        return false;
    }
    return true;
}

}  // namespace

bool OpenFlowDb(const std::string& path, FlowDb& flowdb, std::string& error) {
    if (!CheckFile(path, error)) return false;
    // One thread uses the handle: without its mutex, reading a column costs no lock.
    if (sqlite3_open_v2(path.c_str(), &flowdb.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open " + path + ": " +
                (flowdb.db ? sqlite3_errmsg(flowdb.db) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(flowdb.db, kBusyTimeoutMs);
    Statement probe;
    int rc = sqlite3_prepare_v2(flowdb.db, kTableProbe, -1, &probe.stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(probe.stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE)
        error = path + " has no table flows (not a database nf5d wrote?)";
    else
        error = "cannot read " + path + ": " + sqlite3_errmsg(flowdb.db);
    return false;
}

std::string FilterClause(const StatOptions& options) {
    std::string clause;
    auto add = [&clause](const char* condition) {
        clause += clause.empty() ? " WHERE " : " AND ";
        clause += condition;
    };
    if (options.has_since) add("TIME_RECEIVED >= :since");
    if (options.has_until) add("TIME_RECEIVED < :until");
    if (!options.probe.empty()) add("PROBE = :probe");
    return clause;
}

bool QueryFailed(FlowDb& flowdb, std::string& error) {
    error = std::string("query failed: ") + sqlite3_errmsg(flowdb.db);
    return false;
}

bool PrepareFiltered(FlowDb& flowdb, const std::string& sql, const StatOptions& options,
                     Statement& statement, std::string& error) {
    if (sqlite3_prepare_v2(flowdb.db, sql.c_str(), -1, &statement.stmt, nullptr) != SQLITE_OK)
        return QueryFailed(flowdb, error);
    sqlite3_stmt* stmt = statement.stmt;
    if (options.has_since)
        sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, ":since"), options.since);
    if (options.has_until)
        sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, ":until"), options.until);
    if (!options.probe.empty())
        sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, ":probe"), options.probe.c_str(),
                          -1, SQLITE_TRANSIENT);
    return true;
}

bool HoldsExporter(FlowDb& flowdb, const std::string& exporter, bool& held, std::string& error) {
    Statement probe;
    int rc = sqlite3_prepare_v2(flowdb.db, kExporterProbe, -1, &probe.stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(probe.stmt, 1, exporter.c_str(), -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_step(probe.stmt);
    held = rc == SQLITE_ROW;
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
    return QueryFailed(flowdb, error);
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

void StartProgress(FlowDb& flowdb, Progress& progress, FILE* err, const char* what) {
    progress = Progress{};
    progress.err = err;
    progress.what = what;
    const int fd = err ? fileno(err) : -1;
    progress.enabled = fd >= 0 && isatty(fd) == 1;
    if (!progress.enabled) return;
    progress.started = Now();
    sqlite3_progress_handler(flowdb.db, kProgressSteps, ShowProgress, &progress);
}

void StopProgress(FlowDb& flowdb, Progress& progress) {
    if (!progress.enabled) return;
    sqlite3_progress_handler(flowdb.db, 0, nullptr, nullptr);
    if (progress.shown) {
        std::fprintf(progress.err, "\r%60s\r", "");
        std::fflush(progress.err);
    }
    progress.enabled = false;
}

}  // namespace nf5stat
