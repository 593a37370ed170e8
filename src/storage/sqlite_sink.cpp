// The SQLite flow database: one row of table flows per record, in long batch transactions.
#include "storage/sqlite_sink.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "common/messages.h"
#include "entry/settings.h"
#include "sched/wait.h"
#include "storage/render.h"
#include "storage/terminate.h"

sqlite3* sqlitedb = nullptr;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE flows (RECNUM INTEGER PRIMARY KEY,PROBE CHAR,TIME_RECEIVED INTEGER, "
    "FLOW_VERSION INTEGER, SEQUENCE INTEGER, SOURCE_IP CHAR, SOURCE_PORT INTEGER, DEST_IP CHAR, "
    "DEST_PORT INTEGER, NEXT_HOP CHAR, PROTOCOL INTEGER, TCP_FLAGS INTEGER, TOS INTEGER, "
    "BYTES INTEGER, PACKETS INTEGER, FLOW_BEGIN INTEGER, FLOW_END INTEGER, SOURCE_AS INTEGER, "
    "DEST_AS INTEGER, SOURCE_MASK INTEGER, DEST_MASK INTEGER)";
// Unsigned 32-bit counters go out as %lu so values of 2^31 and above are never negative.
constexpr const char* kInsertRow =
    "INSERT INTO flows VALUES (NULL,'%s',%ld,%d,%lu,'%s',%d,'%s',%d,'%s',%d,%d,%d,%lu,%lu,%ld,"
    "%ld,%d,%d,%d,%d)";
constexpr const char* kProbeTable = "SELECT COUNT() FROM flows";
constexpr const char* kBeginBatch = "BEGIN TRANSACTION";
constexpr const char* kEndBatch = "END TRANSACTION";
constexpr const char* kOpenFailed = "Can't open/create database";
constexpr const char* kStatementWas = "SQL was: %s";
constexpr const char* kErrorCode = "Err code is: %d\n";
constexpr const char* kCommitFailed = "Can't commit the open flow batch: %s";

// A batch is closed by the row that finds more than this many rows after its first: 5001 rows.
constexpr int kBatchRows = 4999;
// SQLite sleeps inside its own busy handler up to this long before reporting busy to us.
constexpr int kBusyTimeoutMs = 100;
// Pause between retries of a busy statement on a handle without a busy handler (one opened
// elsewhere), so that waiting out another process's lock does not spin a CPU.
constexpr useconds_t kBusyPauseUs = 1000;

// Rows inserted into the open batch after its first; 0 when no batch is open.
std::atomic<int> commit_queue{0};

// Result codes may come back extended (SQLITE_BUSY_SNAPSHOT, ...); the low byte is the class.
bool IsBusy(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Runs statement, waiting out another connection's lock for as long as it is held: a row the
// storage pass was given must never be dropped because a reader was in the file.
int ExecWaitingOutLocks(const char* statement, char** errmsg) {
    int rc = sqlite3_exec(sqlitedb, statement, nullptr, nullptr, errmsg);
    while (IsBusy(rc)) {
        if (errmsg != nullptr && *errmsg != nullptr) {
            sqlite3_free(*errmsg);
            *errmsg = nullptr;
        }
        WaitState();
        usleep(kBusyPauseUs);
        rc = sqlite3_exec(sqlitedb, statement, nullptr, nullptr, errmsg);
    }
    return rc;
}

// The library's text is copied before it is freed: Terminate never returns to free it.
[[noreturn]] void TerminateWithLibraryText(char* errmsg, int rc) {
    char message[kMessageSize];
    std::snprintf(message, sizeof message, "%s", errmsg != nullptr ? errmsg : sqlite3_errstr(rc));
    sqlite3_free(errmsg);
    Terminate(8, message);
}

const char* CreateDBMessage(int rc) {
    switch (rc & 0xff) {
        case SQLITE_INTERNAL: return "SQLITE internal error !\n";
        case SQLITE_PERM: return "No permission to access table !\n";
        case SQLITE_BUSY: return "The database is locked !\n";
        case SQLITE_LOCKED: return "The table is locked !\n";
        case SQLITE_READONLY: return "The table is READ ONLY !\n";
        default: return nullptr;
    }
}

// Commits the open transaction if there is one. A batch whose BEGIN failed left the handle in
// autocommit, and its rows are already stored: there is nothing to commit then.
int CommitOpenTransaction(char** errmsg) {
    if (sqlitedb == nullptr || sqlite3_get_autocommit(sqlitedb) != 0) return SQLITE_OK;
    return ExecWaitingOutLocks(kEndBatch, errmsg);
}

void FormatRow(const FlowItem* i, char* statement) {
    const FlowAddresses address = RenderAddresses(i);
    std::snprintf(statement, kMessageSize, kInsertRow, address.origin,
                  static_cast<long>(i->time_received), i->version,
                  static_cast<unsigned long>(i->sequence), address.source, i->src_port,
                  address.destination, i->dst_port, address.nexthop, i->protocol, i->tcp_flags,
                  i->tos, static_cast<unsigned long>(i->bytes),
                  static_cast<unsigned long>(i->packets), static_cast<long>(i->flow_begin),
                  static_cast<long>(i->flow_end), i->src_as, i->dst_as, i->src_mask, i->dst_mask);
}

}  // namespace

sqlite3* OpenFlowDatabase() {
    sqlite3* db = nullptr;
    if (sqlite3_open(GetBinaryLogFileName(), &db) != SQLITE_OK) {
        if (db != nullptr) sqlite3_close(db);
        Terminate(8, kOpenFailed);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return db;
}

void InitSQLite() {
    if (IsBinaryLoggingEnabled() != 1) return;
    sqlitedb = OpenFlowDatabase();
    // A busy probe says nothing about the table; only a probe that really ran and failed does.
    char* errmsg = nullptr;
    const int rc = ExecWaitingOutLocks(kProbeTable, &errmsg);
    sqlite3_free(errmsg);
    if (rc != SQLITE_OK) CreateDB(sqlitedb);
}

void CreateDB(sqlite3* db) {
    char* errmsg = nullptr;
    const int rc = sqlite3_exec(db, kCreateTable, nullptr, nullptr, &errmsg);
    if (rc == SQLITE_OK) return;
    if (const char* message = CreateDBMessage(rc)) {
        sqlite3_free(errmsg);
        Terminate(8, message);
    }
    std::printf(kErrorCode, rc);
    std::fflush(stdout);
    TerminateWithLibraryText(errmsg, rc);
}

void SQLWrite(const FlowItem* i) {
    char statement[kMessageSize];
    FormatRow(i, statement);
    if (commit_queue.load(std::memory_order_relaxed) == 0) {
        sqlite3_exec(sqlitedb, kBeginBatch, nullptr, nullptr, nullptr);
    }
    char* errmsg = nullptr;
    const int rc = ExecWaitingOutLocks(statement, &errmsg);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, kStatementWas, statement);
        std::fflush(stderr);
        TerminateWithLibraryText(errmsg, rc);
    }
    if (commit_queue.load(std::memory_order_relaxed) <= kBatchRows) {
        commit_queue.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // A failed commit loses the whole batch: that must end the process, not pass unnoticed.
    const int committed = CommitOpenTransaction(&errmsg);
    if (committed != SQLITE_OK) {
        std::fprintf(stderr, kStatementWas, kEndBatch);
        std::fflush(stderr);
        TerminateWithLibraryText(errmsg, committed);
    }
    commit_queue.store(0, std::memory_order_relaxed);
}

// Also reached from Terminate (through CloseStorage), so a failure is reported, never fatal.
void CommitSQLiteBatch() {
    char* errmsg = nullptr;
    const int rc = CommitOpenTransaction(&errmsg);
    if (rc != SQLITE_OK) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kCommitFailed,
                      errmsg != nullptr ? errmsg : sqlite3_errstr(rc));
        notify(message);
    }
    sqlite3_free(errmsg);
    commit_queue.store(0, std::memory_order_relaxed);
}

void CloseSQLite() {
    CommitSQLiteBatch();
    if (sqlitedb == nullptr) return;
    sqlite3_close(sqlitedb);
    sqlitedb = nullptr;
}
