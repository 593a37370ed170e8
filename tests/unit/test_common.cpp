// Runtime services: text utilities and termination.
#include <gtest/gtest.h>

#include <string>

#include "common/memory.h"
#include "common/messages.h"
#include "common/terminate.h"

TEST(RemoveCR, CutsAtTheLastLineEndOnly) {
    const std::pair<std::string, const char*> cases[] = {
        {"abc\r\n", "abc\r"}, {"a\rbc", "a"}, {"abc", "abc"}, {"", ""}};
    for (auto [text, cut] : cases) {
        RemoveCR(text.data());
        EXPECT_STREQ(text.c_str(), cut);
    }
    RemoveCR(nullptr);
}

TEST(IpProtocol, NamesKnownNumbersAndReportsUnknownOnes) {
    char name[64];
    IpProtocol(6, name);
    EXPECT_STREQ(name, "tcp");
    testing::internal::CaptureStderr();
    IpProtocol(254, name);  // reserved for experiments, absent from the protocol database
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Your /etc/protocols has gone bitches, please fix it since protocol 254 is "
              "unknown !\n");
    EXPECT_STREQ(name, "Unknown");
}

// The caller is printed verbatim (never as a format) and cut to fit, keeping the line end.
TEST(CommonDeathTest, TerminationAndBrokenPreconditionsReportAndExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Terminate(9, "100% %s %d"), testing::ExitedWithCode(9),
                "^Process terminated with value: 9, quitting from 100% %s %d\n$");
    EXPECT_EXIT(Terminate(2, std::string(5000, 'c').c_str()), testing::ExitedWithCode(2),
                "cccc\n$");
    EXPECT_DEATH(release_mem(nullptr, 8), "failed assertion `ptr!=NULL'");
}
