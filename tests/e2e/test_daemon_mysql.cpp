// The MySQL export through a real server (scripts/mariadb-test.sh start). Skipped only when no
// server answers and NF5D_REQUIRE_MYSQL is unset.
#include <gtest/gtest.h>
#include <mysql.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "daemon.h"

using namespace testsupport;
using DaemonMysql = DaemonTest;

namespace {

Rows Query(MYSQL* mysql, const char* sql) {
    Rows rows;
    MYSQL_RES* result = mysql_query(mysql, sql) == 0 ? mysql_store_result(mysql) : nullptr;
    while (MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr) {
        rows.emplace_back(row, row + mysql_num_fields(result));
    }
    if (result != nullptr) mysql_free_result(result);
    return rows;
}

std::string UtcText(time_t t) {
    tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

}  // namespace

TEST_F(DaemonMysql, FlowsBecomeRowsOnTheServer) {
    const std::unique_ptr<MYSQL, decltype(&mysql_close)> owner(mysql_init(nullptr), mysql_close);
    MYSQL* mysql = owner.get();
    // The test's own account on the test server, which may read and clear the table.
    if (!mysql_real_connect(mysql, "127.0.0.1", "nf5test", nullptr, "FLOWDB", 3306, nullptr, 0)) {
        if (!std::getenv("NF5D_REQUIRE_MYSQL")) GTEST_SKIP() << "no MySQL server on 127.0.0.1";
        FAIL() << "MySQL test server required: " << mysql_error(mysql);
    }
    ASSERT_EQ(mysql_query(mysql, "DELETE FROM FLOWS"), 0) << mysql_error(mysql);
    const time_t before = std::time(nullptr);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-m", "127.0.0.1"})) << daemon.Stderr();
    const char* const kReportLine = "DB: Will store on MYSQL database FLOWDB on 127.0.0.1\n";
    EXPECT_EQ(Count(daemon.process().Stdout(), kReportLine), 1);
    Exporter().Send(daemon.port(), ExampleDatagram(4294967295u, 2));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const Rows rows = Query(mysql, "SELECT * FROM FLOWS ORDER BY RECNUM");
    ASSERT_EQ(rows.size(), 2u);
    const std::string received = rows[0][2];
    EXPECT_TRUE(received >= UtcText(before) && received <= UtcText(std::time(nullptr))) << received;
    for (const auto& row : rows) {
        EXPECT_EQ(row, (std::vector<std::string>{
                           row[0], "127.0.0.1", received, "5", "4294967295", "198.51.100.7", "443",
                           "203.0.113.9", "514", "0.0.0.0", "6", "27", "0", "5120", "12",
                           "2026-12-05 13:29:01", "2026-12-05 13:29:20", "64500", "65001", "24",
                           "16"}));
    }
    EXPECT_EQ(SqliteRows(Path("netflow.db"), "SELECT COUNT(*) FROM flows"), (Rows{{"2"}}));  // too
}
