// Storage passes, the text and trash logs, the queue and the database copies.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/shutdown.h"
#include "daemon.h"
#include "fixtures.h"
#include "storage/queue.h"
#include "storage/sinks/sqlite.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"
#include "storage/snapshot.h"
#include "storage/writers.h"

using testsupport::ReadFile;
using Sequences = std::vector<long>;

namespace {

// Every sink renders a record's four addresses through inet_ntop; this stand-in switches the text
// log as a signal would, at the moment the count of renders runs out.
std::atomic<int> renders_to_switch{0};

}  // namespace

extern "C" const char* inet_ntop(int af, const void* __restrict source, char* __restrict text,
                                 socklen_t size) noexcept {
    using InetNtop = const char* (*)(int, const void*, char*, socklen_t);
    static const auto real = reinterpret_cast<InetNtop>(dlsym(RTLD_NEXT, "inet_ntop"));
    if (renders_to_switch > 0 && --renders_to_switch == 0) SwitchTextFlag();
    return real(af, source, text, size);
}

namespace {

// count flows of one datagram with sequence numbers first, first + 1, ...
bool Queue(uint32_t first, size_t count = 1) {
    std::vector<FlowItem> flows(count, testsupport::ExampleFlow());
    for (size_t n = 0; n < count; ++n) flows[n].sequence = first + static_cast<uint32_t>(n);
    return StoreNetFlowPacket(flows.data(), count);
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// "RECNUM:SEQUENCE ..." of the rows another program sees: committed ones only.
std::string Committed(const std::string& db) {
    const testsupport::Rows rows = testsupport::SqliteRows(
        db, "SELECT coalesce(group_concat(RECNUM || ':' || SEQUENCE, ' '), '') FROM "
            "(SELECT * FROM flows ORDER BY RECNUM)");
    return rows.empty() ? "no table" : rows[0][0];
}

// The writers are prepared once for the process, one per sink in the table's order, and each
// test runs their passes itself: text log, SQLite database and trash log named, the trash log's
// switch off.
class Storage : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        db_ = dir_ + "/flows.db";
        testsupport::UseSwitches(
            {"-b", db_, "-l", dir_ + "/flows.log", "-t", dir_ + "/trash.log", "-z"});
        static const int writers = PrepareStorageWriters();
        writers_ = writers;
    }
    void TearDown() override {
        sqlite3_close(other_);
        Passes(Patience::kUntilDone);
        CloseStorage();
        testsupport::RemoveTree(dir_);
    }
    void Passes(Patience patience = Patience::kThisPass) const {
        for (int w = 0; w < writers_; ++w) StoragePass(w, patience);
    }
    static int WriterOf(const Sink& sink) {
        return static_cast<int>(std::find(kSinks, kSinks + kSinkCount, &sink) - kSinks);
    }
    Sequences TextSequences() const {
        Sequences sequences;
        std::istringstream lines(ReadFile(dir_ + "/flows.log"));
        for (std::string line; std::getline(lines, line);) {
            sequences.push_back(std::stol(line.substr(line.find("Sequence:") + 9)));
        }
        return sequences;
    }
    // Another program's connection to the database, whose locks keep the sink waiting.
    int Other(const char* sql) {
        if (other_ == nullptr) sqlite3_open(db_.c_str(), &other_);
        return sqlite3_exec(other_, sql, nullptr, nullptr, nullptr);
    }
    std::string dir_, db_;
    int writers_ = 0;
    sqlite3* other_ = nullptr;
};

}  // namespace

// Trash lines wait for the storage pass and reach the file whole and in order; past the buffer a
// line is dropped and counted, never cut.
TEST_F(Storage, TrashLinesWaitForThePassInOrderAndPastTheBufferAreCounted) {
    const std::string trash = dir_ + "/trash.log";
    const std::string line(99, 'x');
    const uint64_t dropped = GetTrashLinesDropped();
    constexpr int kLines = 12000;  // 1.2 MB, more than the buffer holds
    for (int i = 0; i < kLines; ++i) StoreTrashLine((std::to_string(i % 10) + line + "\n").c_str());
    EXPECT_FALSE(testsupport::FileExists(trash));
    WriteTrashLines();
    const std::string text = ReadFile(trash);
    const size_t written = text.size() / 101;
    EXPECT_EQ(text.size() % 101, 0u);
    EXPECT_EQ(written + (GetTrashLinesDropped() - dropped), static_cast<size_t>(kLines));
    EXPECT_GT(GetTrashLinesDropped(), dropped);
    for (size_t i = 0; i < written; ++i) ASSERT_EQ(text[i * 101], '0' + static_cast<char>(i % 10));
    StoreTrashLine("after\n");  // the other buffer, written at the next pass
    WriteTrashLines();
    EXPECT_TRUE(ReadFile(trash).ends_with(line + "\nafter\n"));
}

// A full disk must not pass for stored lines: the pass that cannot write them ends the process.
TEST(LogDeathTest, ALineThatCannotBeWrittenEndsTheProcessWithStatus3) {
    testsupport::UseSwitches({"-l", "/dev/full", "-t", "/dev/full", "-y"});
    const FlowItem flow = testsupport::ExampleFlow();
    EXPECT_EXIT(
        {
            kTextLogSink.write(&flow, 1, Patience::kThisPass);
            kTextLogSink.commit(Patience::kThisPass);
        },
        testing::ExitedWithCode(3), "quitting from LogWrite - file write");
    EXPECT_EXIT(
        {
            StoreTrashLine("bad\n");
            WriteTrashLines();
        },
        testing::ExitedWithCode(3), "quitting from LogWrite - file write");
}

// The backup copies what is committed, beside a reader, onto a longer file it replaces with mode
// 0600; a copy that cannot be made has the status the daemon exits with.
TEST_F(Storage, BackupHoldsTheCommittedRowsOrFailsWithItsStatus) {
    ASSERT_TRUE(Queue(1, 3));
    Passes();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(Other("BEGIN; SELECT COUNT(*) FROM flows"), SQLITE_OK);  // a reader
    const std::string copy = dir_ + "/copy";
    std::ofstream(copy) << std::string(1 << 20, 'x');
    chmod(copy.c_str(), 0644);
    EXPECT_EQ(BackupDatabase(db, copy.c_str()), 0);
    EXPECT_EQ(Committed(copy), "1:1 2:2 3:3");
    EXPECT_EQ(ModeOf(copy), 0600u);
    EXPECT_EQ(BackupDatabase(db, (dir_ + "/missing/copy").c_str()), 11);
    signal(SIGXFSZ, SIG_IGN);
    rlimit size{};
    getrlimit(RLIMIT_FSIZE, &size);
    const rlimit small{4096, size.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(BackupDatabase(db, copy.c_str()), 12);
    setrlimit(RLIMIT_FSIZE, &size);
    sqlite3_close(db);
}

// Another program's exclusive lock keeps the rows out of the database and its reader's lock keeps
// them uncommitted: the text log goes on, and the snapshot and rotation, which the SQLite writer
// makes at its next pass, commit those rows before they copy the file. Flows still queued go
// into the emptied table.
TEST_F(Storage, LockedDatabaseHoldsUpOnlyItsSinkAndTheCopiesHoldEveryStoredRow) {
    const uint32_t written = GetStorageWrittenCount(), freed = GetStorageFreedCount();
    ASSERT_TRUE(Queue(1, 3));
    Passes();
    EXPECT_EQ(Committed(db_), "1:1 2:2 3:3");
    ASSERT_EQ(Other("BEGIN EXCLUSIVE"), SQLITE_OK);
    ASSERT_TRUE(Queue(4, 2));
    Passes();
    EXPECT_EQ(TextSequences(), (Sequences{1, 2, 3, 4, 5}));
    ASSERT_EQ(Other("COMMIT; BEGIN; SELECT COUNT(*) FROM flows"), SQLITE_OK);  // now a reader
    ASSERT_TRUE(Queue(6));
    Passes();  // inserted; the commit waits for the reader
    Other("COMMIT");

    const std::string snapshot = db_ + ".snapshot", previous = db_ + ".previous";
    CreateSnapshot();
    EXPECT_FALSE(testsupport::FileExists(snapshot)) << "made on the signal's thread";
    Passes();
    Queue(7);
    Passes();
    Queue(8);
    RotateDB();
    Passes();
    EXPECT_EQ(Committed(snapshot), "1:1 2:2 3:3 4:4 5:5 6:6");
    EXPECT_EQ(Committed(previous), "1:1 2:2 3:3 4:4 5:5 6:6 7:7");
    EXPECT_EQ(Committed(db_), "1:8");
    EXPECT_EQ(TextSequences(), (Sequences{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(GetStorageWrittenCount() - written, 8u);
    EXPECT_EQ(GetStorageFreedCount() - freed, 8u);
}

// A copy that may be incomplete never passes for one. The file may not grow past its size, so the
// commit of the rows a pass left open fails: the snapshot ends with status 8. A free list that
// points past the end of the file fails the drop: the rotation ends with status 8, its table
// keeping the rows that the copy holds too.
TEST_F(Storage, FailedCommitOrDropEndsTheSnapshotOrRotationWithStatus8) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto snapshot_after_failed_commit = [this] {
        Passes();  // creates the table
        Other("BEGIN; SELECT COUNT(*) FROM flows");
        for (uint32_t n = 0; n < 200; ++n) Queue(n);
        Passes();  // inserted; the commit waits for the reader
        Other("COMMIT");
        signal(SIGXFSZ, SIG_IGN);
        const rlimit size{8192, 8192};
        setrlimit(RLIMIT_FSIZE, &size);
        CreateSnapshot();
        StoragePass(WriterOf(kSQLiteSink));
    };
    EXPECT_EXIT(snapshot_after_failed_commit(), testing::ExitedWithCode(8),
                "^Begun creation of DB snapshot\nSQL was: COMMIT[^\n]*"
                "Process terminated with value: 8, quitting from [^\n]+\n$");
    ASSERT_TRUE(Queue(1));
    Passes();
    // The change counter moves too, so that the writer's open handle reads the header afresh.
    std::fstream(db_, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(24)
        .write("\x00\x0f\xff\xff\x00\x00\x00\x00\x00\x0f\xff\xff\x00\x00\x00\x01", 16);
    GTEST_FLAG_SET(death_test_style, "fast");  // the child's file is the one checked below
    EXPECT_EXIT(
        {
            RotateDB();
            StoragePass(WriterOf(kSQLiteSink));
        },
        testing::ExitedWithCode(8),
        "^Begun rotation of DB file\nRotation of DB file failed, the table keeps its "
        "rows\nSQL was: DROP TABLE FLOWSProcess terminated with value: 8, quitting from "
        "database disk image is malformed\n$");
    EXPECT_EQ(Committed(db_), "1:1");
    EXPECT_EQ(Committed(db_ + ".previous"), "1:1");
}

// A signal may flip the text log in the middle of a pass: the switch is read per record, so the
// log holds whole lines of the records before the flip, in order, and SQLite still gets every one.
TEST_F(Storage, TextLogSwitchedOffDuringAPassTakesEffectBetweenRecords) {
    constexpr uint32_t kFlows = 5000;
    for (uint32_t first = 0; first < kFlows; first += 100) ASSERT_TRUE(Queue(first, 100));
    renders_to_switch = 4 * 1500;  // while the text log renders the 1500th record
    Passes();
    const Sequences text = TextSequences();
    ASSERT_GE(text.size(), 1500u);
    EXPECT_LT(text.size(), kFlows);
    for (size_t n = 0; n < text.size(); ++n) ASSERT_EQ(text[n], static_cast<long>(n));
    EXPECT_EQ(GetStorageQueueFlows(), 0u);
    EXPECT_EQ(testsupport::RowCount(db_), kFlows);
    SwitchTextFlag();
}

// Readers of the test's own, with every sink off. A full queue whose slowest reader is far behind
// the fastest makes that one skip its oldest blocks, counted; readers close together are all too
// slow, and a datagram is refused whole and counted. Once shutdown has begun a full queue makes
// the caller wait for room instead. Last, as it raises the process-wide shutdown flag for good.
TEST_F(Storage, FullQueueSkipsTheReaderFarBehindRefusesOtherwiseAndWaitsInTheStop) {
    testsupport::UseSwitches({"-x", "-y", "-z"});
    Passes();  // the sinks' readers park
    const int fast = AddQueueReader(), slow = AddQueueReader();
    std::vector<FlowItem> out(kQueueLimitFlows);
    auto read_all = [&](int reader) { return ReadFlows(reader, out.data(), out.size()); };
    constexpr size_t kDatagram = 340;
    const StorageRefusals before = GetStorageRefusals();
    size_t queued = 0;
    for (; queued < 2 * kQueueLimitFlows; queued += kDatagram) {
        ASSERT_TRUE(Queue(0, kDatagram)) << queued;
        read_all(fast);
    }
    EXPECT_GT(SkippedFlows(slow), kQueueLimitFlows - kSkipGap);
    EXPECT_EQ(SkippedFlows(fast), 0u);
    EXPECT_EQ(read_all(slow) + SkippedFlows(slow), queued);
    size_t accepted = 0;
    while (Queue(0, kDatagram)) accepted += kDatagram;
    EXPECT_EQ(accepted, kQueueLimitFlows / kDatagram * kDatagram);
    const StorageRefusals after = GetStorageRefusals();
    EXPECT_EQ(after.datagrams - before.datagrams, 1u);
    EXPECT_EQ(after.flows - before.flows, kDatagram);

    StartShutdown();
    std::atomic<bool> stored{false};
    std::thread worker([&] { stored = Queue(0, kDatagram); });
    read_all(fast);
    EXPECT_FALSE(stored) << "refused, or queued past the bound";
    read_all(slow);
    worker.join();
    EXPECT_TRUE(stored);
    ParkReader(fast);
    ParkReader(slow);
}
