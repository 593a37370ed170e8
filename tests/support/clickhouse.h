#pragma once
// The private ClickHouse server of scripts/clickhouse-test.sh (HTTP on 127.0.0.1, port
// $NF5D_CLICKHOUSE_PORT, default 8123), which the tests query and may stop and start.
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
    // The answer's lines, or nothing with the test failed when the query was refused.
    static std::vector<std::string> Query(const std::string& sql);
    // Runs scripts/clickhouse-test.sh with command (start, stop): its status.
    static int Server(const char* command);
    // Drops FLOWDB.FLOWS and has the script create it again. (18.16 removes the files of a
    // truncated table only minutes later, and a restart in between brings its rows back.)
    static void EmptyTable();
};

}  // namespace testsupport
