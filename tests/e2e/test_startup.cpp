// Start-up as a user meets it: help, report, log file checks, refusals and the user switch.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

using namespace testsupport;

namespace {

const char* const kHelp =
    "NetFlow Traffic Collector 1.0.1\n"
    "Yep, running this software I agree that Italian telcos are suxing thieves !\n"
    "Multithreaded version\n"
    "Running on: Apple Mac OSX (Darwin)\n"
    "Command Line switches are :\n"
    "-d Daemonize and go background\n"
    "-p UDP Port on which NetFlows are incoming\n"
    "-a IP Address to which NetFlows are incoming\n"
    "-l Enable ASCII logging, defaults to ./netflow.log\n"
    "-b Enable binary logging, defaults to ./netflow.db\n"
    "-m ip/hostname of MYSQL database server\n"
    "-t Enable trash (non NetFlow5 packets) logging, defaults to ./netflow_trash.log\n"
    "-x Disable text logging\n"
    "-y Disable binary logging\n"
    "-z Disable trash logging\n"
    "-u Run nfkeeper as user xxxx\n"
    "-n Threads to use on multithreaded versions (default: 4)\n"
    "-i Throttle limit - When buffer queue reaches this limit, give packet processing maximum "
    "priority (default: 50000 packets)\n"
    "--metrics [ADDR:]PORT Serve Prometheus metrics on http://ADDR:PORT/metrics (ADDR defaults to "
    "127.0.0.1; off by default)\n"
    "SIGNALS Available:\n"
    "SIGUSR1 - Creates a snapshot of the current DB\n"
    "SIGUSR2 - Enables/Disables ASCII logging\n"
    "SIGTERM - Performs a clean shutdown\n"
    "SIGHUP - Enables/Disables Trash logging\n"
    "SIGWINCH - Rotate current DB\n";

class Startup : public testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir_); }

    RunResult RunDaemon(std::vector<std::string> args) {
        args.insert(args.begin(), NF5D_BINARY);
        return testsupport::Run(args, dir_);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

std::string SqliteVersionLine(const std::string& target) {
    return "Binary logging (SQLITE " + std::string(sqlite3_libversion()) + "): " + target + "\n";
}

}  // namespace

TEST_F(Startup, HelpIsExactAndEndsWithStatus1WhereverItStands) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-n", "9", "-l", "/x", "-h"}, {"-h", "-u", "nosuchuser"}}) {
        const RunResult result = RunDaemon(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, kHelp);
    }
}

// An absent log is created with a first line; an existing writable one is left as it is.
TEST_F(Startup, DefaultReportCreatesAbsentLogsAndRuns) {
    std::ofstream(Path("netflow.log")) << "old\n";
    const int port = FreeUdpPort();
    Process daemon({NF5D_BINARY, "-p", std::to_string(port), "-n", "1"}, dir_);
    ASSERT_TRUE(daemon.WaitForStdout("Running as user"));
    const std::string expected =
        "Netflow listener starting with PID: " + std::to_string(daemon.pid()) + "\n" +
        "Listening on 0.0.0.0:" + std::to_string(port) + "\n" + "ASCII logging: ./netflow.log\n" +
        SqliteVersionLine("./netflow.db") +
        "Trash logging: ./netflow_trash.log\n"
        "Max Throttle at 50000 packets\n"
        "Will run with 1 threads\n"
        "Running as user " +
        std::string(getpwuid(getuid())->pw_name) + "\n";
    EXPECT_EQ(daemon.Stdout(), expected);
    EXPECT_EQ(ReadFile(Path("netflow.log")), "old\n");
    EXPECT_EQ(ReadFile(Path("netflow_trash.log")), "Begin Logging\n");
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(), 0);
}

TEST_F(Startup, DisabledLogsAreReportedAndNotCreated) {
    const RunResult result =
        RunDaemon({"-x", "-l", Path("text.log"), "-y", "-z", "-m", "db.example", "-n", "0"});
    EXPECT_EQ(result.status, 5);
    EXPECT_NE(result.out.find("ASCII logging: Disabled\n" + SqliteVersionLine("Disabled") +
                              "Trash logging: Disabled\n"
                              "DB: Will store on MYSQL database FLOWDB on db.example\n"
                              "Max Throttle at 50000 packets\n"),
              std::string::npos);
    EXPECT_FALSE(FileExists(Path("text.log")));
    EXPECT_FALSE(FileExists(Path("netflow_trash.log")));
}

// Refusals after the report: the number checks come once the logs exist.
TEST_F(Startup, BadNumbersAndUncreatableLogsEndWithTheirStatus) {
    const std::string threads =
        "Main - The number of threads must be a number between 1 and 1024 !";
    const std::string port = "Main - The port must be a number between 1 and 65535 !";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string caller;
    } cases[] = {
        {{"-n", "0"}, 5, threads},
        {{"-n", "1025"}, 5, threads},
        {{"-n", "many"}, 5, threads},
        {{"-p", "0"}, 6, port},
        {{"-p", "70000"}, 6, port},
        {{"-p", "http"}, 6, port},
        {{"-l", "missing/text.log"}, 3, "LogWrite - file open"},
    };
    for (const auto& refusal : cases) {
        const RunResult result = RunDaemon(refusal.args);
        EXPECT_EQ(result.status, refusal.status) << refusal.args[1];
        EXPECT_EQ(result.err, "Process terminated with value: " + std::to_string(refusal.status) +
                                  ", quitting from " + refusal.caller + "\n");
        EXPECT_NE(result.out.find("Max Throttle at 50000 packets\n"), std::string::npos);
        EXPECT_EQ(result.out.find("Will run with"), std::string::npos);
        if (refusal.args[0] == "-p") {  // the report shows the port as given, read as a number
            const std::string given = std::to_string(std::atoi(refusal.args[1].c_str()));
            EXPECT_NE(result.out.find("Listening on 0.0.0.0:" + given + "\n"), std::string::npos)
                << result.out;
        }
    }
    EXPECT_TRUE(FileExists(Path("netflow_trash.log")));
}

TEST_F(Startup, UnknownUserEndsWithStatus1BeforeAnyReport) {
    for (const std::string user : {"nosuchusr", "no-such-user-at-all"}) {
        const RunResult result = RunDaemon({"-u", user});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "User " + user + " does not exist !\n");
    }
}

TEST_F(Startup, UnwritableLogsEndWithStatus4) {
    // The checks run as the switched-to user, so a root-owned file is out of nobody's reach.
    chmod(dir_.c_str(), 0777);
    std::ofstream(Path("netflow.log")) << "";
    chmod(Path("netflow.log").c_str(), 0644);
    RunResult result = RunDaemon({"-u", "nobody"});
    EXPECT_EQ(result.status, 4);
    EXPECT_NE(result.out.find("Max Throttle at 50000 packets\n"), std::string::npos);
    EXPECT_EQ(result.err,
              "Process terminated with value: 4, quitting from Main, can't access to "
              "Text Log File, check permissions\n");

    std::ofstream(Path("ro.db")) << "";
    chmod(Path("ro.db").c_str(), 0644);
    result = RunDaemon({"-u", "nobody", "-x", "-b", "ro.db"});
    EXPECT_EQ(result.status, 4);
    EXPECT_NE(result.err.find("Binary Log File, check permissions\n"), std::string::npos);

    result = RunDaemon({"-u", "nobody", "-x", "-y", "-t", "netflow.log"});
    EXPECT_EQ(result.status, 4);
    EXPECT_NE(result.err.find("quitting from Main, can't access to Trash Log File\n"),
              std::string::npos);
}

// Without root, -u may only name the user the process already runs as: nobody becoming nobody
// starts; nobody becoming root is refused aloud.
TEST_F(Startup, UserSwitchWithoutRootKeepsTheSameUserAndRefusesAnyOther) {
    chmod(dir_.c_str(), 0777);
    const passwd* self = getpwuid(getuid() == 0 ? getpwnam("nobody")->pw_uid : getuid());
    ASSERT_NE(self, nullptr);
    std::vector<std::string> as_self;
    if (getuid() == 0)
        as_self = {"/usr/bin/setpriv", "--reuid=" + std::to_string(self->pw_uid),
                   "--regid=" + std::to_string(self->pw_gid), "--clear-groups"};
    const std::string name = self->pw_name;
    auto command = [&](std::vector<std::string> args) {
        args.insert(args.begin(), NF5D_BINARY);
        args.insert(args.begin(), as_self.begin(), as_self.end());
        return args;
    };
    Process daemon(command({"-u", name, "-p", std::to_string(FreeUdpPort()), "-n", "1"}), dir_);
    ASSERT_TRUE(daemon.WaitForStdout("Running as user " + name + "\n")) << daemon.Stderr();
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(), 0);

    const RunResult other = testsupport::Run(command({"-u", "root"}), dir_);
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "Can't switch to user root !\n");
}

TEST_F(Startup, UserSwitchDropsRootIncludingItsGroups) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch users";
    chmod(dir_.c_str(), 0777);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    Process daemon({NF5D_BINARY, "-u", "nobody", "-p", std::to_string(FreeUdpPort()), "-n", "1"},
                   dir_);
    ASSERT_TRUE(daemon.WaitForStdout("Running as user nobody\n"));

    struct stat info {};
    ASSERT_EQ(stat(Path("netflow.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, nobody->pw_uid);
    EXPECT_EQ(info.st_gid, nobody->pw_gid);

    const std::string status = ReadFile("/proc/" + std::to_string(daemon.pid()) + "/status");
    const std::string id = std::to_string(nobody->pw_uid);
    EXPECT_NE(status.find("Uid:\t" + id + "\t" + id + "\t" + id + "\t" + id), std::string::npos);
    const size_t groups = status.find("Groups:");
    ASSERT_NE(groups, std::string::npos);
    std::istringstream ids(status.substr(groups + 7, status.find('\n', groups) - groups - 7));
    for (std::string group; ids >> group;) EXPECT_NE(group, "0") << "root's group kept";
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(), 0);
}
