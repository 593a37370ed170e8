// How the daemon ends and detaches: a burst with garbage, then SIGTERM in the foreground, loses
// nothing; the detached daemon stops in order; a SIGTERM during start-up ends it cleanly; a bind
// failure, a worker that cannot start and a database that cannot take its table end it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "daemon.h"
#include "v5datagram.h"

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

// One worker parses in arrival order and keeps a datagram's flows together and in record order;
// a SIGTERM while the stream still flows stores exactly the datagrams read before it: the table
// holds a prefix of what was sent, in the order sent, with no hole and nothing twice.
TEST_F(DaemonLifecycle, OneWorkerKeepsArrivalAndRecordOrderAndSigtermMidStreamStoresAPrefix) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-z"})) << daemon.Stderr();
    std::vector<std::pair<long, long>> sent;  // (sequence, source port) of every flow
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint32_t d = 0, sequence = 0; d < 3000; ++d) {
        std::vector<v5::Record> records(1 + d % 30);
        for (uint16_t r = 0; r < records.size(); ++r) {
            records[r].src_port = r;
            sent.emplace_back(sequence, r);
        }
        datagrams.push_back(v5::Encode({.sequence = sequence}, records));
        sequence += static_cast<uint32_t>(records.size());
    }
    const Exporter exporter;
    std::atomic<size_t> sending{0};
    std::thread stream([&] {
        for (; sending < datagrams.size(); ++sending) {
            exporter.Send(daemon.port(), datagrams[sending]);
            std::this_thread::sleep_for(200us);
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return sending > 1000; }));
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    daemon.process().Signal(SIGTERM);
    const int status = daemon.process().Wait(60s);
    stream.join();
    ASSERT_EQ(status, 0) << daemon.Stderr();

    const Rows rows = SqliteRows(Path("netflow.db"),
                                 "SELECT SEQUENCE, SOURCE_PORT FROM flows ORDER BY RECNUM");
    ASSERT_FALSE(rows.empty());
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(std::make_pair(std::stol(rows[i][0]), std::stol(rows[i][1])), sent[i]) << i;
    }
    const long last = std::stol(rows.back()[0]);
    EXPECT_TRUE(rows.size() == sent.size() || sent[rows.size()].first != last)
        << "a datagram stored in part";
    EXPECT_EQ(Count(ReadFile(Path("netflow.log")), "\n"), static_cast<long>(rows.size()) + 1);
}

TEST_F(DaemonLifecycle, DetachesAndStillStopsInOrder) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const int port = FreeUdpPort();
    Process parent({NF5D_BINARY, "-p", std::to_string(port), "-n", "1", "-d"}, dir_, {"TZ=UTC"});
    ASSERT_EQ(parent.Wait(20s), 0) << parent.Stderr();
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
    Exporter().Send(port, ExampleDatagram(77, 3));
    ASSERT_TRUE(WaitUntil([&] { return QueryUdpSocket(pid, port).rx_queue == 0; }));
    // Detached, it holds none of the streams it was started with, so nothing waits on it.
    for (const char* fd : {"0", "1", "2"}) {
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + fd),
                  "/dev/null") << fd;
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForOrphan(pid), 0);
    EXPECT_EQ(Count(parent.Stdout(), "Netflow listener starting"), 1);  // not doubled by the fork
    EXPECT_EQ(SqliteRows(Path("netflow.db"), "SELECT COUNT(*) FROM flows"), (Rows{{"3"}}));
}

// The socket is bound in the foreground, before any thread starts and before detaching.
TEST_F(DaemonLifecycle, BindFailureEndsWithStatus6BeforeAnything) {
    const Exporter holder;  // its socket holds a port of 127.0.0.1
    for (const char* mode : {"-x", "-d"}) {  // in the foreground, and detaching
        const RunResult result = testsupport::Run(
            {NF5D_BINARY, "-a", "127.0.0.1", "-p", std::to_string(holder.source_port()), mode},
            dir_, {"TZ=UTC"});
        EXPECT_EQ(result.status, 6);
        EXPECT_EQ(result.err, "Process terminated with value: 6, quitting from ListenProcess - "
                              "can't bind to port\n");
        EXPECT_NE(result.out.find("Running as user"), std::string::npos);
        EXPECT_FALSE(FileExists(Path("netflow.db")));
    }
}

// A worker that cannot be started must not be waited for at shutdown: the daemon ends instead.
TEST_F(DaemonLifecycle, WorkerThatCannotStartEndsWithStatus7) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
    const RunResult result = testsupport::Run(
        {"/bin/sh", "-c", "ulimit -v 524288 && exec \"$0\" \"$@\"", NF5D_BINARY, "-p",
         std::to_string(FreeUdpPort()), "-n", "1024"},
        dir_);
    EXPECT_EQ(result.status, 7);
    EXPECT_NE(result.err.find("quitting from NeverendingLoop - Can't create worker thread\n"),
              std::string::npos) << result.err;
}

// A SIGTERM while the start-up report is still being written (standard output is a full pipe)
// stops the daemon before any thread starts: it waits for none and ends cleanly.
TEST_F(DaemonLifecycle, SigtermDuringStartupEndsCleanlyWithNoThreadAlive) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(out[1], block.data(), block.size()) > 0) {
    }
    fcntl(out[1], F_SETFL, 0);
    const std::string err = Path("stderr");
    const std::string port = std::to_string(FreeUdpPort());
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out[1], 1);
        dup2(fd, 2);
        close(out[0]);  // or a daemon left behind by a failed test would never see the pipe close
        close(out[1]);
        close(fd);
        if (chdir(dir_.c_str()) == 0)
            execl(NF5D_BINARY, NF5D_BINARY, "-p", port.c_str(), "-n", "1", "-x", "-z", nullptr);
        _exit(127);
    }
    close(out[1]);
    struct Reaper {
        pid_t pid;
        ~Reaper() { if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0); }
    } reaper{pid};
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(wchan).ends_with("pipe_write"); })) << ReadFile(wchan);
    kill(pid, SIGTERM);
    char sink[4096];
    while (read(out[0], sink, sizeof sink) > 0) {
    }
    close(out[0]);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(err),
              "Alive threads: 0\nProcess terminated with value: 0, quitting from clean shutdown\n");
    EXPECT_FALSE(FileExists(Path("netflow.db")));  // the storage thread never ran
}

// A database file that cannot take the table ends the daemon with status 8 and the reason.
TEST_F(DaemonLifecycle, DatabaseThatCannotTakeTheTableEndsWithStatus8) {
    std::ofstream(Path("text.db")) << "not a database\n";
    // A writable file in a directory that is not: no journal, so no table. Root reads and writes
    // everywhere, so it runs the case as nobody.
    std::filesystem::create_directory(Path("ro"));
    std::ofstream(Path("ro/flows.db")).flush();
    std::vector<std::string> read_only = {"-b", "ro/flows.db"};
    if (getuid() == 0) {
        ASSERT_EQ(chown(Path("ro/flows.db").c_str(), getpwnam("nobody")->pw_uid, 0), 0);
        chmod(dir_.c_str(), 0777);
        read_only.insert(read_only.end(), {"-u", "nobody"});
    } else {
        chmod(Path("ro").c_str(), 0555);
    }
    const struct {
        std::vector<std::string> args;
        std::string out, caller;
    } cases[] = {
        {{"-b", "text.db"}, "Err code is: 26\n", "file is not a database"},
        {read_only, "", "The table is READ ONLY !\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {NF5D_BINARY, "-p", std::to_string(FreeUdpPort()), "-n", "1",
                                         "-x", "-z"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult result = testsupport::Run(argv, dir_);
        EXPECT_EQ(result.status, 8) << c.caller;
        EXPECT_TRUE(result.out.ends_with("\n" + c.out)) << result.out;
        EXPECT_EQ(result.err, "Process terminated with value: 8, quitting from " + c.caller + "\n");
    }
}

// A snapshot whose copy cannot be made ends the daemon, through the signal, with the status that
// says why: the database file gone (10), no destination (11), a write that fails (12).
TEST_F(DaemonLifecycle, SnapshotCopyFailuresEndWithTheirStatus) {
    const struct {
        int status;
        std::function<void(const std::string& db)> spoil;
    } cases[] = {
        {10, [](const std::string& db) { std::filesystem::remove(db); }},
        {11, [](const std::string& db) { std::filesystem::create_directory(db + ".snapshot"); }},
        {12,
         [](const std::string& db) {
             std::filesystem::create_symlink("/dev/full", db + ".snapshot");
         }},
    };
    for (const auto& c : cases) {
        const std::string dir = MakeTempDir();
        Daemon daemon(dir);
        ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-z"})) << daemon.Stderr();
        ASSERT_TRUE(WaitUntil([&] { return FileExists(dir + "/netflow.db"); }));
        c.spoil(dir + "/netflow.db");
        daemon.process().Signal(SIGUSR1);
        EXPECT_EQ(daemon.process().Wait(), c.status);
        EXPECT_TRUE(daemon.Stderr().ends_with(
            "Process terminated with value: " + std::to_string(c.status) +
            ", quitting from Can't create snapshot\n"))
            << daemon.Stderr();
        RemoveTree(dir);
    }
}
