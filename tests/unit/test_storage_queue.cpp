// Storage queue and storage thread: datagrams stay whole under the bound, a locked database holds
// up only its own sink, and the thread's last pass writes and commits everything.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/memory.h"
#include "entry/settings.h"
#include "fixtures.h"
#include "listen/shutdown.h"
#include "process.h"
#include "sched/registry.h"
#include "storage/pass.h"
#include "storage/queue.h"
#include "storage/terminate.h"

using testsupport::WaitUntil;
using Sequences = std::vector<long>;

namespace {

// count flows of one datagram with sequence numbers first, first + 1, ...
bool Queue(uint32_t first, size_t count = 1) {
    std::vector<FlowItem> flows(count, testsupport::ExampleFlow());
    for (size_t n = 0; n < count; ++n) flows[n].sequence = first + static_cast<uint32_t>(n);
    return StoreNetFlowPacket(flows.data(), count);
}

// Committed rows only, as another program sees them.
Sequences DbSequences(const std::string& path) {
    Sequences sequences;
    auto collect = [](void* out, int, char** values, char**) {
        static_cast<Sequences*>(out)->push_back(std::stol(values[0]));
        return 0;
    };
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "SELECT SEQUENCE FROM flows ORDER BY RECNUM", collect, &sequences, nullptr);
    sqlite3_close(db);
    return sequences;
}

class StorageQueue : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        testsupport::UseSwitches({"-b", dir_ + "/flows.db", "-l", dir_ + "/flows.log", "-z"});
        SinkLock lock;
        InitStorage();
    }
    void TearDown() override {
        StoragePass(Patience::kUntilDone);
        CloseStorage();
        ReleaseSinkLock();
        testsupport::RemoveTree(dir_);
    }
    Sequences TextSequences() const {
        Sequences sequences;
        std::istringstream lines(testsupport::ReadFile(dir_ + "/flows.log"));
        for (std::string line; std::getline(lines, line);) {
            sequences.push_back(std::stol(line.substr(line.find("Sequence:") + 9)));
        }
        return sequences;
    }
    std::string dir_;
};

}  // namespace

// Another connection's exclusive lock: the text log goes on, SQLite waits for its next pass.
TEST_F(StorageQueue, LockedDatabaseHoldsUpOnlyItsOwnSinkAndEveryPassCommits) {
    const unsigned long total = GetMallocTotal();
    const uint32_t written = GetStorageWrittenCount(), freed = GetStorageFreedCount();
    ASSERT_TRUE(Queue(1, 3));
    EXPECT_EQ(GetMallocTotal() - total, sizeof(FlowBlock));
    StoragePass();
    EXPECT_EQ(DbSequences(dir_ + "/flows.db"), (Sequences{1, 2, 3}));  // committed by the pass

    sqlite3* blocker = nullptr;
    sqlite3_open((dir_ + "/flows.db").c_str(), &blocker);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(Queue(4, 2));
    StoragePass();
    EXPECT_EQ(TextSequences(), (Sequences{1, 2, 3, 4, 5}));
    EXPECT_EQ(GetStorageFreedCount() - freed, 3u);  // SQLite still needs the second block
    sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    ASSERT_TRUE(Queue(6));
    StoragePass();
    EXPECT_EQ(DbSequences(dir_ + "/flows.db"), (Sequences{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(TextSequences(), (Sequences{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(GetStorageWrittenCount() - written, 6u);
    EXPECT_EQ(GetStorageFreedCount() - freed, 6u);
    EXPECT_EQ(GetMallocTotal(), total);
}

// A signal may flip the text log at any moment of a pass: each record is written whole or not at
// all, in order, and the database still gets every one.
TEST_F(StorageQueue, TextLogSwitchedOnAndOffDuringAPassTakesEffectBetweenRecords) {
    constexpr uint32_t kFlows = 200000;
    for (uint32_t first = 0; first < kFlows; first += 200) ASSERT_TRUE(Queue(first, 200));
    std::atomic<bool> passing{true};
    std::thread toggler([&passing] {
        while (passing) {
            SwitchTextFlag();
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    StoragePass();
    passing = false;
    toggler.join();
    if (IsTextLoggingEnabled() == 0) SwitchTextFlag();
    const Sequences text = TextSequences();
    EXPECT_GT(text.size(), 0u);
    EXPECT_LT(text.size(), kFlows);
    EXPECT_TRUE(std::is_sorted(text.begin(), text.end()) &&
                std::adjacent_find(text.begin(), text.end()) == text.end());
    EXPECT_EQ(DbSequences(dir_ + "/flows.db").size(), kFlows);
}

// Whole datagrams up to the bound, then each one refused whole and counted, until a pass frees
// the room.
TEST_F(StorageQueue, PastTheBoundDatagramsAreRefusedWholeAndCounted) {
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

// Raises the process-wide shutdown flag, which no other test here reads.
TEST_F(StorageQueue, ThreadWakesAtShutdownAndStoresTheLastWorkersFlows) {
    InitThreadList();
    pthread_t storage;
    ASSERT_EQ(pthread_create(&storage, nullptr, StorageJob, nullptr), 0);
    AddThread(storage, kStorageThread, kThreadAlive, -1);
    AddThread(pthread_self(), kWorkerThread, kThreadAlive, 0);
    ASSERT_TRUE(Queue(401));
    ASSERT_TRUE(WaitUntil([&] { return TextSequences().size() == 1; }));
    StartShutdown();
    WakeStorage();
    ASSERT_TRUE(Queue(402));  // the worker's last flow, after the thread's last regular pass
    EndThread(pthread_t{}, 0);
    ASSERT_TRUE(WaitUntil([] { return AliveThreadsOfType(kStorageThread) == 0; }));
    pthread_join(storage, nullptr);
    EXPECT_EQ(TextSequences(), (Sequences{401, 402}));
    EXPECT_EQ(DbSequences(dir_ + "/flows.db"), (Sequences{401, 402}));
}
