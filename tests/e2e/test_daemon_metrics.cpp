// The running daemon as a router and a monitoring system meet it: flows readable while a steady
// stream goes on and kept through SIGKILL, counters that match exactly what two exporters sent, an
// exposition that Prometheus' own checker accepts, and the kernel's drops.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "daemon.h"

using namespace testsupport;
using Metrics = DaemonTest;

namespace {

std::string PerExporter(const char* series, const char* address) {
    return std::string(series) + "{exporter=\"" + address + "\"}";
}

std::string Reason(const char* reason) {
    return std::string("nf5d_rejected_datagrams_total{reason=\"") + reason + "\"}";
}

}  // namespace

// Every pass writes and commits while the traffic goes on, so another program reads the lines and
// rows before the stream ends, and a SIGKILL after the last pass loses none of them.
TEST_F(Metrics, SteadyExportCountedExactlyReadableAtOnceAndKeptThroughSigkill) {
    const time_t before = std::time(nullptr);
    const int http = FreeTcpPort();
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "--metrics", std::to_string(http)})) << daemon.Stderr();
    EXPECT_TRUE(daemon.process().Stdout().ends_with(
        "\nMetrics on http://127.0.0.1:" + std::to_string(http) + "/metrics\n"));
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
    const long flows = one.at("flows") + two.at("flows");
    const auto all = static_cast<double>(flows);
    // The loss is published about once a second, after the datagrams themselves are counted.
    const std::pair<const char*, const std::map<std::string, long>&> senders[] = {
        {"127.0.0.1", one}, {"127.0.0.2", two}};
    const auto all_missing_counted = [&](const std::string& text) {
        return std::ranges::all_of(senders, [&](const auto& sender) {
            return Sample(text, PerExporter("nf5d_missing_flows_total", sender.first)) ==
                   static_cast<double>(sender.second.at("skipped_flows"));
        });
    };
    std::string text;
    ASSERT_TRUE(WaitUntil([&] {
        text = Scrape(http);
        return Sample(text, "nf5d_decoded_flows_total") == all &&
               Sample(text, Reason("count_mismatch")) == 5 && all_missing_counted(text) &&
               Sample(text, "nf5d_written_flows_total{sink=\"text\"}") == all &&
               Sample(text, "nf5d_written_flows_total{sink=\"sqlite\"}") == all &&
               Sample(text, "nf5d_storage_queue_flows") == 0 &&
               Sample(text, "nf5d_job_backlog_datagrams") == 0;
    }, 30s)) << text;  // each sink's share is counted as it writes, the blocks freed after the pass
    for (const auto& [address, sent] : senders) {
        EXPECT_EQ(Sample(text, PerExporter("nf5d_expected_flows_total", address)),
                  static_cast<double>(sent.at("flows") + sent.at("skipped_flows")));
        EXPECT_EQ(Sample(text, PerExporter("nf5d_exporter_restarts_total", address)), 0);
        const auto last = static_cast<time_t>(
            Sample(text, PerExporter("nf5d_last_datagram_timestamp_seconds", address)));
        EXPECT_TRUE(last >= before && last <= std::time(nullptr)) << last;
    }
    const std::pair<std::string, double> samples[] = {
        {PerExporter("nf5d_received_datagrams_total", "127.0.0.1"), 2396 + 12},
        {PerExporter("nf5d_received_datagrams_total", "127.0.0.2"), 11},
        {PerExporter("nf5d_received_bytes_total", "127.0.0.2"), 11 * (24 + 3 * 48)},
        {Reason("too_short"), 3},
        {Reason("bad_version"), 4},
        {"nf5d_dropped_flows_total{place=\"storage_queue\"}", 0},
        {"nf5d_dropped_datagrams_total{place=\"kernel_socket\"}", daemon.Drops()},
        {"nf5d_exporters_tracked", 2},
    };
    for (const auto& [series, value] : samples) EXPECT_EQ(Sample(text, series), value) << series;
    EXPECT_NE(text.find("\nnf5d_build_info{"), std::string::npos);
    EXPECT_GT(Sample(text, "process_resident_memory_bytes"), 0);
    std::ofstream(Path("metrics.txt")) << text;
    const RunResult check = testsupport::Run({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, dir_);
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
TEST_F(Metrics, KernelDropsAreReadFromTheSocket) {
    const int http = FreeTcpPort();
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
