// The MySQL export. Rows wait in a backlog of their own until the server has committed them, and
// go out in transactions of up to kBatchRows rows, sent as multi-row INSERTs of up to
// kRowsPerStatement rows: one as soon as a batch is full, and the rest at the end of the pass.
//
// A lost connection (or, once a batch has committed, a refused statement) starts an outage: the
// pass goes on for the other sinks, the rows wait in the backlog up to kBacklogRows, and a
// reconnection is tried between passes with a doubling delay. Each transaction first inserts its
// marker (collector id, batch number) into FLOW_BATCHES, so a transaction whose COMMIT went
// unanswered is settled by the server: the same rows sent again under the same number either
// meet the committed key (duplicate: the batch is done) or take its place. While the first
// attempt is still open on the server, the insert waits for it to end. A server prepared before
// that table existed gets the rows without markers, as it always did.
#include "storage/sinks/mysql.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>

#include "common/memory.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/terminate.h"
#include "storage/backlog.h"
#include "storage/queue.h"
#include "storage/render.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "collector";
constexpr const char* kDatabase = "FLOWDB";
// Option-file group read besides [client]: where an operator gives a password and TLS settings.
constexpr const char* kOptionGroup = "nf5d";
// The client library's port: 3306 unless its environment (MYSQL_TCP_PORT) or an option file
// names another.
constexpr unsigned kPort = 0;
// The table has the key and then a column per flow field, in their order; the key accepts NULL.
constexpr const char* kInsertInto = "INSERT INTO FLOWS VALUES ";
constexpr const char* kInsertMarker =
    "INSERT INTO FLOW_BATCHES (COLLECTOR,BATCH,FLOWS) VALUES (%llu,%llu,%zu)";
constexpr const char* kConnectFailed = "%s\n";
constexpr const char* kInsertFailed = "Can't add data to mysql server";
constexpr const char* kRefused = "MySQL server %s refused the rows: %s";
constexpr const char* kUnreadableOptions = "MySQL option file %s exists but cannot be read: %s";
constexpr const char* kSystemOptionFiles[] = {"/etc/my.cnf", "/etc/mysql/my.cnf"};
constexpr const char* kStartTransaction = "START TRANSACTION";
constexpr const char* kCommit = "COMMIT";
constexpr const char* kRollback = "ROLLBACK";
constexpr const char* kFindMarkers = "SHOW TABLES LIKE 'FLOW_BATCHES'";
constexpr const char* kNoMarkers =
    "MySQL table FLOW_BATCHES missing: a batch whose COMMIT answer is lost may be written twice; "
    "sql/mysql-flows.sql adds the table";
constexpr const char* kReportLine = "DB: Will store on MYSQL database %s on %s\n";
// The columns that must be wider than v5 needs once the daemon takes IPv6 exporters, v9 or IPFIX:
// addresses of up to 45 characters, 8-byte counters, 4-byte AS numbers.
constexpr const char* kNarrowColumns =
    "SELECT COLUMN_NAME FROM INFORMATION_SCHEMA.COLUMNS WHERE TABLE_SCHEMA='FLOWDB' AND "
    "TABLE_NAME='FLOWS' AND ((COLUMN_NAME IN ('PROBE','SOURCE_IP','DEST_IP','NEXT_HOP') AND "
    "CHARACTER_MAXIMUM_LENGTH < 45) OR (COLUMN_NAME IN ('BYTES','PACKETS') AND DATA_TYPE <> "
    "'bigint') OR (COLUMN_NAME IN ('SOURCE_AS','DEST_AS') AND DATA_TYPE NOT IN ('int','bigint')))";
constexpr const char* kTooNarrow =
    "MySQL table FLOWDB.FLOWS is too narrow for IPv6 addresses, 64-bit counters and 4-byte AS "
    "numbers: run sql/mysql-flows.sql again";

constexpr size_t kRowsPerStatement = 500;
constexpr size_t kBatchRows = 10 * kRowsPerStatement;
// A row's text is under 450 bytes (four IPv6 addresses); each statement is built in one buffer
// of this size.
constexpr size_t kRowTextSize = 512;
constexpr size_t kStatementSize = 32 + kRowsPerStatement * kRowTextSize;

// A black-holed server costs a pass at most the connect timeout, a hung one the I/O timeout.
constexpr unsigned kConnectTimeoutSeconds = 3;
constexpr unsigned kIoTimeoutSeconds = 10;
// After an outage a regular pass spends at most this long on the backlog, then lets the other
// sinks have their turn.
constexpr std::chrono::seconds kCatchUpPerPass{2};

SinkSetting setting{nullptr, {0}};
BacklogGauges gauges;  // for the metrics, from any thread

// Its writer only (or whoever holds the writer's lock); Close resets it in one step.
struct MySQLState {
    MYSQL mysql;
    MYSQL* mysqlconn;                   // null while the server is away
    char* statement;                    // kStatementSize bytes from open to close: the sink is open
    Backlog backlog{"MySQL", &gauges};  // rows not yet committed, and the outage

    unsigned long long collector_id;
    unsigned long long batch;  // number of the batch the backlog's head belongs to
    size_t batch_rows;         // rows of that batch once it was sent: the same go out again
    bool proven;               // a batch has committed: the server takes our rows
    bool marked;               // FLOW_BATCHES exists: each transaction inserts its marker
    // Rows Write took since it last sent a batch. It sends one batch per kBatchRows taken, so
    // the traffic never makes the backlog grow while the server keeps up, and leaves what an
    // outage left behind to Commit and its time budget.
    size_t paced_rows;
};
MySQLState state{};

// For the metrics, from any thread.
std::atomic<uint64_t> committed_rows{0};
std::atomic<bool> connected{false};

// Appends the row's values at text; returns their length.
size_t FormatRow(const FlowItem& flow, FieldTimes* times, char* text) {
    const size_t length = RenderRowValues(flow, true, times, text, kRowTextSize);
    NF_ASSERT(length > 0 && length < kRowTextSize - 1, "row fits");
    return length;
}

void SetConnection(MYSQL* connection) {
    state.mysqlconn = connection;
    connected.store(connection != nullptr, std::memory_order_relaxed);
}

// Errors after which the server may take the same rows again: the connection is gone or the
// server gave up on the transaction.
bool IsLoss(unsigned error) {
    switch (error) {
        case ER_SERVER_SHUTDOWN:
        case ER_LOCK_WAIT_TIMEOUT:
        case ER_LOCK_DEADLOCK:
        case ER_QUERY_INTERRUPTED:
        case ER_CONNECTION_KILLED: return true;
        default: return error >= CR_MIN_ERROR;
    }
}

// Until a batch has committed, a refusal is the configuration's (no table, no grant): status 14
// as always. Later the same refusal (a table dropped or renamed) is ridden out like a lost
// connection, so that the other sinks go on and the backlog waits for the table to return.
void Fail() {
    if (!state.proven && !IsLoss(mysql_errno(state.mysqlconn))) {
        NotifyCause(kRefused, setting.name, mysql_error(state.mysqlconn));
        Terminate(14, kInsertFailed);
    }
    state.backlog.Lose(mysql_error(state.mysqlconn));
    mysql_close(state.mysqlconn);  // a transaction still open is rolled back by the server
    SetConnection(nullptr);
}

bool Run(const char* text, size_t length) {
    if (mysql_real_query(state.mysqlconn, text, length) == 0) return true;
    Fail();
    return false;
}

bool Run(const char* text) { return Run(text, std::strlen(text)); }

// The batch's rows are committed: by the COMMIT just answered, or by an earlier attempt.
void Settle() {
    state.backlog.Regain();
    committed_rows.fetch_add(state.batch_rows, std::memory_order_relaxed);
    state.backlog.Forget(state.batch_rows);
    state.batch_rows = 0;
    ++state.batch;
    state.proven = true;
}

// Sends the batch's rows, the oldest batch_rows of the backlog, as INSERTs.
bool InsertBatchRows() {
    BacklogCursor row = state.backlog.Oldest();
    FieldTimes times;
    for (size_t left = state.batch_rows; left > 0;) {
        const size_t rows = std::min(left, kRowsPerStatement);
        size_t length = std::strlen(kInsertInto);
        std::memcpy(state.statement, kInsertInto, length);
        for (size_t n = 0; n < rows; ++n, row.Next()) {
            if (n > 0) state.statement[length++] = ',';
            length += FormatRow(row.Row(), &times, state.statement + length);
        }
        state.statement[length++] = ';';
        if (!Run(state.statement, length)) return false;
        left -= rows;
    }
    return true;
}

// One transaction: the marker, then the rows. False when the server was lost or refused them;
// they stay, as the same batch, for the next attempt.
bool SendBatch() {
    if (state.batch_rows == 0) state.batch_rows = std::min(state.backlog.rows, kBatchRows);
    if (!Run(kStartTransaction)) return false;
    char marker[kMessageSize];
    std::snprintf(marker, sizeof marker, kInsertMarker, state.collector_id, state.batch,
                  state.batch_rows);
    if (state.marked && mysql_query(state.mysqlconn, marker) != 0) {
        if (mysql_errno(state.mysqlconn) != ER_DUP_ENTRY) {
            Fail();
            return false;
        }
        // An earlier attempt committed these rows before its connection was lost.
        Settle();
        return Run(kRollback);
    }
    if (!InsertBatchRows() || !Run(kCommit)) return false;
    Settle();
    return true;
}

// Connects with the timeouts that keep a pass short; false (structure released) on failure.
bool Connect() {
    if (mysql_init(&state.mysql) == nullptr) return false;
    mysql_options(&state.mysql, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
    mysql_options(&state.mysql, MYSQL_OPT_READ_TIMEOUT, &kIoTimeoutSeconds);
    mysql_options(&state.mysql, MYSQL_OPT_WRITE_TIMEOUT, &kIoTimeoutSeconds);
    // The explicit host, user and database below still win over the option files' own.
    mysql_optionsv(&state.mysql, MYSQL_READ_DEFAULT_GROUP, kOptionGroup);
    SetConnection(mysql_real_connect(&state.mysql, setting.name, kUser, nullptr, kDatabase, kPort,
                                     nullptr, 0));
    return state.mysqlconn != nullptr;
}

// A regular pass tries only once the delay has passed; the last pass tries once more anyway.
bool Reconnect(Patience patience) {
    if (patience == Patience::kThisPass && !state.backlog.RetryDue()) return false;
    if (Connect()) return true;
    mysql_close(&state.mysql);
    state.backlog.RetryLater();
    return false;
}

size_t Write(const FlowItem* flows, size_t count, Patience /*patience*/) {
    NF_ASSERT(flows != nullptr, "i != NULL");
    state.paced_rows += state.backlog.Keep(flows, count);
    while (state.mysqlconn != nullptr && state.paced_rows >= kBatchRows &&
           state.backlog.rows >= kBatchRows && SendBatch()) {
        state.paced_rows -= kBatchRows;
    }
    return count;
}

// False while rows wait for the server: the next pass calls again.
bool Commit(Patience patience) {
    state.paced_rows = 0;
    if (state.backlog.rows == 0) return true;
    if (state.mysqlconn == nullptr && !Reconnect(patience)) return false;
    const Clock::time_point until = Clock::now() + kCatchUpPerPass;
    while (state.backlog.rows > 0 && SendBatch()) {
        if (patience == Patience::kThisPass && Clock::now() >= until) break;
    }
    return state.backlog.rows == 0;
}

// The collector's id in the marker table: another collector writing to the same server, or this
// one after a restart, never meets its batch numbers.
unsigned long long RandomCollectorId() {
    std::random_device random;
    return (static_cast<unsigned long long>(random()) << 32) | random();
}

// The client library skips an option file it cannot read without a word; the password in it is
// then missing. Only a file that is absent goes unmentioned.
void CheckOptionFile(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file != nullptr) {
        std::fclose(file);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        char error[kMessageSize];
        NotifyCause(kUnreadableOptions, path, SystemErrorText(errno, error, sizeof error));
    }
}

void CheckOptionFiles() {
    for (const char* path : kSystemOptionFiles) CheckOptionFile(path);
    if (const char* home = std::getenv("HOME"); home != nullptr) {
        char path[kMessageSize];
        std::snprintf(path, sizeof path, "%s/.my.cnf", home);
        CheckOptionFile(path);
    }
}

// Whether FLOW_BATCHES is there; a server that does not answer the question is taken to have
// it, so that a real fault shows at the first batch.
bool HasMarkerTable() {
    if (mysql_query(state.mysqlconn, kFindMarkers) != 0) return true;
    MYSQL_RES* tables = mysql_store_result(state.mysqlconn);
    const bool found = tables == nullptr || mysql_num_rows(tables) > 0;
    mysql_free_result(tables);
    return found;
}

// Whether flows may carry more than v5's: IPv6 exporters, or v9 and IPFIX.
bool TakesWideFlows() {
    return GetNetFlowVersions() != kTakeV5 || std::strchr(GetBindAddress(), ':') != nullptr;
}

// A table made for v5 would refuse the first wide row in the middle of a run: found at start-up
// instead. A server that cannot answer leaves the question to the first insert.
void CheckColumnWidths() {
    if (!TakesWideFlows() || mysql_query(state.mysqlconn, kNarrowColumns) != 0) return;
    MYSQL_RES* result = mysql_store_result(state.mysqlconn);
    if (result == nullptr) return;
    const bool narrow = mysql_num_rows(result) > 0;
    mysql_free_result(result);
    if (narrow) Terminate(14, kTooNarrow);
}

// The sink is open from here to Close, with or without a connection.
void Open() {
    if (state.statement != nullptr) return;
    CheckOptionFiles();
    if (!Connect()) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kConnectFailed, mysql_error(&state.mysql));
        Terminate(13, message);
    }
    state.marked = HasMarkerTable();
    if (!state.marked) notify(kNoMarkers);
    CheckColumnWidths();
    state.statement = static_cast<char*>(allocate_mem(kStatementSize));
    state.collector_id = RandomCollectorId();
}

// Reached from Terminate too: rows the server has not committed are reported lost, never sent
// from here (a refusal would have to end a process that is already ending). The lost are those
// and the ones the outage in progress dropped.
size_t Close() {
    if (state.statement == nullptr) return 0;
    const size_t lost = state.backlog.Clear();
    if (state.mysqlconn != nullptr) mysql_close(state.mysqlconn);
    SetConnection(nullptr);
    release_mem(state.statement, kStatementSize);
    state = MySQLState{};
    return lost;
}

void Report() { std::printf(kReportLine, kDatabase, setting.name); }

uint64_t CommittedRows() { return committed_rows.load(std::memory_order_relaxed); }

// Shown only with -m.
uint64_t Connected() {
    if (setting.enabled != 1) return kNoSample;
    return connected.load(std::memory_order_relaxed) ? 1 : 0;
}

constexpr Reading kReadings[] = {
    {kDroppedFlows, "mysql_backlog", GetMySQLDroppedRows},
    {kMysqlBacklog, nullptr, GetMySQLBacklogRows},
    {kMysqlConnected, nullptr, Connected},
};

}  // namespace

const Sink kMySQLSink{.name = "mysql",
                      .setting = &setting,
                      .name_switch = 'm',
                      .help = "-m ip/hostname of MYSQL database server",
                      .report = Report,
                      .readings = kReadings,
                      .reading_count = std::size(kReadings),
                      .written = CommittedRows,
                      .open = Open,
                      .write = Write,
                      .commit = Commit,
                      .close = Close};

uint64_t GetMySQLDroppedRows() { return gauges.dropped.load(std::memory_order_relaxed); }
uint64_t GetMySQLBacklogRows() { return gauges.depth.load(std::memory_order_relaxed); }
uint64_t GetMySQLConnected() { return connected.load(std::memory_order_relaxed) ? 1 : 0; }
