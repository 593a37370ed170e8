// Storage passes, the text and trash logs, the queue and the database copies.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/memory.h"
#include "common/registry.h"
#include "common/shutdown.h"
#include "common/terminate.h"
#include "daemon.h"
#include "fixtures.h"
#include "storage/pass.h"
#include "storage/queue.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"
#include "storage/snapshot.h"

using testsupport::ReadFile;
using Sequences = std::vector<long>;

namespace {

constexpr size_t kCopyBufferSize = 131072;

// Every sink renders a record's four addresses through inet_ntop; this stand-in switches the text
// log as a signal would, at the moment the count of renders runs out.
std::atomic<int> renders_to_switch{0};
// glibc renders every 32-bit time, so this stand-in for ctime_r refuses one chosen value.
std::atomic<time_t> unrenderable_time{LLONG_MIN};

}  // namespace

extern "C" char* ctime_r(const time_t* __restrict timer, char* __restrict buf) noexcept {
    using CtimeR = char* (*)(const time_t*, char*);
    static const CtimeR real = reinterpret_cast<CtimeR>(dlsym(RTLD_NEXT, "ctime_r"));
    return *timer == unrenderable_time.load() ? nullptr : real(timer, buf);
}

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

// Text log and SQLite database opened as the storage thread opens them; the trash log's file
// named, though the workers' switch for it is off.
class Storage : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        db_ = dir_ + "/flows.db";
        testsupport::UseSwitches(
            {"-b", db_, "-l", dir_ + "/flows.log", "-t", dir_ + "/trash.log", "-z"});
        SinkLock lock;
        InitStorage();
    }
    void TearDown() override {
        sqlite3_close(other_);
        StoragePass(Patience::kUntilDone);
        CloseStorage();
        ReleaseSinkLock();
        testsupport::RemoveTree(dir_);
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
    sqlite3* other_ = nullptr;
};

}  // namespace

// A time that cannot be rendered shows as "Unknown" (the lines' widths and values: the scenarios).
TEST_F(Storage, TextLogShowsATimeThatCannotBeRenderedAsUnknown) {
    FlowItem flow = testsupport::ExampleFlow();
    unrenderable_time = flow.flow_begin = 7;
    kTextLogSink.write(&flow, 1, Patience::kThisPass);
    kTextLogSink.commit(Patience::kThisPass);
    EXPECT_NE(ReadFile(dir_ + "/flows.log").find(" Start: Unknown Stop: "), std::string::npos);
    unrenderable_time = LLONG_MIN;
}

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

// Byte for byte over several buffers onto a longer file, 0600 both, no memory kept; a failure
// has its status, which the daemon exits with.
TEST_F(Storage, FileCopyIsExactOrFailsWithItsStatus) {
    const std::string source = dir_ + "/data", dest = dir_ + "/copy";
    std::string bytes(kCopyBufferSize * 5 / 2, '\0');  // no two buffers alike
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    std::ofstream(source) << bytes;
    std::ofstream(dest) << std::string(kCopyBufferSize * 3, 'x');
    const unsigned long total = GetMallocTotal();
    EXPECT_EQ(FileCopy(source.c_str(), dest.c_str()), 0);
    EXPECT_EQ(GetMallocTotal(), total);
    EXPECT_TRUE(ReadFile(dest) == bytes);
    EXPECT_EQ(ModeOf(source), 0600u);
    EXPECT_EQ(ModeOf(dest), 0600u);
    EXPECT_EQ(FileCopy(source.c_str(), (dir_ + "/missing/copy").c_str()), 11);
    EXPECT_EQ(ModeOf(source), 0400u);  // left read-only
    const std::string directory = dir_ + "/directory";  // opens, but cannot be read
    mkdir(directory.c_str(), 0700);
    EXPECT_EQ(FileCopy(directory.c_str(), dest.c_str()), 2);
    EXPECT_EQ(FileCopy((dir_ + "/absent").c_str(), dest.c_str()), 10);
}

// Another program's exclusive lock keeps a pass's rows out of the database and its reader's lock
// keeps them uncommitted: the text log goes on, a block is released once every sink has written
// it, and the snapshot and rotation commit those rows before they copy the file. Rows still
// queued go into the emptied table.
TEST_F(Storage, LockedDatabaseHoldsUpOnlyItsSinkAndTheCopiesHoldEveryStoredRow) {
    const unsigned long total = GetMallocTotal();
    const uint32_t written = GetStorageWrittenCount(), freed = GetStorageFreedCount();
    ASSERT_TRUE(Queue(1, 3));
    EXPECT_EQ(GetMallocTotal() - total, sizeof(FlowBlock));
    StoragePass();
    EXPECT_EQ(Committed(db_), "1:1 2:2 3:3");
    ASSERT_EQ(Other("BEGIN EXCLUSIVE"), SQLITE_OK);
    ASSERT_TRUE(Queue(4, 2));
    StoragePass();
    EXPECT_EQ(TextSequences(), (Sequences{1, 2, 3, 4, 5}));
    EXPECT_EQ(GetStorageFreedCount() - freed, 3u);  // SQLite still needs the second block
    ASSERT_EQ(Other("COMMIT; BEGIN; SELECT COUNT(*) FROM flows"), SQLITE_OK);  // now a reader
    ASSERT_TRUE(Queue(6));
    StoragePass();  // its commit waits for the reader
    EXPECT_EQ(GetStorageFreedCount() - freed, 6u);
    Other("COMMIT");

    const std::string snapshot = db_ + ".snapshot", previous = db_ + ".previous";
    std::ofstream(snapshot) << std::string(kCopyBufferSize * 3, 'x');  // cut to size
    CreateSnapshot();
    EXPECT_TRUE(ReadFile(snapshot) == ReadFile(db_));
    Queue(7);
    StoragePass();
    Queue(8);
    RotateDB();
    EXPECT_EQ(Committed(snapshot), "1:1 2:2 3:3 4:4 5:5 6:6");
    EXPECT_EQ(Committed(previous), "1:1 2:2 3:3 4:4 5:5 6:6 7:7");
    for (const std::string& file : {db_, snapshot, previous, dir_ + "/flows.log"})
        EXPECT_EQ(ModeOf(file), 0600u) << file;
    EXPECT_EQ(Committed(db_), "");
    StoragePass();
    EXPECT_EQ(Committed(db_), "1:8");
    EXPECT_EQ(TextSequences(), (Sequences{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(GetStorageWrittenCount() - written, 8u);
    EXPECT_EQ(GetStorageFreedCount() - freed, 8u);
    EXPECT_EQ(GetMallocTotal(), total);
}

// The file may not grow past its size, so the commit of the rows a pass left open fails: the
// snapshot must end with status 8, never report success.
TEST_F(Storage, FailedCommitEndsTheSnapshotWithStatus8) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto snapshot_after_failed_commit = [this] {
        Other("BEGIN; SELECT COUNT(*) FROM flows");
        for (uint32_t n = 0; n < 200; ++n) Queue(n);
        StoragePass();  // inserted; the commit waits for the reader
        Other("COMMIT");
        signal(SIGXFSZ, SIG_IGN);
        const rlimit size{8192, 8192};
        setrlimit(RLIMIT_FSIZE, &size);
        CreateSnapshot();
    };
    EXPECT_EXIT(snapshot_after_failed_commit(), testing::ExitedWithCode(8),
                "^Begun creation of DB snapshot\nSQL was: COMMIT[^\n]*"
                "Process terminated with value: 8, quitting from [^\n]+\n$");
}

// A signal may flip the text log in the middle of a pass: the switch is read per record, so the
// log holds whole lines of the records before the flip, in order, and SQLite still gets every one.
TEST_F(Storage, TextLogSwitchedOffDuringAPassTakesEffectBetweenRecords) {
    constexpr uint32_t kFlows = 5000;
    for (uint32_t first = 0; first < kFlows; first += 100) ASSERT_TRUE(Queue(first, 100));
    renders_to_switch = 4 * 1500;  // while the text log renders the 1500th record
    StoragePass();
    const Sequences text = TextSequences();
    ASSERT_GE(text.size(), 1500u);
    EXPECT_LT(text.size(), kFlows);
    for (size_t n = 0; n < text.size(); ++n) ASSERT_EQ(text[n], static_cast<long>(n));
    EXPECT_EQ(GetStorageQueueFlows(), 0u);  // skipped records count as written: blocks released
    EXPECT_EQ(testsupport::RowCount(db_), kFlows);
}

// Whole datagrams up to the bound, then each one refused whole and counted, until a pass frees
// the room.
TEST_F(Storage, PastTheBoundDatagramsAreRefusedWholeAndCounted) {
    constexpr size_t kDatagram = 340;
    const StorageRefusals before = GetStorageRefusals();
    size_t accepted = 0;
    while (Queue(0, kDatagram)) accepted += kDatagram;
    EXPECT_EQ(accepted, kQueueLimitFlows / kDatagram * kDatagram);
    EXPECT_FALSE(Queue(0, kDatagram));
    const StorageRefusals after = GetStorageRefusals();
    EXPECT_EQ(after.datagrams - before.datagrams, 2u);
    EXPECT_EQ(after.flows - before.flows, 2 * kDatagram);
    EXPECT_EQ(testsupport::TakeQueuedFlows().size(), accepted);
    EXPECT_TRUE(Queue(0, kDatagram));
}

// Last, as it raises the process-wide shutdown flag for good.
TEST_F(Storage, ThreadWakesAtShutdownAndStoresTheLastWorkersFlows) {
    InitThreadList();
    pthread_t storage;
    ASSERT_EQ(pthread_create(&storage, nullptr, StorageJob, nullptr), 0);
    AddThread(storage, kStorageThread, kThreadAlive, -1);
    AddThread(pthread_self(), kWorkerThread, kThreadAlive, 0);
    ASSERT_TRUE(Queue(401));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return TextSequences().size() == 1; }));
    StartShutdown();
    WakeStorage();
    ASSERT_TRUE(Queue(402));  // the worker's last flow, after the thread's last regular pass
    EndThread(pthread_t{}, 0);
    ASSERT_TRUE(testsupport::WaitUntil([] { return AliveThreadsOfType(kStorageThread) == 0; }));
    pthread_join(storage, nullptr);
    EXPECT_EQ(TextSequences(), (Sequences{401, 402}));
    EXPECT_EQ(Committed(db_), "1:401 2:402");
}
