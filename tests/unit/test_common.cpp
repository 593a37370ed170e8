// Runtime services: termination and broken preconditions.
#include <gtest/gtest.h>

#include <string>

#include "common/memory.h"
#include "common/terminate.h"

// The caller is printed verbatim (never as a format) and cut to fit, keeping the line end.
TEST(CommonDeathTest, TerminationAndBrokenPreconditionsReportAndExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Terminate(9, "100% %s %d"), testing::ExitedWithCode(9),
                "^Process terminated with value: 9, quitting from 100% %s %d\n$");
    EXPECT_EXIT(Terminate(2, std::string(5000, 'c').c_str()), testing::ExitedWithCode(2),
                "cccc\n$");
    EXPECT_DEATH(release_mem(nullptr, 8), "failed assertion `ptr!=NULL'");
}
