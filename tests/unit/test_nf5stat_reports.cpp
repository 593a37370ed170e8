// nf5stat reports on a small known database, its command line, and unusable or busy databases.
#include <fstream>
#include <thread>

#include "nf5stat_fixture.h"

using namespace nf5stat_test;

namespace {

class ReportTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        WriteFlowsDb(db_ = Path("netflow.db"),
                     {{"192.0.2.1", kT, 0, "10.0.0.1", 1000, "10.0.1.1", 80, 6, 1000, 10, kT - 60, kT - 30},
                      {"192.0.2.1", kT, 0, "10.0.0.2", 1001, "10.0.1.1", 443, 6, 5000, 20, kT - 50, kT - 10},
                      {"192.0.2.1", kT + 1, 5, "10.0.0.1", 53, "10.0.1.2", 53, 17, 300, 3, kT - 5, kT},
                      {"192.0.2.10", kT, 0, "10.0.0.3", 1002, "10.0.1.1", 80, 6, 2000, 4, kT - 100, kT - 90},
                      {"192.0.2.10", kT + 1, 0, "10.0.0.1", 0, "10.0.1.3", 0, 1, 84, 1, kT - 20, kT - 20},
                      {"192.0.2.2", kT + 10, 7, "10.0.0.2", 0, "10.0.1.4", 0, 47, 1616, 1, kT + 5, kT + 6}});
    }
    testsupport::RunResult Stat(std::vector<std::string> args) {
        args.insert(args.begin(), {"-b", db_});
        return RunNf5stat(args);
    }
    std::string db_;
};

}  // namespace

TEST_F(ReportTest, SummaryTopAndLossGiveExactReports) {
    const testsupport::RunResult summary = Stat({"summary"});
    EXPECT_EQ(summary.status, 0) << summary.err;
    EXPECT_EQ(summary.out,
              "exporter    first flow           last flow            flows  packets  bytes\n"
              "192.0.2.1   2023-11-14 22:12:20  2023-11-14 22:13:20      3       33   6300\n"
              "192.0.2.2   2023-11-14 22:13:25  2023-11-14 22:13:26      1        1   1616\n"
              "192.0.2.10  2023-11-14 22:11:40  2023-11-14 22:13:00      2        5   2084\n"
              "total       2023-11-14 22:11:40  2023-11-14 22:13:26      6       39  10000\n");
    // Ties fall back to the key; shares stay of the whole after the cut.
    EXPECT_EQ(Stat({"top", "-n", "3", "--by=flows", "dport"}).out,
              " rank  dst port  flows  packets  bytes   share\n"
              "    1         0      2        2   1700  33.33%\n"
              "    2        80      2       14   3000  33.33%\n"
              "    3        53      1        3    300  16.67%\n"
              "total                6       39  10000\n");
    EXPECT_EQ(Stat({"top", "-n1", "--json", "--probe", "192.0.2.10", "proto"}).out,
              "{\"command\": \"top\", \"database\": \"" + db_ +
                  "\", \"since\": null, \"until\": null, \"probe\": \"192.0.2.10\", \"rank\": \"proto\", \"by\": "
                  "\"bytes\", \"count\": 1,\n  \"entries\": [\n    {\"key\": 6, \"name\": \"tcp\", \"flows\": 1, "
                  "\"packets\": 4, \"bytes\": 2000, \"share_percent\": 95.97}\n  ],\n"
                  "  \"total\": {\"flows\": 2, \"packets\": 5, \"bytes\": 2084}\n}\n");
    EXPECT_EQ(Stat({"loss"}).out,
              "exporter    datagrams  flows  expected  missing    loss  restarts\n"
              "192.0.2.1           2      3         6        3  50.00%         0\n"
              "192.0.2.2           1      1         1        0   0.00%         0\n"
              "192.0.2.10          2      2         1        0   0.00%         0\n"
              "total               5      6         8        3  37.50%         0\n"
              "192.0.2.10: 1 flows repeat sequence numbers already seen (duplicated datagrams, an early restart or "
              "several engines)\n");
}

TEST_F(ReportTest, ExporterTextFromTheFileCannotSteerTheTerminalOrBreakJson) {
    WriteFlowsDb(db_ = Path("hostile.db"), {Row{.probe = "\x1b]0;x\a\"\\"}});
    EXPECT_EQ(Stat({"summary"}).out.find('\x1b'), std::string::npos);
    const std::string json = Stat({"--json", "summary"}).out;
    EXPECT_NE(json.find("\"exporter\": \"\\u001b]0;x\\u0007\\\"\\\\\""), std::string::npos) << json;
}

TEST_F(ReportTest, ErrorsAndAnUnknownExporterGoToStandardErrorWithTheirStatus) {
    std::ofstream(Path("other.db")).flush();  // an empty file is an empty database
    const std::string absent = Path("absent.db"), other = Path("other.db"), usage = "\nTry 'nf5stat --help'.\n";
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"-b", absent, "summary"}, 1, "cannot open " + absent + ": No such file or directory\n"},
        {{"-b", dir_, "summary"}, 1, "cannot open " + dir_ + ": not a regular file\n"},
        {{"-b", other, "loss"}, 1, other + " has no table flows (not a database nf5d wrote?)\n"},
        {{}, 2, "no command given (loss, summary or top)" + usage},
        {{"top", "ports"}, 2, "top ranks src, dst, sport, dport or proto, not ports" + usage},
        {{"loss", "--until", "soon"}, 2, "--until: not a time: soon" + usage},
        {{"--data", db_, "loss"}, 2, "unknown option --data" + usage},  // getopt_long would take it
        {{"-b", db_, "--probe", "192.0.2.9", "top", "src"}, 3,
         "unknown exporter 192.0.2.9: " + db_ + " holds no flow of it\n"},
    };
    for (const auto& [args, status, message] : cases) {
        const testsupport::RunResult run = RunNf5stat(args);
        EXPECT_EQ(run.status, status) << message;
        EXPECT_EQ(run.err, "nf5stat: " + message);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(testsupport::FileExists(absent));  // opened read-only, never created
}

// nf5d locks the file while it commits a batch: a report waits that out instead of failing.
TEST_F(ReportTest, ACommitInProgressIsWaitedFor) {
    const char* batch = "BEGIN EXCLUSIVE;INSERT INTO flows (PROBE) VALUES ('192.0.2.1')";
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, batch, nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread committer([writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
    });
    const testsupport::RunResult run = Stat({"--json", "summary"});
    committer.join();
    sqlite3_close(writer);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"total\": {\"first\": 1699999900, \"last\": 1700000006, \"flows\": 7,"),
              std::string::npos) << run.out;
}
