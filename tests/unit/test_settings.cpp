// Command-line settings (the defaults show in the start-up report, tests/e2e/test_startup.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "common/memory.h"
#include "common/settings.h"
#include "entry/settings.h"
#include "fixtures.h"
#include "storage/sinks/textlog.h"

using testsupport::UseSwitches;

// The first word that is not a switch ends the switches: "-n 3" after it is not read. (Each
// switch in its own word, and the flags among them: the e2e start-up cases.)
TEST(Settings, ArgumentInSameOrNextWordLastOccurrenceWinsAndAWordEndsTheSwitches) {
    const StartupOptions options =
        UseSwitches({"-p9996", "-l", "/var/a.log", "-l/var/b.log", "-n", "8", "--metrics=9105",
                     "-u", "averylongusername", "extra", "-n", "3"});
    EXPECT_EQ(options.nNetflowport, 9996);
    EXPECT_EQ(options.nThreads, 8);
    ASSERT_STREQ(options.user, "averylongusername");  // of any length
    release_mem(options.user, std::strlen(options.user) + 1);
    EXPECT_EQ(GetMetricsPort(), 9105);
    EXPECT_STREQ(kTextLogSink.setting->name, "/var/b.log");
}

TEST(Settings, NumbersThatAreNotNumbersOrOutOfBounds) {
    // The port as atoi reads it, for the report, and whether it is one, for the refusal.
    for (const auto& [word, port, valid] :
         {std::tuple("0", 0, false), std::tuple("1", 1, true), std::tuple("65535", 65535, true),
          std::tuple("65536", 65536, false), std::tuple("20x", 20, false),
          std::tuple("http", 0, false)}) {
        const StartupOptions options = UseSwitches({"-p", word});
        EXPECT_EQ(options.nNetflowport, port) << word;
        EXPECT_EQ(options.port_valid, valid) << word;
    }
    EXPECT_EQ(UseSwitches({"-n", "many"}).nThreads, 0);  // refused at start-up
    EXPECT_EQ(UseSwitches({"-u", ""}).user, nullptr);      // ignored, not looked up
    EXPECT_TRUE(UseSwitches({"-i", "1000000"}).throttle_valid);  // -i bounds memory
    for (const char* word : {"1000001", "99999999999999999999"})
        EXPECT_FALSE(UseSwitches({"-i", word}).throttle_valid) << word;
}

TEST(Settings, ReleasedTextSettingsBalanceTheAllocator) {
    ReleaseNamedVars();
    InitMemoryManager();
    UseSwitches({"-l", "/tmp/x.log", "-m", "db", "--metrics", "9105"});
    ReleaseNamedVars();
    ReleaseNamedVars();  // a second call releases nothing
    EXPECT_EQ(GetMallocTotal(), 0u);
    EXPECT_EQ(GetMallocCounts(), GetFreeCounts());
    EXPECT_EQ(kTextLogSink.setting->name, nullptr);
}

// The endpoint is on even when its value is refused at start-up (port 0).
TEST(Settings, MetricsEndpointTakesPortOrAddressAndPort) {
    for (const auto& [value, address, port] :
         {std::tuple("0.0.0.0:9105", "0.0.0.0", 9105),
          std::tuple("192.0.2.1:1", "192.0.2.1", 1), std::tuple("127.0.0.1:", "", 0),
          std::tuple("127.0.0.1:65536", "", 0),
          std::tuple("255.255.255.2551:80", "", 0)}) {  // not cut down to a valid address
        UseSwitches({"--metrics", value});
        ASSERT_NE(GetMetricsAddress(), nullptr) << value;
        if (*address != '\0') {
            EXPECT_STREQ(GetMetricsAddress(), address) << value;
        }
        EXPECT_EQ(GetMetricsPort(), port) << value;
    }
    UseSwitches({});
    EXPECT_EQ(GetMetricsAddress(), nullptr);
}
