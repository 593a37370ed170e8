// MySQL export against the private MariaDB server of scripts/mariadb-test.sh: a row read back
// with its date-time text, and the two fatal failures (no server, no table).
#include <gtest/gtest.h>
#include <mysql.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "process.h"
#include "storage/mysql_sink.h"

using Row = std::vector<std::string>;

namespace {

// The test account of scripts/mariadb-test.sh, which may also read and rename FLOWS.
class MySQLSink : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        setenv("TZ", "XST-2", 1);  // two hours east of UTC: DATETIME text is local time
        tzset();
        testsupport::UseSwitches({"-m", "127.0.0.1", "-x", "-y", "-z"});
        admin_ = mysql_init(nullptr);
        if (!mysql_real_connect(admin_, "127.0.0.1", "nf5test", nullptr, "FLOWDB", 3306, nullptr,
                                0)) {
            if (std::getenv("NF5D_REQUIRE_MYSQL") != nullptr) FAIL() << mysql_error(admin_);
            GTEST_SKIP() << "no server (scripts/mariadb-test.sh start): " << mysql_error(admin_);
        }
        mysql_query(admin_, "RENAME TABLE FLOWS_ASIDE TO FLOWS");  // left by a run that died
        ASSERT_EQ(mysql_query(admin_, "DELETE FROM FLOWS"), 0) << mysql_error(admin_);
    }
    void TearDown() override {
        kMySQLSink.close();
        mysql_query(admin_, "RENAME TABLE FLOWS_ASIDE TO FLOWS");
        mysql_close(admin_);
    }
    MYSQL* admin_ = nullptr;
};

}  // namespace

TEST_F(MySQLSink, RowHoldsEveryValueWithLocalDateTimeText) {
    kMySQLSink.open();
    FlowItem item = testsupport::ExampleFlow();
    item.time_received = 0;
    item.sequence = 4294967295u;
    item.bytes = 3000000000u;
    item.src_as = 65535;
    item.tos = 0xb8;
    const std::vector<FlowItem> items(3, item);  // one multi-row statement
    kMySQLSink.write(items.data(), items.size(), Patience::kThisPass);
    ASSERT_TRUE(kMySQLSink.commit(Patience::kThisPass));
    ASSERT_EQ(mysql_query(admin_, "SELECT * FROM FLOWS"), 0) << mysql_error(admin_);
    MYSQL_RES* result = mysql_store_result(admin_);
    ASSERT_EQ(mysql_num_rows(result), 3u);
    const MYSQL_ROW values = mysql_fetch_row(result);
    Row row;
    for (unsigned c = 0; c < mysql_num_fields(result); ++c) {
        row.emplace_back(values[c] ? values[c] : "NULL");
    }
    mysql_free_result(result);
    EXPECT_NE(row.at(0), "NULL");  // the server assigned the key
    EXPECT_EQ(Row(row.begin() + 1, row.end()),
              (Row{"192.0.2.1", "1970-01-01 02:00:00", "5", "4294967295", "198.51.100.7", "443",
                   "203.0.113.9", "514", "0.0.0.0", "6", "27", "184", "3000000000", "12",
                   "2026-12-05 15:29:01", "2026-12-05 15:29:20", "65535", "65001", "24", "16"}));
}

TEST_F(MySQLSink, MissingTableEndsWithStatus14) {
    kMySQLSink.open();
    const FlowItem item = testsupport::ExampleFlow();
    EXPECT_EXIT(
        {
            mysql_query(admin_, "RENAME TABLE FLOWS TO FLOWS_ASIDE");
            kMySQLSink.write(&item, 1, Patience::kThisPass);
        },
        testing::ExitedWithCode(14),
        "Process terminated with value: 14, quitting from Can't add data to mysql server\n");
}

// scripts/mariadb-test.sh grants the collector on the "remote" host 127.0.0.3 with a password;
// only the option file's [nf5d] group gives both, since nf5d has no switch for either.
TEST_F(MySQLSink, ARemoteCollectorConnectsWithThePasswordOfItsOptionFile) {
    const std::string home = testsupport::MakeTempDir();
    setenv("HOME", home.c_str(), 1);
    const FlowItem item = testsupport::ExampleFlow();
    for (const bool password : {false, true}) {
        std::ofstream(home + "/.my.cnf") << "[client]\nbind-address=127.0.0.3\n[nf5d]\n"
                                         << (password ? "password=nf5d-remote\n" : "");
        if (!password) {
            EXPECT_EXIT(kMySQLSink.open(), testing::ExitedWithCode(13),
                        "Access denied for user 'collector'@'127.0.0.3'");
            continue;
        }
        kMySQLSink.open();
        kMySQLSink.write(&item, 1, Patience::kThisPass);
        ASSERT_TRUE(kMySQLSink.commit(Patience::kThisPass));
    }
    testsupport::RemoveTree(home);
    ASSERT_EQ(mysql_query(admin_, "SELECT COUNT(*) FROM FLOWS"), 0) << mysql_error(admin_);
    MYSQL_RES* result = mysql_store_result(admin_);
    EXPECT_STREQ(mysql_fetch_row(result)[0], "1");
    mysql_free_result(result);
}

// Needs no server, so it runs (and must pass) everywhere.
TEST(MySQLConnect, NoServerOnTheHostEndsWithStatus13AndTheClientText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testsupport::UseSwitches({"-m", "127.0.0.2", "-x", "-y", "-z"});
    EXPECT_EXIT(kMySQLSink.open(), testing::ExitedWithCode(13),
                "Process terminated with value: 13, quitting from [^\n]*127\\.0\\.0\\.2[^\n]*\n\n");
}
