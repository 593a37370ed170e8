// The MySQL export through a real server (scripts/mariadb-test.sh start; port $NF5D_MARIADB_PORT,
// default 3306), which the test stops and starts again under traffic. Skipped only when no server
// answers and NF5D_REQUIRE_MYSQL is unset.
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>

#include "daemon.h"

using namespace testsupport;

namespace {

constexpr const char* kServerAway = "MySQL server unavailable, keeping its rows: ";

using DaemonMysql = MySQLTest;

// Stops or starts the test server (the environment names which one).
int TestServer(const char* command) {
    return Run({"/bin/sh", NF5D_SOURCE_DIR "/scripts/mariadb-test.sh", command}, NF5D_BUILD_DIR,
               {}, 180s)
        .status;
}

// Whatever happens to the test, the server runs again after it.
struct RestartsTestServer {
    ~RestartsTestServer() { EXPECT_EQ(TestServer("start"), 0); }
};

}  // namespace

// The server stops under traffic and starts again: the text log and SQLite go on, and once the
// server is back it holds every flow sent, once (the row's values: test_mysql.cpp). Then it stops
// again and the daemon is stopped while it is away: the daemon ends in due time, says which rows
// it could not write and ends with status 17. Under -u the option file read is the one in the
// home the password database gives that user, not in the starter's HOME, whose wrong password
// would be refused.
TEST_F(DaemonMysql, ServerStoppedUnderTrafficGetsEveryFlowOnceBack) {
    Query("DELETE FROM FLOWS");
    const RestartsTestServer restart;
    chmod(dir_.c_str(), 0777);
    std::ofstream(Path(".my.cnf")) << "[nf5d]\npassword=wrong\n";
    chmod(Path(".my.cnf").c_str(), 0644);
    setenv("HOME", dir_.c_str(), 1);
    const char* user = getuid() == 0 ? "nobody" : getpwuid(getuid())->pw_name;
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-m", "127.0.0.1", "-u", user})) << daemon.Stderr();
    // 20 s of 1 to 30 flows per datagram, with varied packet counts, from sequence 0 on.
    Process sender({NF5SEND_BINARY, "-p", std::to_string(daemon.port()), "-c", "600", "-r", "30"},
                   dir_);
    auto rows = [&] {
        const auto count = Query("SELECT COUNT(*) FROM FLOWS");
        return count.empty() ? -1 : std::stol(count[0]);
    };
    ASSERT_TRUE(WaitUntil([&] { return rows() > 0; }, 30s));
    ASSERT_EQ(TestServer("stop"), 0);
    ASSERT_TRUE(daemon.process().WaitForStderr(kServerAway, 30s)) << daemon.Stderr();
    const long lines = LineCount(Path("netflow.log"));
    ASSERT_TRUE(WaitUntil([&] { return LineCount(Path("netflow.log")) > lines; }))
        << "the text log stopped with the server";
    ASSERT_EQ(TestServer("start"), 0);
    ASSERT_TRUE(daemon.process().WaitForStderr("MySQL server back: ", 90s)) << daemon.Stderr();
    ASSERT_EQ(sender.Wait(), 0);
    const long flows = Nf5sendReport(sender.Stdout()).at("flows");

    ASSERT_TRUE(Connect()) << mysql_error(admin_);
    // Each sink has a writer of its own: each is waited for.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return rows() == flows && RowCount(Path("netflow.db")) == flows &&
                   LineCount(Path("netflow.log")) == flows + 1;
        },
        60s))
        << rows() << " rows for " << flows << " flows";
    EXPECT_EQ(Query("SELECT SUM(PACKETS) FROM FLOWS").at(0),
              SqliteRows(Path("netflow.db"), "SELECT SUM(packets) FROM flows").at(0).at(0));

    ASSERT_EQ(TestServer("stop"), 0);
    Exporter().Send(daemon.port(), ExampleDatagram(1, 30));
    ASSERT_TRUE(WaitUntil([&] { return Count(daemon.Stderr(), kServerAway) == 2; }, 30s))
        << daemon.Stderr();
    ASSERT_EQ(daemon.Stop(), 17) << daemon.Stderr();
    EXPECT_TRUE(daemon.Stderr().ends_with(
        "MySQL rows lost: 30\nFlows not stored at shutdown: 30\n"
        "Process terminated with value: 17, quitting from shutdown with flows lost\n"))
        << daemon.Stderr();
    EXPECT_EQ(LineCount(Path("netflow.log")), flows + 31);
}

