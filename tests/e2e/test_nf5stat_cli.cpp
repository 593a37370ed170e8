// The nf5stat binary: what reaches standard output and error, its exit statuses, and loss read
// back from a database that the real nf5d wrote while the load generator left datagrams out.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "../unit/test_nf5stat_fixture.h"
#include "daemon.h"

using namespace testsupport;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kRate = "1000";
#else
constexpr const char* kRate = "3000";
#endif

class Nf5statBinary : public testing::Test {
protected:
    void SetUp() override
    {
        UseUtc();
        dir_ = MakeTempDir();
    }
    void TearDown() override { RemoveTree(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    RunResult Stat(std::vector<std::string> args)
    {
        args.insert(args.begin(), NF5STAT_BINARY);
        return testsupport::Run(args, dir_, {"TZ=UTC"});
    }
    std::string dir_;
};

// One member of the exporter's object in nf5stat's JSON loss report, -1 if absent.
long JsonMember(const std::string& json, const std::string& exporter, const std::string& name)
{
    const size_t object = json.find("{\"exporter\": \"" + exporter + "\"");
    if (object == std::string::npos) return -1;
    const size_t member = json.find("\"" + name + "\": ", object);
    if (member == std::string::npos || member > json.find('}', object)) return -1;
    return std::stol(json.substr(member + name.size() + 4));
}

}  // namespace

TEST_F(Nf5statBinary, ReportsGoToStandardOutputAndErrorsToStandardErrorWithTheirStatus)
{
    RunResult run = Stat({"loss"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "nf5stat: cannot open ./netflow.db: No such file or directory\n");

    run = Stat({"--until", "tomorrow", "loss"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "nf5stat: --until: not a time: tomorrow\nTry 'nf5stat --help'.\n");

    std::vector<nf5stat_test::Row> rows;
    nf5stat_test::AddDatagram(rows, "192.0.2.1", 1700000000, 0, 2);
    nf5stat_test::AddDatagram(rows, "192.0.2.1", 1700000001, 5, 1);
    nf5stat_test::WriteFlowsDb(Path("netflow.db"), rows);
    run = Stat({"loss"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "exporter   datagrams  flows  expected  missing    loss  restarts\n"
              "192.0.2.1          2      3         6        3  50.00%         0\n"
              "total              2      3         6        3  50.00%         0\n");

    run = Stat({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("How loss counts:"), std::string::npos);
}

// Three exporters on loopback addresses, each losing datagrams on purpose: 127.0.0.2 runs at
// a high sequence and restarts from 0; 127.0.0.3 wraps past 2^32; 127.0.0.4 restarts from 0 soon
// after it began, so its sequences repeat. nf5stat must report exactly the skipped flows as
// missing, and each restart.
TEST_F(Nf5statBinary, LossOfTheRealDaemonsDatabaseIsExactlyTheSkippedFlows)
{
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-x", "-z"})) << daemon.Stderr();
    auto send = [&](const char* exporter, const char* count, const char* skip, const char* sequence, const char* seed) {
        auto sent = RunNf5send(dir_, daemon.port(),
                               {"-S", exporter, "-c", count, "-r", kRate, "-s", skip, "--sequence", sequence, "--seed", seed});
        EXPECT_FALSE(sent.empty()) << "nf5send failed";
        return sent;
    };
    const auto young = send("127.0.0.4", "60", "30", "0", "21");
    ASSERT_TRUE(daemon.WaitDrained());
    const time_t young_done = time(nullptr);
    const auto high = send("127.0.0.2", "300", "2,40-42,150,299", "3000000", "11");
    const auto wrap = send("127.0.0.3", "200", "7,100", "4294966000", "12");
    const auto restarted = send("127.0.0.2", "100", "50", "0", "13");
    // The repeated sequences must be decoded in a later second than the first ones, or rows of two
    // datagrams would share exporter, time and sequence.
    ASSERT_TRUE(WaitUntil([&] { return time(nullptr) >= young_done + 2; }, 5s));
    const auto young_again = send("127.0.0.4", "40", "10", "0", "22");
    ASSERT_FALSE(HasFailure());
    ASSERT_LT(wrap.at("next_sequence"), 100000) << "the sequence should have wrapped";
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const RunResult run = Stat({"--json", "loss"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string& json = run.out;
    auto expect_exporter = [&](const char* exporter, const std::map<std::string, long>& a,
                               const std::map<std::string, long>& b, long restarts) {
        SCOPED_TRACE(exporter);
        EXPECT_EQ(JsonMember(json, exporter, "datagrams"), a.at("datagrams") + b.at("datagrams")) << json;
        EXPECT_EQ(JsonMember(json, exporter, "flows"), a.at("flows") + b.at("flows"));
        EXPECT_EQ(JsonMember(json, exporter, "missing"), a.at("skipped_flows") + b.at("skipped_flows"));
        EXPECT_EQ(JsonMember(json, exporter, "restarts"), restarts);
        EXPECT_EQ(JsonMember(json, exporter, "duplicates"), 0);
    };
    const std::map<std::string, long> nothing = {{"datagrams", 0}, {"flows", 0}, {"skipped_flows", 0}};
    expect_exporter("127.0.0.2", high, restarted, 1);
    expect_exporter("127.0.0.3", wrap, nothing, 0);
    expect_exporter("127.0.0.4", young, young_again, 1);

    const RunResult summary = Stat({"summary"});
    EXPECT_EQ(summary.status, 0) << summary.err;
    EXPECT_NE(summary.out.find("127.0.0.4"), std::string::npos) << summary.out;
}
