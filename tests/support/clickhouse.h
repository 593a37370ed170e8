#pragma once
// The private ClickHouse server of scripts/clickhouse-test.sh (HTTP on 127.0.0.1, port
// $NF5D_CLICKHOUSE_PORT, default 8123, and HTTPS on the next), which the tests query and may stop
// and start.
#include <string>
#include <vector>

#include "daemon.h"

namespace testsupport {

// A fresh directory and the server. Without one the test is skipped, or fails if
// NF5D_REQUIRE_CLICKHOUSE is set.
class ClickHouseTest : public DaemonTest {
public:
    void SetUp() override;
    // http://127.0.0.1:<port>/ followed by path.
    static std::string Url(const std::string& path = "");
    // https://127.0.0.1:<port + 1>/, and the file of the CA that signed its certificate.
    static std::string TlsUrl();
    static std::string CaFile();
    // The answer's lines, or nothing with the test failed when the query was refused; query_id
    // names the query if not empty.
    static std::vector<std::string> Query(const std::string& sql, const std::string& query_id = "");
    // Runs scripts/clickhouse-test.sh with command (start, stop): its status.
    static int Server(const char* command);
    // Drops FLOWDB.FLOWS and has the script create it again. (18.16 removes the files of a
    // truncated table only minutes later, and a restart in between brings its rows back.)
    static void EmptyTable();
};

}  // namespace testsupport
