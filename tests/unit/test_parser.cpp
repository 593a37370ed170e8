// NetFlow v5 parser: datagrams built with the v5 builder go in; queued records, allocator
// counters and exact trash lines come out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "v5datagram.h"
#include "common/memory.h"
#include "entry/settings.h"
#include "parser/flow.h"
#include "parser/netflow.h"
#include "storage/queue.h"
#include "fixtures.h"

namespace {

constexpr uint32_t kNow = 1700000000;  // header unixseconds used throughout

void Configure(std::vector<std::string> args) { testsupport::UseSwitches(std::move(args)); }

void Parse(const std::vector<uint8_t>& bytes, const char* sender = "192.0.2.1",
           uint16_t port = 2055) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(port);
    inet_pton(AF_INET, sender, &from.sin_addr);
    // An exact-size copy, so that the sanitizers catch a read past the datagram.
    std::vector<char> copy(bytes.begin(), bytes.end());
    NetFlowPacketParser(copy.data(), reinterpret_cast<const sockaddr*>(&from),
                        static_cast<int>(copy.size()));
}

std::vector<FlowItem> QueuedFlows() {
    std::vector<FlowItem> flows;
    StoreLock lock;
    for (JobStorage* node = datastore; node != nullptr; node = node->next) {
        flows.push_back(*node->data);
    }
    return flows;
}

std::string Ctime(time_t t) {
    char text[64];
    return ctime_r(&t, text);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

v5::Record SampleRecord(uint16_t src_port) {
    v5::Record r;
    r.s_ip = v5::Ipv4("10.1.2.3");
    r.d_ip = v5::Ipv4("198.51.100.7");
    r.src_port = src_port;
    return r;
}

std::vector<uint8_t> Datagram(size_t records, uint32_t sequence = 1) {
    v5::Header header;
    header.unixseconds = kNow;
    header.sequence = sequence;
    std::vector<v5::Record> list;
    for (size_t i = 0; i < records; ++i) list.push_back(SampleRecord(static_cast<uint16_t>(i)));
    return v5::Encode(header, list);
}

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char pattern[] = "/tmp/test_parser.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        trash_ = dir_ + "/trash.log";
        Configure({"-t", trash_, "-x", "-y"});
        StoragePass();
    }
    void TearDown() override {
        StoragePass();
        unlink(trash_.c_str());
        rmdir(dir_.c_str());
    }

    // The one line a rejection appends: prefix, then the ctime text of a moment in [from, to].
    void ExpectTrashLine(const std::string& prefix, time_t from, time_t to) {
        const std::string content = ReadFile(trash_);
        bool matched = false;
        for (time_t t = from; t <= to; ++t) matched = matched || content == prefix + Ctime(t);
        EXPECT_TRUE(matched) << "trash log holds: " << content;
    }

    std::string dir_;
    std::string trash_;
};

TEST_F(ParserTest, ShortDatagramIsUselessAndNamesSenderPort) {
    for (int size : {0, 10, 23}) {
        unlink(trash_.c_str());
        const time_t before = time(nullptr);
        Parse(std::vector<uint8_t>(static_cast<size_t>(size), 0), "192.0.2.1", 2055);
        ExpectTrashLine("Origin: 192.0.2.1 - Warning useless packet of " + std::to_string(size) +
                            " bytes with sport: 2055 at ",
                        before, time(nullptr));
    }
    unlink(trash_.c_str());
    const time_t before = time(nullptr);
    Parse(std::vector<uint8_t>(5, 0), "203.0.113.200", 65000);
    ExpectTrashLine(
        "Origin: 203.0.113.200 - Warning useless packet of 5 bytes with sport: 65000 at ", before,
        time(nullptr));
    EXPECT_TRUE(QueuedFlows().empty());
}

TEST_F(ParserTest, ForeignVersionIsUnsupportedWhateverItsCount) {
    for (int version : {9, 1, 65535}) {
        unlink(trash_.c_str());
        v5::Header header;
        header.version = static_cast<uint16_t>(version);
        auto bytes = v5::Encode(header);
        v5::SetCount(bytes, 7);
        const time_t before = time(nullptr);
        Parse(bytes);
        ExpectTrashLine("Origin: 192.0.2.1 - Version " + std::to_string(version) +
                            " unsupported packet at ",
                        before, time(nullptr));
    }
    EXPECT_TRUE(QueuedFlows().empty());
}

TEST_F(ParserTest, CountThatDoesNotMatchSizeIsMangled) {
    auto header_only = Datagram(0);
    v5::SetCount(header_only, 1);
    auto one_too_many = Datagram(2);
    one_too_many.resize(168);  // room for three records
    auto huge_count = Datagram(1);
    v5::SetCount(huge_count, 65535);
    for (const auto& bytes : {header_only, one_too_many, huge_count}) {
        unlink(trash_.c_str());
        const time_t before = time(nullptr);
        Parse(bytes);
        ExpectTrashLine("Origin: 192.0.2.1 - Incoming NETFLOW V5 Mangled packet at ", before,
                        time(nullptr));
    }
    EXPECT_TRUE(QueuedFlows().empty());
}

TEST_F(ParserTest, EmptyExportAndShortTailWriteNoTrash) {
    Parse(Datagram(0));
    EXPECT_TRUE(QueuedFlows().empty());

    auto bytes = Datagram(2);
    bytes.resize(167, 0xEE);  // 47 stray bytes after the two records
    Parse(bytes);
    const auto flows = QueuedFlows();
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[0].src_port, 0);
    EXPECT_EQ(flows[1].src_port, 1);
    EXPECT_NE(access(trash_.c_str(), F_OK), 0);
}

TEST_F(ParserTest, DisabledTrashWritesNothing) {
    Configure({"-t", trash_, "-x", "-y", "-z"});
    auto mangled = Datagram(0);
    v5::SetCount(mangled, 1);
    v5::Header v9;
    v9.version = 9;
    Parse(std::vector<uint8_t>(10, 0));
    Parse(v5::Encode(v9));
    Parse(mangled);
    EXPECT_NE(access(trash_.c_str(), F_OK), 0);
}

TEST_F(ParserTest, EveryFieldIsDecoded) {
    v5::Header header;
    header.uptime = 3600000;
    header.unixseconds = kNow;
    header.unixnanoseconds = 999999999;
    header.sequence = 0xDEADBEEF;
    header.EngineType = 1;
    header.EngineId = 2;
    header.SampleRate = 0x4001;
    v5::Record r;
    r.s_ip = v5::Ipv4("10.1.2.3");
    r.d_ip = v5::Ipv4("198.51.100.7");
    r.next_hop = v5::Ipv4("203.0.113.254");
    r.inIfIndex = 0x1111;
    r.outIfIndex = 0x2222;
    r.packets = 0x01020304;
    r.bytes = 0xA0B0C0D0;
    r.time_start = 3600000 - 120000;
    r.time_stop = 3600000 - 5000;
    r.src_port = 443;
    r.dst_port = 0xBEEF;
    r.pad = 0x77;
    r.tcp_flags = 0x1B;
    r.ip_protocol = 6;
    r.tos = 0xB8;
    r.src_as = 64512;
    r.dst_as = 0x1234;
    r.src_netmask = 24;
    r.dst_netmask = 17;
    r.padding = 0x9999;
    const time_t before = time(nullptr);
    Parse(v5::Encode(header, {r}), "192.0.2.1");
    const time_t after = time(nullptr);

    const auto flows = QueuedFlows();
    ASSERT_EQ(flows.size(), 1u);
    const FlowItem& f = flows[0];
    const auto bytes_of = [](uint32_t address) {
        std::vector<uint8_t> b(4);
        std::memcpy(b.data(), &address, 4);
        return b;
    };
    EXPECT_EQ(bytes_of(f.origin_ip), (std::vector<uint8_t>{192, 0, 2, 1}));
    EXPECT_GE(f.time_received, before);
    EXPECT_LE(f.time_received, after);
    EXPECT_EQ(f.version, 5);
    EXPECT_EQ(f.sequence, 0xDEADBEEFu);
    EXPECT_EQ(bytes_of(f.src_ip), (std::vector<uint8_t>{10, 1, 2, 3}));
    EXPECT_EQ(bytes_of(f.dst_ip), (std::vector<uint8_t>{198, 51, 100, 7}));
    EXPECT_EQ(bytes_of(f.next_hop), (std::vector<uint8_t>{203, 0, 113, 254}));
    EXPECT_EQ(f.packets, 0x01020304u);
    EXPECT_EQ(f.bytes, 0xA0B0C0D0u);
    EXPECT_EQ(f.flow_begin, static_cast<int32_t>(kNow - 120));
    EXPECT_EQ(f.flow_end, static_cast<int32_t>(kNow - 5));
    EXPECT_EQ(f.src_port, 443);
    EXPECT_EQ(f.dst_port, 0xBEEF);
    EXPECT_EQ(f.tcp_flags, 0x1B);
    EXPECT_EQ(f.protocol, 6);
    EXPECT_EQ(f.tos, 0xB8);
    EXPECT_EQ(f.src_as, 64512);
    EXPECT_EQ(f.dst_as, 0x1234);
    EXPECT_EQ(f.src_mask, 24);
    EXPECT_EQ(f.dst_mask, 17);
}

TEST_F(ParserTest, FullDatagramIsStoredInOrderWithSharedHeaderFields) {
    const auto bytes = Datagram(v5::kMaxRecords, 77);
    ASSERT_EQ(bytes.size(), 16344u);
    Parse(bytes);
    const auto flows = QueuedFlows();
    ASSERT_EQ(flows.size(), 340u);
    for (size_t i = 0; i < flows.size(); ++i) {
        EXPECT_EQ(flows[i].src_port, i);
        EXPECT_EQ(flows[i].origin_ip, flows[0].origin_ip);
        EXPECT_EQ(flows[i].time_received, flows[0].time_received);
        EXPECT_EQ(flows[i].version, 5);
        EXPECT_EQ(flows[i].sequence, 77u);
    }
}

TEST_F(ParserTest, FlowTimesRoundDownAndSurviveUptimeWrap) {
    struct Case {
        uint32_t uptime, time_start, time_stop;
        int32_t begin_age, end_age;
    };
    const Case cases[] = {
        {3600000, 3600000 - 60000, 3600000 - 1, 60, 0},  // 1 ms rounds down to 0 s
        {1000, 0xFFFFFFFFu - 295, 1000, 1, 0},            // uptime wrapped: 1296 ms old
        {5000, 5000, 5000, 0, 0},
        {10000, 0, 1, 10, 9},
        {3000000000u, 400000000, 3000000000u, 2600000, 0},  // older than 2^31 ms
    };
    for (const Case& c : cases) {
        v5::Header header;
        header.uptime = c.uptime;
        header.unixseconds = kNow;
        v5::Record r;
        r.time_start = c.time_start;
        r.time_stop = c.time_stop;
        Parse(v5::Encode(header, {r}));
        const auto flows = QueuedFlows();
        ASSERT_EQ(flows.size(), 1u);
        EXPECT_EQ(flows[0].flow_begin, static_cast<int32_t>(kNow) - c.begin_age) << c.uptime;
        EXPECT_EQ(flows[0].flow_end, static_cast<int32_t>(kNow) - c.end_age) << c.uptime;
        StoragePass();
    }
}

TEST_F(ParserTest, AllocatesThreeBlocksAndReleasesOnePerFlow) {
    const unsigned mallocs = GetMallocCounts();
    const unsigned frees = GetFreeCounts();
    const unsigned long total = GetMallocTotal();
    Parse(Datagram(5));
    EXPECT_EQ(GetMallocCounts() - mallocs, 15u);
    EXPECT_EQ(GetFreeCounts() - frees, 5u);
    StoragePass();
    EXPECT_EQ(GetMallocCounts() - mallocs, GetFreeCounts() - frees);
    EXPECT_EQ(GetMallocTotal(), total);

    // A rejected datagram takes no tracked memory.
    auto mangled = Datagram(1);
    v5::SetCount(mangled, 2);
    Parse(mangled);
    EXPECT_EQ(GetMallocCounts() - mallocs, 15u);
    EXPECT_EQ(GetMallocTotal(), total);
}

TEST_F(ParserTest, ConcurrentParsersKeepEachDatagramInOrder) {
    constexpr int kThreads = 4;
    constexpr int kDatagrams = 50;
    constexpr size_t kFlows = 5;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([t] {
            for (int d = 0; d < kDatagrams; ++d) {
                Parse(Datagram(kFlows, static_cast<uint32_t>(t * kDatagrams + d)));
                Parse(std::vector<uint8_t>(3, 0));
            }
        });
    }
    for (std::thread& worker : workers) worker.join();

    std::vector<size_t> next(kThreads * kDatagrams, 0);
    for (const FlowItem& f : QueuedFlows()) EXPECT_EQ(f.src_port, next.at(f.sequence)++);
    for (size_t seen : next) EXPECT_EQ(seen, kFlows);
    std::istringstream lines(ReadFile(trash_));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.rfind("Origin: 192.0.2.1 - Warning useless packet of 3 bytes", 0), 0u);
    }
    EXPECT_EQ(count, kThreads * kDatagrams);
}

// No fixture: a death test's child runs the fixture again and would leave its directory behind.
TEST(ParserDeathTest, UnwritableTrashLogEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Configure({"-t", "/dev/null/trash.log", "-x", "-y"});
    EXPECT_EXIT(Parse(std::vector<uint8_t>(1, 0)), ::testing::ExitedWithCode(3),
                "Process terminated with value: 3, quitting from LogWrite - file open");
}

}  // namespace
