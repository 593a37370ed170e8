// Datagrams into the running daemon, exact text-log lines, SQLite rows and trash lines out.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;

namespace {

// Sat Dec  5 13:29:26 2026 UTC: the export time of the datagrams below.
constexpr uint32_t kExportTime = 1796477366;
constexpr uint32_t kUptime = 3600000;

const char* const kBeginLogging = "Begin Logging";

// Golden lines; "{T}" stands for the moment the daemon decoded the datagram.
const char* const kExampleLine =
    "Origin:       127.0.0.1 - Received: {T} - Version: 5 Sequence:       1234 From:    "
    "198.51.100.7 Sport:   443 To:     203.0.113.9 Dport:   514 Next_Hop:         0.0.0.0 "
    "Protocol:     6 TCP_Flags: 0x1b TOS:0x00 Bytes:         5120 Packets:           12 Start: "
    "Sat Dec  5 13:29:01 2026 Stop: Sat Dec  5 13:29:20 2026 SrcMask: /24 DstMask: /16";
const char* const kWideLine =
    "Origin:       127.0.0.1 - Received: {T} - Version: 5 Sequence:       1234 From: "
    "255.255.255.255 Sport: 65535 To:        10.0.0.1 Dport:     0 Next_Hop:        10.1.2.3 "
    "Protocol:    17 TCP_Flags: 0x02 TOS:0xb8 Bytes:   4294967295 Packets:   2147483653 Start: "
    "Sat Dec  5 13:29:26 2026 Stop: Sat Dec  5 13:29:26 2026 SrcMask: /08 DstMask: /00";
const char* const kZeroLine =
    "Origin:       127.0.0.1 - Received: {T} - Version: 5 Sequence: 4294967295 From:         "
    "0.0.0.0 Sport:     0 To:         0.0.0.0 Dport:     0 Next_Hop:         0.0.0.0 Protocol:"
    "     0 TCP_Flags: 0x00 TOS:0x00 Bytes:            0 Packets:            0 Start: Sat Dec  5 "
    "13:29:26 2026 Stop: Sat Dec  5 13:29:26 2026 SrcMask: /00 DstMask: /00";

v5::Header Header(uint32_t sequence) {
    v5::Header header;
    header.uptime = kUptime;
    header.unixseconds = kExportTime;
    header.sequence = sequence;
    return header;
}

// The text-log example flow: 25 s and 6 s old at export.
v5::Record ExampleRecord() {
    v5::Record r;
    r.s_ip = v5::Ipv4("198.51.100.7");
    r.d_ip = v5::Ipv4("203.0.113.9");
    r.packets = 12;
    r.bytes = 5120;
    r.time_start = kUptime - 25000;
    r.time_stop = kUptime - 6000;
    r.src_port = 443;
    r.dst_port = 514;
    r.tcp_flags = 0x1b;
    r.ip_protocol = 6;
    r.src_as = 64500;
    r.dst_as = 65001;
    r.src_netmask = 24;
    r.dst_netmask = 16;
    return r;
}

// Every field at a width or sign boundary; 1 ms old at its end, so both times are the export's.
v5::Record WideRecord() {
    v5::Record r;
    r.s_ip = v5::Ipv4("255.255.255.255");
    r.d_ip = v5::Ipv4("10.0.0.1");
    r.next_hop = v5::Ipv4("10.1.2.3");
    r.packets = 2147483653u;
    r.bytes = 4294967295u;
    r.time_start = kUptime;
    r.time_stop = kUptime - 1;
    r.src_port = 65535;
    r.tcp_flags = 2;
    r.ip_protocol = 17;
    r.tos = 0xb8;
    r.dst_as = 65535;
    r.src_netmask = 8;
    return r;
}

v5::Record ZeroRecord() {
    v5::Record r;
    r.time_start = kUptime;
    r.time_stop = kUptime;
    return r;
}

class DaemonFlow : public testing::Test {
protected:
    void SetUp() override {
        UseUtc();
        dir_ = MakeTempDir();
        before_ = static_cast<long>(std::time(nullptr));
    }
    void TearDown() override { RemoveTree(dir_); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // The daemon's lines with the decoding moments masked, once it has ended.
    std::vector<std::string> MaskedLines(const std::string& name) const {
        std::vector<std::string> lines = Lines(Path(name));
        const long after = static_cast<long>(std::time(nullptr));
        for (std::string& line : lines) line = MaskTimes(line, before_, after);
        return lines;
    }

    std::string dir_;
    long before_ = 0;
};

}  // namespace

TEST_F(DaemonFlow, FlowsBecomeExactTextLinesAndRows) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    Exporter exporter;
    exporter.Send(daemon.port(), v5::Encode(Header(1234), {ExampleRecord(), WideRecord()}));
    exporter.Send(daemon.port(), v5::Encode(Header(4294967295u), {ZeroRecord()}));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    EXPECT_EQ(MaskedLines("netflow.log"),
              (std::vector<std::string>{kBeginLogging, kExampleLine, kWideLine, kZeroLine}));
    EXPECT_EQ(Lines(Path("netflow_trash.log")), std::vector<std::string>{kBeginLogging});

    const long after = static_cast<long>(std::time(nullptr));
    const auto rows = SqliteRows(Path("netflow.db"), "SELECT * FROM flows ORDER BY RECNUM");
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) {
        const long received = std::stol(row[2]);
        EXPECT_TRUE(received >= before_ && received <= after) << received;
    }
    const std::string t = rows[0][2];
    using Row = std::vector<std::string>;
    EXPECT_EQ(rows[0], (Row{"1", "127.0.0.1", t, "5", "1234", "198.51.100.7", "443", "203.0.113.9",
                            "514", "0.0.0.0", "6", "27", "0", "5120", "12", "1796477341",
                            "1796477360", "64500", "65001", "24", "16"}));
    EXPECT_EQ(rows[1], (Row{"2", "127.0.0.1", t, "5", "1234", "255.255.255.255", "65535",
                            "10.0.0.1", "0", "10.1.2.3", "17", "2", "184", "4294967295",
                            "2147483653", "1796477366", "1796477366", "0", "65535", "8", "0"}));
    EXPECT_EQ(rows[2][4], "4294967295");
}

TEST_F(DaemonFlow, RejectedDatagramsBecomeTrashLinesInArrivalOrder) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    Exporter exporter;
    const int port = daemon.port();
    exporter.Send(port, std::vector<uint8_t>(10, 0x05));
    v5::Header version9 = Header(1);
    version9.version = 9;
    exporter.Send(port, v5::Encode(version9, {ExampleRecord()}));
    std::vector<uint8_t> mangled = v5::Encode(Header(2));
    v5::SetCount(mangled, 1);
    exporter.Send(port, mangled);
    exporter.Send(port, v5::Encode(Header(3)));  // count 0: nothing at all
    // 24 + 2 x 48 + 47 bytes: the short tail is ignored; one byte more makes it mangled.
    std::vector<uint8_t> tail = v5::Encode(Header(4), {ExampleRecord(), ZeroRecord()});
    tail.resize(tail.size() + 47, 0xee);
    exporter.Send(port, tail);
    tail.push_back(0xee);
    exporter.Send(port, tail);
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const std::string sport = std::to_string(exporter.source_port());
    EXPECT_EQ(MaskedLines("netflow_trash.log"),
              (std::vector<std::string>{
                  kBeginLogging,
                  "Origin: 127.0.0.1 - Warning useless packet of 10 bytes with sport: " + sport +
                      " at {T}",
                  "Origin: 127.0.0.1 - Version 9 unsupported packet at {T}",
                  "Origin: 127.0.0.1 - Incoming NETFLOW V5 Mangled packet at {T}",
                  "Origin: 127.0.0.1 - Incoming NETFLOW V5 Mangled packet at {T}",
              }));
    EXPECT_EQ(SqliteRows(Path("netflow.db"), "SELECT SEQUENCE FROM flows ORDER BY RECNUM"),
              (std::vector<std::vector<std::string>>{{"4"}, {"4"}}));
}

// A datagram is read into a 16384-byte buffer: the rest of a longer one is cut off. An empty
// datagram is no job at all, and reception goes on behind it.
TEST_F(DaemonFlow, LongDatagramsAreCutAndEmptyOnesIgnored) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    Exporter exporter;
    const int port = daemon.port();
    exporter.Send(port, {});
    // 340 records fill the buffer; cut, the padding to 20000 bytes cannot upset the count.
    std::vector<uint8_t> cut =
        v5::Encode(Header(10), std::vector<v5::Record>(v5::kMaxRecords, ExampleRecord()));
    cut.resize(20000, 0);
    exporter.Send(port, cut);
    // 416 records would match 20000 bytes; cut to 16384 they no longer match the count.
    std::vector<uint8_t> whole = v5::Encode(Header(11), std::vector<v5::Record>(416, ZeroRecord()));
    whole.resize(20000, 0);
    exporter.Send(port, whole);
    exporter.Send(port, v5::Encode(Header(12), {ZeroRecord()}));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    EXPECT_EQ(SqliteRows(Path("netflow.db"), "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY "
                                             "SEQUENCE ORDER BY SEQUENCE"),
              (std::vector<std::vector<std::string>>{{"10", "340"}, {"12", "1"}}));
    EXPECT_EQ(MaskedLines("netflow_trash.log"),
              (std::vector<std::string>{
                  kBeginLogging, "Origin: 127.0.0.1 - Incoming NETFLOW V5 Mangled packet at {T}"}));
}

TEST_F(DaemonFlow, DisabledSinksWriteNothing) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "2", "-x", "-z"})) << daemon.Stderr();
    Exporter exporter;
    exporter.Send(daemon.port(), v5::Encode(Header(1), {ExampleRecord()}));
    exporter.Send(daemon.port(), std::vector<uint8_t>(3, 0));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_FALSE(FileExists(Path("netflow.log")));
    EXPECT_FALSE(FileExists(Path("netflow_trash.log")));
    EXPECT_EQ(SqliteCount(Path("netflow.db")), 1);
}
