// Start-up as an operator meets it: every way a start ends before collecting, with its status,
// its message and how much of the report it printed; the report, the user switch and detaching of
// a start that succeeds; a SIGTERM while the report is still being written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "daemon.h"

using namespace testsupport;
using Startup = DaemonTest;

namespace {

// nf5d on a free port, which a later -p overrides, with args and then more.
std::vector<std::string> Nf5d(const std::vector<std::string>& args,
                              const std::vector<std::string>& more = {}) {
    std::vector<std::string> argv{NF5D_BINARY, "-p", std::to_string(FreePort())};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

// A user without root: this one, or nobody when the tests run as root.
const passwd* Unprivileged() { return getuid() == 0 ? getpwnam("nobody") : getpwuid(getuid()); }

std::vector<std::string> WithoutRoot(const std::vector<std::string>& args) {
    std::vector<std::string> argv = Nf5d(args);
    if (getuid() == 0) {
        const passwd* user = Unprivileged();
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(user->pw_uid),
                                   "--regid=" + std::to_string(user->pw_gid), "--clear-groups"});
    }
    return argv;
}

// The wait status of pid, a descendant handed to this process (a subreaper) when its parent ended.
int WaitForOrphan(pid_t pid) {
    int status = -1;
    WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    return status;
}

}  // namespace

// Status 1 comes before any report; the refusals of the settings and the log files after it,
// before "Will run with"; then the socket and the metrics endpoint are bound, before any thread
// starts and before -d detaches; then the threads start and the storage creates its table, whose
// failure the invoking process of -d waits for and ends with.
TEST_F(Startup, EveryRefusalEndsWithItsStatusMessageAndAsMuchOfTheReport) {
    chmod(dir_.c_str(), 0777);
    for (const char* name : {"ro.log", "ro.db"}) {  // out of reach without root
        std::ofstream(Path(name)) << "";
        chmod(Path(name).c_str(), 0444);
    }
    std::ofstream(Path("text.db")) << "not a database\n";
    // A writable file in a directory that is not: no journal, so no table.
    std::filesystem::create_directory(Path("ro"));
    std::ofstream(Path("ro/flows.db")).flush();
    const std::string me = getpwuid(getuid())->pw_name, user = Unprivileged()->pw_name;
    std::vector<std::string> as_user;  // root reads and writes everywhere
    if (getuid() == 0) {
        ASSERT_EQ(chown(Path("ro/flows.db").c_str(), Unprivileged()->pw_uid, 0), 0);
        as_user = {"-u", user};
    } else {
        chmod(Path("ro").c_str(), 0555);
    }
    std::vector<std::string> limited = Nf5d({"-x", "-y", "-z", "-n", "1024"});
    limited.insert(limited.begin(), {"/bin/sh", "-c", "ulimit -v 524288 && exec \"$0\" \"$@\""});
    int held_port = 0;  // a UDP port of 127.0.0.1, held by a socket that would share it
    const int udp = LoopbackSocket(SOCK_DGRAM, &held_port), on = 1;
    setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int listening = 0;  // and a listener a TCP port
    const int tcp = LoopbackSocket(SOCK_STREAM, &listening);
    ASSERT_EQ(listen(tcp, 1), 0);
    const std::string taken = "127.0.0.1:" + std::to_string(listening);
    const std::string report = "Max Throttle at 50000 packets\n";
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string caller, out_ends;
        std::string cause = "";  // the line before the termination line
    } cases[] = {
        // Before -u is read; the switches and signals it lists: test_packaging.cpp.
        {Nf5d({"-n", "9", "-h", "-u", "nosuchuser"}), 1, "", "SIGWINCH - Rotate current DB\n"},
        {Nf5d({"--help"}), 1, "", "SIGWINCH - Rotate current DB\n"},
        {Nf5d({"-u", "no-such-user-at-all"}), 1, "", "User no-such-user-at-all does not exist !\n"},
        {WithoutRoot({"-u", "root"}), 1, "", "Can't switch to user root !\n"},
        // Without root, -u may name the user the process runs as. Disabled logs are reported as
        // such and not created.
        {WithoutRoot({"-u", user, "-x", "-l", "text.log", "-y", "-z", "-t", "trash.log", "-m",
                      "db.example", "-n", "0"}),
         5, "Main - The number of threads must be a number between 1 and 1024 !",
         "ASCII logging: Disabled\nBinary logging (SQLITE " + std::string(sqlite3_libversion()) +
             "): Disabled\nTrash logging: Disabled\n"
             "DB: Will store on MYSQL database FLOWDB on db.example\n" +
             report},
        {Nf5d({"-i", "-1"}), 5,
         "Main - The throttle limit must be a number between 1 and 1000000 !",
         "Max Throttle at 4294967295 packets\n"},
        {Nf5d({"-p", "70000"}), 6, "Main - The port must be a number between 1 and 65535 !",
         report},
        {Nf5d({"-a", "localhost"}), 6,
         "Main - The address must be an IPv4 address in dotted form or an IPv6 address !", report},
        {Nf5d({"--metrics", "localhost:9105"}), 6,
         "Main - --metrics takes PORT or ADDR:PORT, ADDR an IPv4 address !", report},
        {Nf5d({"-l", "missing/text.log"}), 3, "LogWrite - file open", report,
         "Can't open missing/text.log for appending: No such file or directory\n"},
        {Nf5d({"-l", "ro.log"}, as_user), 4,
         "Main, can't access to Text Log File, check permissions", report},
        {Nf5d({"-x", "-b", "ro.db"}, as_user), 4,
         "Main, can't access to Binary Log File, check permissions", report},
        {Nf5d({"-x", "-y", "-t", "ro.log"}, as_user), 4,
         "Main, can't access to Trash Log File", report},
        {Nf5d({"-x", "-z", "-a", "127.0.0.1", "-p", std::to_string(held_port)}), 6,
         "ListenProcess - can't bind to port", "Running as user " + me + "\n",
         "Can't bind to 127.0.0.1:" + std::to_string(held_port) + ": Address already in use\n"},
        {Nf5d({"-x", "-z", "--metrics", taken, "-d"}), 6,
         "MetricsEndpoint - can't bind to " + taken, "Metrics on http://" + taken + "/metrics\n"},
        // A worker that cannot be started must not be waited for at shutdown.
        {limited, 7, "NeverendingLoop - Can't create worker thread", "Running as user " + me + "\n"},
        {Nf5d({"-x", "-z", "-b", "missing/flows.db"}), 8, "Can't open/create database",
         "Running as user " + me + "\n",
         "Can't open/create database missing/flows.db: unable to open database file\n"},
        {Nf5d({"-x", "-z", "-n", "1", "-b", "text.db"}), 8, "file is not a database",
         "Err code is: 26\n"},
        {Nf5d({"-x", "-z", "-n", "1", "-b", "ro/flows.db", "-d"}, as_user), 8,
         "The table is READ ONLY !\n", "Running as user " + user + "\n"},
    };
    for (const auto& c : cases) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        if (c.status == 7) continue;  // sanitizers reserve more address space than the limit
#endif
        const RunResult result = testsupport::Run(c.argv, dir_);
        EXPECT_EQ(result.status, c.status) << c.caller;
        EXPECT_EQ(result.err, c.status == 1
                                  ? ""
                                  : c.cause + "Process terminated with value: " +
                                        std::to_string(c.status) + ", quitting from " + c.caller +
                                        "\n");
        EXPECT_TRUE(result.out.ends_with(c.out_ends)) << result.out;
        EXPECT_EQ(result.out.starts_with("Netflow listener starting"), c.status != 1) << result.out;
    }
    close(tcp);
    close(udp);
    EXPECT_FALSE(FileExists(Path("text.log")) || FileExists(Path("trash.log")));
    EXPECT_TRUE(FileExists(Path("netflow_trash.log")));  // begun before the numbers are checked
    EXPECT_FALSE(FileExists(Path("netflow.db")));        // no storage thread got as far
}

// The report is exact and written once; an existing log is kept and the database is created by
// the user -u names (as root, nobody, with none of root's ids and groups), 0600 whatever the mask
// it was started with; -d detaches after it, holding none of the streams it was started with,
// and the daemon still stops in order.
TEST_F(Startup, ReportUserSwitchAndDetachingOfAStartThatSucceeds) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    umask(022);  // as a login shell leaves it
    chmod(dir_.c_str(), 0777);
    const passwd entry = *Unprivileged();
    const std::string user = entry.pw_name, uid = std::to_string(entry.pw_uid);
    std::ofstream(Path("netflow.log")) << "old\n";
    ASSERT_EQ(chown(Path("netflow.log").c_str(), entry.pw_uid, entry.pw_gid), 0);
    const int port = FreePort();
    Process parent({NF5D_BINARY, "-p", std::to_string(port), "-n", "1", "-u", user, "-z", "-d"},
                   dir_);
    ASSERT_EQ(parent.Wait(20s), 0) << parent.Stderr();
    EXPECT_EQ(parent.Stdout(),
              "Netflow listener starting with PID: " + std::to_string(parent.pid()) +
                  "\nListening on 0.0.0.0:" + std::to_string(port) +
                  "\nASCII logging: ./netflow.log\nBinary logging (SQLITE " + sqlite3_libversion() +
                  "): ./netflow.db\nTrash logging: Disabled\n"
                  "Max Throttle at 50000 packets\nWill run with 1 threads\nRunning as user " +
                  user + "\n");
    int pid = 0;
    std::sscanf(parent.Stderr().c_str(), "Succesfully daemonized with pid %d", &pid);
    ASSERT_EQ(parent.Stderr(), "Succesfully daemonized with pid " + std::to_string(pid) + "\n");
    struct Reaper {  // the detached daemon ends with the test
        pid_t pid;
        ~Reaper() { if (kill(pid, SIGKILL) == 0) WaitForOrphan(pid); }
    } reaper{pid};
    EXPECT_EQ(ReadFile(Path("netflow.log")), "old\n");
    const std::string proc = "/proc/" + std::to_string(pid), status = ReadFile(proc + "/status");
    EXPECT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"),
              std::string::npos)
        << status;
    const size_t at = status.find("\nGroups:\t") + 9;  // "Groups:\t4 24 \n"
    EXPECT_TRUE(getuid() != 0 || (" " + status.substr(at, status.find('\n', at) - at)).find(" 0 ") ==
                                     std::string::npos) << status;
    for (const char* fd : {"0", "1", "2"})
        EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + fd), "/dev/null") << fd;
    Exporter().Send(port, ExampleDatagram(77, 3));
    ASSERT_TRUE(WaitUntil([&] { return QueryUdpSocket(pid, port).rx_queue == 0; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForOrphan(pid), 0);
    EXPECT_EQ(RowCount(Path("netflow.db")), 3);
    struct stat info {};
    ASSERT_EQ(stat(Path("netflow.db").c_str(), &info), 0);
    EXPECT_TRUE(info.st_uid == entry.pw_uid && info.st_gid == entry.pw_gid &&
                (info.st_mode & 0777) == 0600) << std::oct << info.st_mode;
}

// A SIGTERM while the start-up report is still being written (standard output is a full pipe)
// stops the daemon before any thread starts: it waits for none and ends cleanly.
TEST_F(Startup, SigtermDuringStartupEndsCleanlyWithNoThreadAlive) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(out[1], block.data(), block.size()) > 0) {
    }
    fcntl(out[1], F_SETFL, 0);
    // The child opens the full pipe it inherits as its standard output.
    const std::string full = "/proc/self/fd/" + std::to_string(out[1]);
    Process daemon(Nf5d({"-n", "1", "-x", "-z"}), dir_, {}, full);
    close(out[1]);
    const std::string wchan = "/proc/" + std::to_string(daemon.pid()) + "/wchan";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(wchan).ends_with("pipe_write"); }))
        << ReadFile(wchan);
    daemon.Signal(SIGTERM);
    for (char sink[4096]; read(out[0], sink, sizeof sink) > 0;) {
    }
    close(out[0]);
    EXPECT_EQ(daemon.Wait(), 0);
    EXPECT_EQ(daemon.Stderr(),
              "Alive threads: 0\nProcess terminated with value: 0, quitting from clean shutdown\n");
    EXPECT_FALSE(FileExists(Path("netflow.db")));  // the storage thread never ran
}
