// NetFlow v9 and IPFIX into the running daemon, from IPv4 and IPv6 exporters on one socket: the
// rows and trash lines a short exchange gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "daemon.h"
#include "v5datagram.h"
#include "v9datagram.h"

using namespace testsupport;
using DaemonV9 = DaemonTest;

namespace {

constexpr uint32_t kExport = 1796477366;  // Sat Dec  5 13:29:26 2026

// A flow from source; its other fields are the scenarios'.
v9::Flow Flow(bool ipv6, const char* source) {
    return {.ipv6 = ipv6, .source = source, .destination = ipv6 ? "2001:db8::9" : "203.0.113.9",
            .next_hop = ipv6 ? "::" : "0.0.0.0", .packets = 1};
}

}  // namespace

// Each exporter's datagrams in order; IPv4 senders show as dotted quads on the IPv6 socket.
TEST_F(DaemonV9, BothVersionsFromBothFamiliesAreStoredFieldForField) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-a", "::", "--netflow", "v5,v9,ipfix", "-x", "-b", Path("f.db"),
                              "-t", Path("trash.log")}));
    const Exporter four, six(true);
    four.Send(daemon.port(),
              v9::Message(9, 41, 0, kExport)
                  .Template(256, v9::FlowFields(9, false))
                  .Data(256, {v9::FlowRecord(9, Flow(false, "198.51.100.7"))})
                  .Bytes());
    six.Send(daemon.port(),
             v9::Message(10, 1, 7, kExport)
                 .Template(257, v9::FlowFields(10, true))
                 .Data(257, {v9::FlowRecord(10, Flow(true, "2001:db8:0:0:1::7"))})
                 .Bytes());
    six.Send(daemon.port(), ExampleDatagram(1234));
    six.Send(daemon.port(),
             v9::Message(10, 2, 7, kExport).Raw(257, {1, 2, 3, 4, 5, 6, 7, 8}, 16).Bytes());
    ASSERT_EQ(daemon.Stop(), 0);

    // Each flow's fields: the scenarios.
    Rows rows =
        SqliteRows(Path("f.db"), "SELECT PROBE, FLOW_VERSION, SEQUENCE, SOURCE_IP FROM flows");
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Rows{{"127.0.0.1", "9", "41", "198.51.100.7"},
                          {"::1", "10", "1", "2001:db8::1:0:0:7"},
                          {"::1", "5", "1234", "198.51.100.7"}}));
    const std::string trash = ReadFile(Path("trash.log"));
    EXPECT_EQ(Count(trash, "Origin: ::1 - Incoming NETFLOW V10 Mangled packet at "), 1) << trash;
}

// Loss by each version's own rule (v9 datagrams, IPFIX data records with the options record),
// templates held per exporter, data sets dropped for want of a template, datagrams by version.
TEST_F(DaemonV9, MetricsCountEachVersionByItsOwnRule) {
    const int http = FreePort(SOCK_STREAM);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start(
        {"--netflow", "v9,ipfix", "-x", "-y", "-z", "--metrics", std::to_string(http)}));
    const auto v9 =
        RunNf5send(dir_, daemon.port(),
                   {"-S", "127.0.0.2", "--export", "9", "-c", "10", "-s", "4", "--ipv6", "50"});
    const auto ipfix =
        RunNf5send(dir_, daemon.port(),
                   {"-S", "127.0.0.3", "--export", "10", "-c", "10", "-s", "5", "-f", "3"});
    // Data whose template never comes (one arriving while the data waited would serve).
    const auto early =
        RunNf5send(dir_, daemon.port(), {"-S", "127.0.0.4", "--export", "9", "-c", "1", "--early"});
    Exporter().Send(daemon.port(), ExampleDatagram(0));
    ASSERT_EQ(v9.at("datagrams") + ipfix.at("datagrams") + early.at("datagrams"), 9 + 9 + 1);
    const std::map<std::string, double> expected = {
        {PerExporter("nf5d_expected_flows_total", "127.0.0.2"), 10},
        {PerExporter("nf5d_missing_flows_total", "127.0.0.2"), 1},
        {PerExporter("nf5d_expected_flows_total", "127.0.0.3"),
         static_cast<double>(ipfix.at("flows") + ipfix.at("skipped_flows") + 1)},
        {PerExporter("nf5d_missing_flows_total", "127.0.0.3"),
         static_cast<double>(ipfix.at("skipped_flows"))},
        {PerExporter("nf5d_templates_held", "127.0.0.2"), 3},
        {PerExporter("nf5d_templates_held", "127.0.0.4"), 0},
        {"nf5d_data_sets_without_template_total", 1},
        {"nf5d_datagrams_by_version_total{version=\"9\"}", 10},
        {"nf5d_datagrams_by_version_total{version=\"10\"}", 9},
        {"nf5d_rejected_datagrams_by_version_total{version=\"5\"}", 1},
        {"nf5d_decoded_flows_total", static_cast<double>(v9.at("flows") + ipfix.at("flows"))},
    };
    std::string text;
    EXPECT_TRUE(WaitUntil([&] {
        text = Scrape(http);
        return std::ranges::all_of(
            expected, [&](const auto& e) { return Sample(text, e.first) == e.second; });
    })) << text;
    EXPECT_EQ(daemon.Stop(), 0);
}
