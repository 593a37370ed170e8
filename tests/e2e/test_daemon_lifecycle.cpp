// How the running daemon starts and ends: its report, the user it runs as and detaching; a burst
// with garbage, then SIGTERM, loses nothing.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "daemon.h"

using namespace testsupport;
using DaemonLifecycle = DaemonTest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer build reads slower: its socket must not overflow.
constexpr const char* kRate = "1500";
#else
constexpr const char* kRate = "3000";
#endif

// The wait status of pid, a descendant handed to this process (a subreaper) when its parent ended.
int WaitForOrphan(pid_t pid) {
    int status = -1;
    WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    return status;
}

}  // namespace

// The report is exact and written once; an existing log is kept as it is and absent ones are
// begun, by the user -u names: as root, nobody, with none of root's ids or groups. -d detaches
// after it, holding none of the streams it was started with, and still stops in order.
TEST_F(DaemonLifecycle, ReportsSwitchesUserDetachesAndStillStopsInOrder) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    chmod(dir_.c_str(), 0777);
    const passwd* entry = getuid() == 0 ? getpwnam("nobody") : getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string user = entry->pw_name, uid = std::to_string(entry->pw_uid);
    const gid_t gid = entry->pw_gid;
    std::ofstream(Path("netflow.log")) << "old\n";
    ASSERT_EQ(chown(Path("netflow.log").c_str(), entry->pw_uid, gid), 0);
    const int port = FreeUdpPort();
    Process parent({NF5D_BINARY, "-p", std::to_string(port), "-n", "1", "-u", user, "-d"}, dir_);
    ASSERT_EQ(parent.Wait(20s), 0) << parent.Stderr();
    EXPECT_EQ(parent.Stdout(),
              "Netflow listener starting with PID: " + std::to_string(parent.pid()) +
                  "\nListening on 0.0.0.0:" + std::to_string(port) +
                  "\nASCII logging: ./netflow.log\nBinary logging (SQLITE " +
                  sqlite3_libversion() + "): ./netflow.db\nTrash logging: ./netflow_trash.log\n"
                  "Max Throttle at 50000 packets\nWill run with 1 threads\nRunning as user " +
                  user + "\n");
    ASSERT_TRUE(parent.WaitForStderr("\n"));  // written by the detached process, maybe later
    const std::string err = parent.Stderr();
    int pid = 0;
    std::sscanf(err.c_str(), "Succesfully daemonized with pid %d", &pid);
    ASSERT_EQ(err, "Succesfully daemonized with pid " + std::to_string(pid) + "\n");
    struct Reaper {
        pid_t pid;
        ~Reaper() { if (kill(pid, SIGKILL) == 0) WaitForOrphan(pid); }
    } reaper{pid};
    ASSERT_TRUE(WaitUntil([&] { return QueryUdpSocket(pid, port).found; }));

    EXPECT_EQ(ReadFile(Path("netflow.log")), "old\n");
    EXPECT_EQ(ReadFile(Path("netflow_trash.log")), "Begin Logging\n");
    struct stat info {};
    ASSERT_EQ(stat(Path("netflow_trash.log").c_str(), &info), 0);
    EXPECT_TRUE(info.st_uid == entry->pw_uid && info.st_gid == gid);
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string status = ReadFile(proc + "/status");
    EXPECT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"),
              std::string::npos) << status;
    const size_t groups = status.find("\nGroups:");
    std::istringstream ids(status.substr(groups + 8, status.find('\n', groups + 1) - groups - 8));
    for (std::string group; getuid() == 0 && ids >> group;) EXPECT_NE(group, "0") << status;
    for (const char* fd : {"0", "1", "2"}) {
        EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + fd), "/dev/null") << fd;
    }

    Exporter().Send(port, ExampleDatagram(77, 3));
    ASSERT_TRUE(WaitUntil([&] { return QueryUdpSocket(pid, port).rx_queue == 0; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForOrphan(pid), 0);
    EXPECT_EQ(SqliteRows(Path("netflow.db"), "SELECT COUNT(*) FROM flows"), (Rows{{"3"}}));
}

TEST_F(DaemonLifecycle, BurstThenSigtermStoresEveryFlowOnce) {
    // Four workers under a backlog limit so low that reception pauses again and again.
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "4", "-i", "20"})) << daemon.Stderr();
    const auto sent = RunNf5send(dir_, daemon.port(), {"-c", "4000", "-r", kRate, "--short", "150",
                                                       "--bad-version", "150", "--mangled", "150"});
    ASSERT_EQ(sent.at("datagrams"), 4000);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    daemon.process().Signal(SIGTERM);
    ASSERT_TRUE(daemon.process().WaitForStderr("Alive threads: "));
    daemon.process().Signal(SIGTERM);  // changes nothing
    ASSERT_EQ(daemon.process().Wait(60s), 0) << daemon.Stderr();

    // "Alive threads" once a second, at most storage, maintainer and the four workers.
    std::istringstream lines(daemon.Stderr());
    std::vector<std::string> countdown;
    for (std::string line; std::getline(lines, line);) countdown.push_back(line);
    ASSERT_GE(countdown.size(), 2u) << daemon.Stderr();
    EXPECT_EQ(countdown.back(), "Process terminated with value: 0, quitting from clean shutdown");
    for (size_t i = 0; i + 1 < countdown.size(); ++i) {
        EXPECT_TRUE(countdown[i].size() == 16 && countdown[i].starts_with("Alive threads: ") &&
                    countdown[i][15] >= '0' && countdown[i][15] <= '6')
            << countdown[i];
    }

    // A datagram's sequence is the count of flows before it: the groups must tile 0 .. flows - 1.
    const Rows groups = SqliteRows(Path("netflow.db"),
                                   "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY 1 ORDER BY 1");
    ASSERT_EQ(static_cast<long>(groups.size()), sent.at("datagrams"));
    long expected = 0;
    for (const auto& group : groups) {
        ASSERT_EQ(std::stol(group[0]), expected) << "a datagram lost or doubled here";
        expected += std::stol(group[1]);
    }
    EXPECT_EQ(expected, sent.at("flows"));
    EXPECT_EQ(Count(ReadFile(Path("netflow.log")), "\n"), sent.at("flows") + 1);
    const std::string trash = ReadFile(Path("netflow_trash.log"));
    EXPECT_EQ(Count(trash, "Warning useless packet"), sent.at("short"));
    EXPECT_EQ(Count(trash, "unsupported packet"), sent.at("version"));
    EXPECT_EQ(Count(trash, "Mangled packet"), sent.at("mangled"));
    EXPECT_EQ(Count(trash, "\n"), sent.at("malformed") + 1);
}
