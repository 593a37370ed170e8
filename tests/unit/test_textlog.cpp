// Text flow log: exact line layout, minimum widths, unrenderable times; the trash log's buffer.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fixtures.h"
#include "process.h"
#include "storage/textlog.h"
#include "storage/trashlog.h"

using testsupport::Address;

namespace {
// glibc renders every 32-bit time, so this stand-in refuses one chosen value.
std::atomic<time_t> unrenderable_time{LLONG_MIN};
}  // namespace

extern "C" char* ctime_r(const time_t* __restrict timer, char* __restrict buf) noexcept {
    using CtimeR = char* (*)(const time_t*, char*);
    static const CtimeR real = reinterpret_cast<CtimeR>(dlsym(RTLD_NEXT, "ctime_r"));
    return *timer == unrenderable_time.load() ? nullptr : real(timer, buf);
}

namespace {

const char* const kExampleLine =
    "Origin:       192.0.2.1 - Received: Sat Dec  5 13:29:26 2026 - Version: 5 Sequence:       "
    "1234 From:    198.51.100.7 Sport:   443 To:     203.0.113.9 Dport:   514 Next_Hop:         "
    "0.0.0.0 Protocol:     6 TCP_Flags: 0x1b TOS:0x00 Bytes:         5120 Packets:           12 "
    "Start: Sat Dec  5 13:29:01 2026 Stop: Sat Dec  5 13:29:20 2026 SrcMask: /24 DstMask: /16\n";

class TextLog : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        dir_ = testsupport::MakeTempDir();
        path_ = dir_ + "/flows.log";
        testsupport::UseSwitches({"-l", path_, "-y", "-z"});
    }
    void TearDown() override { testsupport::RemoveTree(dir_); }
    std::string dir_, path_;
};

}  // namespace

// Each case is the example line with one part changed.
TEST_F(TextLog, LinesAreExactWithMinimumWidthsUnsignedCountersAndUnknownTimes) {
    const struct {
        void (*edit)(FlowItem&);
        const char *from, *to;
    } cases[] = {
        {[](FlowItem&) {}, "", ""},
        {[](FlowItem& f) { f.origin_ip = Address("255.255.255.255"); }, "Origin:       192.0.2.1",
         "Origin: 255.255.255.255"},
        {[](FlowItem& f) { f.sequence = 4294967295u; }, "Sequence:       1234",
         "Sequence: 4294967295"},
        {[](FlowItem& f) { f.src_port = 65535; }, "Sport:   443", "Sport: 65535"},
        {[](FlowItem& f) { f.protocol = 255; f.tcp_flags = 2; f.tos = 0xb8; },
         "Protocol:     6 TCP_Flags: 0x1b TOS:0x00", "Protocol:   255 TCP_Flags: 0x02 TOS:0xb8"},
        {[](FlowItem& f) { f.bytes = 4294967295u; f.packets = 2147483648u; },
         "Bytes:         5120 Packets:           12", "Bytes:   4294967295 Packets:   2147483648"},
        {[](FlowItem& f) { f.src_mask = 8; f.dst_mask = 0; }, "/24 DstMask: /16",
         "/08 DstMask: /00"},
        {[](FlowItem& f) { f.src_mask = 255; f.dst_mask = 128; }, "/24 DstMask: /16",
         "/255 DstMask: /128"},
        {[](FlowItem& f) { f.time_received = INT32_MIN; }, "Sat Dec  5 13:29:26 2026",
         "Fri Dec 13 20:45:52 1901"},
        {[](FlowItem& f) { unrenderable_time = f.flow_begin; }, "Start: Sat Dec  5 13:29:01 2026",
         "Start: Unknown"},
    };
    for (const auto& c : cases) {
        FlowItem item = testsupport::ExampleFlow();
        c.edit(item);
        std::string expected = kExampleLine;
        expected.replace(expected.find(c.from), std::strlen(c.from), c.to);
        unlink(path_.c_str());
        kTextLogSink.write(&item, 1, Patience::kThisPass);
        kTextLogSink.commit(Patience::kThisPass);
        EXPECT_EQ(testsupport::ReadFile(path_), expected);
    }
    unrenderable_time = LLONG_MIN;
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

// A full disk must not pass for stored lines: the pass that cannot write them ends the process.
TEST(LogDeathTest, ALineThatCannotBeWrittenEndsTheProcessWithStatus3) {
    testsupport::UseSwitches({"-l", "/dev/full", "-t", "/dev/full", "-y"});
    const FlowItem flow = testsupport::ExampleFlow();
    EXPECT_EXIT(
        {
            kTextLogSink.write(&flow, 1, Patience::kThisPass);
            kTextLogSink.commit(Patience::kThisPass);
        },
        testing::ExitedWithCode(3), "quitting from LogWrite - file write");
    EXPECT_EXIT(
        {
            StoreTrashLine("bad\n");
            WriteTrashLines();
        },
        testing::ExitedWithCode(3), "quitting from LogWrite - file write");
}
