// nf5stat summary and top on a small known database, the command line, and the ways a database
// can be missing, foreign or busy.
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "options.h"
#include "test_nf5stat_fixture.h"

using namespace nf5stat_test;

namespace {

constexpr int64_t kT = 1700000000;  // 2023-11-14 22:13:20 UTC

Row MakeRow(const char* probe, const char* src, int sport, const char* dst, int dport, int proto, int64_t bytes,
            int64_t packets, int64_t begin, int64_t end)
{
    Row row;
    row.probe = probe;
    row.src = src;
    row.sport = sport;
    row.dst = dst;
    row.dport = dport;
    row.proto = proto;
    row.bytes = bytes;
    row.packets = packets;
    row.begin = begin;
    row.end = end;
    return row;
}

std::vector<Row> KnownRows()
{
    std::vector<Row> rows = {
        MakeRow("192.0.2.1", "10.0.0.1", 1000, "10.0.1.1", 80, 6, 1000, 10, kT - 60, kT - 30),
        MakeRow("192.0.2.1", "10.0.0.2", 1001, "10.0.1.1", 443, 6, 5000, 20, kT - 50, kT - 10),
        MakeRow("192.0.2.1", "10.0.0.1", 53, "10.0.1.2", 53, 17, 300, 3, kT - 5, kT),
        MakeRow("192.0.2.10", "10.0.0.3", 1002, "10.0.1.1", 80, 6, 2000, 4, kT - 100, kT - 90),
        MakeRow("192.0.2.10", "10.0.0.1", 0, "10.0.1.3", 0, 1, 84, 1, kT - 20, kT - 20),
        MakeRow("192.0.2.2", "10.0.0.2", 0, "10.0.1.4", 0, 47, 1616, 1, kT + 5, kT + 6),
    };
    rows.back().time = kT + 10;
    return rows;
}

class ReportTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        db_ = Path("netflow.db");
        WriteFlowsDb(db_, KnownRows());
    }
    StatRun Stat(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-b", db_});
        return RunNf5stat(args);
    }
    std::string db_;
};

}  // namespace

TEST_F(ReportTest, SummaryListsEachExporterInAddressOrderWithATotal)
{
    const StatRun run = Stat({"summary"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "exporter    first flow           last flow            flows  packets  bytes\n"
              "192.0.2.1   2023-11-14 22:12:20  2023-11-14 22:13:20      3       33   6300\n"
              "192.0.2.2   2023-11-14 22:13:25  2023-11-14 22:13:26      1        1   1616\n"
              "192.0.2.10  2023-11-14 22:11:40  2023-11-14 22:13:00      2        5   2084\n"
              "total       2023-11-14 22:11:40  2023-11-14 22:13:26      6       39  10000\n");
}

TEST_F(ReportTest, SummaryAsJsonGivesUnixSeconds)
{
    const StatRun run = Stat({"summary", "--json", "--until", "1700000010"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "{\"command\": \"summary\", \"database\": \"" + db_ +
                  "\", \"since\": null, \"until\": 1700000010, \"probe\": null,\n"
                  "  \"exporters\": [\n"
                  "    {\"exporter\": \"192.0.2.1\", \"first\": 1699999940, \"last\": 1700000000, \"flows\": 3, "
                  "\"packets\": 33, \"bytes\": 6300},\n"
                  "    {\"exporter\": \"192.0.2.10\", \"first\": 1699999900, \"last\": 1699999980, \"flows\": 2, "
                  "\"packets\": 5, \"bytes\": 2084}\n"
                  "  ],\n"
                  "  \"total\": {\"first\": 1699999900, \"last\": 1700000000, \"flows\": 5, \"packets\": 38, \"bytes\": "
                  "8384}\n"
                  "}\n");
}

TEST_F(ReportTest, TopSourcesByBytesWithSharesOfTheWhole)
{
    const StatRun run = Stat({"top", "src"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              " rank  source    flows  packets  bytes   share\n"
              "    1  10.0.0.2      2       21   6616  66.16%\n"
              "    2  10.0.0.3      1        4   2000  20.00%\n"
              "    3  10.0.0.1      3       14   1384  13.84%\n"
              "total                6       39  10000\n");
}

TEST_F(ReportTest, TopByFlowsCutsAtNAndSharesStayOfTheWhole)
{
    const StatRun run = Stat({"top", "-n", "2", "--by", "flows", "src"});
    EXPECT_EQ(run.out,
              " rank  source    flows  packets  bytes   share\n"
              "    1  10.0.0.1      3       14   1384  50.00%\n"
              "    2  10.0.0.2      2       21   6616  33.33%\n"
              "total                6       39  10000\n");
}

TEST_F(ReportTest, TopPortsBreakTiesByPortAndProtocolsCarryNames)
{
    EXPECT_EQ(Stat({"top", "--by=flows", "dport"}).out,
              " rank  dst port  flows  packets  bytes   share\n"
              "    1         0      2        2   1700  33.33%\n"
              "    2        80      2       14   3000  33.33%\n"
              "    3        53      1        3    300  16.67%\n"
              "    4       443      1       20   5000  16.67%\n"
              "total                6       39  10000\n");
    EXPECT_EQ(Stat({"top", "proto"}).out,
              " rank  protocol  flows  packets  bytes   share\n"
              "    1  6 (tcp)       3       34   8000  80.00%\n"
              "    2  47 (gre)      1        1   1616  16.16%\n"
              "    3  17 (udp)      1        3    300   3.00%\n"
              "    4  1 (icmp)      1        1     84   0.84%\n"
              "total                6       39  10000\n");
    EXPECT_EQ(Stat({"top", "-n1", "--json", "--probe", "192.0.2.10", "proto"}).out,
              "{\"command\": \"top\", \"database\": \"" + db_ +
                  "\", \"since\": null, \"until\": null, \"probe\": \"192.0.2.10\", \"rank\": \"proto\", \"by\": "
                  "\"bytes\", \"count\": 1,\n"
                  "  \"entries\": [\n"
                  "    {\"key\": 6, \"name\": \"tcp\", \"flows\": 1, \"packets\": 4, \"bytes\": 2000, \"share_percent\": "
                  "95.97}\n"
                  "  ],\n"
                  "  \"total\": {\"flows\": 2, \"packets\": 5, \"bytes\": 2084}\n"
                  "}\n");
}

TEST_F(ReportTest, ReportsOnAnEmptyTimeRangeAreEmptyNotErrors)
{
    const StatRun run = Stat({"--since", "2030-01-01", "summary"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "exporter  first flow  last flow  flows  packets  bytes\n"
              "total     -           -              0        0      0\n");
    EXPECT_EQ(Stat({"--since", "2030-01-01", "top", "dst"}).out,
              " rank  destination  flows  packets  bytes  share\n"
              "total                   0        0      0\n");
}

TEST_F(ReportTest, ExporterTextFromTheFileCannotSteerTheTerminalOrBreakJson)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    Exec(db, "DELETE FROM flows");
    InsertRows(db, {MakeRow("\x1b]0;x\a\"\\", "10.0.0.1", 1, "10.0.0.2", 2, 6, 1, 1, kT, kT)});
    sqlite3_close(db);
    EXPECT_EQ(Stat({"summary"}).out.substr(0, 200).find('\x1b'), std::string::npos);
    const std::string json = Stat({"--json", "summary"}).out;
    EXPECT_NE(json.find("\"exporter\": \"\\u001b]0;x\\u0007\\\"\\\\\""), std::string::npos) << json;
}

TEST(Nf5statOptions, TimesAreUnixSecondsOrLocalDates)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const std::pair<const char*, int64_t> good[] = {
        {"1700000000", 1700000000}, {"2023-11-14", 1699920000}, {"2023-11-14 22:13", 1699999980},
        {"2023-11-14 22:13:20", 1700000000}, {"2023-11-14T22:13:20", 1700000000}, {"2024-02-29", 1709164800}};
    for (const auto& [text, seconds] : good) {
        int64_t parsed = -1;
        EXPECT_TRUE(nf5stat::ParseTimeArg(text, parsed)) << text;
        EXPECT_EQ(parsed, seconds) << text;
    }
    for (const char* bad : {"", "-5", "2023-02-29", "2023-04-31", "2023-13-01", "2023-11-14 24:00", "2023-11-14 22:60",
                            "2023-11-14 22:13:20x", "2023-11-14  22:13", "yesterday", "1e9", "2023-1-14"}) {
        int64_t parsed = -1;
        EXPECT_FALSE(nf5stat::ParseTimeArg(bad, parsed)) << bad;
    }
}

TEST(Nf5statOptions, UsageErrorsExitWithStatus2AndAReason)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "no command given"},
        {{"lost"}, "unknown command lost"},
        {{"top"}, "top needs what to rank"},
        {{"top", "ports"}, "top ranks src, dst, sport, dport or proto, not ports"},
        {{"summary", "extra"}, "unexpected argument extra"},
        {{"loss", "-x"}, "unknown option -x"},
        {{"loss", "-b"}, "option -b needs a value"},
        {{"loss", "--since", "soon"}, "--since: not a time: soon"},
        {{"loss", "--since", "2000", "--until", "1000"}, "--since must be earlier than --until"},
        {{"loss", "--restart", "0"}, "--restart: not a number"},
        {{"summary", "--restart", "5"}, "--restart belongs to loss"},
        {{"loss", "-n", "5"}, "-n and --by belong to top"},
        {{"top", "-n", "0", "src"}, "-n: not a number from 1 to 1000000: 0"},
        {{"top", "--by", "packets", "src"}, "--by: expected bytes or flows, not packets"},
        {{"--json=yes", "loss"}, "unknown option --json=yes"},
    };
    for (const auto& [args, reason] : cases) {
        const StatRun run = RunNf5stat(args);
        EXPECT_EQ(run.status, nf5stat::kExitUsage) << reason;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(Nf5statOptions, SwitchesMayFollowTheCommandAndDefaultsHold)
{
    nf5stat::StatOptions options;
    std::string error;
    const char* argv[] = {"nf5stat", "top", "dport", "--by", "flows", "-bx.db", "--count=3", "--", "-weird"};
    EXPECT_FALSE(nf5stat::ParseStatArgs(9, argv, options, error));  // "-weird" is a word after "--"
    EXPECT_EQ(error, "unexpected argument -weird");
    EXPECT_TRUE(nf5stat::ParseStatArgs(8, argv, options, error)) << error;
    EXPECT_EQ(options.command, nf5stat::Command::Top);
    EXPECT_EQ(options.top_key, nf5stat::TopKey::DestPort);
    EXPECT_EQ(options.top_measure, nf5stat::TopMeasure::Flows);
    EXPECT_EQ(options.top_count, 3u);
    EXPECT_EQ(options.database, "x.db");
    const char* plain[] = {"nf5stat", "loss"};
    EXPECT_TRUE(nf5stat::ParseStatArgs(2, plain, options, error));
    EXPECT_EQ(options.database, "./netflow.db");
    EXPECT_EQ(options.restart_threshold, nf5stat::kDefaultRestartThreshold);
    EXPECT_FALSE(options.json || options.has_since || options.has_until);
    const StatRun help = RunNf5stat({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: nf5stat [-b FILE]", 0), 0u);
}

class DatabaseErrorTest : public TempDirTest {};

TEST_F(DatabaseErrorTest, MissingForeignOrTablelessFilesExitWithStatus1)
{
    const std::string missing = Path("absent.db");
    StatRun run = RunNf5stat({"-b", missing, "loss"});
    EXPECT_EQ(run.status, nf5stat::kExitDatabase);
    EXPECT_EQ(run.err, "nf5stat: cannot open " + missing + ": No such file or directory\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(testsupport::FileExists(missing));  // read-only: never created

    run = RunNf5stat({"-b", dir_, "summary"});
    EXPECT_EQ(run.status, nf5stat::kExitDatabase);
    EXPECT_EQ(run.err, "nf5stat: cannot open " + dir_ + ": not a regular file\n");

    const std::string text = Path("notes.txt");
    std::ofstream(text) << "this is not a database, just some text that is long enough to look like a header\n";
    run = RunNf5stat({"-b", text, "summary"});
    EXPECT_EQ(run.status, nf5stat::kExitDatabase);
    EXPECT_EQ(run.err, "nf5stat: cannot read " + text + ": file is not a database\n");

    const std::string other = Path("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    Exec(db, "CREATE TABLE flow (x INTEGER)");
    sqlite3_close(db);
    run = RunNf5stat({"-b", other, "top", "src"});
    EXPECT_EQ(run.status, nf5stat::kExitDatabase);
    EXPECT_EQ(run.err, "nf5stat: " + other + " has no table flows (not a database nf5d wrote?)\n");
}

TEST_F(DatabaseErrorTest, ReadingLeavesTheFileUntouched)
{
    const std::string db = Path("netflow.db");
    WriteFlowsDb(db, KnownRows());
    struct stat before {};
    ASSERT_EQ(stat(db.c_str(), &before), 0);
    const std::string bytes = testsupport::ReadFile(db);
    for (const char* command : {"loss", "summary"}) EXPECT_EQ(RunNf5stat({"-b", db, command}).status, 0);
    struct stat after {};
    ASSERT_EQ(stat(db.c_str(), &after), 0);
    EXPECT_EQ(testsupport::ReadFile(db), bytes);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_FALSE(testsupport::FileExists(db + "-journal"));
}

// nf5d keeps a batch transaction open between its passes and locks the file while it commits:
// a report sees the committed rows only, and waits out the commit instead of failing.
TEST_F(DatabaseErrorTest, AnOpenBatchIsInvisibleAndACommitIsWaitedFor)
{
    const std::string db = Path("netflow.db");
    WriteFlowsDb(db, KnownRows());
    const char* insert =
        "INSERT INTO flows VALUES (NULL,'192.0.2.1',1700000000,5,0,'10.0.0.9',1,'10.0.0.8',2,'0.0.0.0',6,0,0,500,5,"
        "1700000000,1700000000,0,0,24,24)";
    const char* total_of = "\"total\": {\"first\": 1699999900, \"last\": 1700000006, \"flows\": ";
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &writer), SQLITE_OK);
    Exec(writer, "BEGIN TRANSACTION");
    Exec(writer, insert);
    StatRun run = RunNf5stat({"-b", db, "--json", "summary"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(std::string(total_of) + "6,"), std::string::npos) << run.out;

    Exec(writer, "COMMIT");
    Exec(writer, "BEGIN EXCLUSIVE");
    Exec(writer, insert);
    std::thread committer([writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
    });
    run = RunNf5stat({"-b", db, "--json", "summary"});
    committer.join();
    sqlite3_close(writer);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(std::string(total_of) + "8,"), std::string::npos) << run.out;
}
