// The SQLite flow database. Rows are inserted through one prepared statement with bound values
// and committed in batches that end with the pass (or at their 5001st row), so a reader sees
// every row of a finished pass and a crash loses at most the pass in progress.
#include "storage/sinks/sqlite.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/messages.h"
#include "common/terminate.h"
#include "storage/flows_table.h"
#include "storage/render.h"
#include "storage/snapshot.h"

namespace {

constexpr std::string_view kInsertPrepared =
    "INSERT INTO flows VALUES (NULL,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
static_assert(std::ranges::count(kInsertPrepared, '?') == kFlowFieldCount, "a value per field");
// The same row as text, shown when the library refuses it, is this and the row's values.
constexpr const char* kInsertRow = "INSERT INTO flows VALUES ";
constexpr const char* kProbeTable = "SELECT COUNT() FROM flows";
constexpr const char* kBeginBatch = "BEGIN IMMEDIATE TRANSACTION";
constexpr const char* kCommitBatch = "COMMIT";
constexpr const char* kRollback = "ROLLBACK";
constexpr const char* kDropTable = "DROP TABLE FLOWS";
constexpr const char* kOpenFailed = "Can't open/create database";
constexpr const char* kStatementWas = "SQL was: %s";
constexpr const char* kErrorCode = "Err code is: %d\n";
constexpr const char* kCommitFailed = "Can't commit the open flow batch: %s";
constexpr const char* kRotationFailed = "Rotation of DB file failed, the table keeps its rows";
constexpr const char* kOpenFailedWhy = "Can't open/create database %s: %s";

constexpr const char* kReportLine = "Binary logging (SQLITE %s): %s\n";

constexpr int kBatchRows = 5001;
// SQLite sleeps inside its own busy handler up to this long before reporting busy to us.
constexpr int kBusyTimeoutMs = 100;
// Pause between retries of a statement that reports a lock without waiting in the busy handler.
constexpr useconds_t kBusyPauseMicros = 1000;

SinkSetting setting{nullptr, {0}};

// Its writer, or whoever holds the writer's lock.
struct SQLiteState {
    sqlite3* sqlitedb;
    sqlite3_stmt* insert_row;
    int batch_rows;  // rows in the open transaction
};
SQLiteState state{};

// Runs statement, giving other connections' locks the busy timeout, or for as long as they are
// held when patience is kUntilDone.
int Exec(const char* statement, Patience patience, char** errmsg = nullptr) {
    int rc = sqlite3_exec(state.sqlitedb, statement, nullptr, nullptr, errmsg);
    while (IsSQLiteBusy(rc) && patience == Patience::kUntilDone) {
        if (errmsg != nullptr) {
            sqlite3_free(*errmsg);
            *errmsg = nullptr;
        }
        usleep(kBusyPauseMicros);
        rc = sqlite3_exec(state.sqlitedb, statement, nullptr, nullptr, errmsg);
    }
    return rc;
}

// The library's text is copied first: the handle that holds it may be closed on the way out.
[[noreturn]] void TerminateWithLibraryText(const char* library_text) {
    char message[kMessageSize];
    std::snprintf(message, sizeof message, "%s", library_text);
    Terminate(8, message);
}

// "SQL was: ..." on standard error, directly followed by the termination line.
[[noreturn]] void FailStatement(const char* statement, const char* library_text) {
    std::fprintf(stderr, kStatementWas, statement);
    std::fflush(stderr);
    TerminateWithLibraryText(library_text);
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

bool InTransaction() {
    return state.sqlitedb != nullptr && sqlite3_get_autocommit(state.sqlitedb) == 0;
}

// A failed commit loses the batch: that ends the process rather than pass as success.
bool CommitBatch(Patience patience) {
    if (!InTransaction()) return true;
    char* errmsg = nullptr;
    const int rc = Exec(kCommitBatch, patience, &errmsg);
    if (IsSQLiteBusy(rc)) {
        sqlite3_free(errmsg);
        return false;
    }
    if (rc != SQLITE_OK)
        FailStatement(kCommitBatch, errmsg != nullptr ? errmsg : sqlite3_errstr(rc));
    state.batch_rows = 0;
    return true;
}

// Addresses as text and every other value as an integer: the values and types the table has
// always held. The key is the statement's NULL, so field f is parameter f + 1.
void BindRow(const FlowItem& flow) {
    for (size_t f = 0; f < kFlowFieldCount; ++f) {
        const FlowField& field = kFlowFields[f];
        const int parameter = static_cast<int>(f) + 1;
        if (field.kind == FieldKind::kAddress) {
            sqlite3_bind_text(state.insert_row, parameter, RenderAddress(field.address(flow)).text,
                              -1, SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(state.insert_row, parameter, field.value(flow));
        }
    }
}

// The row as text after "SQL was: ", then Terminate(8, ...) with the library's text.
[[noreturn]] void FailRow(const FlowItem& flow) {
    char statement[kMessageSize];
    const size_t length = std::strlen(kInsertRow);
    std::memcpy(statement, kInsertRow, length);
    FieldTimes times;
    RenderRowValues(flow, false, &times, statement + length, sizeof statement - length);
    FailStatement(statement, sqlite3_errmsg(state.sqlitedb));
}

// False when another connection's lock keeps the row out for now (patience kThisPass). The
// statement is prepared at the first row after every open.
bool InsertRow(const FlowItem* i, Patience patience) {
    if (state.insert_row == nullptr &&
        sqlite3_prepare_v2(state.sqlitedb, kInsertPrepared.data(), -1, &state.insert_row,
                           nullptr) != SQLITE_OK) {
        FailRow(*i);
    }
    BindRow(*i);
    int rc = sqlite3_step(state.insert_row);
    while (IsSQLiteBusy(rc) && patience == Patience::kUntilDone) {
        sqlite3_reset(state.insert_row);
        usleep(kBusyPauseMicros);
        rc = sqlite3_step(state.insert_row);
    }
    sqlite3_reset(state.insert_row);
    if (rc == SQLITE_DONE) return true;
    if (IsSQLiteBusy(rc)) return false;
    FailRow(*i);
}

size_t Write(const FlowItem* flows, size_t count, Patience patience) {
    size_t done = 0;
    while (done < count) {
        if (state.batch_rows == kBatchRows && !CommitBatch(patience)) return done;
        if (!InTransaction() && IsSQLiteBusy(Exec(kBeginBatch, patience))) return done;
        if (!InsertRow(&flows[done], patience)) return done;
        ++done;
        ++state.batch_rows;
    }
    if (state.batch_rows == kBatchRows) CommitBatch(patience);
    return done;
}

bool Commit(Patience patience) { return CommitBatch(patience); }

// A busy probe says nothing about the table; only a probe that really ran and failed does.
void Open() {
    if (state.sqlitedb != nullptr) return;
    // Without the library's own locking: its writer's lock already makes every use exclusive.
    constexpr int kFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(setting.name, &state.sqlitedb, kFlags, nullptr) != SQLITE_OK) {
        NotifyCause(kOpenFailedWhy, setting.name, sqlite3_errmsg(state.sqlitedb));
        sqlite3_close(state.sqlitedb);
        state.sqlitedb = nullptr;
        Terminate(8, kOpenFailed);
    }
    sqlite3_busy_timeout(state.sqlitedb, kBusyTimeoutMs);
    if (Exec(kProbeTable, Patience::kUntilDone) != SQLITE_OK) CreateDB(state.sqlitedb);
}

// Reached from Terminate too, so a failed commit is reported here, never fatal; its rows are
// the ones lost.
size_t Close() {
    if (state.sqlitedb == nullptr) return 0;
    size_t lost = 0;
    if (InTransaction()) {
        char* errmsg = nullptr;
        const int rc = Exec(kCommitBatch, Patience::kUntilDone, &errmsg);
        if (rc != SQLITE_OK) {
            char message[kMessageSize];
            std::snprintf(message, sizeof message, kCommitFailed,
                          errmsg != nullptr ? errmsg : sqlite3_errstr(rc));
            notify(message);
            lost = static_cast<size_t>(state.batch_rows);
        }
        sqlite3_free(errmsg);
    }
    sqlite3_finalize(state.insert_row);
    sqlite3_close(state.sqlitedb);
    state = SQLiteState{};
    return lost;
}

// A rotation that did not empty the table must not pass for one: its transaction is rolled back
// (the table keeps its rows, which the copy holds too) and the process ends like a failed commit.
[[noreturn]] void FailRotation(const char* statement, int rc, char* errmsg) {
    char library_text[kMessageSize];
    std::snprintf(library_text, sizeof library_text, "%s",
                  errmsg != nullptr ? errmsg : sqlite3_errstr(rc));
    sqlite3_free(errmsg);
    if (InTransaction()) Exec(kRollback, Patience::kUntilDone);
    notify(kRotationFailed);
    FailStatement(statement, library_text);
}

void RunForRotation(const char* statement) {
    char* errmsg = nullptr;
    const int rc = Exec(statement, Patience::kUntilDone, &errmsg);
    if (rc != SQLITE_OK) FailRotation(statement, rc, errmsg);
}

// The drop and the re-creation form one transaction, so no reader, and no later insert, ever
// meets the file without table flows. The insert statement is prepared afresh for the new table.
void EmptyFlowsTable() {
    sqlite3_finalize(state.insert_row);
    state.insert_row = nullptr;
    RunForRotation(kBeginBatch);
    RunForRotation(kDropTable);
    CreateDB(state.sqlitedb);
    RunForRotation(kCommitBatch);
}

// The open batch is committed first, waiting out readers: the copies then hold every row this
// writer has written, and the backup needs a connection without a write transaction. A commit
// that fails ends the process before any report of success. Rows still in the queue go into the
// emptied table.
// The requests are taken once the commit has waited out any reader, and rotations asked for until
// one is done are served by it: a second rotation in a row would copy the emptied table over
// ".previous".
void Serve() {
    if (!DatabaseRequested() || state.sqlitedb == nullptr) return;
    CommitBatch(Patience::kUntilDone);
    const unsigned asked = TakeDatabaseRequests();
    if ((asked & kSnapshotAsked) != 0) WriteSnapshot(state.sqlitedb, setting.name);
    if ((asked & kRotationAsked) != 0) {
        WriteRotationCopy(state.sqlitedb, setting.name);
        EmptyFlowsTable();
        ReportRotationDone();
        DropRotationRequests();  // asked while this one waited or ran: served by it
    }
}

void Report() { std::printf(kReportLine, sqlite3_libversion(), ReportedName(setting)); }

}  // namespace

const Sink kSQLiteSink{.name = "sqlite",
                       .setting = &setting,
                       .name_switch = 'b',
                       .off_switch = 'y',
                       .default_name = "./netflow.db",
                       .help = "-b Enable binary logging, defaults to ",
                       .off_help = "-y Disable binary logging",
                       .report = Report,
                       .report_when_off = true,
                       // The database file is left to Open, which creates it with its table.
                       .check_refusal = "Main, can't access to Binary Log File, check permissions",
                       .open = Open,
                       .write = Write,
                       .commit = Commit,
                       .close = Close,
                       .serve = Serve};

const char* GetBinaryLogFileName() { return setting.name; }
int IsBinaryLoggingEnabled() { return setting.enabled; }

void CreateDB(sqlite3* db) {
    char* errmsg = nullptr;
    const int rc = sqlite3_exec(db, kCreateFlowsTable, nullptr, nullptr, &errmsg);
    if (rc == SQLITE_OK) return;
    if (const char* message = CreateDBMessage(rc)) {
        sqlite3_free(errmsg);
        Terminate(8, message);
    }
    std::printf(kErrorCode, rc);
    std::fflush(stdout);
    TerminateWithLibraryText(errmsg != nullptr ? errmsg : sqlite3_errstr(rc));
}

void CreateSnapshot() { AskForSnapshot(IsBinaryLoggingEnabled() == 1); }

void RotateDB() { AskForRotation(IsBinaryLoggingEnabled() == 1); }
