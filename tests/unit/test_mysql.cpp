// MySQL export against the private MariaDB server of scripts/mariadb-test.sh (127.0.0.1, port
// $NF5D_MARIADB_PORT or 3306): a row read back with its date-time text, the fatal failures at
// start, and outages ridden out through a relay that the test cuts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "fixtures.h"
#include "process.h"
#include "storage/mysql_sink.h"

using Row = std::vector<std::string>;

namespace {

sockaddr_in Endpoint(const char* address) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(static_cast<uint16_t>(testsupport::UseTestMySQLPort()));
    inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t put = write(fd, data, length);
        if (put <= 0) return false;
        data += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

// A TCP relay from 127.0.0.2 to the server on 127.0.0.1, same port: the sink's way to the server
// (-m 127.0.0.2). Destroying it takes the server away; it can also end the connection at the
// next COMMIT, before the server sees it or after the server has answered it.
class Relay {
public:
    enum class Cut { kNone, kBeforeCommit, kAfterCommitAnswered };

    Relay() : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in endpoint = Endpoint("127.0.0.2");
        EXPECT_EQ(bind(listener_, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint), 0)
            << std::strerror(errno);
        listen(listener_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    void CutNextCommit(Cut cut) { cut_ = cut; }

private:
    static bool Readable(int fd) {
        pollfd watch{fd, POLLIN, 0};
        return poll(&watch, 1, 20) > 0;
    }
    void Serve() {
        while (!stop_) {
            if (!Readable(listener_)) continue;
            const int client = accept(listener_, nullptr, nullptr);
            const int server = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in endpoint = Endpoint("127.0.0.1");
            if (connect(server, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0) {
                Pump(client, server);
            }
            close(server);
            close(client);
        }
    }
    // Copies both ways until a side closes, the relay stops or the COMMIT to cut comes by. The
    // client sends one command and waits for its answer, so a COMMIT arrives alone.
    void Pump(int client, int server) {
        static const char kCommitPacket[] = "\x07\x00\x00\x00\x03" "COMMIT";
        char buffer[1 << 16];
        while (!stop_) {
            pollfd sides[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(sides, 2, 20) <= 0) continue;
            for (int from = 0; from < 2; ++from) {
                if (sides[from].revents == 0) continue;
                const ssize_t got = read(sides[from].fd, buffer, sizeof buffer);
                if (got <= 0) return;
                const bool commit = from == 0 && got == sizeof kCommitPacket - 1 &&
                                    std::memcmp(buffer, kCommitPacket, sizeof kCommitPacket - 1) == 0;
                if (commit && cut_ != Cut::kNone) {
                    if (cut_ == Cut::kAfterCommitAnswered) {
                        WriteAll(server, buffer, static_cast<size_t>(got));
                        EXPECT_GT(read(server, buffer, sizeof buffer), 0);  // the answer, dropped
                    }
                    cut_ = Cut::kNone;
                    return;
                }
                if (!WriteAll(sides[1 - from].fd, buffer, static_cast<size_t>(got))) return;
            }
        }
    }

    int listener_;
    std::atomic<bool> stop_{false};
    std::atomic<Cut> cut_{Cut::kNone};
    std::thread thread_;
};

// The test account of scripts/mariadb-test.sh, which may also read, clear and rename the tables.
class MySQLSink : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        setenv("TZ", "XST-2", 1);  // two hours east of UTC: DATETIME text is local time
        tzset();
        testsupport::UseSwitches({"-m", "127.0.0.1", "-x", "-y", "-z"});
        const unsigned port = testsupport::UseTestMySQLPort();  // before the library's first use
        admin_ = mysql_init(nullptr);
        if (!mysql_real_connect(admin_, "127.0.0.1", "nf5test", nullptr, "FLOWDB", port, nullptr,
                                0)) {
            if (std::getenv("NF5D_REQUIRE_MYSQL") != nullptr) FAIL() << mysql_error(admin_);
            GTEST_SKIP() << "no server (scripts/mariadb-test.sh start): " << mysql_error(admin_);
        }
        PutTablesBack();  // a run that died may have left them aside
        ASSERT_EQ(mysql_query(admin_, "DELETE FROM FLOWS"), 0) << mysql_error(admin_);
        ASSERT_EQ(mysql_query(admin_, "DELETE FROM FLOW_BATCHES"), 0) << mysql_error(admin_);
    }
    void TearDown() override {
        kMySQLSink.close();
        PutTablesBack();
        mysql_close(admin_);
    }
    void PutTablesBack() {
        mysql_query(admin_, "RENAME TABLE FLOWS_ASIDE TO FLOWS");
        mysql_query(admin_, "RENAME TABLE FLOW_BATCHES_ASIDE TO FLOW_BATCHES");
    }
    void SetAside(const std::string& table) {
        ASSERT_EQ(mysql_query(admin_, ("RENAME TABLE " + table + " TO " + table + "_ASIDE").c_str()),
                  0)
            << mysql_error(admin_);
    }
    long Count(const char* table) {
        const std::string sql = std::string("SELECT COUNT(*) FROM ") + table;
        if (mysql_query(admin_, sql.c_str()) != 0) return -1;
        MYSQL_RES* result = mysql_store_result(admin_);
        const long count = std::atol(mysql_fetch_row(result)[0]);
        mysql_free_result(result);
        return count;
    }
    // Writes and commits rows copies of the example flow.
    static bool Store(size_t rows, Patience patience = Patience::kThisPass) {
        const std::vector<FlowItem> items(rows, testsupport::ExampleFlow());
        EXPECT_EQ(kMySQLSink.write(items.data(), items.size(), patience), rows);
        return kMySQLSink.commit(patience);
    }
    MYSQL* admin_ = nullptr;
};

}  // namespace

TEST_F(MySQLSink, RowHoldsEveryValueWithLocalDateTimeText) {
    kMySQLSink.open();
    FlowItem item = testsupport::ExampleFlow();
    item.time_received = 0;
    item.sequence = 4294967295u;
    item.bytes = 3000000000u;
    item.src_as = 65535;
    item.tos = 0xb8;
    const std::vector<FlowItem> items(3, item);  // one multi-row statement
    kMySQLSink.write(items.data(), items.size(), Patience::kThisPass);
    ASSERT_TRUE(kMySQLSink.commit(Patience::kThisPass));
    ASSERT_EQ(mysql_query(admin_, "SELECT * FROM FLOWS"), 0) << mysql_error(admin_);
    MYSQL_RES* result = mysql_store_result(admin_);
    ASSERT_EQ(mysql_num_rows(result), 3u);
    const MYSQL_ROW values = mysql_fetch_row(result);
    Row row;
    for (unsigned c = 0; c < mysql_num_fields(result); ++c) {
        row.emplace_back(values[c] ? values[c] : "NULL");
    }
    mysql_free_result(result);
    EXPECT_NE(row.at(0), "NULL");  // the server assigned the key
    EXPECT_EQ(Row(row.begin() + 1, row.end()),
              (Row{"192.0.2.1", "1970-01-01 02:00:00", "5", "4294967295", "198.51.100.7", "443",
                   "203.0.113.9", "514", "0.0.0.0", "6", "27", "184", "3000000000", "12",
                   "2026-12-05 15:29:01", "2026-12-05 15:29:20", "65535", "65001", "24", "16"}));
    EXPECT_EQ(Count("FLOW_BATCHES"), 1);
}

// Before any batch has committed, a refusal is a broken setup: the first pass ends the daemon.
TEST_F(MySQLSink, MissingTableAtStartEndsWithStatus14) {
    for (const char* table : {"FLOWS", "FLOW_BATCHES"}) {
        SCOPED_TRACE(table);
        kMySQLSink.open();
        EXPECT_EXIT(
            {
                SetAside(table);
                Store(1);
            },
            testing::ExitedWithCode(14),
            "Process terminated with value: 14, quitting from Can't add data to mysql server\n");
        PutTablesBack();
        kMySQLSink.close();
    }
}

// Mid-run, the first attempt of a 600-row batch fails; the sink keeps the rows, tells the outage
// once, and the retry leaves every row on the server exactly once. A COMMIT answered by a server
// whose answer never arrived is the case a blind retry would store twice.
TEST_F(MySQLSink, BatchInterruptedMidRunIsStoredExactlyOnce) {
    const struct {
        const char* name;
        Relay::Cut cut;
        const char* aside;  // a table the server lacks during the first attempt
        const char* reason;
    } scenarios[] = {
        {"connection lost before COMMIT", Relay::Cut::kBeforeCommit, nullptr, "Lost connection"},
        {"COMMIT answered, answer lost", Relay::Cut::kAfterCommitAnswered, nullptr,
         "Lost connection"},
        {"table renamed away", Relay::Cut::kNone, "FLOWS", "doesn't exist"},
    };
    testsupport::UseSwitches({"-m", "127.0.0.2", "-x", "-y", "-z"});
    Relay relay;
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        ASSERT_EQ(mysql_query(admin_, "DELETE FROM FLOWS"), 0);
        kMySQLSink.open();
        ASSERT_TRUE(Store(1));  // a batch has committed: from now on failures are ridden out
        relay.CutNextCommit(scenario.cut);
        if (scenario.aside != nullptr) SetAside(scenario.aside);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Store(600));
        PutTablesBack();
        EXPECT_TRUE(kMySQLSink.commit(Patience::kUntilDone));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Count("FLOWS"), 601);
        EXPECT_NE(err.find(std::string("MySQL server unavailable, keeping its rows: ")),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find(scenario.reason), std::string::npos) << err;
        EXPECT_NE(err.find("MySQL server back: 600 rows kept, 0 dropped\n"), std::string::npos)
            << err;
        kMySQLSink.close();
    }
}

// The server stays away: the backlog keeps kBacklogRows rows, drops the newer ones, counts them,
// says so once, and the rows still kept at the end are reported lost.
TEST_F(MySQLSink, BacklogBoundDropsCountsAndReportsOnce) {
    testsupport::UseSwitches({"-m", "127.0.0.2", "-x", "-y", "-z"});
    auto relay = std::make_unique<Relay>();
    kMySQLSink.open();
    ASSERT_TRUE(Store(1));
    relay.reset();
    const uint64_t dropped_before = GetMySQLDroppedRows();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Store(kBacklogRows + 7));
    EXPECT_FALSE(Store(5));
    kMySQLSink.close();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetMySQLDroppedRows() - dropped_before, 12u);
    EXPECT_EQ(testsupport::Count(err, "MySQL backlog full, dropping rows\n"), 1) << err;
    EXPECT_EQ(testsupport::Count(err, "MySQL server unavailable, keeping its rows: "), 1) << err;
    EXPECT_NE(err.find("MySQL rows lost: " + std::to_string(kBacklogRows) + "\n"),
              std::string::npos)
        << err;
}

// scripts/mariadb-test.sh grants the collector on the "remote" host 127.0.0.3 with a password;
// only the option file's [nf5d] group gives both, since nf5d has no switch for either.
TEST_F(MySQLSink, ARemoteCollectorConnectsWithThePasswordOfItsOptionFile) {
    const std::string home = testsupport::MakeTempDir();
    setenv("HOME", home.c_str(), 1);
    const FlowItem item = testsupport::ExampleFlow();
    for (const bool password : {false, true}) {
        std::ofstream(home + "/.my.cnf") << "[client]\nbind-address=127.0.0.3\n[nf5d]\n"
                                         << (password ? "password=nf5d-remote\n" : "");
        if (!password) {
            EXPECT_EXIT(kMySQLSink.open(), testing::ExitedWithCode(13),
                        "Access denied for user 'collector'@'127.0.0.3'");
            continue;
        }
        kMySQLSink.open();
        kMySQLSink.write(&item, 1, Patience::kThisPass);
        ASSERT_TRUE(kMySQLSink.commit(Patience::kThisPass));
    }
    testsupport::RemoveTree(home);
    EXPECT_EQ(Count("FLOWS"), 1);
}

// Needs no server, so it runs (and must pass) everywhere.
TEST(MySQLConnect, NoServerOnTheHostEndsWithStatus13AndTheClientText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testsupport::UseSwitches({"-m", "127.0.0.2", "-x", "-y", "-z"});
    EXPECT_EXIT(kMySQLSink.open(), testing::ExitedWithCode(13),
                "Process terminated with value: 13, quitting from [^\n]*127\\.0\\.0\\.2[^\n]*\n\n");
}
