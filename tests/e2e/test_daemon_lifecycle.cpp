// How the daemon starts and ends: the orderly shutdown, detaching, and the failures that end it
// before it collects anything.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;

namespace {

const char* const kCleanShutdown =
    "Process terminated with value: 0, quitting from clean shutdown\n";
const char* const kBindFailure =
    "Process terminated with value: 6, quitting from ListenProcess - can't bind to port\n";

std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The counts of the "Alive threads: %d" lines, which must make up the whole of stderr but the
// termination line.
std::vector<int> AliveCounts(const std::string& err) {
    std::vector<int> counts;
    for (const std::string& line : TextLines(err)) {
        int count = 0;
        char rest = 0;
        if (std::sscanf(line.c_str(), "Alive threads: %d%c", &count, &rest) == 1) {
            counts.push_back(count);
        }
    }
    return counts;
}

bool CaughtByHandler(pid_t pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1) != 0;
        }
    }
    return false;
}

bool AddressIsLocal(const char* dotted) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &address.sin_addr);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

class DaemonLifecycle : public testing::Test {
protected:
    void SetUp() override {
        UseUtc();
        dir_ = MakeTempDir();
    }
    void TearDown() override { RemoveTree(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

}  // namespace

// Every datagram the daemon has read is parsed and stored before it exits; the count of alive
// threads is reported once a second until none is left; a second SIGTERM changes nothing.
TEST_F(DaemonLifecycle, SigtermInTheForegroundLosesNothing) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2"})) << daemon.Stderr();
    const auto sent = RunNf5send(dir_, daemon.port(), {"-c", "300", "-r", "2000", "--short", "5"});
    ASSERT_EQ(sent.at("datagrams"), 300);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";

    daemon.process().Signal(SIGTERM);
    ASSERT_TRUE(daemon.process().WaitForStderr("Alive threads: "));
    daemon.process().Signal(SIGTERM);
    ASSERT_EQ(daemon.process().Wait(60s), 0) << daemon.Stderr();

    const std::string err = daemon.Stderr();
    const std::vector<int> counts = AliveCounts(err);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.front(), 4);  // storage, maintainer and the two workers
    for (size_t i = 1; i < counts.size(); ++i) EXPECT_LE(counts[i], counts[i - 1]);
    EXPECT_EQ(TextLines(err).size(), counts.size() + 1) << err;
    EXPECT_EQ(err.substr(err.size() - std::string(kCleanShutdown).size()), kCleanShutdown);

    EXPECT_EQ(SqliteCount(Path("netflow.db")), sent.at("flows"));
    EXPECT_EQ(static_cast<long>(Lines(Path("netflow.log")).size()), sent.at("flows") + 1);
    EXPECT_EQ(static_cast<long>(Lines(Path("netflow_trash.log")).size()), 5 + 1);
}

// A SIGTERM during start-up, before any thread runs: nothing to wait for, "Alive threads: 0".
// The daemon is held inside its start-up report by a full pipe on its standard output.
TEST_F(DaemonLifecycle, SigtermDuringStartupEndsCleanlyWithNoThread) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK);
    const std::vector<char> filler(4096, 'x');
    while (write(pipe_ends[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(pipe_ends[1], F_SETFL, 0);

    const std::string binary = NF5D_BINARY, port = std::to_string(FreeUdpPort());
    const std::string err_path = Path("stderr");
    std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>("-p"),
                            const_cast<char*>(port.c_str()), nullptr};
    char tz[] = "TZ=UTC";
    char* envp[] = {tz, nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err_fd < 0 || chdir(dir_.c_str()) != 0) _exit(127);
        dup2(pipe_ends[1], 1);
        dup2(err_fd, 2);
        close(pipe_ends[0]);
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    close(pipe_ends[1]);
    ASSERT_TRUE(WaitUntil([&] { return CaughtByHandler(pid, SIGTERM); }));
    kill(pid, SIGTERM);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(err_path), std::string("Alive threads: 0\n") + kCleanShutdown);
    EXPECT_NE(out.find("Max Throttle at 50000 packets\n"), std::string::npos);
    EXPECT_FALSE(FileExists(Path("netflow.db")));  // the storage thread never ran
}

TEST_F(DaemonLifecycle, DetachesAndStillStopsInOrder) {
    BecomeSubreaper();
    const int port = FreeUdpPort();
    Process parent({NF5D_BINARY, "-p", std::to_string(port), "-n", "1", "-d"}, dir_, {"TZ=UTC"});
    ASSERT_EQ(parent.Wait(20s), 0) << parent.Stderr();

    const std::string err = parent.Stderr();
    long daemon_pid = 0;
    std::sscanf(err.c_str(), "Succesfully daemonized with pid %ld", &daemon_pid);
    ASSERT_EQ(err, "Succesfully daemonized with pid " + std::to_string(daemon_pid) + "\n");
    const pid_t pid = static_cast<pid_t>(daemon_pid);
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (kill(pid, SIGKILL) == 0) WaitForOrphan(pid, 10s);
        }
    } reaper{pid};

    ASSERT_TRUE(WaitUntil([&] { return QueryUdpSocket(pid, port).found; }));
    Exporter exporter;
    v5::Header header;
    header.sequence = 77;
    exporter.Send(port, v5::Encode(header, std::vector<v5::Record>(3)));
    ASSERT_TRUE(WaitUntil([&] { return QueryUdpSocket(pid, port).rx_queue == 0; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForOrphan(pid), 0);

    // Standard error went to /dev/null: no "Alive threads" line, no termination line there.
    EXPECT_EQ(parent.Stderr(), err);
    const std::string out = parent.Stdout();
    EXPECT_EQ(out.find("Netflow listener starting"), out.rfind("Netflow listener starting"));
    EXPECT_NE(out.find("Running as user"), std::string::npos);
    EXPECT_EQ(SqliteCount(Path("netflow.db")), 3);
}

// The socket is bound in the foreground, before any thread starts and before detaching.
TEST_F(DaemonLifecycle, BindFailureEndsWithStatus6BeforeAnything) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in taken{};
    taken.sin_family = AF_INET;
    taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof taken;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&taken), length), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&taken), &length), 0);
    const std::string port = std::to_string(ntohs(taken.sin_port));

    std::vector<std::vector<std::string>> cases{{"-a", "127.0.0.1", "-p", port},
                                                {"-a", "127.0.0.1", "-p", port, "-d"}};
    if (!AddressIsLocal("192.0.2.1")) cases.push_back({"-a", "192.0.2.1", "-p", port, "-d"});
    for (std::vector<std::string> args : cases) {
        args.insert(args.begin(), NF5D_BINARY);
        const RunResult result = testsupport::Run(args, dir_, {"TZ=UTC"});
        EXPECT_EQ(result.status, 6);
        EXPECT_EQ(result.err, kBindFailure);
        EXPECT_NE(result.out.find("Running as user"), std::string::npos);
        EXPECT_FALSE(FileExists(Path("netflow.db")));
    }
    close(fd);
}

// A worker whose thread cannot be created must not be waited for at shutdown: the start-up
// fails instead. Threads are made to fail by limiting the address space their stacks need.
TEST_F(DaemonLifecycle, WorkerThatCannotStartEndsWithStatus7) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
    const std::string command = "ulimit -v 524288 && exec \"$0\" \"$@\"";
    const RunResult result = testsupport::Run({"/bin/sh", "-c", command, NF5D_BINARY, "-p",
                                  std::to_string(FreeUdpPort()), "-n", "1024"},
                                 dir_, {"TZ=UTC"});
    EXPECT_EQ(result.status, 7);
    EXPECT_NE(result.err.find("Process terminated with value: 7, quitting from NeverendingLoop - "
                              "Can't create worker thread\n"),
              std::string::npos)
        << result.err;
}

// SIGINT is not one of the operator signals: the platform's default action ends the process.
TEST_F(DaemonLifecycle, SigintEndsTheProcessWithoutTermination) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    daemon.process().Signal(SIGINT);
    EXPECT_EQ(daemon.process().Wait(20s), 128 + SIGINT);
    EXPECT_EQ(daemon.Stderr().find("Process terminated"), std::string::npos);
}
