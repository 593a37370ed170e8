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
// attempt is still open on the server, the insert waits for it to end.
#include "storage/mysql_sink.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/memory.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/terminate.h"
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
// The table has 21 columns in this order; the first (the key) accepts NULL.
constexpr const char* kInsertInto = "INSERT INTO FLOWS VALUES ";
constexpr const char* kRowValues =
    "(NULL,'%s','%s',%d,%lu,'%s',%d,'%s',%d,'%s',%d,%d,%d,%lu,%lu,'%s','%s',%d,%d,%d,%d)";
constexpr const char* kInsertMarker =
    "INSERT INTO FLOW_BATCHES (COLLECTOR,BATCH,FLOWS) VALUES (%llu,%llu,%zu)";
constexpr const char* kConnectFailed = "%s\n";
constexpr const char* kInsertFailed = "Can't add data to mysql server";
constexpr const char* kStartTransaction = "START TRANSACTION";
constexpr const char* kCommit = "COMMIT";
constexpr const char* kRollback = "ROLLBACK";
constexpr const char* kServerAway = "MySQL server unavailable, keeping its rows: %s";
constexpr const char* kBacklogFull = "MySQL backlog full, dropping rows";
constexpr const char* kServerBack = "MySQL server back: %zu rows kept, %llu dropped";
constexpr const char* kRowsLost = "MySQL rows lost: %zu";

constexpr size_t kRowsPerStatement = 500;
constexpr size_t kBatchRows = 10 * kRowsPerStatement;
// A row's text is under 300 bytes; each statement is built in one buffer of this size.
constexpr size_t kRowTextSize = 320;
constexpr size_t kStatementSize = 32 + kRowsPerStatement * kRowTextSize;

// A black-holed server costs a pass at most the connect timeout, a hung one the I/O timeout.
constexpr unsigned kConnectTimeoutSeconds = 3;
constexpr unsigned kIoTimeoutSeconds = 10;
constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLastRetry{30};
// After an outage a regular pass spends at most this long on the backlog, then lets the other
// sinks have their turn.
constexpr std::chrono::seconds kCatchUpPerPass{2};

// Storage thread only (sink lock held), apart from the atomic counter.
MYSQL mysql;
MYSQL* mysqlconn = nullptr;  // null while the server is away
char* statement = nullptr;   // kStatementSize bytes from open to close: the sink is open

// Rows not yet committed, oldest first; rows of the head block before first are gone.
FlowChain backlog{};
size_t first = 0;
size_t backlog_rows = 0;

unsigned long long collector_id = 0;
unsigned long long batch = 0;  // number of the batch the backlog's head belongs to
size_t batch_rows = 0;         // rows of that batch once it was sent: the same go out again
bool proven = false;           // a batch has committed: the server takes our rows
// Rows Write took since it last sent a batch. It sends one batch per kBatchRows taken, so the
// traffic never makes the backlog grow while the server keeps up, and leaves what an outage
// left behind to Commit and its time budget.
size_t paced_rows = 0;

bool away = false;
Clock::duration retry_delay = kFirstRetry;
Clock::time_point next_attempt{};
unsigned long long dropped_in_outage = 0;
bool drop_reported = false;
std::atomic<uint64_t> dropped_rows{0};
std::atomic<size_t> backlog_gauge{0};  // backlog_rows, for the metrics

struct RowTimes {
    TimeText received, begin, end;
};

// Appends the row's values at text; returns their length.
size_t FormatRow(const FlowItem* i, RowTimes* times, char* text) {
    const FlowAddresses address = RenderAddresses(i);
    const int length = std::snprintf(
        text, kRowTextSize, kRowValues, address.origin,
        LocalDateTimeText(i->time_received, &times->received), i->version,
        static_cast<unsigned long>(i->sequence), address.source, i->src_port, address.destination,
        i->dst_port, address.nexthop, i->protocol, i->tcp_flags, i->tos,
        static_cast<unsigned long>(i->bytes), static_cast<unsigned long>(i->packets),
        LocalDateTimeText(i->flow_begin, &times->begin),
        LocalDateTimeText(i->flow_end, &times->end), i->src_as, i->dst_as, i->src_mask,
        i->dst_mask);
    NF_ASSERT(length > 0 && static_cast<size_t>(length) < kRowTextSize, "row fits");
    return static_cast<size_t>(length);
}

// Appends what the bound leaves room for; the rest is dropped, counted and reported once.
// Returns how many rows it kept.
size_t Keep(const FlowItem* flows, size_t count) {
    const size_t kept = std::min(count, kBacklogRows - backlog_rows);
    AppendFlows(backlog, flows, kept);
    backlog_rows += kept;
    backlog_gauge.store(backlog_rows, std::memory_order_relaxed);
    if (kept == count) return kept;
    dropped_rows.fetch_add(count - kept, std::memory_order_relaxed);
    dropped_in_outage += count - kept;
    if (!drop_reported) notify(kBacklogFull);
    drop_reported = true;
    return kept;
}

// Releases the oldest rows, which the server has committed.
void Forget(size_t rows) {
    backlog_rows -= rows;
    backlog_gauge.store(backlog_rows, std::memory_order_relaxed);
    first += rows;
    while (backlog.head != nullptr && first >= backlog.head->count) {
        FlowBlock* block = backlog.head;
        first -= block->count;
        backlog.head = block->next;
        if (backlog.head == nullptr) backlog.tail = nullptr;
        release_mem(block, sizeof(FlowBlock));
    }
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

void RetryLater() {
    next_attempt = Clock::now() + retry_delay;
    retry_delay = std::min<Clock::duration>(2 * retry_delay, kLastRetry);
}

// Until a batch has committed, a refusal is the configuration's (no table, no grant): status 14
// as always. Later the same refusal (a table dropped or renamed) is ridden out like a lost
// connection, so that the other sinks go on and the backlog waits for the table to return.
void Fail() {
    if (!proven && !IsLoss(mysql_errno(mysqlconn))) Terminate(14, kInsertFailed);
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kServerAway, mysql_error(mysqlconn));
    mysql_close(mysqlconn);  // a transaction still open is rolled back by the server
    mysqlconn = nullptr;
    if (!away) {
        notify(message);
        away = true;
        retry_delay = kFirstRetry;
    }
    RetryLater();
}

bool Run(const char* text, size_t length) {
    if (mysql_real_query(mysqlconn, text, length) == 0) return true;
    Fail();
    return false;
}

bool Run(const char* text) { return Run(text, std::strlen(text)); }

void EndOutage() {
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kServerBack, backlog_rows, dropped_in_outage);
    notify(message);
    away = false;
    dropped_in_outage = 0;
    drop_reported = false;
}

void Settle() {
    if (away) EndOutage();
    Forget(batch_rows);
    batch_rows = 0;
    ++batch;
    proven = true;
}

// Sends the batch's rows, the oldest batch_rows of the backlog, as INSERTs.
bool InsertBatchRows() {
    const FlowBlock* block = backlog.head;
    size_t index = first;
    RowTimes times;
    for (size_t left = batch_rows; left > 0;) {
        const size_t rows = std::min(left, kRowsPerStatement);
        size_t length = std::strlen(kInsertInto);
        std::memcpy(statement, kInsertInto, length);
        for (size_t n = 0; n < rows; ++n, ++index) {
            if (index == block->count) {
                block = block->next;
                index = 0;
            }
            if (n > 0) statement[length++] = ',';
            length += FormatRow(&block->flows[index], &times, statement + length);
        }
        statement[length++] = ';';
        if (!Run(statement, length)) return false;
        left -= rows;
    }
    return true;
}

// One transaction: the marker, then the rows. False when the server was lost or refused them;
// they stay, as the same batch, for the next attempt.
bool SendBatch() {
    if (batch_rows == 0) batch_rows = std::min(backlog_rows, kBatchRows);
    if (!Run(kStartTransaction)) return false;
    char marker[kMessageSize];
    std::snprintf(marker, sizeof marker, kInsertMarker, collector_id, batch, batch_rows);
    if (mysql_query(mysqlconn, marker) != 0) {
        if (mysql_errno(mysqlconn) != ER_DUP_ENTRY) {
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
    if (mysql_init(&mysql) == nullptr) return false;
    mysql_options(&mysql, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
    mysql_options(&mysql, MYSQL_OPT_READ_TIMEOUT, &kIoTimeoutSeconds);
    mysql_options(&mysql, MYSQL_OPT_WRITE_TIMEOUT, &kIoTimeoutSeconds);
    // The explicit host, user and database below still win over the option files' own.
    mysql_optionsv(&mysql, MYSQL_READ_DEFAULT_GROUP, kOptionGroup);
    mysqlconn = mysql_real_connect(&mysql, GetMYSQLServerName(), kUser, nullptr, kDatabase, kPort,
                                   nullptr, 0);
    return mysqlconn != nullptr;
}

// A regular pass tries only once the delay has passed; the last pass tries once more anyway.
bool Reconnect(Patience patience) {
    if (patience == Patience::kThisPass && Clock::now() < next_attempt) return false;
    if (Connect()) return true;
    mysql_close(&mysql);
    RetryLater();
    return false;
}

size_t Write(const FlowItem* flows, size_t count, Patience /*patience*/) {
    NF_ASSERT(flows != nullptr, "i != NULL");
    paced_rows += Keep(flows, count);
    while (mysqlconn != nullptr && paced_rows >= kBatchRows && backlog_rows >= kBatchRows &&
           SendBatch()) {
        paced_rows -= kBatchRows;
    }
    return count;
}

// False while rows wait for the server: the next pass calls again.
bool Commit(Patience patience) {
    paced_rows = 0;
    if (backlog_rows == 0) return true;
    if (mysqlconn == nullptr && !Reconnect(patience)) return false;
    const Clock::time_point until = Clock::now() + kCatchUpPerPass;
    while (backlog_rows > 0 && SendBatch()) {
        if (patience == Patience::kThisPass && Clock::now() >= until) break;
    }
    return backlog_rows == 0;
}

// The collector's id in the marker table: another collector writing to the same server, or this
// one after a restart, never meets its batch numbers.
unsigned long long RandomCollectorId() {
    std::random_device random;
    return (static_cast<unsigned long long>(random()) << 32) | random();
}

// The sink is open from here to Close, with or without a connection.
void Open() {
    if (statement != nullptr) return;
    if (!Connect()) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kConnectFailed, mysql_error(&mysql));
        Terminate(13, message);
    }
    statement = static_cast<char*>(allocate_mem(kStatementSize));
    collector_id = RandomCollectorId();
}

// Reached from Terminate too: rows the server has not committed are reported lost, never sent
// from here (a refusal would have to end a process that is already ending).
void Close() {
    if (statement == nullptr) return;
    if (backlog_rows > 0) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kRowsLost, backlog_rows);
        notify(message);
    }
    if (mysqlconn != nullptr) mysql_close(mysqlconn);
    mysqlconn = nullptr;
    Forget(backlog_rows);
    release_mem(statement, kStatementSize);
    statement = nullptr;
    batch_rows = 0;
    paced_rows = 0;
    proven = false;
    away = false;
    retry_delay = kFirstRetry;
    next_attempt = Clock::time_point{};
    dropped_in_outage = 0;
    drop_reported = false;
}

}  // namespace

const Sink kMySQLSink{"mysql", IsMYSQLLoggingEnabled, Open, Write, Commit, Close};

uint64_t GetMySQLDroppedRows() { return dropped_rows.load(std::memory_order_relaxed); }
uint64_t GetMySQLBacklogRows() { return backlog_gauge.load(std::memory_order_relaxed); }
