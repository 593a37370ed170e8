// Datagrams into the running daemon and what it writes, counts and keeps.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;
using DaemonFlow = DaemonTest;
using DaemonStorage = DaemonTest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kRate = "1500";  // a sanitizer build reads slower: no socket overflow
constexpr const char* kOverloadRate = "1500";
constexpr long kPeakBoundKib = 1536 * 1024;  // and shadows every byte it holds
#else
constexpr const char* kRate = "3000";
constexpr const char* kOverloadRate = "8000";
constexpr long kPeakBoundKib = 200 * 1024;  // the bound's 60 MB, with room for the rest
#endif
#if defined(__SANITIZE_THREAD__)
// TSan keeps one signal of a kind for a thread outside a blocking call until the thread's next
// intercepted call: two toggles sent meanwhile merge there, so only the other builds send them.
constexpr bool kTogglesCount = false;
#else
constexpr bool kTogglesCount = true;
#endif

std::string Reason(const char* reason) {
    return std::string("nf5d_rejected_datagrams_total{reason=\"") + reason + "\"}";
}

// Another program holding the database in a transaction (kLock, or kRead) until Release, begun
// once the SQLite writer has created the table: a start that meets a locked file fails (status 8).
constexpr const char* kLock = "BEGIN EXCLUSIVE";
constexpr const char* kRead = "BEGIN; SELECT COUNT(*) FROM flows";
class DatabaseHold {
public:
    DatabaseHold(const std::string& db, const char* begin) {
        EXPECT_TRUE(WaitUntil(
            [&] { return SqliteRows(db, "SELECT COUNT(*) FROM flows").size() == 1; }));
        sqlite3_open(db.c_str(), &holder_);
        sqlite3_busy_timeout(holder_, 10000);  // while the writer commits
        held_ = sqlite3_exec(holder_, begin, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~DatabaseHold() { Release(); }
    DatabaseHold(const DatabaseHold&) = delete;
    DatabaseHold& operator=(const DatabaseHold&) = delete;
    bool held() const { return held_; }
    void Release() {
        if (holder_ == nullptr) return;
        sqlite3_exec(holder_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(holder_);
        holder_ = nullptr;
    }

private:
    sqlite3* holder_ = nullptr;
    bool held_ = false;
};

}  // namespace

// Four workers under a backlog limit so low that reception pauses again and again; a SIGINT (the
// orderly stop, as SIGTERM) once the burst is read stores every flow once and counts the threads
// down once a second.
TEST_F(DaemonFlow, BurstThenSigintStoresEveryFlowOnce) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "4", "-i", "20"})) << daemon.Stderr();
    const auto sent = RunNf5send(
        dir_, daemon.port(),
        {"-c", "4000", "-r", kRate, "--short", "150", "--bad-version", "150", "--mangled", "150"});
    ASSERT_EQ(sent.at("datagrams"), 4000);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    daemon.process().Signal(SIGINT);
    ASSERT_TRUE(daemon.process().WaitForStderr("Alive threads: "));
    daemon.process().Signal(SIGTERM);  // changes nothing
    ASSERT_EQ(daemon.process().Wait(60s), 0) << daemon.Stderr();
    // Counted down (what a line of it holds: Startup.SigtermDuringStartup...), then the clean end.
    const std::string err = daemon.Stderr();
    EXPECT_TRUE(err.starts_with("Alive threads: ") &&
                err.ends_with("Process terminated with value: 0, quitting from clean shutdown\n") &&
                Count(err, "\n") == Count(err, "Alive threads: ") + 1) << err;

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
    EXPECT_EQ(LineCount(Path("netflow.log")), sent.at("flows") + 1);
    EXPECT_EQ(LineCount(Path("netflow_trash.log")), sent.at("malformed") + 1);
}

// SIGUSR2 flips the text log, SIGHUP the trash log; SIGUSR1 copies the database, open batch
// included; SIGWINCH moves the rows to ".previous", the live table restarting empty, keys from 1.
// Signals sent while a reader holds up the snapshot each count, and reception goes on meanwhile:
// two toggles cancel out, two rotations run once; a terminal's own SIGWINCH rotates nothing. A snapshot whose copy cannot be
// created ends the daemon with status 11 (the others: test_storage.cpp).
TEST_F(DaemonFlow, OperatorSignals) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x"}, ptsname(terminal))) << daemon.Stderr();
    const Exporter exporter;
    auto send = [&](const std::vector<uint8_t>& bytes) { exporter.Send(daemon.port(), bytes); };
    ASSERT_TRUE(daemon.Signal(SIGUSR2) && daemon.Signal(SIGHUP));  // text on, trash off
    const std::string db = Path("netflow.db");
    ASSERT_TRUE(
        WaitUntil([&] { return SqliteRows(db, "SELECT COUNT(*) FROM flows").size() == 1; }));
    DatabaseHold reader(db, kRead);
    ASSERT_TRUE(reader.held());
    send(std::vector<uint8_t>(11, 0));
    send(ExampleDatagram(1));
    const std::string text = Path("netflow.log"), trash = Path("netflow_trash.log");
    ASSERT_TRUE(WaitUntil([&] { return LineCount(text) == 1; }, 30s));  // a pass every 5 s
    const winsize resized{40, 100, 0, 0};
    ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &resized), 0);
    ASSERT_TRUE(daemon.Taken(SIGWINCH));
    for (int sig : {SIGUSR1, SIGUSR2, SIGUSR2, SIGWINCH, SIGWINCH})
        ASSERT_TRUE((sig == SIGUSR2 && !kTogglesCount) || daemon.Signal(sig));
    send(std::vector<uint8_t>(12, 0));  // reception goes on meanwhile
    ASSERT_TRUE(daemon.WaitDrained());
    EXPECT_EQ(Count(daemon.Stderr(), "DB File"), 0) << "done while the reader held the file";
    reader.Release();  // ends its transaction
    ASSERT_TRUE(daemon.process().WaitForStderr("Completed rotation of DB File"));
    for (const char* copy : {"netflow.db.snapshot", "netflow.db.previous"})
        EXPECT_EQ(SqliteRows(Path(copy), "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY 1"),
                  (Rows{{"1", "1"}})) << copy;
    ASSERT_TRUE(daemon.Signal(SIGUSR2) && daemon.Signal(SIGHUP));  // text off, trash on
    // Read into 16384 bytes: the 340 records survive the cut, the padding behind them does not.
    std::vector<uint8_t> cut = ExampleDatagram(9, v5::kMaxRecords);
    cut.resize(20000, 0);
    send(ExampleDatagram(3));
    send(cut);
    send(std::vector<uint8_t>(13, 0));
    const char* const kKeys = "SELECT MIN(RECNUM), COUNT(*) FROM flows GROUP BY SEQUENCE";
    ASSERT_TRUE(WaitUntil(
        [&] {  // the trash and text logs are written before the rows
            return SqliteRows(Path("netflow.db"), kKeys) == Rows{{"1", "1"}, {"2", "340"}} &&
                   LineCount(trash) == 2;
        },
        30s))
        << daemon.Stderr();
    // A directory where the copy should go: the copy cannot be created.
    const std::string copy = Path("netflow.db.snapshot");
    std::filesystem::remove(copy);
    ASSERT_TRUE(std::filesystem::create_directory(copy));
    daemon.process().Signal(SIGUSR1);
    EXPECT_EQ(daemon.process().Wait(), 11);
    close(terminal);
    EXPECT_TRUE(daemon.Stderr().ends_with(
        "Process terminated with value: 11, quitting from Can't create snapshot\n"))
        << daemon.Stderr();

    // Switched on, the text log is created by its first record, without a "Begin Logging" line.
    EXPECT_TRUE(ReadFile(text).starts_with("Origin:       127.0.0.1 - ") &&
                LineCount(text) == 1 && Count(ReadFile(text), "Sequence:          1 ") == 1)
        << ReadFile(text);
    EXPECT_TRUE(ReadFile(trash).starts_with("Begin Logging\n") &&
                Count(ReadFile(trash), "Origin: 127.0.0.1 - Warning useless packet of 13 bytes with "
                                       "sport: " + std::to_string(exporter.source_port()) +
                                       " at ") == 1)
        << ReadFile(trash);
}

// Every pass writes and commits while the traffic goes on, so another program reads the lines and
// rows before the stream ends.
TEST_F(DaemonStorage, SteadyExportCountedExactlyAndReadableAtOnce) {
    const time_t before = std::time(nullptr);
    const int http = FreePort(SOCK_STREAM);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "--metrics", std::to_string(http)})) << daemon.Stderr();
    // 12 s of 10 flows per datagram, more than two passes, four datagrams left out, and garbage.
    Process steady({NF5SEND_BINARY, "-p", std::to_string(daemon.port()), "-S", "127.0.0.1", "-c",
                    "2400", "-r", "200", "-f", "10", "-s", "5,17-19", "--short", "3",
                    "--bad-version", "4", "--mangled", "5"},
                   dir_);
    const std::string db = Path("netflow.db"), log = Path("netflow.log");
    ASSERT_TRUE(WaitUntil([&] { return RowCount(db) > 0 && LineCount(log) > 1; }, 30s));
    EXPECT_EQ(steady.Wait(0ms), -1) << "the flows appeared only after the traffic ended";
    ASSERT_EQ(steady.Wait(), 0);
    const auto one = Nf5sendReport(steady.Stdout());
    const auto two =
        RunNf5send(dir_, daemon.port(), {"-S", "127.0.0.2", "-c", "12", "-f", "3", "-s", "2"});
    ASSERT_EQ(one.at("datagrams"), 2396);
    ASSERT_EQ(two.at("datagrams"), 11);
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    const long flows = one.at("flows") + two.at("flows");
    const auto all = static_cast<double>(flows);
    std::map<std::string, double> expected = {
        {"nf5d_decoded_flows_total", all},
        {"nf5d_written_flows_total{sink=\"text\"}", all},
        {"nf5d_written_flows_total{sink=\"sqlite\"}", all},
        {"nf5d_storage_queue_flows", 0},
        {"nf5d_job_backlog_datagrams", 0},
        {PerExporter("nf5d_received_datagrams_total", "127.0.0.1"), 2396 + 12},
        {PerExporter("nf5d_received_datagrams_total", "127.0.0.2"), 11},
        {PerExporter("nf5d_received_bytes_total", "127.0.0.2"), 11 * (24 + 3 * 48)},
        {Reason("too_short"), 3},
        {Reason("bad_version"), 4},
        {Reason("count_mismatch"), 5},
        {"nf5d_dropped_flows_total{place=\"storage_queue\"}", 0},
        {"nf5d_exporters_tracked", 2},
    };
    for (const auto& [address, sent] : {std::pair("127.0.0.1", one), std::pair("127.0.0.2", two)}) {
        expected[PerExporter("nf5d_expected_flows_total", address)] =
            static_cast<double>(sent.at("flows") + sent.at("skipped_flows"));
        expected[PerExporter("nf5d_missing_flows_total", address)] =
            static_cast<double>(sent.at("skipped_flows"));
        expected[PerExporter("nf5d_exporter_restarts_total", address)] = 0;
    }
    // Each sink's share is counted as it writes, the blocks are freed after the pass, and the loss
    // is published about once a second: every reading is waited for.
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        text = Scrape(http);
        return std::ranges::all_of(expected, [&](const auto& e) {
            return Sample(text, e.first) == e.second;
        });
    }, 30s)) << text;
    const char* const kLast = "nf5d_last_datagram_timestamp_seconds";
    for (const std::string& moment : {PerExporter(kLast, "127.0.0.1"),
                                      PerExporter(kLast, "127.0.0.2"),
                                      std::string("process_start_time_seconds")}) {
        const auto at = static_cast<time_t>(Sample(text, moment));
        EXPECT_TRUE(at >= before && at <= std::time(nullptr)) << moment;
    }
    EXPECT_NE(text.find("\nnf5d_build_info{"), std::string::npos);
    EXPECT_EQ(text.find("nf5d_mysql_connected"), std::string::npos);  // only with -m
    EXPECT_GT(Sample(text, "process_resident_memory_bytes"), 0);
    std::ofstream(Path("metrics.txt")) << text;
    const RunResult check =
        testsupport::Run({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, dir_);
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    ASSERT_TRUE(WaitUntil([&] { return RowCount(db) == flows && LineCount(log) == flows + 1; }))
        << RowCount(db) << " rows for " << flows << " flows";
}

// The kernel's drop counter reaches the daemon with the next datagram it reads, so every datagram
// sent is then either received or dropped (the gaps the drops leave are counted as loss on the
// path the skipped datagrams above take).
TEST_F(DaemonStorage, KernelDropsAreReadFromTheSocket) {
    const int http = FreePort(SOCK_STREAM);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-y", "-z", "--metrics", std::to_string(http)}))
        << daemon.Stderr();
    ASSERT_TRUE(WaitUntil([&] { return !Scrape(http).empty(); }));
    const std::string state = "/proc/" + std::to_string(daemon.process().pid()) + "/stat";
    daemon.process().Signal(SIGSTOP);  // more than the 8 MiB receive buffer holds meanwhile
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(state).find(") T ") != std::string::npos; }));
    ASSERT_EQ(RunNf5send(dir_, daemon.port(), {"-c", "8000", "-f", "30", "-r", "0", "--pool", "8"})
                  .at("datagrams"),
              8000);
    daemon.process().Signal(SIGCONT);
    ASSERT_TRUE(daemon.WaitDrained());
    const long drops = daemon.Drops();
    ASSERT_GT(drops, 0);
    ASSERT_EQ(RunNf5send(dir_, daemon.port(), {"-c", "1"}).at("datagrams"), 1);
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        text = Scrape(http);
        return Sample(text, PerExporter("nf5d_received_datagrams_total", "127.0.0.1")) ==
                   static_cast<double>(8001 - drops) &&
               Sample(text, "nf5d_dropped_datagrams_total{place=\"kernel_socket\"}") ==
                   static_cast<double>(drops);
    })) << text;
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Stderr();
}

// Another program holds the database locked while more flows come than the queue holds: the text
// log writes every line, SQLite skips what it cannot keep and says so with the count, memory
// stays bounded, and once the lock is gone every flow is in one sink or counted.
TEST_F(DaemonStorage, LockedDatabaseCostsOnlyItsOwnFlowsAndSaysHowMany) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-z"})) << daemon.Stderr();
    DatabaseHold lock(Path("netflow.db"), kLock);
    ASSERT_TRUE(lock.held());

    constexpr long kDatagrams = 45000;  // 1.35 million flows, more than the queue holds
    const auto sent = RunNf5send(dir_, daemon.port(), {"-c", std::to_string(kDatagrams), "-r",
                                                       kOverloadRate, "-f", "30"});
    ASSERT_EQ(sent.at("datagrams"), kDatagrams);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    ASSERT_TRUE(WaitUntil([&] { return LineCount(Path("netflow.log")) == 1 + sent.at("flows"); },
                          300s))
        << LineCount(Path("netflow.log")) << daemon.Stderr();
    EXPECT_TRUE(daemon.process().WaitForStderr("A sink fell a queue behind, skipping its oldest"));
    // The exact check is the count of lines and rows; the peak only shows nothing grew unbounded.
    const std::string status = ReadFile("/proc/" + std::to_string(daemon.process().pid()) +
                                        "/status");
    const long peak_kib = std::stol(status.substr(status.find("VmHWM:") + 6));
    EXPECT_LT(peak_kib, kPeakBoundKib) << "the queue held more than its bound";

    lock.Release();
    ASSERT_TRUE(daemon.process().WaitForStderr("flows skipped\n", 60s)) << daemon.Stderr();
    const std::string err = daemon.Stderr();
    const long skipped = std::stol(err.substr(err.find("Sinks keep up again: ") + 21));
    EXPECT_GT(skipped, 0);
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_EQ(RowCount(Path("netflow.db")) + skipped, sent.at("flows"));
}

// The worker is held while more datagrams are received than the queue, which a locked database
// keeps nearly full, has room for; then SIGTERM, and the lock is released a second into the
// stop. The worker waits for room instead of refusing, and every flow received before the signal
// is stored.
TEST_F(DaemonStorage, SigtermStoresABacklogLargerThanTheQueuesRoom) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-z", "-i", "100000"})) << daemon.Stderr();
    DatabaseHold lock(Path("netflow.db"), kLock);
    ASSERT_TRUE(lock.held());
    const auto first = RunNf5send(dir_, daemon.port(), {"-c", "34000", "-r", kOverloadRate,
                                                        "-f", "30"});  // the queue nearly full
    ASSERT_EQ(first.at("datagrams"), 34000);
    ASSERT_TRUE(daemon.WaitDrained());
    FrozenThread worker(NewestThread(daemon.process().pid()));
    ASSERT_TRUE(worker.frozen());
    const auto second = RunNf5send(dir_, daemon.port(), {"-c", "3000", "-r", kOverloadRate,
                                                         "-f", "30"});
    ASSERT_EQ(second.at("datagrams"), 3000);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    daemon.process().Signal(SIGTERM);
    ASSERT_TRUE(daemon.process().WaitForStderr("Alive threads: "));
    worker.Thaw();
    // The lock is held into the stop: the threads are counted down at least once more.
    ASSERT_TRUE(WaitUntil([&] { return Count(daemon.Stderr(), "Alive threads: ") > 1; }));
    lock.Release();
    ASSERT_EQ(daemon.process().Wait(120s), 0) << daemon.Stderr();
    EXPECT_EQ(RowCount(Path("netflow.db")), first.at("flows") + second.at("flows"));
    EXPECT_EQ(Count(daemon.Stderr(), "refusing"), 0) << daemon.Stderr();
}

// Refusals at the full queue (SQLite alone, locked) and lines dropped at the full trash buffer
// (its log a FIFO nobody reads yet) are each said as they start and counted once they end.
TEST_F(DaemonStorage, OverloadMessagesSayTheStartAndTheCount) {
    const std::string fifo = Path("trash.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-x", "-t", fifo})) << daemon.Stderr();
    DatabaseHold lock(Path("netflow.db"), kLock);
    ASSERT_TRUE(lock.held());
    // 1.38 million flows and 2.8 MB of trash lines, more than the queue and the buffers hold.
    Process sender({NF5SEND_BINARY, "-p", std::to_string(daemon.port()), "-c", "76000", "-r",
                    kOverloadRate, "-f", "30", "--short", "30000"},
                   dir_);
    ASSERT_EQ(sender.Wait(300s), 0);
    const auto sent = Nf5sendReport(sender.Stdout());
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    ASSERT_TRUE(daemon.process().WaitForStderr("Storage queue full, refusing flows\n"))
        << daemon.Stderr();
    ASSERT_TRUE(daemon.process().WaitForStderr("Trash buffer full, dropping lines\n"))
        << daemon.Stderr();

    lock.Release();
    std::atomic<bool> stopped{false};
    long trash_lines = 0;
    std::thread drain([&] {  // until the daemon has ended and the FIFO is empty
        const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        std::vector<char> chunk(1 << 16);
        for (pollfd ready{fd, POLLIN, 0}; !stopped || poll(&ready, 1, 0) > 0;
             poll(&ready, 1, 100)) {
            for (ssize_t got; (got = read(fd, chunk.data(), chunk.size())) > 0;)
                trash_lines += std::count(chunk.begin(), chunk.begin() + got, '\n');
        }
        close(fd);
    });
    auto count_after = [&](const std::string& text) {
        const std::string err = daemon.Stderr();
        return std::stol(err.substr(err.find(text) + text.size()));
    };
    EXPECT_TRUE(daemon.process().WaitForStderr(" flows refused\n", 60s)) << daemon.Stderr();
    EXPECT_TRUE(daemon.process().WaitForStderr(" lines dropped\n", 60s)) << daemon.Stderr();
    const int status = daemon.Stop();
    stopped = true;
    drain.join();
    ASSERT_EQ(status, 0) << daemon.Stderr();
    EXPECT_EQ(RowCount(Path("netflow.db")) + count_after("Storage queue has room again: "),
              sent.at("flows"));
    EXPECT_EQ(trash_lines + count_after("Trash buffer has room again: "), sent.at("malformed"));
    EXPECT_EQ(Count(daemon.Stderr(), "full, "), 2) << daemon.Stderr();
}
