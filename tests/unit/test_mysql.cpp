// MySQL sink against the private MariaDB server of scripts/mariadb-test.sh (port
// $NF5D_MARIADB_PORT or 3306), outages made by a relay that the test cuts.
#include <gtest/gtest.h>
#include <mysql.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "daemon.h"
#include "fixtures.h"
#include "relay.h"
#include "storage/sinks/mysql.h"

namespace {

using testsupport::Relay;

// A COMMIT as the client sends it: a 7-byte packet, command 3 (query).
constexpr std::string_view kCommitPacket("\7\0\0\0\3COMMIT", 11);

// The sink's way to the server: a relay on 127.0.0.2 at the server's own port (the client
// library reads one port for every host), which the sink reaches as -m 127.0.0.2.
std::unique_ptr<Relay> RelayToServer() {
    const int port = static_cast<int>(testsupport::UseTestMySQLPort());
    testsupport::UseSwitches({"-m", "127.0.0.2", "-x", "-y", "-z"});
    return std::make_unique<Relay>("127.0.0.2", port, port);
}

class MySQLSink : public testsupport::MySQLTest {
protected:
    void SetUp() override {
        MySQLTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        setenv("TZ", "XST-2", 1);  // two hours east of UTC: DATETIME text is local time
        tzset();
        testsupport::UseSwitches({"-m", "127.0.0.1", "-x", "-y", "-z"});
        PutTablesBack();  // a run that died may have left them aside
        Query("DELETE FROM FLOWS");
        Query("DELETE FROM FLOW_BATCHES");
    }
    void TearDown() override {
        kMySQLSink.close();
        PutTablesBack();
        MySQLTest::TearDown();
    }
    void PutTablesBack() {
        mysql_query(admin_, "RENAME TABLE FLOWS_ASIDE TO FLOWS");
        mysql_query(admin_, "RENAME TABLE FLOW_BATCHES_ASIDE TO FLOW_BATCHES");
    }
    void SetAside(const std::string& table) {
        Query("RENAME TABLE " + table + " TO " + table + "_ASIDE");
    }
    // Writes and commits rows copies of flow.
    static bool Store(size_t rows, const FlowItem& flow = testsupport::ExampleFlow()) {
        const std::vector<FlowItem> items(rows, flow);
        EXPECT_EQ(kMySQLSink.write(items.data(), items.size(), Patience::kThisPass), rows);
        return kMySQLSink.commit(Patience::kThisPass);
    }
};

}  // namespace

// A table made for v5 is refused at start-up once the daemon takes wider flows; the script's
// ALTER TABLE widens it, and then a row of IPv6 addresses, 64-bit counters and 4-byte AS numbers
// is stored whole.
TEST_F(MySQLSink, RowHoldsEveryValueWithLocalDateTimeTextAndNarrowTablesAreRefused) {
    testsupport::UseSwitches({"-m", "127.0.0.1", "-x", "-y", "-z", "--netflow", "v5,ipfix"});
    Query("ALTER TABLE FLOWS MODIFY BYTES INT UNSIGNED NOT NULL");
    EXPECT_EXIT(kMySQLSink.open(), testing::ExitedWithCode(14),
                "too narrow .* run sql/mysql-flows.sql again");
    const std::string script = testsupport::ReadFile(NF5D_SOURCE_DIR "/sql/mysql-flows.sql");
    const size_t alter = script.find("ALTER TABLE FLOWDB.FLOWS");
    Query(script.substr(alter, script.find(';', alter) - alter));
    kMySQLSink.open();
    FlowItem item = testsupport::ExampleFlow();
    item.time_received = 0;
    item.sequence = 4294967295u;
    item.src_ip = testsupport::Address("2001:db8:1234:5678:9abc:def0:1234:5678");
    item.bytes = 78187493520u;
    item.src_as = 4200000000u;
    item.tos = 0xb8;
    ASSERT_TRUE(Store(1, item));
    const std::string row = Query("SELECT * FROM FLOWS").at(0);
    EXPECT_EQ(row.substr(row.find(',')),  // after the key, the server's
              ",192.0.2.1,1970-01-01 02:00:00,5,4294967295,2001:db8:1234:5678:9abc:def0:1234:5678,"
              "443,203.0.113.9,514,0.0.0.0,6,27,184,78187493520,12,2026-12-05 15:29:01,"
              "2026-12-05 15:29:20,4200000000,65001,24,16");
}

// Before any batch has committed, a refusal is a broken setup: the first pass ends the daemon. A
// server prepared before FLOW_BATCHES existed takes the rows without markers, and nf5d says once
// what that costs.
TEST_F(MySQLSink, MissingFlowsTableEndsWithStatus14AndMissingMarkerTableIsToldOnce) {
    kMySQLSink.open();
    EXPECT_EXIT((SetAside("FLOWS"), Store(1)), testing::ExitedWithCode(14),
                "^MySQL server 127.0.0.1 refused the rows: Table 'FLOWDB.FLOWS' doesn't exist\n"
                "Process terminated with value: 14, quitting from Can't add data to mysql "
                "server\n$");
    PutTablesBack();  // set aside by the child
    kMySQLSink.close();
    SetAside("FLOW_BATCHES");
    testing::internal::CaptureStderr();
    kMySQLSink.open();
    EXPECT_TRUE(Store(1) && Store(1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MySQL table FLOW_BATCHES missing: a batch whose COMMIT answer is lost may be "
              "written twice; sql/mysql-flows.sql adds the table\n");
    EXPECT_EQ(Query("SELECT COUNT(*) FROM FLOWS"), std::vector<std::string>{"2"});
}

// Mid-run, the first attempt of a 600-row batch fails; the sink keeps the rows, tells the outage
// once, and the retry leaves every row on the server exactly once, with the 50 that arrived before
// it. A COMMIT answered by a server whose answer never arrived is the case a blind retry would
// store twice, and a retry that took the newer rows into the settled batch would lose them. Rows
// count as written once committed.
TEST_F(MySQLSink, BatchInterruptedMidRunIsStoredExactlyOnce) {
    const struct {
        Relay::Cut cut;
        const char* aside;  // a table the server lacks during the first attempt
        const char* reason;
    } scenarios[] = {{Relay::Cut::kBeforeServerSeesIt, nullptr, "Lost connection"},
                     {Relay::Cut::kAfterServerAnswered, nullptr, "Lost connection"},
                     {Relay::Cut::kNone, "FLOWS", "doesn't exist"}};
    const auto relay = RelayToServer();
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(static_cast<int>(scenario.cut));
        Query("DELETE FROM FLOWS");
        kMySQLSink.open();
        ASSERT_TRUE(Store(1));  // a batch has committed: from now on failures are ridden out
        relay->CutNext(kCommitPacket, scenario.cut);
        if (scenario.aside != nullptr) SetAside(scenario.aside);
        testing::internal::CaptureStderr();
        const uint64_t written = kMySQLSink.written();
        EXPECT_FALSE(Store(600));
        EXPECT_EQ(kMySQLSink.written(), written);
        PutTablesBack();
        EXPECT_FALSE(Store(50));  // before the next attempt is due
        EXPECT_TRUE(kMySQLSink.commit(Patience::kUntilDone));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Query("SELECT COUNT(*) FROM FLOWS"), std::vector<std::string>{"651"});
        EXPECT_EQ(kMySQLSink.written() - written, 650u);
        EXPECT_EQ(testsupport::Count(err, "MySQL server unavailable, keeping its rows: "), 1)
            << err;
        EXPECT_NE(err.find(scenario.reason), std::string::npos) << err;
        EXPECT_NE(err.find("MySQL server back: 650 rows kept, 0 dropped\n"), std::string::npos)
            << err;
        kMySQLSink.close();
    }
}

// The server stays away: the connection shows as down, the backlog keeps kBacklogRows rows, drops
// the newer ones, counts them and says so once (the rows lost at the stop: test_daemon_mysql.cpp).
TEST_F(MySQLSink, BacklogBoundDropsCountsAndReportsOnce) {
    auto relay = RelayToServer();
    kMySQLSink.open();
    ASSERT_TRUE(Store(1));
    EXPECT_EQ(GetMySQLConnected(), 1u);
    relay.reset();
    const uint64_t dropped_before = GetMySQLDroppedRows();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Store(kBacklogRows + 7));
    EXPECT_EQ(GetMySQLConnected(), 0u);
    EXPECT_FALSE(Store(5));
    EXPECT_EQ(kMySQLSink.close(), kBacklogRows + 12);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetMySQLDroppedRows() - dropped_before, 12u);
    EXPECT_EQ(testsupport::Count(err, "MySQL backlog full, dropping rows\n"), 1) << err;
}

// scripts/mariadb-test.sh grants the collector on the "remote" host 127.0.0.3 with a password;
// only the option file gives both ([client] the host, [nf5d] the password), as nf5d has no switch
// for either. One that the daemon's user cannot read is skipped by the client library: nf5d says
// so.
TEST_F(MySQLSink, ARemoteCollectorConnectsWithThePasswordOfItsOptionFile) {
    const std::string options = Path(".my.cnf");
    setenv("HOME", dir_.c_str(), 1);
    std::ofstream(options) << "[client]\nbind-address=127.0.0.3\n";
    EXPECT_EXIT(kMySQLSink.open(), testing::ExitedWithCode(13),
                "Process terminated with value: 13, quitting from Access denied for user "
                "'collector'@'127\\.0\\.0\\.3'[^\n]*\n\n");
    std::ofstream(options, std::ios::app) << "[nf5d]\npassword=nf5d-remote\n";
    kMySQLSink.open();
    EXPECT_TRUE(Store(1));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM FLOWS"), std::vector<std::string>{"1"});
    kMySQLSink.close();
    chmod(options.c_str(), 0);
    auto open_unprivileged = [] {
        if (getuid() == 0 && setuid(65534) != 0) std::exit(2);
        kMySQLSink.open();
        std::exit(0);
    };
    EXPECT_EXIT(open_unprivileged(), testing::ExitedWithCode(0),
                "^MySQL option file [^\n]*/\\.my\\.cnf exists but cannot be read: Permission "
                "denied\n$");
}
