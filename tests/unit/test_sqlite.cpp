// SQLite flow database: rows read back through a second connection, the 5001-row batches,
// commits before every close, locks held by other connections, and the fatal failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "entry/settings.h"
#include "parser/flow.h"
#include "fixtures.h"
#include "process.h"
#include "storage/sqlite_sink.h"

using testsupport::Address;

namespace {

using namespace std::chrono_literals;

FlowItem Record(uint32_t sequence = 1234) {
    FlowItem item = testsupport::ExampleFlow();
    item.sequence = sequence;
    item.next_hop = Address("10.0.0.254");
    item.tos = 0xb8;
    return item;
}

void WriteRecords(int count) {
    const FlowItem item = Record();
    for (int n = 0; n < count; ++n) SQLWrite(&item);
}

// A connection of its own, as another process would have.
class Peer {
public:
    explicit Peer(const std::string& path) {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Peer() { sqlite3_close(db_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
    long long Number(const char* sql) {
        sqlite3_stmt* stmt = nullptr;
        long long value = -1;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            value = sqlite3_column_int64(stmt, 0);
        }
        sqlite3_finalize(stmt);
        return value;
    }
    long long Rows() { return Number("SELECT COUNT(*) FROM flows"); }
    sqlite3* db() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

class SQLiteSink : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        dir_ = testsupport::MakeTempDir();
        path_ = dir_ + "/flows.db";
        Configure({"-b", path_, "-x", "-z"});
    }
    void TearDown() override {
        CloseSQLite();
        testsupport::RemoveTree(dir_);
    }
    static void Configure(std::vector<std::string> words) {
        testsupport::UseSwitches(std::move(words));
    }
    bool BatchOpen() const { return sqlite3_get_autocommit(sqlitedb) == 0; }

    std::string dir_;
    std::string path_;
};

}  // namespace

TEST_F(SQLiteSink, FreshFileGetsTheTableAndEveryColumnOfARow) {
    ASSERT_FALSE(testsupport::FileExists(path_));
    InitSQLite();
    ASSERT_NE(sqlitedb, nullptr);
    FlowItem item = Record(4294967295u);
    item.bytes = 3000000000u;
    item.packets = 2147483648u;
    item.flow_begin = -5;
    item.src_as = 65535;
    SQLWrite(&item);
    CommitSQLiteBatch();

    Peer peer(path_);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(peer.db(), "SELECT * FROM flows", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    ASSERT_EQ(sqlite3_column_count(stmt), 21);
    const std::vector<const char*> texts = {nullptr, "192.0.2.1", nullptr, nullptr, nullptr,
                                            "198.51.100.7", nullptr, "203.0.113.9", nullptr,
                                            "10.0.0.254"};
    const std::vector<long long> numbers = {1,   0,  1796477366, 5,          4294967295LL,
                                            0,   443, 0,         514,        0,
                                            6,   27, 184,        3000000000LL, 2147483648LL,
                                            -5,  1796477360, 65535, 65001,  24,
                                            16};
    for (int column = 0; column < 21; ++column) {
        SCOPED_TRACE(sqlite3_column_name(stmt, column));
        if (column < static_cast<int>(texts.size()) && texts[column] != nullptr) {
            EXPECT_EQ(sqlite3_column_type(stmt, column), SQLITE_TEXT);
            EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, column)),
                         texts[column]);
        } else {
            EXPECT_EQ(sqlite3_column_type(stmt, column), SQLITE_INTEGER);
            EXPECT_EQ(sqlite3_column_int64(stmt, column), numbers[column]);
        }
    }
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
}

TEST_F(SQLiteSink, ExistingTableKeepsItsRowsAndNewRowsFollow) {
    InitSQLite();
    WriteRecords(2);
    CloseSQLite();
    EXPECT_EQ(sqlitedb, nullptr);
    // A second CREATE TABLE would fail and end the process: reopening must only probe.
    InitSQLite();
    FlowItem item = Record(99);
    SQLWrite(&item);
    CloseSQLite();
    Peer peer(path_);
    EXPECT_EQ(peer.Rows(), 3);
    EXPECT_EQ(peer.Number("SELECT SEQUENCE FROM flows WHERE RECNUM = 3"), 99);
}

TEST_F(SQLiteSink, ExistingFileWithoutTheTableGetsIt) {
    {
        Peer peer(path_);
        ASSERT_EQ(peer.Exec("CREATE TABLE other (x INTEGER); INSERT INTO other VALUES (7)"),
                  SQLITE_OK);
    }
    InitSQLite();
    WriteRecords(1);
    CloseSQLite();
    Peer peer(path_);
    EXPECT_EQ(peer.Rows(), 1);
    EXPECT_EQ(peer.Number("SELECT x FROM other"), 7);
}

TEST_F(SQLiteSink, BatchesHold5001RowsAndBecomeVisibleOnlyWhenCommitted) {
    InitSQLite();
    Peer peer(path_);
    WriteRecords(1);
    EXPECT_TRUE(BatchOpen());
    WriteRecords(4999);
    EXPECT_TRUE(BatchOpen());
    EXPECT_EQ(peer.Rows(), 0);
    WriteRecords(1);  // the 5001st row closes the batch
    EXPECT_FALSE(BatchOpen());
    EXPECT_EQ(peer.Rows(), 5001);
    WriteRecords(1);  // and the 5002nd opens the next
    EXPECT_TRUE(BatchOpen());
    EXPECT_EQ(peer.Rows(), 5001);
}

TEST_F(SQLiteSink, CommitBeforeCloseKeepsTheOpenBatchAndRestartsTheCount) {
    InitSQLite();
    WriteRecords(10);
    CommitSQLiteBatch();
    EXPECT_FALSE(BatchOpen());
    WriteRecords(20);
    CloseSQLite();
    EXPECT_EQ(sqlitedb, nullptr);
    EXPECT_EQ(Peer(path_).Rows(), 30);

    // The count restarted at 0: the next batch again closes at its 5001st row.
    InitSQLite();
    WriteRecords(5000);
    EXPECT_TRUE(BatchOpen());
    WriteRecords(1);
    EXPECT_FALSE(BatchOpen());
    EXPECT_EQ(Peer(path_).Rows(), 5031);
}

TEST_F(SQLiteSink, DisabledBinaryLoggingOpensNothingAndCloseIsHarmless) {
    Configure({"-b", path_, "-x", "-y", "-z"});
    InitSQLite();
    EXPECT_EQ(sqlitedb, nullptr);
    CommitSQLiteBatch();
    CloseSQLite();
    EXPECT_EQ(sqlitedb, nullptr);
    EXPECT_FALSE(testsupport::FileExists(path_));
}

TEST_F(SQLiteSink, InsertWaitsWhileAnotherProcessHoldsTheDatabase) {
    InitSQLite();
    std::atomic<bool> locked{false};
    std::atomic<bool> released{false};
    std::thread holder([&] {
        Peer peer(path_);
        ASSERT_EQ(peer.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        locked = true;
        std::this_thread::sleep_for(300ms);
        released = true;
        peer.Exec("COMMIT");
    });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return locked.load(); }));
    WriteRecords(3);
    EXPECT_TRUE(released.load());
    holder.join();
    CommitSQLiteBatch();
    EXPECT_EQ(Peer(path_).Rows(), 3);
}

TEST_F(SQLiteSink, CommitWaitsForAReaderToFinish) {
    InitSQLite();
    WriteRecords(4);
    std::atomic<bool> reading{false};
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        Peer peer(path_);
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(peer.db(), "SELECT COUNT(*) FROM flows", -1, &stmt, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);  // holds a shared lock until finalized
        EXPECT_EQ(sqlite3_column_int64(stmt, 0), 0);
        reading = true;
        std::this_thread::sleep_for(300ms);
        finished = true;
        sqlite3_finalize(stmt);
    });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return reading.load(); }));
    CommitSQLiteBatch();
    EXPECT_TRUE(finished.load());
    reader.join();
    EXPECT_FALSE(BatchOpen());
    EXPECT_EQ(Peer(path_).Rows(), 4);
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

TEST_F(SQLiteSink, CreatingATableThatExistsEndsWithStatus8) {
    InitSQLite();
    EXPECT_EXIT(CreateDB(sqlitedb), testing::ExitedWithCode(8),
                "quitting from table flows already exists");
}

TEST_F(SQLiteSink, UnopenableDatabaseEndsWithStatus8) {
    Configure({"-b", dir_ + "/missing/flows.db", "-x", "-z"});
    EXPECT_EXIT(InitSQLite(), testing::ExitedWithCode(8),
                "quitting from Can't open/create database");
}
