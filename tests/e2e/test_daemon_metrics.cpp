// The metrics endpoint as a monitoring system meets it: counters that match exactly what two
// exporters sent, an exposition that Prometheus' own checker accepts, and the start-up refusals.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

TEST_F(Metrics, CountWhatTwoExportersSentAndPassPromtool) {
    const time_t before = std::time(nullptr);
    const int http = FreeTcpPort();
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-y", "--metrics", std::to_string(http)}))
        << daemon.Stderr();
    ASSERT_TRUE(WaitUntil([&] { return !Scrape(http).empty(); }));
    EXPECT_TRUE(ListensOnTcp(daemon.process().pid()));
    EXPECT_TRUE(daemon.process().Stdout().ends_with(
        "\nMetrics on http://127.0.0.1:" + std::to_string(http) + "/metrics\n"));

    const auto one = RunNf5send(dir_, daemon.port(),
                                {"-S", "127.0.0.1", "-c", "40", "-s", "5,17-19", "--short", "3",
                                 "--bad-version", "4", "--mangled", "5"});
    const auto two =
        RunNf5send(dir_, daemon.port(), {"-S", "127.0.0.2", "-c", "12", "-f", "3", "-s", "2"});
    ASSERT_EQ(one.at("datagrams"), 36);
    ASSERT_EQ(two.at("datagrams"), 11);
    const double flows = static_cast<double>(one.at("flows") + two.at("flows"));
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
        return Sample(text, "nf5d_decoded_flows_total") == flows &&
               Sample(text, Reason("count_mismatch")) == 5 && all_missing_counted(text) &&
               Sample(text, "nf5d_written_flows_total{sink=\"text\"}") == flows &&
               Sample(text, "nf5d_storage_queue_flows") == 0 &&
               Sample(text, "nf5d_job_backlog_datagrams") == 0;
    }, 30s)) << text;  // each sink's share is counted as it writes, the blocks freed after the pass
    for (const auto& [address, sent] : senders) {
        EXPECT_EQ(Sample(text, PerExporter("nf5d_expected_flows_total", address)),
                  static_cast<double>(sent.at("flows") + sent.at("skipped_flows")));
        EXPECT_EQ(Sample(text, PerExporter("nf5d_exporter_restarts_total", address)), 0);
    }
    EXPECT_EQ(Sample(text, "nf5d_written_flows_total{sink=\"sqlite\"}"), 0);  // switched off
    EXPECT_EQ(Sample(text, "nf5d_dropped_flows_total{place=\"storage_queue\"}"), 0);
    EXPECT_EQ(Sample(text, PerExporter("nf5d_received_datagrams_total", "127.0.0.1")), 36 + 12);
    EXPECT_EQ(Sample(text, PerExporter("nf5d_received_datagrams_total", "127.0.0.2")), 11);
    EXPECT_EQ(Sample(text, PerExporter("nf5d_received_bytes_total", "127.0.0.2")),
              11 * (24 + 3 * 48));
    EXPECT_EQ(Sample(text, Reason("too_short")), 3);
    EXPECT_EQ(Sample(text, Reason("bad_version")), 4);
    EXPECT_EQ(Sample(text, "nf5d_exporters_tracked"), 2);
    EXPECT_EQ(Sample(text, "nf5d_dropped_datagrams_total{place=\"kernel_socket\"}"),
              daemon.Drops());
    for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
        const double last =
            Sample(text, PerExporter("nf5d_last_datagram_timestamp_seconds", address));
        EXPECT_GE(last, before);
        EXPECT_LE(last, std::time(nullptr));
    }
    EXPECT_NE(text.find("nf5d_build_info{"), std::string::npos);
    EXPECT_GT(Sample(text, "process_resident_memory_bytes"), 0);

    std::ofstream(Path("metrics.txt")) << text;
    const RunResult check =
        testsupport::Run({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, dir_);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Stderr();
}

// The kernel's drop counter reaches the daemon with the next datagram it reads, so every datagram
// sent is then either received or dropped; the last one continues the sequence, so every flow the
// kernel dropped is a gap the live loss counts.
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
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Stderr();
}

TEST_F(Metrics, TakenPortEndsTheStartInTheForegroundWithStatus6) {
    const int taken = FreeTcpPort();
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(taken));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    const std::string refusal =
        "Process terminated with value: 6, quitting from MetricsEndpoint - "
        "can't bind to 127.0.0.1:" +
        std::to_string(taken) + "\n";
    for (const std::string mode : {"-n1", "-d"}) {  // in the foreground, or about to detach
        const RunResult result =
            testsupport::Run({NF5D_BINARY, "-p", std::to_string(FreeUdpPort()), "-x", "-y", "-z",
                              mode, "--metrics", "127.0.0.1:" + std::to_string(taken)},
                             dir_);
        EXPECT_EQ(result.status, 6) << mode;
        EXPECT_EQ(result.err, refusal) << mode;
    }
    close(holder);
}

TEST_F(Metrics, NothingListensWithoutTheSwitch) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x", "-y", "-z"})) << daemon.Stderr();
    EXPECT_FALSE(ListensOnTcp(daemon.process().pid()));
    EXPECT_EQ(daemon.Stop(), 0);
}
