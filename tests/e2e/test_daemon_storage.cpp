// Storage and its counters while the daemon collects: flows readable after every pass and kept
// through SIGKILL, counters that match exactly what two exporters sent and the kernel dropped, a
// locked database that holds up only its own sink while the bound refuses the excess, and a
// commit that fails at the stop ending with a failure status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <string>

#include "daemon.h"
#include "storage/queue.h"

using namespace testsupport;
using DaemonStorage = DaemonTest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kOverloadRate = "1500";  // a sanitizer build reads slower
constexpr long kPeakBoundKib = 1536 * 1024;    // and shadows every byte it holds
#else
constexpr const char* kOverloadRate = "8000";
constexpr long kPeakBoundKib = 200 * 1024;  // the bound's 60 MB, with room for the rest
#endif

// The body of GET /metrics from 127.0.0.1:port; empty unless the answer was 200 OK.
std::string Scrape(int port) {
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(port);
    std::string answer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
        char chunk[4096];
        for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, got);
    }
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.find(" 200 ") != 8 || body == answer.npos)
        return "";
    return answer.substr(body + 4);
}

// The value of one series ("name" or "name{labels}") in an exposition; -1 if it is absent.
double Sample(const std::string& exposition, const std::string& series) {
    const size_t at = ("\n" + exposition).find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(exposition.substr(at + series.size() + 1));
}

std::string PerExporter(const char* series, const char* address) {
    return std::string(series) + "{exporter=\"" + address + "\"}";
}

std::string Reason(const char* reason) {
    return std::string("nf5d_rejected_datagrams_total{reason=\"") + reason + "\"}";
}

}  // namespace

// Every pass writes and commits while the traffic goes on, so another program reads the lines and
// rows before the stream ends, and a SIGKILL after the last pass loses none of them.
TEST_F(DaemonStorage, SteadyExportCountedExactlyReadableAtOnceAndKeptThroughSigkill) {
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
        {"nf5d_dropped_datagrams_total{place=\"kernel_socket\"}", 0},
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
    for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
        const auto last = static_cast<time_t>(
            Sample(text, PerExporter("nf5d_last_datagram_timestamp_seconds", address)));
        EXPECT_TRUE(last >= before && last <= std::time(nullptr)) << last;
    }
    EXPECT_NE(text.find("\nnf5d_build_info{"), std::string::npos);
    EXPECT_GT(Sample(text, "process_resident_memory_bytes"), 0);
    std::ofstream(Path("metrics.txt")) << text;
    const RunResult check =
        testsupport::Run({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, dir_);
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    ASSERT_TRUE(WaitUntil([&] { return RowCount(db) == flows && LineCount(log) == flows + 1; }))
        << RowCount(db) << " rows for " << flows << " flows";
    daemon.process().Signal(SIGKILL);
    EXPECT_EQ(daemon.process().Wait(), 128 + SIGKILL);
    EXPECT_EQ(RowCount(db), flows);
    EXPECT_EQ(LineCount(log), flows + 1);
}

// The kernel's drop counter reaches the daemon with the next datagram it reads, so every datagram
// sent is then either received or dropped; the last one continues the sequence, so every flow the
// kernel dropped is a gap the live loss counts. Sinks switched off write nothing.
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
    const auto last = RunNf5send(dir_, daemon.port(), {"--sequence", "240000"});
    ASSERT_EQ(last.at("datagrams"), 1);

    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        text = Scrape(http);
        return Sample(text, PerExporter("nf5d_received_datagrams_total", "127.0.0.1")) ==
                   static_cast<double>(8001 - drops) &&
               Sample(text, PerExporter("nf5d_expected_flows_total", "127.0.0.1")) ==
                   static_cast<double>(240000 + last.at("flows"));
    })) << text;
    EXPECT_EQ(Sample(text, "nf5d_dropped_datagrams_total{place=\"kernel_socket\"}"),
              static_cast<double>(drops));
    EXPECT_EQ(Sample(text, PerExporter("nf5d_missing_flows_total", "127.0.0.1")),
              static_cast<double>(30 * drops));
    for (const char* sink : {"text", "sqlite"}) {
        EXPECT_EQ(Sample(text, "nf5d_written_flows_total{sink=\"" + std::string(sink) + "\"}"), 0);
    }
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Stderr();
}

// Another program holds the database locked: the text log goes on writing, the flows wait for
// SQLite up to the queue's bound, the datagrams past it are refused whole, and once the lock is
// gone the orderly stop stores every flow that was accepted.
TEST_F(DaemonStorage, LockedDatabaseStallsOnlyItsSinkAndTheBoundRefusesTheExcess) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-z"})) << daemon.Stderr();
    Exporter().Send(daemon.port(), ExampleDatagram(0, 30));
    ASSERT_TRUE(WaitUntil([&] { return RowCount(Path("netflow.db")) == 30; }));
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(Path("netflow.db").c_str(), &holder), SQLITE_OK);
    sqlite3_busy_timeout(holder, 10000);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    constexpr long kDatagrams = 40000;  // 1.2 million flows, more than the bound holds
    const auto sent = RunNf5send(dir_, daemon.port(), {"-c", std::to_string(kDatagrams), "-r",
                                                       kOverloadRate, "-f", "30"});
    ASSERT_EQ(sent.at("datagrams"), kDatagrams);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    constexpr long kAccepted = static_cast<long>(kQueueLimitFlows / 30 * 30);
    ASSERT_TRUE(WaitUntil([&] { return LineCount(Path("netflow.log")) == 1 + 30 + kAccepted; },
                          300s))
        << LineCount(Path("netflow.log"));
    // The exact check is the count of lines and rows; the peak only shows nothing grew unbounded.
    const std::string status = ReadFile("/proc/" + std::to_string(daemon.process().pid()) +
                                        "/status");
    const long peak_kib = std::stol(status.substr(status.find("VmHWM:") + 6));
    EXPECT_LT(peak_kib, kPeakBoundKib) << "the queue held more than its bound";

    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_EQ(RowCount(Path("netflow.db")), 30 + kAccepted);
    EXPECT_EQ(LineCount(Path("netflow.log")), 1 + 30 + kAccepted);
}

// The database file may not grow (a file size limit), so the commit of the last pass fails: the
// daemon must end with status 8 and the library's text, never with "clean shutdown".
TEST_F(DaemonStorage, FailedFinalCommitEndsWithStatus8) {
    Daemon daemon(dir_);
    // 32 blocks of 512 bytes: room for the rollback journal, not for the grown database file.
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-z"}, "trap '' XFSZ; ulimit -f 32"))
        << daemon.Stderr();
    Exporter().Send(daemon.port(), ExampleDatagram(0, 200));
    EXPECT_EQ(daemon.Stop(), 8) << daemon.Stderr();
    // The main thread counts the threads down meanwhile, so its lines may come in between.
    const std::string err = daemon.Stderr();
    const size_t end = err.find("Process terminated with value: 8, quitting from ");
    EXPECT_TRUE(end != err.npos && err.find("SQL was: COMMIT") < end &&
                err.find("clean shutdown") == err.npos) << err;
}
