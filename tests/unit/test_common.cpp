// Runtime services: allocator accounting, text utilities, termination, log append.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "common/memory.h"
#include "common/messages.h"
#include "process.h"
#include "storage/terminate.h"

using testsupport::MakeTempDir;
using testsupport::ReadFile;

TEST(Allocator, CountsEveryBlockAndBalancesWhenReleasedWithItsSize) {
    InitMemoryManager();
    void* empty = allocate_mem(0);
    EXPECT_EQ(GetMallocCounts(), 1u);
    EXPECT_EQ(GetMallocTotal(), 0u);

    void* datagram = allocate_mem(16384);
    void* record = allocate_mem(48);
    EXPECT_EQ(GetMallocCounts(), 3u);
    EXPECT_EQ(GetMallocTotal(), 16384u + 48u);

    release_mem(record, 48);
    release_mem(datagram, 16384);
    release_mem(empty, 0);
    EXPECT_EQ(GetMallocTotal(), 0u);
    EXPECT_EQ(GetMallocCounts(), GetFreeCounts());
}

TEST(AllocatorDeathTest, ReleasingNullIsAnAssertionFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(release_mem(nullptr, 8), "failed assertion `ptr!=NULL'");
}

TEST(RemoveCR, CutsAtTheLastLineEndOnly) {
    char crlf[] = "abc\r\n";
    RemoveCR(crlf);
    EXPECT_STREQ(crlf, "abc\r");

    char inner[] = "a\nbc";
    RemoveCR(inner);
    EXPECT_STREQ(inner, "a");

    char plain[] = "abc";
    RemoveCR(plain);
    EXPECT_STREQ(plain, "abc");

    char empty[] = "";
    RemoveCR(empty);
    EXPECT_STREQ(empty, "");
    RemoveCR(nullptr);
}

TEST(IpProtocol, NamesKnownNumbersAndReportsUnknownOnes) {
    char name[64];
    IpProtocol(6, name);
    EXPECT_STREQ(name, "tcp");

    testing::internal::CaptureStderr();
    IpProtocol(254, name);  // reserved for experiments, absent from the protocol database
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(name, "Unknown");
    EXPECT_EQ(err, "Your /etc/protocols has gone bitches, please fix it since protocol 254 is "
                   "unknown !\n");
}

TEST(TerminateDeathTest, ReportsStatusAndCallerVerbatim) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Terminate(4, "x"), testing::ExitedWithCode(4),
                "^Process terminated with value: 4, quitting from x\n$");
    EXPECT_EXIT(Terminate(9, "100% %s %d"), testing::ExitedWithCode(9),
                "quitting from 100% %s %d\n$");
}

TEST(TerminateDeathTest, CutsAnOverlongCallerButKeepsTheLineEnd) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string caller(5000, 'c');
    EXPECT_EXIT(Terminate(2, caller.c_str()), testing::ExitedWithCode(2), "cccc\n$");
}

TEST(LogWrite, CreatesPrivateFileAndAppendsWithoutSeparator) {
    const std::string dir = MakeTempDir();
    const std::string path = dir + "/trash.log";
    LogWrite("a", path.c_str());
    LogWrite("b\n", path.c_str());
    EXPECT_EQ(ReadFile(path), "ab\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    testsupport::RemoveTree(dir);
}

TEST(LogWriteDeathTest, UnopenableFileEndsWithStatus3) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string dir = MakeTempDir();
    EXPECT_EXIT(LogWrite("x", dir.c_str()), testing::ExitedWithCode(3),
                "quitting from LogWrite - file open\n");
    EXPECT_EXIT(LogWrite("x", (dir + "/missing/log").c_str()), testing::ExitedWithCode(3),
                "LogWrite - file open");
    testsupport::RemoveTree(dir);
}
