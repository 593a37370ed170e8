// The ClickHouse export through a real server (scripts/clickhouse-test.sh start; HTTP port
// $NF5D_CLICKHOUSE_PORT, default 8123), which a test stops and starts again under traffic.
#include <algorithm>

#include "clickhouse.h"
#include "common/flow.h"

using namespace testsupport;

namespace {

using DaemonClickHouse = ClickHouseTest;

// The columns of both tables, the ClickHouse ones in the SQLite table's terms: addresses dotted,
// times as seconds.
std::string Columns(bool clickhouse) {
    std::string list;
    for (const FlowField& field : kFlowFields) {
        const std::string column = field.column;
        list += list.empty() ? "" : ", ";
        if (!clickhouse || field.kind == FieldKind::kNumber)
            list += column;
        else if (field.kind == FieldKind::kTime)
            list += "toUInt32(" + column + ")";
        else
            list += "replaceRegexpOne(IPv6NumToString(" + column + "), '^::ffff:', '')";
    }
    return list;
}

constexpr const char* kServerAway = "ClickHouse server unavailable, keeping its rows: ";

// Each table's rows as lines of tab-separated values, sorted.
std::vector<std::string> TableLines() {
    auto lines = ClickHouseTest::Query("SELECT " + Columns(true) + " FROM FLOWDB.FLOWS");
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> SqliteLines(const std::string& db) {
    std::vector<std::string> lines;
    for (const auto& row : SqliteRows(db, "SELECT " + Columns(false) + " FROM flows")) {
        std::string& line = lines.emplace_back();
        for (const std::string& value : row) line.append(line.empty() ? "" : "\t").append(value);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

long TableRows() {
    const auto count = ClickHouseTest::Query("SELECT count() FROM FLOWDB.FLOWS");
    return count.empty() ? -1 : std::stol(count[0]);
}

// Whatever happens to the test, the server runs again after it.
struct RestartsServer {
    ~RestartsServer() { EXPECT_EQ(ClickHouseTest::Server("start"), 0); }
};

}  // namespace

// The server stops under traffic and starts again: the text log and SQLite go on, and once the
// server is back it holds every flow sent, once, each field as the SQLite sink stores it, in its
// ClickHouse type. Stopped again while the daemon stops, the daemon ends in due time, says which
// rows it could not write and ends with status 17.
TEST_F(DaemonClickHouse, ServerStoppedUnderTrafficGetsEveryFlowOnceBack) {
    EmptyTable();
    const RestartsServer restart;
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "--clickhouse", Url()})) << daemon.Stderr();
    Process sender({NF5SEND_BINARY, "-p", std::to_string(daemon.port()), "-c", "1200", "-r", "40"},
                   dir_);
    ASSERT_TRUE(WaitUntil([] { return TableRows() > 0; }, 30s));
    ASSERT_EQ(Server("stop"), 0);
    ASSERT_TRUE(daemon.process().WaitForStderr(kServerAway, 30s)) << daemon.Stderr();
    const long lines = LineCount(Path("netflow.log"));
    ASSERT_TRUE(WaitUntil([&] { return LineCount(Path("netflow.log")) > lines; }))
        << "the text log stopped with the server";
    ASSERT_EQ(Server("start"), 0);
    ASSERT_TRUE(daemon.process().WaitForStderr("ClickHouse server back: ", 90s)) << daemon.Stderr();
    ASSERT_EQ(sender.Wait(), 0);
    const long flows = Nf5sendReport(sender.Stdout()).at("flows");

    // Each sink commits on its own writer: both hold every flow before they are compared.
    ASSERT_TRUE(WaitUntil(
        [&] { return TableRows() == flows && RowCount(Path("netflow.db")) == flows; }, 60s))
        << TableRows() << " rows for " << flows << " flows";
    EXPECT_EQ(TableLines(), SqliteLines(Path("netflow.db")));

    ASSERT_EQ(Server("stop"), 0);
    Exporter().Send(daemon.port(), ExampleDatagram(1, 30));
    ASSERT_TRUE(WaitUntil([&] { return Count(daemon.Stderr(), kServerAway) == 2; }, 30s))
        << daemon.Stderr();
    ASSERT_EQ(daemon.Stop(), 17) << daemon.Stderr();
    EXPECT_EQ(Count(daemon.Stderr(), "ClickHouse rows lost: 30\n"), 1) << daemon.Stderr();
}

// Nothing is ridden out at start: no server (15), or a table it refuses, a column nf5d cannot
// fill or a URL that names no table (16), each with the reason.
TEST_F(DaemonClickHouse, StartWithoutServerOrTableEndsWithItsStatus) {
    Query("CREATE TABLE IF NOT EXISTS FLOWDB.TEXT_PROBE (PROBE String) ENGINE = Memory");
    const std::string nobody = "http://127.0.0.1:" + std::to_string(FreePort(SOCK_STREAM));
    const struct {
        std::string url;
        int status;
        std::string reason;
    } cases[] = {
        {nobody, 15, "ClickHouse server " + nobody + " unreachable: "},
        {Url("FLOWDB.MISSING"), 16, "refused FLOWDB.MISSING: Code: 60"},
        {Url("FLOWDB.TEXT_PROBE"), 16, "column PROBE is String, which nf5d cannot fill"},
        {"ftp://127.0.0.1/", 16, "--clickhouse takes http[s]://"},
    };
    for (const auto& c : cases) {
        const RunResult run = testsupport::Run({NF5D_BINARY, "-p", std::to_string(FreePort()), "-x",
                                                "-y", "-z", "--clickhouse", c.url},
                                               dir_);
        EXPECT_EQ(run.status, c.status) << c.url << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Process terminated with value: " + std::to_string(c.status)),
                  std::string::npos)
            << run.err;
    }
}
