// SQLite sink, read back through another connection.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "fixtures.h"
#include "storage/sinks/sqlite.h"

namespace {

using namespace std::chrono_literals;

// The example flow with a next hop and TOS of its own, so that no column passes for another.
FlowItem Record() {
    FlowItem item = testsupport::ExampleFlow();
    item.next_hop = testsupport::Address("10.0.0.254");
    item.tos = 0xb8;
    return item;
}

// Writes count records as one pass would, without its commit; returns how many the sink took.
size_t WriteRecords(size_t count, Patience patience = Patience::kUntilDone) {
    const std::vector<FlowItem> items(count, Record());
    return kSQLiteSink.write(items.data(), count, patience);
}

class SQLiteSink : public testsupport::DaemonTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        DaemonTest::SetUp();
        testsupport::UseSwitches({"-b", path_ = Path("flows.db"), "-x", "-z"});
        sqlite3_open(path_.c_str(), &peer_);  // another program's connection
    }
    void TearDown() override {
        sqlite3_close(peer_);
        kSQLiteSink.close();
        DaemonTest::TearDown();
    }
    int Peer(const char* sql) { return sqlite3_exec(peer_, sql, nullptr, nullptr, nullptr); }
    // Rows committed to table flows, as another program counts them.
    long Count() const { return testsupport::RowCount(path_); }
    std::string path_;
    sqlite3* peer_ = nullptr;
};

}  // namespace

// A file without the table gets it; an existing table keeps its rows across a reopen. Opening an
// open sink (a snapshot asked for before the storage thread opened it) keeps its one handle. (A
// row's values: the scenarios.)
TEST_F(SQLiteSink, TheTableIsCreatedOnlyWhereMissing) {
    ASSERT_EQ(Peer("CREATE TABLE other (x INTEGER); INSERT INTO other VALUES (7)"), SQLITE_OK);
    kSQLiteSink.open();
    WriteRecords(1);
    kSQLiteSink.close();
    const sqlite3_int64 closed = sqlite3_memory_used();
    kSQLiteSink.open();  // a second CREATE TABLE would end the process
    const sqlite3_int64 open = sqlite3_memory_used();
    kSQLiteSink.open();
    EXPECT_EQ(sqlite3_memory_used(), open);
    WriteRecords(1);
    kSQLiteSink.close();
    EXPECT_EQ(sqlite3_memory_used(), closed);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(testsupport::SqliteRows(path_, "SELECT x FROM other"), testsupport::Rows{{"7"}});
}

// Rows become visible at the pass's commit, or at their 5001st; a reader's lock makes a pass
// leave its commit for the next one, or is waited out when patience says so. (A lock that keeps
// rows out altogether is the storage pass test's.)
TEST_F(SQLiteSink, CommitsAtEveryPassEndAndAt5001RowsAndWaitsOutLocksOnlyWhenAsked) {
    kSQLiteSink.open();
    EXPECT_EQ(WriteRecords(5000), 5000u);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(WriteRecords(2), 2u);  // the 5001st row commits
    EXPECT_EQ(Count(), 5001);
    EXPECT_TRUE(kSQLiteSink.commit(Patience::kThisPass));
    EXPECT_EQ(Count(), 5002);

    ASSERT_EQ(Peer("BEGIN; SELECT COUNT(*) FROM flows"), SQLITE_OK);  // a reader
    EXPECT_EQ(WriteRecords(3, Patience::kThisPass), 3u);
    EXPECT_FALSE(kSQLiteSink.commit(Patience::kThisPass));
    std::thread release([&] {
        std::this_thread::sleep_for(300ms);  // so that the commit below has to wait
        Peer("COMMIT");
    });
    EXPECT_TRUE(kSQLiteSink.commit(Patience::kUntilDone));
    release.join();
    EXPECT_EQ(Count(), 5005);
}

TEST_F(SQLiteSink, FailedInsertShowsTheStatementAndEndsWithStatus8) {
    kSQLiteSink.open();
    ASSERT_EQ(Peer("DROP TABLE flows"), SQLITE_OK);
    EXPECT_EXIT(WriteRecords(1), testing::ExitedWithCode(8),
                "SQL was: INSERT INTO flows VALUES \\(NULL,'192\\.0\\.2\\.1',1796477366,5,1234,"
                "'198\\.51\\.100\\.7',443,'203\\.0\\.113\\.9',514,'10\\.0\\.0\\.254',6,27,184,5120,"
                "12,1796477341,1796477360,64512,65001,24,16\\)Process terminated with value: 8, "
                "quitting from no such table: flows\n");
}
