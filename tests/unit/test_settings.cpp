// Command-line settings: switch forms, repetition, numbers, the metrics endpoint (the defaults
// show in the start-up report, tests/e2e/test_startup.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/memory.h"
#include "entry/settings.h"
#include "fixtures.h"

namespace {

StartupOptions Read(std::vector<std::string> words) { return testsupport::UseSwitches(words); }

}  // namespace

TEST(Settings, ArgumentInSameOrNextWordAndLastOccurrenceWins) {
    const StartupOptions options =
        Read({"-p9996", "-l", "/var/a.log", "-l/var/b.log", "-n", "8", "-mdb.example", "-a",
              "127.0.0.1", "-x", "-y", "-z", "-d", "-i", "7"});
    EXPECT_EQ(options.nNetflowport, 9996);
    EXPECT_EQ(options.nThreads, 8);
    EXPECT_STREQ(GetTextLogFileName(), "/var/b.log");
    EXPECT_STREQ(GetMYSQLServerName(), "db.example");
    EXPECT_EQ(IsMYSQLLoggingEnabled(), 1);
    EXPECT_STREQ(GetBindAddress(), "127.0.0.1");
    EXPECT_EQ(IsTextLoggingEnabled(), 0);
    EXPECT_EQ(IsBinaryLoggingEnabled(), 0);
    EXPECT_EQ(IsTrashLoggingEnabled(), 0);
    EXPECT_EQ(IsDetached(), 1);
    EXPECT_EQ(GetMaxThrottle(), 7u);
}

TEST(Settings, NumbersThatAreNotNumbers) {
    EXPECT_EQ(Read({"-n", "many"}).nThreads, 0);
    // The port as atoi reads it, for the report, and whether it is one, for the refusal.
    for (const auto& [word, port, valid] : {std::tuple("0", 0, false), std::tuple("70000", 70000, false),
                                            std::tuple("20x", 20, false), std::tuple("http", 0, false),
                                            std::tuple("65535", 65535, true)}) {
        const StartupOptions options = Read({"-p", word});
        EXPECT_EQ(options.nNetflowport, port) << word;
        EXPECT_EQ(options.port_valid, valid) << word;
    }
    Read({"-i", "4294967297"});  // kept as an unsigned 32-bit number
    EXPECT_EQ(GetMaxThrottle(), 1u);
}

TEST(Settings, UserNamesOfAnyLengthAreKeptButEmptyIsIgnored) {
    StartupOptions options = Read({"-u", "averylongusername"});
    ASSERT_NE(options.user, nullptr);
    EXPECT_STREQ(options.user, "averylongusername");
    release_mem(options.user, std::strlen(options.user) + 1);
    EXPECT_EQ(Read({"-u", ""}).user, nullptr);
}

TEST(Settings, ParsingStopsAtTheFirstWordThatIsNotASwitch) {
    const StartupOptions options = Read({"-n", "2", "extra", "-n", "3"});
    EXPECT_EQ(options.nThreads, 2);
}

TEST(Settings, ReleasedTextSettingsBalanceTheAllocator) {
    ReleaseNamedVars();
    InitMemoryManager();
    Read({"-l", "/tmp/x.log", "-m", "db"});
    ReleaseNamedVars();
    ReleaseNamedVars();  // a second call releases nothing
    EXPECT_EQ(GetMallocTotal(), 0u);
    EXPECT_EQ(GetMallocCounts(), GetFreeCounts());
    EXPECT_EQ(GetTextLogFileName(), nullptr);
}

TEST(Settings, MetricsEndpointTakesPortOrAddressAndPort) {
    const struct {
        const char* value;
        const char* address;
        int port;  // 0: refused at start-up
    } cases[] = {
        {"9105", "127.0.0.1", 9105},         {"0.0.0.0:9105", "0.0.0.0", 9105},
        {"192.0.2.1:1", "192.0.2.1", 1},     {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},     {"localhost:9105", nullptr, 0},
        {"255.255.255.2551:80", nullptr, 0},  // not cut down to a valid address
    };
    for (const auto& c : cases) {
        Read({"--metrics", c.value});
        ASSERT_NE(GetMetricsAddress(), nullptr) << c.value;  // on, even if refused later
        if (c.address != nullptr) {
            EXPECT_STREQ(GetMetricsAddress(), c.address) << c.value;
        }
        EXPECT_EQ(GetMetricsPort(), c.port) << c.value;
    }
    Read({"--metrics=9105", "-n", "2"});
    EXPECT_EQ(GetMetricsPort(), 9105);
    Read({});
    EXPECT_EQ(GetMetricsAddress(), nullptr);
}
