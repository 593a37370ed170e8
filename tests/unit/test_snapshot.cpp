// Database file copy, snapshot and rotation, with collection going on around them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/memory.h"
#include "fixtures.h"
#include "process.h"
#include "storage/pass.h"
#include "storage/queue.h"
#include "storage/snapshot.h"
#include "storage/terminate.h"

using testsupport::ReadFile;
using Rows = std::vector<std::string>;

namespace {

constexpr size_t kCopyBufferSize = 131072;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

void QueueAndStore(std::initializer_list<uint32_t> sequences, bool pass = true) {
    for (uint32_t sequence : sequences) {
        FlowItem flow = testsupport::ExampleFlow();
        flow.sequence = sequence;
        StoreNetFlowPacket(&flow, 1);
    }
    if (pass) StoragePass();
}

// "RECNUM:SEQUENCE" per row another connection sees: committed ones only.
Rows CommittedRows(const std::string& path) {
    Rows rows;
    auto collect = [](void* out, int, char** values, char**) {
        static_cast<Rows*>(out)->push_back(std::string(values[0]) + ":" + values[1]);
        return 0;
    };
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "SELECT RECNUM, SEQUENCE FROM flows ORDER BY RECNUM", collect, &rows, nullptr);
    sqlite3_close(db);
    return rows;
}

class Snapshot : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        db_ = dir_ + "/netflow.db";
        testsupport::UseSwitches({"-b", db_, "-x", "-z"});
    }
    void TearDown() override {
        StoragePass(Patience::kUntilDone);
        CloseStorage();
        ReleaseSinkLock();
        testsupport::RemoveTree(dir_);
    }
    std::string dir_, db_;
};

}  // namespace

TEST_F(Snapshot, FileCopyIsExactFromEmptyToSeveralBuffersOverALongerFile) {
    const std::string source = dir_ + "/data", dest = dir_ + "/copy";
    const unsigned long total = GetMallocTotal();
    for (size_t size : {size_t{0}, kCopyBufferSize * 5 / 2}) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
        WriteFile(source, bytes);
        EXPECT_EQ(FileCopy(source.c_str(), dest.c_str()), 0);
        EXPECT_TRUE(ReadFile(dest) == bytes) << size;
        EXPECT_EQ(ModeOf(source), 0600u);
        EXPECT_EQ(ModeOf(dest), 0600u);
        WriteFile(dest, std::string(kCopyBufferSize * 3, 'x'));
    }
    EXPECT_EQ(GetMallocTotal(), total);
}

TEST_F(Snapshot, FileCopyFailuresHaveTheirStatusAndLeaveAReadOnlySource) {
    const std::string data = dir_ + "/data", copy = dir_ + "/copy";
    WriteFile(data, "abc");
    for (const std::string& dest : {data + "/copy", dir_ + "/missing/copy"}) {
        chmod(data.c_str(), 0600);
        EXPECT_EQ(FileCopy(data.c_str(), dest.c_str()), 11) << dest;
        EXPECT_EQ(ModeOf(data), 0400u) << dest;
    }
    EXPECT_EQ(FileCopy((dir_ + "/absent").c_str(), copy.c_str()), 10);
    EXPECT_FALSE(testsupport::FileExists(copy));
    EXPECT_EQ(FileCopy(dir_.c_str(), copy.c_str()), 2);  // a directory cannot be read
}

// Every pass commits, so the copies hold every row of every finished pass; the rows a pass left
// behind (a reader held the lock) are committed before the copy.
TEST_F(Snapshot, SnapshotAndRotationCopyEveryStoredRowWhileCollectionGoesOn) {
    {
        SinkLock lock;
        InitStorage();
    }
    QueueAndStore({1, 2});
    sqlite3* reader = nullptr;
    sqlite3_open(db_.c_str(), &reader);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM flows", nullptr, nullptr, nullptr),
              SQLITE_OK);
    QueueAndStore({3});  // its commit waits for the reader
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    const std::string snapshot = db_ + ".snapshot", previous = db_ + ".previous";
    WriteFile(snapshot, "stale");
    testing::internal::CaptureStderr();
    CreateSnapshot();
    EXPECT_TRUE(ReadFile(snapshot) == ReadFile(db_));
    QueueAndStore({4});
    QueueAndStore({5}, false);
    RotateDB();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Begun creation of DB snapshot\nSuccesfully completed DB File snapshot creation\n"
              "Begun rotation of DB file\nCompleted rotation of DB File\n");
    EXPECT_EQ(CommittedRows(snapshot), (Rows{"1:1", "2:2", "3:3"}));
    EXPECT_EQ(CommittedRows(previous), (Rows{"1:1", "2:2", "3:3", "4:4"}));
    for (const std::string& file : {db_, snapshot, previous}) EXPECT_EQ(ModeOf(file), 0600u);
    EXPECT_TRUE(CommittedRows(db_).empty());
    QueueAndStore({});
    EXPECT_EQ(CommittedRows(db_), (Rows{"1:5"}));
}

// The file may not grow past its size, so the commit of the rows a pass left open fails: the
// snapshot must end with status 8, never report success.
TEST_F(Snapshot, FailedCommitEndsTheSnapshotWithStatus8) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    {
        SinkLock lock;
        InitStorage();
    }
    auto snapshot_after_failed_commit = [this] {
        sqlite3* reader = nullptr;
        sqlite3_open(db_.c_str(), &reader);
        sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM flows", nullptr, nullptr, nullptr);
        for (uint32_t n = 0; n < 200; ++n) QueueAndStore({n}, false);
        StoragePass();  // inserted; the commit waits for the reader
        sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
        signal(SIGXFSZ, SIG_IGN);
        const rlimit size{8192, 8192};
        setrlimit(RLIMIT_FSIZE, &size);
        CreateSnapshot();
    };
    EXPECT_EXIT(snapshot_after_failed_commit(),
        testing::ExitedWithCode(8), "^Begun creation of DB snapshot\nSQL was: COMMIT[^\n]*"
                                    "Process terminated with value: 8, quitting from [^\n]+\n$");
}
