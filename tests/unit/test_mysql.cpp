// MySQL export against the private MariaDB server of scripts/mariadb-test.sh: rows read back
// with their date-time text, and the two fatal failures (no server, no table).
#include <arpa/inet.h>
#include <errmsg.h>
#include <gtest/gtest.h>
#include <mysql.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "entry/settings.h"
#include "parser/flow.h"
#include "storage/mysql_sink.h"
#include "fixtures.h"

using testsupport::Address;

namespace {

using Row = std::vector<std::string>;

// Values with the top bit set and a receive time of 0 (1970-01-01 00:00:00 in UTC).
FlowItem Record(uint32_t sequence = 1234) {
    FlowItem item = testsupport::ExampleFlow();
    item.time_received = 0;
    item.sequence = sequence;
    item.next_hop = Address("10.0.0.254");
    item.protocol = 17;
    item.tos = 0xb8;
    item.bytes = 3000000000u;
    item.src_as = 65535;
    item.dst_as = 32768;
    return item;
}

void Configure(std::vector<std::string> words) { testsupport::UseSwitches(std::move(words)); }

void SetTimeZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// The test account that scripts/mariadb-test.sh creates: it may read, clear and rename FLOWS.
class Admin {
public:
    Admin() {
        db_ = mysql_init(nullptr);
        connected_ = mysql_real_connect(db_, "127.0.0.1", "nf5test", nullptr, "FLOWDB", 3306,
                                        nullptr, 0) != nullptr;
    }
    ~Admin() { mysql_close(db_); }
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;

    bool connected() const { return connected_; }
    // No server answering at all, as opposed to one that refuses the test account.
    bool NoServer() const {
        const unsigned error = mysql_errno(db_);
        return error == CR_CONNECTION_ERROR || error == CR_CONN_HOST_ERROR;
    }
    std::string Error() const { return mysql_error(db_); }
    bool Exec(const std::string& sql) { return mysql_query(db_, sql.c_str()) == 0; }
    bool HasTable(const char* name) {
        return Rows(std::string("SHOW TABLES LIKE '") + name + "'").size() == 1;
    }
    std::vector<Row> Rows(const std::string& sql) {
        std::vector<Row> rows;
        if (!Exec(sql)) return rows;
        MYSQL_RES* result = mysql_store_result(db_);
        if (result == nullptr) return rows;
        const unsigned columns = mysql_num_fields(result);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            Row values;
            for (unsigned c = 0; c < columns; ++c) values.emplace_back(row[c] ? row[c] : "NULL");
            rows.push_back(values);
        }
        mysql_free_result(result);
        return rows;
    }

private:
    MYSQL* db_ = nullptr;
    bool connected_ = false;
};

class MySQLSink : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        SetTimeZone("UTC");
        Configure({"-m", "127.0.0.1", "-x", "-y", "-z"});
        if (!admin_.connected()) {
            if (std::getenv("NF5D_REQUIRE_MYSQL") == nullptr && admin_.NoServer()) {
                GTEST_SKIP() << "no MySQL server on 127.0.0.1:3306 (scripts/mariadb-test.sh start)";
            }
            FAIL() << "test server unusable: " << admin_.Error();
        }
        // A run that died in the missing-table test may have left the table aside.
        if (!admin_.HasTable("FLOWS") && admin_.HasTable("FLOWS_ASIDE")) {
            ASSERT_TRUE(admin_.Exec("RENAME TABLE FLOWS_ASIDE TO FLOWS")) << admin_.Error();
        }
        ASSERT_TRUE(admin_.Exec("DELETE FROM FLOWS")) << admin_.Error();
    }
    void TearDown() override {
        CloseMySQL();
        if (admin_.connected() && admin_.HasTable("FLOWS_ASIDE")) {
            admin_.Exec("RENAME TABLE FLOWS_ASIDE TO FLOWS");
        }
    }
    std::vector<Row> Flows() { return admin_.Rows("SELECT * FROM FLOWS ORDER BY RECNUM"); }

    Admin admin_;
};

}  // namespace

TEST_F(MySQLSink, RowHoldsEveryValueWithDateTimeText) {
    InitMySQL();
    ASSERT_NE(mysqlconn, nullptr);
    FlowItem item = Record(4294967295u);
    MySQLWrite(&item);
    const std::vector<Row> rows = Flows();
    ASSERT_EQ(rows.size(), 1u);
    const Row expected = {"192.0.2.1", "1970-01-01 00:00:00", "5", "4294967295",
                          "198.51.100.7", "443", "203.0.113.9", "514", "10.0.0.254",
                          "17", "27", "184", "3000000000", "12", "2026-12-05 13:29:01",
                          "2026-12-05 13:29:20", "65535", "32768", "24", "16"};
    ASSERT_EQ(rows[0].size(), 21u);
    EXPECT_NE(rows[0][0], "NULL");  // the server assigned the key
    EXPECT_EQ(Row(rows[0].begin() + 1, rows[0].end()), expected);
}

TEST_F(MySQLSink, RecordsBecomeRowsInOrderWithoutACommit) {
    InitMySQL();
    for (uint32_t sequence = 1; sequence <= 3; ++sequence) {
        const FlowItem item = Record(sequence);
        MySQLWrite(&item);
    }
    const std::vector<Row> rows = Flows();
    ASSERT_EQ(rows.size(), 3u);
    for (size_t n = 0; n < rows.size(); ++n) EXPECT_EQ(rows[n][4], std::to_string(n + 1));
    CommitData();  // harmless with nothing to commit
    EXPECT_EQ(Flows().size(), 3u);
}

TEST_F(MySQLSink, TimesAreRenderedInTheLocalTimeZone) {
    SetTimeZone("XST-2");  // two hours east of UTC, no time zone database needed
    InitMySQL();
    const FlowItem item = Record();
    MySQLWrite(&item);
    const std::vector<Row> rows = Flows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][2], "1970-01-01 02:00:00");
    EXPECT_EQ(rows[0][15], "2026-12-05 15:29:01");
}

TEST_F(MySQLSink, MissingTableEndsWithStatus14) {
    InitMySQL();
    const FlowItem item = Record();
    EXPECT_EXIT(
        {
            Admin().Exec("RENAME TABLE FLOWS TO FLOWS_ASIDE");
            MySQLWrite(&item);
        },
        testing::ExitedWithCode(14),
        "Process terminated with value: 14, quitting from Can't add data to mysql server\n");
}

// These need no server, so they run (and must pass) everywhere.
TEST(MySQLConnect, NoServerOnTheHostEndsWithStatus13AndTheClientText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Configure({"-m", "127.0.0.2", "-x", "-y", "-z"});
    EXPECT_EXIT(InitMySQL(), testing::ExitedWithCode(13),
                "Process terminated with value: 13, quitting from [^\n]*127\\.0\\.0\\.2[^\n]*\n\n");
}

TEST(MySQLConnect, WithoutAServerNameNothingIsOpened) {
    Configure({"-x", "-y", "-z"});
    InitMySQL();
    EXPECT_EQ(mysqlconn, nullptr);
    CloseMySQL();
    EXPECT_EQ(mysqlconn, nullptr);
}
