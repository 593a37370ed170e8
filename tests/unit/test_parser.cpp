// NetFlow v5 parser: built datagrams go in; queued records and exact trash lines come out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "process.h"
#include "sched/workers.h"
#include "storage/sinks/trashlog.h"
#include "v5datagram.h"

namespace {

using namespace testsupport;

constexpr uint32_t kNow = 1700000000;  // header unixseconds used throughout

void Parse(const std::vector<uint8_t>& bytes, const char* sender = "192.0.2.1",
           uint16_t port = 2055) {
    sockaddr_in from{AF_INET, htons(port), {Address(sender)}, {}};
    // An exact-size copy, so that the sanitizers catch a read past the datagram.
    std::vector<char> copy(bytes.begin(), bytes.end());
    RouteDatagram(copy.data(), reinterpret_cast<const sockaddr*>(&from),
                  static_cast<int>(copy.size()));
}

// Records numbered by source port, the header's count set apart, padded with stray bytes to size.
std::vector<uint8_t> Datagram(size_t records, uint16_t count, uint16_t version = 5,
                              size_t size = 0) {
    std::vector<v5::Record> list(records);
    for (size_t i = 0; i < records; ++i) list[i].src_port = static_cast<uint16_t>(i);
    std::vector<uint8_t> bytes = v5::Encode({version, 0, kNow}, list);
    v5::SetCount(bytes, count);
    if (size != 0) bytes.resize(size, 0xEE);
    return bytes;
}

// Each datagram's trash line up to its time text, "" for none, and the records it yields.
TEST(Parser, SizesVersionsAndCountsDecideBetweenRecordsAndATrashLine) {
    const std::string dir = MakeTempDir(), trash = dir + "/trash.log";
    UseSwitches({"-t", trash, "-x", "-y"});
    const std::string origin = "Origin: 203.0.113.200 - ";
    const std::string mangled = "Incoming NETFLOW V5 Mangled packet at ";
    const struct {
        std::vector<uint8_t> bytes;
        std::string line;
        size_t flows = 0;
    } cases[] = {
        {Datagram(0, 0), ""},
        {Datagram(2, 2, 5, 167), "", 2},  // 47 stray bytes after the two records
        {Datagram(v5::kMaxRecords, 340), "", 340},
        {Datagram(2, 2, 5, 168), mangled},  // room for three records
        {Datagram(0, 1), mangled},
        {Datagram(0, 7, 65535), "Version 65535 unsupported packet at "},
        {std::vector<uint8_t>(23), "Warning useless packet of 23 bytes with sport: 65000 at "},
    };
    for (const auto& c : cases) {  // the time text after "at " is pinned by the e2e tests
        Parse(c.bytes, "203.0.113.200", 65000);
        WriteTrashLines();
        const std::string content = FileExists(trash) ? ReadFile(trash) : "";
        EXPECT_EQ(content.substr(0, content.find(" at ") + 4), c.line.empty() ? "" : origin + c.line);
        unlink(trash.c_str());
        const auto flows = TakeQueuedFlows();
        ASSERT_EQ(flows.size(), c.flows) << c.bytes.size() << " bytes";
        for (size_t i = 0; i < flows.size(); ++i) EXPECT_EQ(flows[i].src_port, i);
    }
    UseSwitches({"-t", trash, "-x", "-y", "-z"});  // trash log off: no line of any kind
    for (const auto& c : cases) Parse(c.bytes);
    WriteTrashLines();
    EXPECT_FALSE(FileExists(trash));
    TakeQueuedFlows();
    RemoveTree(dir);
}

TEST(Parser, EveryFieldIsDecoded) {
    UseSwitches({"-x", "-y"});
    v5::Header header{5, 3600000, kNow, 999999999, 0xDEADBEEF, 1, 2, 0x4001};
    const v5::Record r{v5::Ipv4("10.1.2.3"), v5::Ipv4("198.51.100.7"), v5::Ipv4("203.0.113.254"),
                       0x1111, 0x2222, 0x01020304, 0xA0B0C0D0, 3600000 - 120000,
                       3600000 - 5000, 443, 0xBEEF, 0x77, 0x1B, 6, 0xB8, 64512, 0x1234,
                       24, 17, 0x9999};
    Parse(v5::Encode(header, {r}));  // the time received: the text line of the e2e tests
    const auto flows = TakeQueuedFlows();
    ASSERT_EQ(flows.size(), 1u);
    const FlowItem& f = flows[0];
    EXPECT_EQ((std::vector<int64_t>{f.origin_ip, f.src_ip, f.dst_ip, f.next_hop, f.version,
                                    f.sequence, f.packets, f.bytes, f.flow_begin, f.flow_end}),
              (std::vector<int64_t>{Address("192.0.2.1"), Address("10.1.2.3"),
                                    Address("198.51.100.7"), Address("203.0.113.254"), 5,
                                    0xDEADBEEF, 0x01020304, 0xA0B0C0D0, kNow - 120, kNow - 5}));
    EXPECT_EQ((std::vector<int>{f.src_port, f.dst_port, f.tcp_flags, f.protocol, f.tos, f.src_as,
                                f.dst_as, f.src_mask, f.dst_mask}),
              (std::vector<int>{443, 0xBEEF, 0x1B, 6, 0xB8, 64512, 0x1234, 24, 17}));
}

// Ages round down to whole seconds, and stay true across the 32-bit uptime wrap.
TEST(Parser, FlowTimesRoundDownAndSurviveUptimeWrap) {
    UseSwitches({"-x", "-y"});
    const uint32_t cases[][5] = {
        // uptime, first, last stamp (ms); ages of begin and end (s)
        {10000, 0, 1, 10, 9},
        {1000, 0xFFFFFFFFu - 295, 1000, 1, 0},              // uptime wrapped: 1296 ms old
        {3000000000u, 400000000, 3000000000u, 2600000, 0},  // older than 2^31 ms
    };
    for (const auto& [uptime, start, stop, begin_age, end_age] : cases) {
        Parse(v5::Encode({5, uptime, kNow}, {{0, 0, 0, 0, 0, 0, 0, start, stop}}));
        const auto flows = TakeQueuedFlows();
        ASSERT_EQ(flows.size(), 1u);
        EXPECT_EQ(kNow - flows[0].flow_begin, begin_age) << uptime;
        EXPECT_EQ(kNow - flows[0].flow_end, end_age) << uptime;
    }
}

}  // namespace
