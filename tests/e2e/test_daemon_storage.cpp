// Storage under strain: a locked database that holds up only its own sink while the bound refuses
// the excess, and a commit that fails at the stop ending with a failure status.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "daemon.h"
#include "storage/flows_table.h"
#include "storage/queue.h"

using namespace testsupport;
using DaemonStorage = DaemonTest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kOverloadRate = "1500";  // a sanitizer build reads slower
constexpr long kPeakBoundKib = 1536 * 1024;    // and shadows every byte it holds
#else
constexpr const char* kOverloadRate = "8000";
constexpr long kPeakBoundKib = 200 * 1024;  // the bound's 60 MB, with room for the rest
#endif

void CreateFlowsDb(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, kCreateFlowsTable, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

}  // namespace

// Another program holds the database locked: the text log goes on writing, the flows wait for
// SQLite up to the queue's bound, the datagrams past it are refused whole, and once the lock is
// gone the orderly stop stores every flow that was accepted.
TEST_F(DaemonStorage, LockedDatabaseStallsOnlyItsSinkAndTheBoundRefusesTheExcess) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-z"})) << daemon.Stderr();
    Exporter().Send(daemon.port(), ExampleDatagram(0, 30));
    ASSERT_TRUE(WaitUntil([&] { return RowCount(Path("netflow.db")) == 30; }));
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(Path("netflow.db").c_str(), &holder), SQLITE_OK);
    sqlite3_busy_timeout(holder, 10000);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    constexpr long kDatagrams = 40000;  // 1.2 million flows, more than the bound holds
    const auto sent = RunNf5send(dir_, daemon.port(), {"-c", std::to_string(kDatagrams), "-r",
                                                       kOverloadRate, "-f", "30"});
    ASSERT_EQ(sent.at("datagrams"), kDatagrams);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    constexpr long kAccepted = static_cast<long>(kQueueLimitFlows / 30 * 30);
    ASSERT_TRUE(WaitUntil([&] { return LineCount(Path("netflow.log")) == 1 + 30 + kAccepted; },
                          300s))
        << LineCount(Path("netflow.log"));
    // The exact check is the count of lines and rows; the peak only shows nothing grew unbounded.
    const std::string status = ReadFile("/proc/" + std::to_string(daemon.process().pid()) +
                                        "/status");
    const long peak_kib = std::stol(status.substr(status.find("VmHWM:") + 6));
    EXPECT_LT(peak_kib, kPeakBoundKib) << "the queue held more than its bound";

    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_EQ(RowCount(Path("netflow.db")), 30 + kAccepted);
    EXPECT_EQ(LineCount(Path("netflow.log")), 1 + 30 + kAccepted);
}

// The database file may not grow (a file size limit), so the commit of the last pass fails: the
// daemon must end with status 8 and the library's text, never with "clean shutdown".
TEST_F(DaemonStorage, FailedFinalCommitEndsWithStatus8) {
    CreateFlowsDb(Path("netflow.db"));
    Daemon daemon(dir_);
    // 32 blocks of 512 bytes: room for the rollback journal, not for the grown database file.
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-z"}, "trap '' XFSZ; ulimit -f 32"))
        << daemon.Stderr();
    Exporter().Send(daemon.port(), ExampleDatagram(0, 200));
    EXPECT_EQ(daemon.Stop(), 8) << daemon.Stderr();
    const std::string err = daemon.Stderr();
    EXPECT_NE(err.find("SQL was: COMMITProcess terminated with value: 8, quitting from "),
              std::string::npos) << err;
    EXPECT_EQ(err.find("clean shutdown"), std::string::npos) << err;
}
