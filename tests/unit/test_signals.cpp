// The operator signals: handlers only count deliveries; RunSignalWork does the work, on the
// thread that calls it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/select.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "entry/settings.h"
#include "entry/signals.h"
#include "fixtures.h"
#include "process.h"

using namespace testsupport;

namespace {

void MakeDatabase(const std::string& path, int rows) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE flows (RECNUM INTEGER PRIMARY KEY, SEQUENCE INTEGER)", nullptr,
                 nullptr, nullptr);
    for (int row = 0; row < rows; ++row) {
        sqlite3_exec(db, "INSERT INTO flows VALUES (NULL, 7)", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
}

long Rows(const std::string& path) {
    sqlite3* db = nullptr;
    long count = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "SELECT COUNT(*) FROM flows",
            [](void* out, int, char** values, char**) {
                *static_cast<long*>(out) = std::stol(values[0]);
                return 0;
            },
            &count, nullptr);
    }
    sqlite3_close(db);
    return count;
}

class Signals : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        dir_ = MakeTempDir();
        UseSwitches({"-b", dir_ + "/flows.db"});
        SetupSignals();
        RunSignalWork();  // nothing left over from an earlier test
    }
    void TearDown() override { RemoveTree(dir_); }

    std::string dir_;
};

}  // namespace

TEST_F(Signals, HandlersOnlyCountTheWorkWaitsForRunSignalWork) {
    raise(SIGUSR2);
    raise(SIGHUP);
    EXPECT_EQ(IsTextLoggingEnabled(), 1);
    EXPECT_EQ(IsTrashLoggingEnabled(), 1);
    RunSignalWork();
    EXPECT_EQ(IsTextLoggingEnabled(), 0);
    EXPECT_EQ(IsTrashLoggingEnabled(), 0);
    RunSignalWork();  // served once only
    EXPECT_EQ(IsTextLoggingEnabled(), 0);
    EXPECT_EQ(IsTrashLoggingEnabled(), 0);
}

// Two toggles delivered before the work runs cancel out; three leave the flag switched.
TEST_F(Signals, TogglesDeliveredTogetherKeepTheirParity) {
    raise(SIGUSR2);
    raise(SIGUSR2);
    raise(SIGHUP);
    raise(SIGHUP);
    raise(SIGHUP);
    RunSignalWork();
    EXPECT_EQ(IsTextLoggingEnabled(), 1);
    EXPECT_EQ(IsTrashLoggingEnabled(), 0);
}

// Rotations requested together run once: a second one would copy the emptied table over the
// ".previous" copy of the rows.
TEST_F(Signals, RotationsRequestedTogetherRunOnce) {
    const std::string db = dir_ + "/flows.db";
    MakeDatabase(db, 3);
    raise(SIGWINCH);
    raise(SIGWINCH);
    testing::internal::CaptureStderr();
    RunSignalWork();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Begun rotation of DB file\nCompleted rotation of DB File\n");
    EXPECT_EQ(Rows(db + ".previous"), 3);
    EXPECT_EQ(Rows(db), 0);
}

TEST_F(Signals, SnapshotRunsOnRequest) {
    const std::string db = dir_ + "/flows.db";
    MakeDatabase(db, 2);
    raise(SIGUSR1);
    RunSignalWork();
    EXPECT_EQ(Rows(db + ".snapshot"), 2);
    EXPECT_EQ(Rows(db), 2);
}

// Blocked everywhere else, the signals reach a thread only inside pselect with the mask that
// ControlSignalsUnblocked gives; signals blocked for other reasons stay blocked there.
TEST_F(Signals, BlockedSignalsArriveOnlyInsidePselect) {
    std::thread receiver([] {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
        BlockControlSignals();
        const sigset_t unblocked = ControlSignalsUnblocked();
        EXPECT_EQ(sigismember(&unblocked, SIGPIPE), 1);
        for (int signo : {SIGHUP, SIGUSR1, SIGUSR2, SIGWINCH, SIGTERM}) {
            EXPECT_EQ(sigismember(&unblocked, signo), 0);
        }

        pthread_kill(pthread_self(), SIGUSR2);
        RunSignalWork();
        EXPECT_EQ(IsTextLoggingEnabled(), 1) << "taken while blocked";
        const timespec timeout{5, 0};
        EXPECT_EQ(pselect(0, nullptr, nullptr, nullptr, &timeout, &unblocked), -1);
        EXPECT_EQ(errno, EINTR);
        RunSignalWork();
        EXPECT_EQ(IsTextLoggingEnabled(), 0);
    });
    receiver.join();
}

// Before the listener has started a thread there is nothing to wait for.
TEST_F(Signals, SigtermWithNoThreadEndsCleanly) {
    EXPECT_EXIT(
        {
            raise(SIGTERM);
            RunSignalWork();
        },
        testing::ExitedWithCode(0),
        "^Alive threads: 0\nProcess terminated with value: 0, quitting from clean shutdown\n$");
}

TEST_F(Signals, DetachedShutdownReportsNoCount) {
    UseSwitches({"-d", "-b", dir_ + "/flows.db"});
    EXPECT_EXIT(
        {
            raise(SIGTERM);
            RunSignalWork();
        },
        testing::ExitedWithCode(0),
        "^Process terminated with value: 0, quitting from clean shutdown\n$");
}
