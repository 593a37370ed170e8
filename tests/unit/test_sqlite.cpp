// SQLite flow database: rows read back through another connection, 5001-row batches, other
// connections' locks, and the fatal failures.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "process.h"
#include "storage/sqlite_sink.h"

namespace {

using namespace std::chrono_literals;

FlowItem Record(uint32_t sequence = 1234) {
    FlowItem item = testsupport::ExampleFlow();
    item.sequence = sequence;
    item.next_hop = testsupport::Address("10.0.0.254");
    item.tos = 0xb8;
    return item;
}

void WriteRecords(int count) {
    const FlowItem item = Record();
    for (int n = 0; n < count; ++n) SQLWrite(&item);
}

// A connection of its own, as another process would have.
struct Peer {
    explicit Peer(const std::string& path) {
        sqlite3_open(path.c_str(), &db);
        sqlite3_busy_timeout(db, 5000);
    }
    ~Peer() { sqlite3_close(db); }
    int Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    long long Number(const char* sql = "SELECT COUNT(*) FROM flows") {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        const long long value =
            sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        return value;
    }
    sqlite3* db = nullptr;
};

class SQLiteSink : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        dir_ = testsupport::MakeTempDir();
        path_ = dir_ + "/flows.db";
        testsupport::UseSwitches({"-b", path_, "-x", "-z"});
    }
    void TearDown() override {
        CloseSQLite();
        testsupport::RemoveTree(dir_);
    }
    std::string dir_, path_;
};

}  // namespace

// A file without the table gets it; an existing table keeps its rows across a reopen.
TEST_F(SQLiteSink, RowHoldsEveryColumnAndTheTableIsCreatedOnlyWhereMissing) {
    ASSERT_EQ(Peer(path_).Exec("CREATE TABLE other (x INTEGER); INSERT INTO other VALUES (7)"),
              SQLITE_OK);
    InitSQLite();
    FlowItem item = Record(4294967295u);
    item.bytes = 3000000000u;
    item.packets = 2147483648u;
    item.flow_begin = -5;
    SQLWrite(&item);
    CloseSQLite();
    InitSQLite();  // a second CREATE TABLE would end the process
    WriteRecords(1);
    CloseSQLite();

    Peer peer(path_);
    EXPECT_EQ(peer.Number(), 2);
    EXPECT_EQ(peer.Number("SELECT x FROM other"), 7);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(peer.db, "SELECT * FROM flows", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    std::vector<std::string> row;  // text values quoted, so a number stored as text shows
    for (int column = 0; column < sqlite3_column_count(stmt); ++column) {
        const std::string value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        row.push_back(sqlite3_column_type(stmt, column) == SQLITE_TEXT ? "'" + value + "'" : value);
    }
    sqlite3_finalize(stmt);
    EXPECT_EQ(row, (std::vector<std::string>{
                       "1", "'192.0.2.1'", "1796477366", "5", "4294967295", "'198.51.100.7'", "443",
                       "'203.0.113.9'", "514", "'10.0.0.254'", "6", "27", "184", "3000000000",
                       "2147483648", "-5", "1796477360", "64512", "65001", "24", "16"}));
}

TEST_F(SQLiteSink, BatchesHold5001RowsAndBecomeVisibleOnlyWhenCommitted) {
    InitSQLite();
    Peer peer(path_);
    auto batch_open = [] { return sqlite3_get_autocommit(sqlitedb) == 0; };
    WriteRecords(5000);
    EXPECT_TRUE(batch_open());
    EXPECT_EQ(peer.Number(), 0);
    WriteRecords(1);  // the 5001st row closes the batch
    EXPECT_FALSE(batch_open());
    EXPECT_EQ(peer.Number(), 5001);
    WriteRecords(1);  // and the 5002nd opens the next
    EXPECT_TRUE(batch_open());
    EXPECT_EQ(peer.Number(), 5001);
}

// An exclusive lock holds up the insert, a reader's shared lock the commit.
TEST_F(SQLiteSink, InsertAndCommitWaitOutOtherConnectionsLocks) {
    InitSQLite();
    for (const char* hold : {"BEGIN EXCLUSIVE", "BEGIN; SELECT COUNT(*) FROM flows"}) {
        Peer peer(path_);
        ASSERT_EQ(peer.Exec(hold), SQLITE_OK);
        std::thread release([&] {
            std::this_thread::sleep_for(300ms);
            peer.Exec("COMMIT");
        });
        WriteRecords(3);
        CommitSQLiteBatch();
        release.join();
    }
    EXPECT_EQ(Peer(path_).Number(), 6);
}

TEST_F(SQLiteSink, FailedInsertShowsTheStatementAndEndsWithStatus8) {
    InitSQLite();
    ASSERT_EQ(Peer(path_).Exec("DROP TABLE flows"), SQLITE_OK);
    const FlowItem item = Record();
    EXPECT_EXIT(SQLWrite(&item), testing::ExitedWithCode(8),
                "SQL was: INSERT INTO flows VALUES \\(NULL,'192\\.0\\.2\\.1',1796477366,5,1234,"
                "'198\\.51\\.100\\.7',443,'203\\.0\\.113\\.9',514,'10\\.0\\.0\\.254',6,27,184,5120,"
                "12,1796477341,1796477360,64512,65001,24,16\\)Process terminated with value: 8, "
                "quitting from no such table: flows\n");
}
