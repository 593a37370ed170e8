// Text flow log: exact line layout, field widths, unrenderable times, appending.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "entry/settings.h"
#include "parser/flow.h"
#include "fixtures.h"
#include "process.h"
#include "storage/textlog.h"

using testsupport::Address;

namespace {

// ctime_r cannot fail for any 32-bit time on glibc, so the test takes its place in this
// executable and refuses one chosen value, the way a C library with a narrower range would.
std::atomic<time_t> unrenderable_time{LLONG_MIN};

}  // namespace

extern "C" char* ctime_r(const time_t* __restrict timer, char* __restrict buf) noexcept {
    using CtimeR = char* (*)(const time_t*, char*);
    static const CtimeR real = reinterpret_cast<CtimeR>(dlsym(RTLD_NEXT, "ctime_r"));
    if (*timer == unrenderable_time.load()) return nullptr;
    return real(timer, buf);
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
    void TearDown() override {
        unrenderable_time.store(LLONG_MIN);
        testsupport::RemoveTree(dir_);
    }
    std::string Log() const { return testsupport::ReadFile(path_); }

    std::string dir_;
    std::string path_;
};

}  // namespace

TEST_F(TextLog, ExampleRecordIsWrittenByteForByte) {
    const FlowItem item = testsupport::ExampleFlow();
    TextLogPacket(&item);
    EXPECT_EQ(Log(), kExampleLine);
}

TEST_F(TextLog, RecordsAreAppendedInOrderToAFileCreatedOnDemand) {
    ASSERT_FALSE(testsupport::FileExists(path_));
    FlowItem first = testsupport::ExampleFlow();
    FlowItem second = testsupport::ExampleFlow();
    second.sequence = 1235;
    TextLogPacket(&first);
    TextLogPacket(&second);
    const std::string log = Log();
    ASSERT_EQ(log.size(), 2 * std::string(kExampleLine).size());
    EXPECT_EQ(log.substr(0, log.size() / 2), kExampleLine);
    EXPECT_NE(log.find("Sequence:       1235 From:", log.size() / 2), std::string::npos);
}

TEST_F(TextLog, WidthsAreMinimumsAndCountersAreUnsigned) {
    FlowItem item = testsupport::ExampleFlow();
    item.origin_ip = Address("255.255.255.255");
    item.sequence = 4294967295u;
    item.bytes = 4294967295u;
    item.packets = 2147483648u;
    item.src_port = 65535;
    item.protocol = 255;
    item.tcp_flags = 2;
    item.tos = 0xb8;
    item.src_mask = 8;
    item.dst_mask = 0;
    TextLogPacket(&item);
    const std::string log = Log();
    EXPECT_EQ(log.rfind("Origin: 255.255.255.255 - Received:", 0), 0u) << log;
    EXPECT_NE(log.find(" Sequence: 4294967295 From:"), std::string::npos) << log;
    EXPECT_NE(log.find(" Sport: 65535 To:"), std::string::npos) << log;
    EXPECT_NE(log.find(" Protocol:   255 TCP_Flags: 0x02 TOS:0xb8 "), std::string::npos) << log;
    EXPECT_NE(log.find(" Bytes:   4294967295 Packets:   2147483648 "), std::string::npos) << log;
    EXPECT_NE(log.find(" SrcMask: /08 DstMask: /00\n"), std::string::npos) << log;
}

TEST_F(TextLog, OverlongValuesAreNotCut) {
    FlowItem item = testsupport::ExampleFlow();
    item.src_mask = 255;
    item.dst_mask = 128;
    item.time_received = INT32_MIN;  // 1901: still a date ctime renders
    TextLogPacket(&item);
    const std::string log = Log();
    EXPECT_NE(log.find("Received: Fri Dec 13 20:45:52 1901 - Version"), std::string::npos) << log;
    EXPECT_NE(log.find(" SrcMask: /255 DstMask: /128\n"), std::string::npos) << log;
}

TEST_F(TextLog, UnrenderableTimeIsShownAsUnknown) {
    FlowItem item = testsupport::ExampleFlow();
    unrenderable_time.store(item.flow_begin);
    TextLogPacket(&item);
    std::string expected = kExampleLine;
    const std::string start = "Start: Sat Dec  5 13:29:01 2026 ";
    expected.replace(expected.find(start), start.size(), "Start: Unknown ");
    EXPECT_EQ(Log(), expected);
}

TEST_F(TextLog, NullRecordIsABrokenPrecondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(TextLogPacket(nullptr), "failed assertion `i!= NULL'");
}
