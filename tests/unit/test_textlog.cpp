// Text flow log: exact line layout, minimum widths, unrenderable times; the trash log's buffer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "fixtures.h"
#include "process.h"
#include "storage/textlog.h"
#include "storage/trashlog.h"

namespace {
// glibc renders every 32-bit time, so this stand-in refuses one chosen value.
std::atomic<time_t> unrenderable_time{LLONG_MIN};
}  // namespace

extern "C" char* ctime_r(const time_t* __restrict timer, char* __restrict buf) noexcept {
    using CtimeR = char* (*)(const time_t*, char*);
    static const CtimeR real = reinterpret_cast<CtimeR>(dlsym(RTLD_NEXT, "ctime_r"));
    return *timer == unrenderable_time.load() ? nullptr : real(timer, buf);
}

// The example flow's line, then one whose values reach or pass their field's width: widths are
// minimums, counters unsigned, flags hexadecimal, masks zero-padded, a time before 1970 shown and
// one that cannot be rendered "Unknown". Both come from one batch, which shares time texts.
TEST(TextLog, LinesAreExactWithMinimumWidthsUnsignedCountersAndUnknownTimes) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string dir = testsupport::MakeTempDir(), path = dir + "/flows.log";
    testsupport::UseSwitches({"-l", path, "-y", "-z"});
    FlowItem flows[2] = {testsupport::ExampleFlow(), testsupport::ExampleFlow()};
    FlowItem& wide = flows[1];
    wide.origin_ip = testsupport::Address("255.255.255.255");
    wide.time_received = INT32_MIN;
    wide.sequence = 4294967295u;
    wide.src_port = 65535;
    wide.protocol = 255;
    wide.tcp_flags = 2;
    wide.tos = 0xb8;
    wide.bytes = 4294967295u;
    wide.packets = 2147483648u;
    unrenderable_time = wide.flow_begin = 7;
    wide.src_mask = 8;
    wide.dst_mask = 128;
    kTextLogSink.write(flows, 2, Patience::kThisPass);
    kTextLogSink.commit(Patience::kThisPass);
    EXPECT_EQ(testsupport::ReadFile(path),
              "Origin:       192.0.2.1 - Received: Sat Dec  5 13:29:26 2026 - Version: 5 Sequence: "
              "      1234 From:    198.51.100.7 Sport:   443 To:     203.0.113.9 Dport:   514 "
              "Next_Hop:         0.0.0.0 Protocol:     6 TCP_Flags: 0x1b TOS:0x00 Bytes:         "
              "5120 Packets:           12 Start: Sat Dec  5 13:29:01 2026 Stop: Sat Dec  5 "
              "13:29:20 2026 SrcMask: /24 DstMask: /16\n"
              "Origin: 255.255.255.255 - Received: Fri Dec 13 20:45:52 1901 - Version: 5 Sequence: "
              "4294967295 From:    198.51.100.7 Sport: 65535 To:     203.0.113.9 Dport:   514 "
              "Next_Hop:         0.0.0.0 Protocol:   255 TCP_Flags: 0x02 TOS:0xb8 Bytes:   "
              "4294967295 Packets:   2147483648 Start: Unknown Stop: Sat Dec  5 13:29:20 2026 "
              "SrcMask: /08 DstMask: /128\n");
    unrenderable_time = LLONG_MIN;
    testsupport::RemoveTree(dir);
}

// Trash lines wait for the storage pass and reach the file whole and in order; past the buffer a
// line is dropped and counted, never cut.
TEST(TrashLog, LinesWaitForThePassInOrderAndPastTheBufferAreCounted) {
    const std::string dir = testsupport::MakeTempDir(), trash = dir + "/trash.log";
    testsupport::UseSwitches({"-t", trash});
    const std::string line(99, 'x');
    const uint64_t dropped = GetTrashLinesDropped();
    constexpr int kLines = 12000;  // 1.2 MB, more than the buffer holds
    for (int i = 0; i < kLines; ++i) StoreTrashLine((std::to_string(i % 10) + line + "\n").c_str());
    EXPECT_FALSE(testsupport::FileExists(trash));
    WriteTrashLines();
    const std::string text = testsupport::ReadFile(trash);
    const size_t written = text.size() / 101;
    EXPECT_EQ(text.size() % 101, 0u);
    EXPECT_EQ(written + (GetTrashLinesDropped() - dropped), static_cast<size_t>(kLines));
    EXPECT_GT(GetTrashLinesDropped(), dropped);
    for (size_t i = 0; i < written; ++i) ASSERT_EQ(text[i * 101], '0' + static_cast<char>(i % 10));
    StoreTrashLine("after\n");  // the other buffer, written at the next pass
    WriteTrashLines();
    EXPECT_TRUE(testsupport::ReadFile(trash).ends_with(line + "\nafter\n"));
    testsupport::RemoveTree(dir);
}
