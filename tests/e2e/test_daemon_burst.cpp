// Thousands of datagrams, garbage among them, from the load generator: every flow is stored
// exactly once and every rejected datagram leaves exactly one trash line.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "daemon.h"

using namespace testsupport;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The receive loop of a sanitizer build is several times slower; keep the socket from overflowing.
constexpr const char* kRate = "1500";
#else
constexpr const char* kRate = "3000";
#endif

const char* const kGroupsBySequence =
    "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY SEQUENCE ORDER BY SEQUENCE";

class DaemonBurst : public testing::Test {
protected:
    void SetUp() override {
        UseUtc();
        dir_ = MakeTempDir();
    }
    void TearDown() override { RemoveTree(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // The load generator numbers flows like an exporter: a datagram's sequence is the count of
    // the flows before it. So the stored rows, grouped by sequence, must tile 0 .. flows - 1
    // without a gap (a lost datagram) or an overlap (one stored twice).
    void ExpectEveryFlowOnce(const std::map<std::string, long>& sent) {
        const auto groups = SqliteRows(Path("netflow.db"), kGroupsBySequence);
        ASSERT_EQ(static_cast<long>(groups.size()), sent.at("datagrams"));
        long expected = 0;
        for (const auto& group : groups) {
            ASSERT_EQ(std::stol(group[0]), expected) << "a datagram lost or doubled here";
            expected += std::stol(group[1]);
        }
        EXPECT_EQ(expected, sent.at("flows"));
        EXPECT_EQ(expected, sent.at("next_sequence"));
    }

    void ExpectOneTrashLineEach(const std::map<std::string, long>& sent) {
        const std::string trash = Path("netflow_trash.log");
        EXPECT_EQ(static_cast<long>(CountLinesContaining(trash, "Warning useless packet")),
                  sent.at("short"));
        EXPECT_EQ(static_cast<long>(CountLinesContaining(trash, "unsupported packet")),
                  sent.at("version"));
        EXPECT_EQ(static_cast<long>(CountLinesContaining(trash, "Mangled packet")),
                  sent.at("mangled"));
        EXPECT_EQ(static_cast<long>(Lines(trash).size()), sent.at("malformed") + 1);
    }

    void RunBurst(const std::vector<std::string>& switches, const std::string& seed) {
        Daemon daemon(dir_);
        ASSERT_TRUE(daemon.Start(switches)) << daemon.Stderr();
        const auto sent = RunNf5send(dir_, daemon.port(),
                                     {"-c", "4000", "--short", "150", "--bad-version", "150",
                                      "--mangled", "150", "-r", kRate, "--seed", seed});
        ASSERT_EQ(sent.at("datagrams"), 4000);
        ASSERT_TRUE(daemon.WaitDrained());
        ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
        ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

        ExpectEveryFlowOnce(sent);
        ExpectOneTrashLineEach(sent);
        EXPECT_EQ(static_cast<long>(Lines(Path("netflow.log")).size()), sent.at("flows") + 1);
    }

    std::string dir_;
};

}  // namespace

TEST_F(DaemonBurst, TwoWorkersStoreEveryFlowOnce) { RunBurst({"-n", "2"}, "11"); }

// A throttle limit far below the backlog makes the throttle alternate while datagrams pour in,
// so the workers and the maintainer run and reclaim in the middle of the burst.
TEST_F(DaemonBurst, FourWorkersUnderALowThrottleLimitStoreEveryFlowOnce) {
    RunBurst({"-n", "4", "-i", "20"}, "12");
}

// What a test of loss accounting relies on: datagrams skipped on purpose leave gaps of exactly
// their flows in the sequence numbers, and nothing else is missing.
TEST_F(DaemonBurst, SkippedDatagramsLeaveExactGaps) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-z"})) << daemon.Stderr();
    const auto sent =
        RunNf5send(dir_, daemon.port(), {"-c", "30", "-f", "3", "-s", "5,20-22", "-r", "0"});
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_EQ(sent.at("datagrams"), 26);
    EXPECT_EQ(sent.at("skipped"), 4);
    EXPECT_EQ(sent.at("skipped_flows"), 12);
    EXPECT_EQ(sent.at("next_sequence"), 90);

    std::vector<std::string> missing;
    const auto groups = SqliteRows(Path("netflow.db"), kGroupsBySequence);
    ASSERT_EQ(groups.size(), 26u);
    long expected = 0;
    for (const auto& group : groups) {
        for (; expected < std::stol(group[0]); expected += 3) {
            missing.push_back(std::to_string(expected));
        }
        EXPECT_EQ(group[1], "3");
        expected += 3;
    }
    EXPECT_EQ(missing, (std::vector<std::string>{"12", "57", "60", "63"}));
}
