// The daemon's MySQL export through a real server (scripts/mariadb-test.sh start): rows as the
// server holds them. Skipped only when no server answers and NF5D_REQUIRE_MYSQL is unset.
#include <gtest/gtest.h>
#include <mysql.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Sat Dec  5 13:29:26 2026 UTC.
constexpr uint32_t kExportTime = 1796477366;
constexpr uint32_t kUptime = 3600000;

const char* const kRowQuery =
    "SELECT RECNUM IS NOT NULL, PROBE, FLOW_VERSION, SEQUENCE, SOURCE_IP, SOURCE_PORT, DEST_IP, "
    "DEST_PORT, NEXT_HOP, PROTOCOL, TCP_FLAGS, TOS, BYTES, PACKETS, FLOW_BEGIN, FLOW_END, "
    "SOURCE_AS, DEST_AS, SOURCE_MASK, DEST_MASK FROM FLOWS ORDER BY RECNUM";

// The test's own account on the test server: it may read and clear the table.
class Server {
public:
    Server() { mysql_init(&mysql_); }
    ~Server() { mysql_close(&mysql_); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Connect() {
        return mysql_real_connect(&mysql_, "127.0.0.1", "nf5test", nullptr, "FLOWDB", 3306,
                                  nullptr, 0) != nullptr;
    }
    std::string Error() { return mysql_error(&mysql_); }
    bool Execute(const std::string& sql) { return mysql_query(&mysql_, sql.c_str()) == 0; }
    Rows Query(const std::string& sql) {
        Rows rows;
        if (!Execute(sql)) return rows;
        MYSQL_RES* result = mysql_store_result(&mysql_);
        if (result == nullptr) return rows;
        const unsigned columns = mysql_num_fields(result);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            std::vector<std::string> values;
            for (unsigned c = 0; c < columns; ++c) values.emplace_back(row[c] ? row[c] : "NULL");
            rows.push_back(values);
        }
        mysql_free_result(result);
        return rows;
    }

private:
    MYSQL mysql_{};
};

std::string UtcText(long t) {
    const time_t value = static_cast<time_t>(t);
    tm parts{};
    gmtime_r(&value, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::vector<uint8_t> ExampleDatagram() {
    v5::Header header;
    header.uptime = kUptime;
    header.unixseconds = kExportTime;
    header.sequence = 2147483648u;
    v5::Record r;
    r.s_ip = v5::Ipv4("198.51.100.7");
    r.d_ip = v5::Ipv4("203.0.113.9");
    r.next_hop = v5::Ipv4("10.1.2.3");
    r.packets = 12;
    r.bytes = 4294967295u;
    r.time_start = kUptime - 25000;
    r.time_stop = kUptime - 6000;
    r.src_port = 443;
    r.dst_port = 514;
    r.tcp_flags = 0x1b;
    r.ip_protocol = 6;
    r.tos = 0xb8;
    r.src_as = 65535;
    r.dst_as = 64500;
    r.src_netmask = 24;
    r.dst_netmask = 16;
    return v5::Encode(header, {r});
}

class DaemonMysql : public testing::Test {
protected:
    void SetUp() override {
        UseUtc();
        dir_ = MakeTempDir();
        if (!server_.Connect()) {
            if (std::getenv("NF5D_REQUIRE_MYSQL") == nullptr) {
                GTEST_SKIP() << "no MySQL server on 127.0.0.1:3306 (scripts/mariadb-test.sh start)";
            }
            FAIL() << "MySQL test server required: " << server_.Error();
        }
        ASSERT_TRUE(server_.Execute("DELETE FROM FLOWS")) << server_.Error();
    }
    void TearDown() override { RemoveTree(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    Server server_;
    std::string dir_;
};

}  // namespace

TEST_F(DaemonMysql, FlowsBecomeRowsOnTheServer) {
    const long before = static_cast<long>(std::time(nullptr));
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-m", "127.0.0.1"})) << daemon.Stderr();
    EXPECT_NE(daemon.Stdout().find("DB: Will store on MYSQL database FLOWDB on 127.0.0.1\n"),
              std::string::npos);
    Exporter exporter;
    exporter.Send(daemon.port(), ExampleDatagram());
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    const long after = static_cast<long>(std::time(nullptr));

    EXPECT_EQ(server_.Query(kRowQuery),
              (Rows{{"1", "127.0.0.1", "5", "2147483648", "198.51.100.7", "443", "203.0.113.9",
                     "514", "10.1.2.3", "6", "27", "184", "4294967295", "12",
                     "2026-12-05 13:29:01", "2026-12-05 13:29:20", "65535", "64500", "24",
                     "16"}}));
    const Rows received = server_.Query("SELECT TIME_RECEIVED FROM FLOWS");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_GE(received[0][0], UtcText(before));
    EXPECT_LE(received[0][0], UtcText(after));
    EXPECT_EQ(SqliteCount(Path("netflow.db")), 1);  // the other sinks still get the flow
}

TEST_F(DaemonMysql, EveryFlowOfABurstReachesTheServerOnce) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-m", "127.0.0.1", "-x"})) << daemon.Stderr();
    const auto sent = RunNf5send(dir_, daemon.port(), {"-c", "300", "-r", "1500", "--short", "10"});
    ASSERT_EQ(sent.at("datagrams"), 300);
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const Rows groups =
        server_.Query("SELECT SEQUENCE, COUNT(*) FROM FLOWS GROUP BY SEQUENCE ORDER BY SEQUENCE");
    ASSERT_EQ(static_cast<long>(groups.size()), 300);
    long expected = 0;
    for (const auto& group : groups) {
        ASSERT_EQ(std::stol(group[0]), expected) << "a datagram lost or doubled here";
        expected += std::stol(group[1]);
    }
    EXPECT_EQ(expected, sent.at("flows"));
    EXPECT_EQ(SqliteCount(Path("netflow.db")), sent.at("flows"));
}

// No server on that address: the storage thread cannot connect and ends the running daemon.
TEST_F(DaemonMysql, UnreachableServerEndsTheDaemonWithStatus13) {
    Process daemon({NF5D_BINARY, "-p", std::to_string(FreeUdpPort()), "-n", "1", "-m", "127.0.0.2"},
                   dir_, {"TZ=UTC"});
    EXPECT_EQ(daemon.Wait(60s), 13);
    EXPECT_NE(daemon.Stderr().find("Process terminated with value: 13, quitting from "),
              std::string::npos)
        << daemon.Stderr();
}
