// The MySQL export. A pass sends its rows as multi-row INSERTs of up to kRowsPerStatement rows,
// in one transaction that its commit ends: one round trip per few hundred rows, not per row.
#include "storage/mysql_sink.h"

#include <mysql.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/memory.h"
#include "common/messages.h"
#include "entry/settings.h"
#include "storage/render.h"
#include "storage/terminate.h"

namespace {

constexpr const char* kUser = "collector";
constexpr const char* kDatabase = "FLOWDB";
// Option-file group read besides [client]: where an operator gives a password and TLS settings.
constexpr const char* kOptionGroup = "nf5d";
constexpr unsigned kPort = 3306;
// The table has 21 columns in this order; the first (the key) accepts NULL.
constexpr const char* kInsertInto = "INSERT INTO FLOWS VALUES ";
constexpr const char* kRowValues =
    "(NULL,'%s','%s',%d,%lu,'%s',%d,'%s',%d,'%s',%d,%d,%d,%lu,%lu,'%s','%s',%d,%d,%d,%d)";
constexpr const char* kConnectFailed = "%s\n";
constexpr const char* kInsertFailed = "Can't add data to mysql server";
constexpr const char* kStartTransaction = "START TRANSACTION";
constexpr const char* kCommit = "COMMIT";

constexpr size_t kRowsPerStatement = 500;
// A row's text is under 300 bytes; each statement is built in one buffer of this size.
constexpr size_t kRowTextSize = 320;
constexpr size_t kStatementSize = 32 + kRowsPerStatement * kRowTextSize;

// The connection structure, zero-filled at start; mysqlconn points here once connected.
MYSQL mysql;
MYSQL* mysqlconn = nullptr;
char* statement = nullptr;  // kStatementSize bytes while connected
bool in_transaction = false;

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
        LocalDateTimeText(i->flow_begin, &times->begin), LocalDateTimeText(i->flow_end, &times->end),
        i->src_as, i->dst_as, i->src_mask, i->dst_mask);
    NF_ASSERT(length > 0 && static_cast<size_t>(length) < kRowTextSize, "row fits");
    return static_cast<size_t>(length);
}

void Send(const char* text, size_t length) {
    if (mysql_real_query(mysqlconn, text, length) != 0) Terminate(14, kInsertFailed);
}

// One INSERT of flows[0, count), count at most kRowsPerStatement.
void InsertRows(const FlowItem* flows, size_t count, RowTimes* times) {
    size_t length = std::strlen(kInsertInto);
    std::memcpy(statement, kInsertInto, length);
    for (size_t n = 0; n < count; ++n) {
        if (n > 0) statement[length++] = ',';
        length += FormatRow(&flows[n], times, statement + length);
    }
    statement[length++] = ';';
    Send(statement, length);
}

size_t Write(const FlowItem* flows, size_t count, Patience /*patience*/) {
    NF_ASSERT(flows != nullptr, "i != NULL");
    if (!in_transaction) Send(kStartTransaction, std::strlen(kStartTransaction));
    in_transaction = true;
    RowTimes times;
    for (size_t done = 0; done < count; done += kRowsPerStatement) {
        InsertRows(flows + done, std::min(kRowsPerStatement, count - done), &times);
    }
    return count;
}

// Rows the server did not commit are lost: status 14, as for a refused insert.
bool Commit(Patience /*patience*/) {
    if (!in_transaction) return true;
    Send(kCommit, std::strlen(kCommit));
    in_transaction = false;
    return true;
}

// Connector/C requires the structure to be prepared; a null result means out of memory.
void Open() {
    if (mysqlconn != nullptr) return;
    if (mysql_init(&mysql) == nullptr) Terminate(13, "mysql_init failed\n");
    // The explicit host, user and database below still win over the option files' own.
    mysql_optionsv(&mysql, MYSQL_READ_DEFAULT_GROUP, kOptionGroup);
    mysqlconn = mysql_real_connect(&mysql, GetMYSQLServerName(), kUser, nullptr, kDatabase, kPort,
                                   nullptr, 0);
    if (mysqlconn == nullptr) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kConnectFailed, mysql_error(&mysql));
        Terminate(13, message);
    }
    statement = static_cast<char*>(allocate_mem(kStatementSize));
}

// Rows of a transaction still open (a pass cut short by a fatal error) are not committed.
void Close() {
    if (IsMYSQLLoggingEnabled() != 1 || mysqlconn == nullptr) return;
    mysql_close(mysqlconn);
    mysqlconn = nullptr;
    release_mem(statement, kStatementSize);
    statement = nullptr;
    in_transaction = false;
}

}  // namespace

const Sink kMySQLSink{IsMYSQLLoggingEnabled, Open, Write, Commit, Close};
