// SQLite flow database: rows read back through another connection, commits per pass and per
// 5001 rows, other connections' locks, one handle however the sink is opened, and the fatal
// failures.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "process.h"
#include "storage/sink.h"
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

// Writes count records as one pass would, without its commit; returns how many the sink took.
size_t WriteRecords(size_t count, Patience patience = Patience::kUntilDone) {
    const std::vector<FlowItem> items(count, Record());
    return kSQLiteSink.write(items.data(), count, patience);
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
        kSQLiteSink.close();
        testsupport::RemoveTree(dir_);
    }
    std::string dir_, path_;
};

}  // namespace

// A file without the table gets it; an existing table keeps its rows across a reopen.
TEST_F(SQLiteSink, RowHoldsEveryColumnAndTheTableIsCreatedOnlyWhereMissing) {
    ASSERT_EQ(Peer(path_).Exec("CREATE TABLE other (x INTEGER); INSERT INTO other VALUES (7)"),
              SQLITE_OK);
    kSQLiteSink.open();
    FlowItem item = Record(4294967295u);
    item.bytes = 3000000000u;
    item.packets = 2147483648u;
    item.flow_begin = -5;
    kSQLiteSink.write(&item, 1, Patience::kThisPass);
    kSQLiteSink.close();
    kSQLiteSink.open();  // a second CREATE TABLE would end the process
    WriteRecords(1);
    kSQLiteSink.close();

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

// Rows become visible at the pass's commit, or at their 5001st; a lock another program holds
// makes a pass leave its rows for the next one, or be waited out when patience says so.
TEST_F(SQLiteSink, CommitsAtEveryPassEndAndAt5001RowsAndWaitsOutLocksOnlyWhenAsked) {
    kSQLiteSink.open();
    Peer peer(path_);
    EXPECT_EQ(WriteRecords(5000), 5000u);
    EXPECT_EQ(peer.Number(), 0);
    EXPECT_EQ(WriteRecords(2), 2u);  // the 5001st row commits
    EXPECT_EQ(peer.Number(), 5001);
    EXPECT_TRUE(kSQLiteSink.commit(Patience::kThisPass));
    EXPECT_EQ(peer.Number(), 5002);

    ASSERT_EQ(peer.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    EXPECT_EQ(WriteRecords(3, Patience::kThisPass), 0u);
    ASSERT_EQ(peer.Exec("COMMIT; BEGIN; SELECT COUNT(*) FROM flows"), SQLITE_OK);  // a reader
    EXPECT_EQ(WriteRecords(3, Patience::kThisPass), 3u);
    EXPECT_FALSE(kSQLiteSink.commit(Patience::kThisPass));
    std::thread release([&] {
        std::this_thread::sleep_for(300ms);
        peer.Exec("COMMIT");
    });
    EXPECT_TRUE(kSQLiteSink.commit(Patience::kUntilDone));
    release.join();
    EXPECT_EQ(peer.Number(), 5005);
}

// A snapshot asked for before the storage thread opened the database opens the handle; the
// thread's open must keep it rather than open, and lose, a second one.
TEST_F(SQLiteSink, OpeningAnOpenSinkKeepsItsOneHandle) {
    kSQLiteSink.open();
    kSQLiteSink.close();
    const sqlite3_int64 closed = sqlite3_memory_used();
    kSQLiteSink.open();
    const sqlite3_int64 open = sqlite3_memory_used();
    kSQLiteSink.open();
    EXPECT_EQ(sqlite3_memory_used(), open);
    kSQLiteSink.close();
    EXPECT_EQ(sqlite3_memory_used(), closed);
}

TEST_F(SQLiteSink, FailedInsertShowsTheStatementAndEndsWithStatus8) {
    kSQLiteSink.open();
    ASSERT_EQ(Peer(path_).Exec("DROP TABLE flows"), SQLITE_OK);
    EXPECT_EXIT(WriteRecords(1), testing::ExitedWithCode(8),
                "SQL was: INSERT INTO flows VALUES \\(NULL,'192\\.0\\.2\\.1',1796477366,5,1234,"
                "'198\\.51\\.100\\.7',443,'203\\.0\\.113\\.9',514,'10\\.0\\.0\\.254',6,27,184,5120,"
                "12,1796477341,1796477360,64512,65001,24,16\\)Process terminated with value: 8, "
                "quitting from no such table: flows\n");
}
