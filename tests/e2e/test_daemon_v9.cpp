// NetFlow v9 and IPFIX into the running daemon, from IPv4 and IPv6 exporters on one socket: the
// rows and trash lines a short exchange gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "daemon.h"
#include "v5datagram.h"
#include "v9datagram.h"

using namespace testsupport;
using DaemonV9 = DaemonTest;

namespace {

constexpr uint32_t kExport = 1796477366;  // Sat Dec  5 13:29:26 2026
constexpr uint32_t kUptime = 3600000;

v9::Flow Flow(bool ipv6, const char* source, uint64_t bytes, uint32_t as, uint64_t first,
              uint64_t last) {
    return v9::Flow{ipv6, source, ipv6 ? "2001:db8::9" : "203.0.113.9", ipv6 ? "::" : "0.0.0.0",
                    443, 514, 6, 0x1b, 0, 24, 16, bytes, 12, first, last, as, 65001};
}

}  // namespace

// Each exporter's datagrams in order; IPv4 senders show as dotted quads on the IPv6 socket.
TEST_F(DaemonV9, BothVersionsFromBothFamiliesAreStoredFieldForField) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-a", "::", "--netflow", "v5,v9,ipfix", "-x", "-b", Path("f.db"),
                              "-t", Path("trash.log")}));
    const Exporter four, six(true);
    const uint64_t ms = uint64_t{kExport} * 1000;
    const std::vector<v9::Record> early{v9::FlowRecord(10, Flow(true, "2001:db8::1", 1, 1, ms, ms))};
    // Its template never comes (one that came while the datagram waited for a worker would serve).
    six.Send(daemon.port(), v9::Message(10, 0, 7, kExport).Data(300, early).Bytes());
    four.Send(daemon.port(),
              v9::Message(9, 41, 0, kExport, kUptime)
                  .Template(256, v9::FlowFields(9, false))
                  .Data(256, {v9::FlowRecord(9, Flow(false, "198.51.100.7", 5120, 64500,
                                                     kUptime - 25000, kUptime - 6000))})
                  .Bytes());
    six.Send(daemon.port(),
             v9::Message(10, 1, 7, kExport)
                 .Template(257, v9::FlowFields(10, true))
                 .Data(257, {v9::FlowRecord(10, Flow(true, "2001:db8:0:0:1::7", 78187493520u,
                                                     4200000000u, ms - 25000, ms - 6000))})
                 .Bytes());
    six.Send(daemon.port(), ExampleDatagram(1234));
    six.Send(daemon.port(), v9::Message(10, 2, 7, kExport).Raw(257, {1, 2, 3, 4, 5, 6, 7, 8}, 16).Bytes());
    ASSERT_EQ(daemon.Stop(), 0);

    Rows rows = SqliteRows(Path("f.db"),
                           "SELECT PROBE, FLOW_VERSION, SEQUENCE, SOURCE_IP, DEST_IP, NEXT_HOP, "
                           "BYTES, FLOW_BEGIN, FLOW_END, SOURCE_AS FROM flows");
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Rows{{"127.0.0.1", "9", "41", "198.51.100.7", "203.0.113.9", "0.0.0.0", "5120",
                           "1796477341", "1796477360", "64500"},
                          {"::1", "10", "1", "2001:db8::1:0:0:7", "2001:db8::9", "::",
                           "78187493520", "1796477341", "1796477360", "4200000000"},
                          {"::1", "5", "1234", "198.51.100.7", "203.0.113.9", "0.0.0.0", "5120",
                           "1796477341", "1796477360", "64500"}}));
    const std::string trash = ReadFile(Path("trash.log"));
    EXPECT_EQ(Count(trash, "Origin: ::1 - Incoming NETFLOW V10 Mangled packet at "), 1) << trash;
}
