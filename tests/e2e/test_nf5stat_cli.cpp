// Loss read back by nf5stat from the database the real nf5d wrote while nf5send left datagrams out.
#include "daemon.h"
#include "nf5stat_fixture.h"

using namespace testsupport;
using nf5stat_test::TempDirTest;

// 127.0.0.2 restarts from 0 after a high sequence; 127.0.0.3 wraps past 2^32 meanwhile; 127.0.0.4
// restarts from 0 after five datagrams from 500000.
TEST_F(TempDirTest, LossOfTheRealDaemonsDatabaseIsExactlyTheSkippedFlows) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-x", "-z"})) << daemon.Stderr();
    auto send = [&](const char* exporter, const char* count, const char* skip, const char* sequence) {
        std::vector<std::string> args = {"-S", exporter, "-c", count, "-r", "1000", "--sequence", sequence,
                                         "--seed", count};
        if (*skip != '\0') args.insert(args.end(), {"-s", skip});
        const auto sent = RunNf5send(dir_, daemon.port(), args);
        EXPECT_FALSE(sent.empty()) << "nf5send failed";
        return sent;
    };
    const auto high = send("127.0.0.2", "300", "2,40-42,150,299", "3000000");
    const auto wrap = send("127.0.0.3", "200", "7,100", "4294966000");
    const auto restarted = send("127.0.0.2", "100", "50", "0");
    // A restart soon after a start at a high number, below it but within --restart.
    const auto brief = send("127.0.0.4", "5", "", "500000");
    const auto again = send("127.0.0.4", "300", "", "0");
    ASSERT_FALSE(HasFailure());
    ASSERT_LT(wrap.at("next_sequence"), 100000) << "the sequence should have wrapped";
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const RunResult run = nf5stat_test::RunNf5stat({"loss"}, dir_);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("repeat"), std::string::npos) << run.out;  // no duplicates
    const std::map<std::string, long> none = {{"datagrams", 0}, {"flows", 0}, {"skipped_flows", 0}};
    for (const auto& [exporter, a, b, restarts] :
         {std::tuple("127.0.0.2", high, restarted, 1L), std::tuple("127.0.0.3", wrap, none, 0L),
          std::tuple("127.0.0.4", brief, again, 1L)}) {
        long datagrams = -1, flows = -1, missing = -1, seen = -1;
        const size_t line = run.out.find(std::string("\n") + exporter + " ");
        ASSERT_NE(line, std::string::npos) << run.out;
        std::sscanf(run.out.c_str() + line, "%*s %ld %ld %*d %ld %*s %ld", &datagrams, &flows, &missing, &seen);
        EXPECT_EQ(datagrams, a.at("datagrams") + b.at("datagrams")) << run.out;
        EXPECT_EQ(flows, a.at("flows") + b.at("flows"));
        EXPECT_EQ(missing, a.at("skipped_flows") + b.at("skipped_flows"));
        EXPECT_EQ(seen, restarts);
    }
}
