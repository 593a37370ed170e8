// Storage queue and storage thread: order into the sinks, pass boundaries, counters, shutdown.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/memory.h"
#include "fixtures.h"
#include "listen/shutdown.h"
#include "process.h"
#include "sched/registry.h"
#include "storage/queue.h"
#include "storage/sqlite_sink.h"

using namespace std::chrono_literals;
using testsupport::WaitUntil;
using Sequences = std::vector<long>;

namespace {

void Queue(std::initializer_list<uint32_t> sequences) {
    for (uint32_t sequence : sequences) {
        FlowItem flow = testsupport::ExampleFlow();
        flow.sequence = sequence;
        StoreNetFlowPacket(&flow);
    }
}

Sequences DbSequences(sqlite3* db) {
    Sequences sequences;
    auto collect = [](void* out, int, char** values, char**) {
        static_cast<Sequences*>(out)->push_back(std::stol(values[0]));
        return 0;
    };
    sqlite3_exec(db, "SELECT SEQUENCE FROM flows ORDER BY RECNUM", collect, &sequences, nullptr);
    return sequences;
}

class StorageQueue : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        testsupport::UseSwitches({"-b", dir_ + "/flows.db", "-l", dir_ + "/flows.log", "-z"});
    }
    void TearDown() override {
        StoreLock lock;
        CloseSQLite();
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

// Another connection's lock holds the pass inside its first insert, after that record's line.
TEST_F(StorageQueue, TextComesFirstLateRecordsWaitForTheNextPassAndCountersBalance) {
    InitStorage();
    const unsigned mallocs = GetMallocCounts(), frees = GetFreeCounts();
    const unsigned long total = GetMallocTotal();
    const uint32_t written = GetStorageWrittenCount(), freed = GetStorageFreedCount();
    sqlite3* blocker = nullptr;
    sqlite3_open((dir_ + "/flows.db").c_str(), &blocker);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    Queue({301, 302, 303});
    EXPECT_EQ(GetMallocTotal() - total, 3 * (sizeof(FlowItem) + sizeof(JobStorage)));
    std::thread pass(StoragePass);
    ASSERT_TRUE(WaitUntil([&] { return TextSequences().size() == 1; }));
    std::thread worker([] { Queue({304}); });
    std::this_thread::sleep_for(50ms);  // lets the worker reach the lock the pass holds
    sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    pass.join();
    worker.join();

    EXPECT_EQ(TextSequences(), (Sequences{301, 302, 303}));
    EXPECT_EQ(DbSequences(sqlitedb), (Sequences{301, 302, 303}));
    {
        StoreLock lock;
        ASSERT_NE(datastore, nullptr);
        EXPECT_EQ(datastore->data->sequence, 304u);
        EXPECT_EQ(datastore->next, nullptr);
        EXPECT_EQ(GetLastJob(), datastore);
    }
    EXPECT_EQ(IsStoring(), 1);
    StoragePass();
    EXPECT_EQ(IsStoring(), 0);
    EXPECT_EQ(TextSequences(), (Sequences{301, 302, 303, 304}));
    EXPECT_EQ(DbSequences(sqlitedb), (Sequences{301, 302, 303, 304}));
    EXPECT_EQ(GetMallocCounts() - mallocs, 8u);
    EXPECT_EQ(GetFreeCounts() - frees, 8u);
    EXPECT_EQ(GetMallocTotal(), total);
    EXPECT_EQ(GetStorageWrittenCount() - written, 4u);
    EXPECT_EQ(GetStorageFreedCount() - freed, 4u);
    StoreLock lock;
    EXPECT_EQ(datastore, nullptr);
    EXPECT_EQ(GetLastJob(), nullptr);
}

// Raises the process-wide shutdown flag, which no other test here reads.
TEST_F(StorageQueue, ThreadWritesRecordsOfTheLastWorkersAndCommitsBeforeItEnds) {
    InitThreadList();
    pthread_t storage;
    ASSERT_EQ(pthread_create(&storage, nullptr, StorageJob, nullptr), 0);
    AddThread(storage, kStorageThread, kThreadAlive, -1);
    AddThread(pthread_self(), kWorkerThread, kThreadAlive, 0);
    Queue({401});
    ASSERT_TRUE(WaitUntil([&] { return TextSequences().size() == 1; }));
    StartShutdown();
    Queue({402});  // the worker's last record, after the storage thread's last regular pass
    EndThread(pthread_t{}, 0);
    ASSERT_TRUE(WaitUntil([] { return AliveThreadsOfType(kStorageThread) == 0; }));
    pthread_join(storage, nullptr);
    EXPECT_EQ(TextSequences(), (Sequences{401, 402}));
    sqlite3* peer = nullptr;  // sees committed rows only
    sqlite3_open((dir_ + "/flows.db").c_str(), &peer);
    EXPECT_EQ(DbSequences(peer), (Sequences{401, 402}));
    sqlite3_close(peer);
}
