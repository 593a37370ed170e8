// Storage queue and storage thread: order into the sinks, pass boundaries, counters, shutdown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/memory.h"
#include "entry/settings.h"
#include "listen/shutdown.h"
#include "fixtures.h"
#include "process.h"
#include "sched/registry.h"
#include "storage/queue.h"
#include "storage/sqlite_sink.h"

using namespace std::chrono_literals;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::WaitUntil;

namespace {

FlowItem MakeFlow(uint32_t sequence) {
    FlowItem flow{};
    flow.origin_ip = htonl(0xC0000201);  // 192.0.2.1
    flow.time_received = 1700000000;
    flow.version = 5;
    flow.sequence = sequence;
    flow.src_ip = htonl(0xC6336407);
    flow.src_port = 443;
    flow.dst_ip = htonl(0xCB007109);
    flow.dst_port = 514;
    flow.protocol = 6;
    flow.bytes = 5120;
    flow.packets = 12;
    flow.flow_begin = 1699999990;
    flow.flow_end = 1699999999;
    return flow;
}

void Queue(std::initializer_list<uint32_t> sequences) {
    for (uint32_t sequence : sequences) {
        const FlowItem flow = MakeFlow(sequence);
        StoreNetFlowPacket(&flow);
    }
}

std::vector<long> TextSequences(const std::string& path) {
    constexpr const char* kField = "Sequence:";
    std::vector<long> sequences;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(kField);
        if (at != std::string::npos) sequences.push_back(std::stol(line.substr(at + std::strlen(kField))));
    }
    return sequences;
}

std::vector<long> DbSequences(sqlite3* db) {
    std::vector<long> sequences;
    auto collect = [](void* out, int, char** values, char**) {
        static_cast<std::vector<long>*>(out)->push_back(std::stol(values[0]));
        return 0;
    };
    sqlite3_exec(db, "SELECT SEQUENCE FROM flows ORDER BY RECNUM", collect, &sequences, nullptr);
    return sequences;
}

// Rows another connection can see: only committed ones.
std::vector<long> CommittedSequences(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::vector<long> sequences = DbSequences(db);
    sqlite3_close(db);
    return sequences;
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

class StorageQueue : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempDir();
        text_ = dir_ + "/flows.log";
        db_ = dir_ + "/flows.db";
    }

    void TearDown() override {
        // Leaves the queue empty and the handle closed for the next test.
        Configure({"-x", "-y"});
        StoragePass();
        {
            StoreLock lock;
            CloseSQLite();
        }
        testsupport::RemoveTree(dir_);
    }

    void Configure(std::vector<std::string> extra) {
        std::vector<std::string> words{"-b", db_, "-l", text_, "-z"};
        words.insert(words.end(), extra.begin(), extra.end());
        testsupport::UseSwitches(std::move(words));
    }

    std::string dir_;
    std::string text_;
    std::string db_;
};

TEST_F(StorageQueue, RecordsReachEverySinkInQueueOrder) {
    Configure({});
    InitStorage();
    Queue({101, 102, 103});
    StoragePass();
    EXPECT_EQ(TextSequences(text_), (std::vector<long>{101, 102, 103}));
    EXPECT_EQ(DbSequences(sqlitedb), (std::vector<long>{101, 102, 103}));
}

TEST_F(StorageQueue, TextLineIsAppendedBeforeTheSqliteInsertOfTheSameRecord) {
    Configure({});
    InitStorage();
    sqlite3_exec(sqlitedb, "DROP TABLE flows", nullptr, nullptr, nullptr);
    Queue({201, 202});
    const std::string err = dir_ + "/stderr";
    EXPECT_EQ(ExitStatusOf(StoragePass, err), 8);
    EXPECT_NE(ReadFile(err).find("SQL was: INSERT"), std::string::npos);
    // The failing insert was the first record's, made after its text line and before anything
    // of the second record.
    EXPECT_EQ(TextSequences(text_), (std::vector<long>{201}));
}

TEST_F(StorageQueue, RecordQueuedDuringAPassIsWrittenByTheNextPass) {
    Configure({});
    InitStorage();
    // Another connection holding the file makes the pass wait inside its first insert.
    sqlite3* blocker = nullptr;
    sqlite3_open(db_.c_str(), &blocker);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    Queue({301});
    std::thread pass(StoragePass);
    ASSERT_TRUE(WaitUntil([&] { return TextSequences(text_).size() == 1; }));
    std::thread worker([] { Queue({302}); });
    std::this_thread::sleep_for(50ms);  // lets the worker reach the lock the pass holds
    sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    pass.join();
    worker.join();

    EXPECT_EQ(TextSequences(text_), (std::vector<long>{301}));
    {
        StoreLock lock;
        ASSERT_NE(datastore, nullptr);
        EXPECT_EQ(datastore->data->sequence, 302u);
        EXPECT_EQ(datastore->next, nullptr);
        EXPECT_EQ(GetLastJob(), datastore);
    }
    EXPECT_EQ(IsStoring(), 1);
    StoragePass();
    EXPECT_EQ(IsStoring(), 0);
    EXPECT_EQ(TextSequences(text_), (std::vector<long>{301, 302}));
    EXPECT_EQ(DbSequences(sqlitedb), (std::vector<long>{301, 302}));
}

TEST_F(StorageQueue, CountersAndAllocatorBalanceAfterAPass) {
    Configure({});
    InitStorage();
    const unsigned mallocs = GetMallocCounts();
    const unsigned frees = GetFreeCounts();
    const unsigned long total = GetMallocTotal();
    const uint32_t written = GetStorageWrittenCount();
    const uint32_t freed = GetStorageFreedCount();

    Queue({1, 2, 3, 4, 5});
    EXPECT_EQ(GetMallocCounts() - mallocs, 10u);
    EXPECT_EQ(GetMallocTotal() - total, 5 * (sizeof(FlowItem) + sizeof(JobStorage)));
    EXPECT_EQ(GetStorageWrittenCount() - written, 5u);
    StoragePass();

    EXPECT_EQ(GetMallocCounts() - mallocs, 10u);
    EXPECT_EQ(GetFreeCounts() - frees, 10u);
    EXPECT_EQ(GetMallocTotal(), total);
    EXPECT_EQ(GetStorageFreedCount() - freed, 5u);
    StoreLock lock;
    EXPECT_EQ(datastore, nullptr);
    EXPECT_EQ(GetLastJob(), nullptr);
}

TEST_F(StorageQueue, IdlePassWritesNothing) {
    Configure({});
    InitStorage();
    const unsigned mallocs = GetMallocCounts();
    const uint32_t freed = GetStorageFreedCount();
    StoragePass();
    EXPECT_FALSE(FileExists(text_));
    EXPECT_TRUE(DbSequences(sqlitedb).empty());
    EXPECT_EQ(GetMallocCounts(), mallocs);
    EXPECT_EQ(GetStorageFreedCount(), freed);
}

TEST_F(StorageQueue, PassWithEverySinkDisabledStillDrainsTheQueue) {
    Configure({"-x", "-y"});
    InitStorage();
    const unsigned long total = GetMallocTotal();
    const uint32_t freed = GetStorageFreedCount();
    Queue({1, 2, 3});
    StoragePass();
    EXPECT_EQ(GetStorageFreedCount() - freed, 3u);
    EXPECT_EQ(GetMallocTotal(), total);
    EXPECT_FALSE(FileExists(text_));
    EXPECT_FALSE(FileExists(db_));
    StoreLock lock;
    EXPECT_EQ(datastore, nullptr);
}

TEST_F(StorageQueue, NodeWithoutRecordIsReleasedWithAWarning) {
    Configure({"-x", "-y"});
    const uint32_t freed = GetStorageFreedCount();
    {
        StoreLock lock;
        datastore = new (allocate_mem(sizeof(JobStorage))) JobStorage{nullptr, nullptr, nullptr};
    }
    testing::internal::CaptureStderr();
    StoragePass();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning, data pointer but no data !!\n");
    EXPECT_EQ(GetStorageFreedCount() - freed, 1u);
}

TEST_F(StorageQueue, DebugDumpShowsTheStorageCounters) {
    Configure({"-x", "-y"});
    Queue({1, 2});
    StoragePass();
    char expected[128];
    std::snprintf(expected, sizeof expected, "DEBUG: Storage - Written: %u - Freed: %u \n",
                  GetStorageWrittenCount(), GetStorageFreedCount());
    testing::internal::CaptureStderr();
    ShowDebugger();
    const std::string dump = testing::internal::GetCapturedStderr();
    EXPECT_EQ(dump.rfind("\nDEBUG: General - Mallocs: ", 0), 0u);
    EXPECT_NE(dump.find("DEBUG: Total allocated memory: "), std::string::npos);
    EXPECT_NE(dump.find("DEBUG: Dispatcher - Received: "), std::string::npos);
    EXPECT_EQ(dump.substr(dump.size() - std::strlen(expected)), expected);
}

// Raises the process-wide shutdown flag, which no other test here reads.
TEST_F(StorageQueue, ThreadWritesRecordsOfTheLastWorkersAndCommitsBeforeItEnds) {
    Configure({});
    InitThreadList();
    pthread_t storage;
    ASSERT_EQ(pthread_create(&storage, nullptr, StorageJob, nullptr), 0);
    AddThread(storage, kStorageThread, kThreadAlive, -1);
    AddThread(pthread_self(), kWorkerThread, kThreadAlive, 0);

    Queue({401});
    ASSERT_TRUE(WaitUntil([&] { return TextSequences(text_).size() == 1; }));
    StartShutdown();
    Queue({402});  // the worker's last record, after the storage thread's last regular pass
    EndThread(pthread_t{}, 0);

    ASSERT_TRUE(WaitUntil([] { return AliveThreadsOfType(kStorageThread) == 0; }));
    pthread_join(storage, nullptr);
    EXPECT_EQ(TextSequences(text_), (std::vector<long>{401, 402}));
    EXPECT_EQ(CommittedSequences(db_), (std::vector<long>{401, 402}));
}

}  // namespace
