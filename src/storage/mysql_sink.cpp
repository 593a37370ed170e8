// The MySQL export: one INSERT per record into FLOWDB.FLOWS, no batching, no transactions.
#include "storage/mysql_sink.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/messages.h"
#include "entry/settings.h"
#include "storage/render.h"
#include "storage/terminate.h"

MYSQL* mysqlconn = nullptr;

namespace {

constexpr const char* kUser = "collector";
constexpr const char* kDatabase = "FLOWDB";
// Option-file group read besides [client]: where an operator gives a password and TLS settings.
constexpr const char* kOptionGroup = "nf5d";
constexpr unsigned kPort = 3306;
// The table has 21 columns in this order; the first (the key) accepts NULL.
constexpr const char* kInsertRow =
    "INSERT INTO FLOWS VALUES (NULL,'%s','%s',%d,%lu,'%s',%d,'%s',%d,'%s',%d,%d,%d,%lu,%lu,'%s',"
    "'%s',%d,%d,%d,%d);";
constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";
constexpr const char* kConnectFailed = "%s\n";
constexpr const char* kInsertFailed = "Can't add data to mysql server";
constexpr const char* kCommit = "COMMIT";

// The connection structure, zero-filled at start; mysqlconn points here once connected.
MYSQL mysql;

// localtime_r, not localtime: workers convert trash-line times at the same moments.
void RenderTime(int32_t seconds, char* text) {
    std::memset(text, 0, kTimeTextSize);
    const time_t value = seconds;
    tm local{};
    if (localtime_r(&value, &local) == nullptr) return;
    std::strftime(text, kTimeTextSize, kTimeFormat, &local);
}

}  // namespace

void InitMySQL() {
    mysqlconn = nullptr;
    if (IsMYSQLLoggingEnabled() != 1) return;
    // Connector/C requires the structure to be prepared; a null result means out of memory.
    if (mysql_init(&mysql) == nullptr) Terminate(13, "mysql_init failed\n");
    // The explicit host, user and database below still win over the option files' own.
    mysql_optionsv(&mysql, MYSQL_READ_DEFAULT_GROUP, kOptionGroup);
    mysqlconn = mysql_real_connect(&mysql, GetMYSQLServerName(), kUser, nullptr, kDatabase, kPort,
                                   nullptr, 0);
    if (mysqlconn != nullptr) return;
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kConnectFailed, mysql_error(&mysql));
    Terminate(13, message);
}

void MySQLWrite(const FlowItem* i) {
    NF_ASSERT(i != nullptr, "i != NULL");
    const FlowAddresses address = RenderAddresses(i);

    char received[kTimeTextSize];
    char begin[kTimeTextSize];
    char end[kTimeTextSize];
    RenderTime(i->time_received, received);
    RenderTime(i->flow_begin, begin);
    RenderTime(i->flow_end, end);

    char statement[kMessageSize];
    std::snprintf(statement, sizeof statement, kInsertRow, address.origin, received, i->version,
                  static_cast<unsigned long>(i->sequence), address.source, i->src_port,
                  address.destination, i->dst_port, address.nexthop, i->protocol, i->tcp_flags,
                  i->tos, static_cast<unsigned long>(i->bytes),
                  static_cast<unsigned long>(i->packets), begin, end, i->src_as, i->dst_as,
                  i->src_mask, i->dst_mask);
    if (mysql_query(mysqlconn, statement) != 0) Terminate(14, kInsertFailed);
}

void CommitData() {
    if (IsMYSQLLoggingEnabled() == 1 && mysqlconn != nullptr) mysql_query(mysqlconn, kCommit);
    sync();
}

void CloseMySQL() {
    if (IsMYSQLLoggingEnabled() != 1 || mysqlconn == nullptr) return;
    mysql_close(mysqlconn);
    mysqlconn = nullptr;
}
