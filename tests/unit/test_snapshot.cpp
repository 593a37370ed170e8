// Database file copy, snapshot and rotation, with collection going on around them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/memory.h"
#include "entry/settings.h"
#include "fixtures.h"
#include "process.h"
#include "storage/queue.h"
#include "storage/snapshot.h"
#include "storage/sqlite_sink.h"

using namespace std::chrono_literals;
using testsupport::FileExists;
using testsupport::ReadFile;

namespace {

constexpr size_t kCopyBufferSize = 131072;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

void Queue(std::initializer_list<uint32_t> sequences) {
    for (uint32_t sequence : sequences) {
        FlowItem flow{};
        flow.origin_ip = htonl(0xC0000201);
        flow.version = 5;
        flow.sequence = sequence;
        StoreNetFlowPacket(&flow);
    }
}

// "RECNUM:SEQUENCE" per row, in key order.
std::vector<std::string> Rows(sqlite3* db) {
    std::vector<std::string> rows;
    auto collect = [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(std::string(values[0]) + ":" +
                                                              values[1]);
        return 0;
    };
    sqlite3_exec(db, "SELECT RECNUM, SEQUENCE FROM flows ORDER BY RECNUM", collect, &rows,
                 nullptr);
    return rows;
}

// The rows another connection sees: committed ones only.
std::vector<std::string> CommittedRows(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::vector<std::string> rows = Rows(db);
    sqlite3_close(db);
    return rows;
}

// Runs body in a child process with its standard error in err_path; returns the exit status.
// The caller must have no other thread running.
int ExitStatusOf(const std::function<void()>& body, const std::string& err_path) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        body();
        _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        db_ = dir_ + "/netflow.db";
    }

    void TearDown() override {
        Configure({"-x", "-y"});
        StoragePass();
        {
            StoreLock lock;
            CloseSQLite();
        }
        testsupport::RemoveTree(dir_);
    }

    // Text and trash logs off: only the database is under test.
    void Configure(std::vector<std::string> extra) {
        std::vector<std::string> words{"-b", db_, "-x", "-z"};
        words.insert(words.end(), extra.begin(), extra.end());
        testsupport::UseSwitches(std::move(words));
    }

    std::string Err() const { return dir_ + "/stderr"; }

    std::string dir_;
    std::string db_;
};

TEST_F(Snapshot, CopiesAnEmptyFile) {
    const std::string source = dir_ + "/empty";
    const std::string dest = dir_ + "/copy";
    WriteFile(source, "");
    const unsigned long total = GetMallocTotal();
    const unsigned frees = GetFreeCounts();
    EXPECT_EQ(FileCopy(source.c_str(), dest.c_str()), 0);
    EXPECT_TRUE(FileExists(dest));
    EXPECT_EQ(ReadFile(dest), "");
    EXPECT_EQ(ModeOf(source), 0600u);
    EXPECT_EQ(ModeOf(dest), 0600u);
    EXPECT_EQ(GetMallocTotal(), total);
    EXPECT_EQ(GetFreeCounts() - frees, 1u);
}

TEST_F(Snapshot, CopiesTwoAndAHalfBuffersExactlyOverALongerFile) {
    const std::string source = dir_ + "/data";
    const std::string dest = dir_ + "/copy";
    const std::string bytes = Pattern(kCopyBufferSize * 5 / 2);
    WriteFile(source, bytes);
    WriteFile(dest, Pattern(kCopyBufferSize * 3));
    EXPECT_EQ(FileCopy(source.c_str(), dest.c_str()), 0);
    EXPECT_TRUE(ReadFile(dest) == bytes);
}

TEST_F(Snapshot, DestinationThatCannotBeCreatedIs11AndLeavesTheSourceReadOnly) {
    const std::string source = dir_ + "/data";
    WriteFile(source, "abc");
    for (const std::string& dest : {source + "/copy", dir_ + "/missing/copy"}) {
        chmod(source.c_str(), 0600);
        EXPECT_EQ(FileCopy(source.c_str(), dest.c_str()), 11) << dest;
        EXPECT_EQ(ModeOf(source), 0400u) << dest;
    }
}

TEST_F(Snapshot, MissingSourceIs10AndCreatesNoCopy) {
    const std::string dest = dir_ + "/copy";
    EXPECT_EQ(FileCopy((dir_ + "/absent").c_str(), dest.c_str()), 10);
    EXPECT_FALSE(FileExists(dest));
}

TEST_F(Snapshot, SourceThatCannotBeReadIs2) {
    const std::string source = dir_ + "/directory";
    mkdir(source.c_str(), 0700);
    EXPECT_EQ(FileCopy(source.c_str(), (dir_ + "/copy").c_str()), 2);
}

// A file size limit stands in for a full disk: writes beyond it fail.
TEST_F(Snapshot, CopyTheDestinationRefusesIs12) {
    auto copy_limited = [&](size_t size, rlim_t limit) {
        const std::string source = dir_ + "/data";
        WriteFile(source, Pattern(size));
        return ExitStatusOf(
            [&] {
                signal(SIGXFSZ, SIG_IGN);
                const rlimit capped{limit, limit};
                setrlimit(RLIMIT_FSIZE, &capped);
                _exit(FileCopy(source.c_str(), (dir_ + "/copy").c_str()));
            },
            Err());
    };
    EXPECT_EQ(copy_limited(kCopyBufferSize * 2, kCopyBufferSize / 2), 12);
    // Small enough to sit in the stream's buffer until the close, which is where it fails.
    EXPECT_EQ(copy_limited(3000, 1000), 12);
}

TEST_F(Snapshot, SnapshotHoldsEveryAcceptedRowAndCollectionGoesOn) {
    Configure({});
    InitStorage();
    Queue({1, 2, 3});
    StoragePass();
    ASSERT_TRUE(CommittedRows(db_).empty());  // the rows sit in an open batch
    const std::string snapshot = db_ + ".snapshot";
    WriteFile(snapshot, "stale");

    testing::internal::CaptureStderr();
    CreateSnapshot();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Begun creation of DB snapshot\nSuccesfully completed DB File snapshot creation\n");
    EXPECT_TRUE(ReadFile(snapshot) == ReadFile(db_));
    EXPECT_EQ(ModeOf(db_), 0600u);
    EXPECT_EQ(ModeOf(snapshot), 0600u);
    const std::vector<std::string> first{"1:1", "2:2", "3:3"};
    EXPECT_EQ(CommittedRows(snapshot), first);

    Queue({4});
    StoragePass();
    EXPECT_EQ(Rows(sqlitedb), (std::vector<std::string>{"1:1", "2:2", "3:3", "4:4"}));
    EXPECT_EQ(CommittedRows(snapshot), first);
}

TEST_F(Snapshot, RotationMovesTheRowsToPreviousAndQueuedRecordsToTheNewTable) {
    Configure({});
    InitStorage();
    Queue({1, 2, 3});
    StoragePass();
    Queue({4});  // queued, not yet written when the rotation comes

    testing::internal::CaptureStderr();
    RotateDB();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Begun rotation of DB file\nCompleted rotation of DB File\n");
    EXPECT_EQ(CommittedRows(db_ + ".previous"), (std::vector<std::string>{"1:1", "2:2", "3:3"}));
    EXPECT_EQ(ModeOf(db_ + ".previous"), 0600u);
    EXPECT_TRUE(CommittedRows(db_).empty());

    StoragePass();
    EXPECT_EQ(Rows(sqlitedb), (std::vector<std::string>{"1:4"}));
}

TEST_F(Snapshot, RotationWaitsForAReaderOfTheFileInsteadOfKeepingTheRows) {
    Configure({});
    InitStorage();
    Queue({1, 2});
    StoragePass();
    {
        StoreLock lock;
        CommitSQLiteBatch();
    }
    sqlite3* reader = nullptr;
    sqlite3_open(db_.c_str(), &reader);
    sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM flows", nullptr, nullptr, nullptr);
    std::thread finish([reader] {
        std::this_thread::sleep_for(300ms);
        sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    });
    RotateDB();
    finish.join();
    sqlite3_close(reader);
    EXPECT_EQ(CommittedRows(db_ + ".previous"), (std::vector<std::string>{"1:1", "2:2"}));
    EXPECT_TRUE(CommittedRows(db_).empty());
}

TEST_F(Snapshot, CopyFailureEndsTheProcessWithTheCopyStatus) {
    Configure({});
    InitStorage();
    mkdir((db_ + ".snapshot").c_str(), 0700);  // a copy that cannot be created
    EXPECT_EQ(ExitStatusOf(CreateSnapshot, Err()), 11);
    EXPECT_NE(ReadFile(Err()).find("Begun creation of DB snapshot\n"
                                   "Process terminated with value: 11, quitting from Can't "
                                   "create snapshot\n"),
              std::string::npos);
    EXPECT_EQ(ModeOf(db_), 0400u);

    unlink(db_.c_str());  // a database file that cannot be read
    EXPECT_EQ(ExitStatusOf(RotateDB, Err()), 10);
    EXPECT_NE(ReadFile(Err()).find("quitting from Can't create snapshot"), std::string::npos);
}

// Cut to the buffer, the copy's name could become the database file's own.
TEST_F(Snapshot, CopyNameTooLongForItsBufferEndsBeforeTouchingAnyFile) {
    db_ = dir_ + "/" + std::string(2040, 'd');
    Configure({});
    EXPECT_EQ(ExitStatusOf(CreateSnapshot, Err()), 11);
}

TEST_F(Snapshot, WithBinaryLoggingDisabledTheFileIsLeftAlone) {
    Configure({"-y"});
    WriteFile(db_, "not ours");
    testing::internal::CaptureStderr();
    CreateSnapshot();
    RotateDB();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Binary logging is disabled, no DB snapshot created\n"
              "Binary logging is disabled, DB file not rotated\n");
    EXPECT_EQ(ReadFile(db_), "not ours");
    EXPECT_FALSE(FileExists(db_ + ".snapshot"));
    EXPECT_FALSE(FileExists(db_ + ".previous"));
    EXPECT_EQ(sqlitedb, nullptr);
}

}  // namespace
