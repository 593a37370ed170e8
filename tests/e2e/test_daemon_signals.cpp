// The operator signals on a running daemon: the two log toggles, the snapshot and the rotation.
// One worker parses the jobs in arrival order, which lets a test know that a datagram sent
// earlier has been parsed once a later one shows up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;

namespace {

// One storage pass every 5 s, plus the time a sanitizer build needs.
constexpr auto kStored = 30s;

std::vector<uint8_t> Datagram(uint32_t sequence, size_t flows = 1) {
    v5::Header header;
    header.uptime = 100000;
    header.unixseconds = 1796477366;
    header.sequence = sequence;
    v5::Record record;
    record.s_ip = v5::Ipv4("192.0.2.10");
    record.d_ip = v5::Ipv4("198.51.100.20");
    record.time_start = 90000;
    record.time_stop = 99000;
    record.packets = 3;
    record.bytes = 180;
    record.ip_protocol = 17;
    return v5::Encode(header, std::vector<v5::Record>(flows, record));
}

// How the text log shows a datagram's sequence number.
std::string SequenceField(uint32_t sequence) {
    char text[32];
    std::snprintf(text, sizeof text, "Sequence: %10u ", sequence);
    return text;
}

std::string UselessLine(size_t bytes) {
    return "Warning useless packet of " + std::to_string(bytes) + " bytes";
}

int Mode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

class DaemonSignals : public testing::Test {
protected:
    void SetUp() override {
        UseUtc();
        dir_ = MakeTempDir();
    }
    void TearDown() override { RemoveTree(dir_); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    bool WaitForLine(const std::string& file, const std::string& text) const {
        return WaitUntil([&] { return CountLinesContaining(Path(file), text) > 0; }, kStored);
    }
    std::vector<std::vector<std::string>> Sequences(const std::string& file) const {
        return SqliteRows(Path(file), "SELECT SEQUENCE FROM flows ORDER BY RECNUM");
    }

    std::string dir_;
};

using Rows = std::vector<std::vector<std::string>>;

}  // namespace

TEST_F(DaemonSignals, Sigusr2TogglesTheTextLogAndTwoCancelOut) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x"})) << daemon.Stderr();
    Exporter exporter;

    // Switched on, the log is created by its first record, without a "Begin Logging" line.
    ASSERT_TRUE(daemon.Signal(SIGUSR2));
    exporter.Send(daemon.port(), Datagram(101));
    ASSERT_TRUE(WaitForLine("netflow.log", SequenceField(101)));
    EXPECT_EQ(Lines(Path("netflow.log")).size(), 1u);

    ASSERT_TRUE(daemon.Signal(SIGUSR2));
    ASSERT_TRUE(daemon.Signal(SIGUSR2));
    exporter.Send(daemon.port(), Datagram(102));
    ASSERT_TRUE(WaitForLine("netflow.log", SequenceField(102)));

    ASSERT_TRUE(daemon.Signal(SIGUSR2));
    exporter.Send(daemon.port(), Datagram(103));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const std::vector<std::string> lines = Lines(Path("netflow.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(SequenceField(101)), std::string::npos);
    EXPECT_NE(lines[1].find(SequenceField(102)), std::string::npos);
    EXPECT_EQ(Sequences("netflow.db"), (Rows{{"101"}, {"102"}, {"103"}}));
}

TEST_F(DaemonSignals, SighupTogglesTheTrashLogAndTwoCancelOut) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    Exporter exporter;
    const int port = daemon.port();

    exporter.Send(port, std::vector<uint8_t>(10, 0));
    ASSERT_TRUE(WaitForLine("netflow_trash.log", UselessLine(10)));

    // Off: the valid datagram behind the rejected one shows when the latter has been parsed.
    ASSERT_TRUE(daemon.Signal(SIGHUP));
    exporter.Send(port, std::vector<uint8_t>(11, 0));
    exporter.Send(port, Datagram(1));
    ASSERT_TRUE(WaitForLine("netflow.log", SequenceField(1)));

    ASSERT_TRUE(daemon.Signal(SIGHUP));
    ASSERT_TRUE(daemon.Signal(SIGHUP));
    exporter.Send(port, std::vector<uint8_t>(12, 0));
    exporter.Send(port, Datagram(2));
    ASSERT_TRUE(WaitForLine("netflow.log", SequenceField(2)));

    ASSERT_TRUE(daemon.Signal(SIGHUP));
    exporter.Send(port, std::vector<uint8_t>(13, 0));
    ASSERT_TRUE(WaitForLine("netflow_trash.log", UselessLine(13)));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    const std::vector<std::string> lines = Lines(Path("netflow_trash.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Begin Logging");
    EXPECT_NE(lines[1].find(UselessLine(10)), std::string::npos);
    EXPECT_NE(lines[2].find(UselessLine(13)), std::string::npos);
}

// The copy holds every row written before the signal, those of the open batch included, and
// collection goes on into the same table.
TEST_F(DaemonSignals, Sigusr1SnapshotsTheDatabase) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    Exporter exporter;
    exporter.Send(daemon.port(), Datagram(1, 2));
    exporter.Send(daemon.port(), Datagram(3, 1));
    ASSERT_TRUE(WaitForLine("netflow.log", SequenceField(3)));

    ASSERT_TRUE(daemon.Signal(SIGUSR1));
    ASSERT_TRUE(daemon.process().WaitForStderr("Succesfully completed DB File snapshot creation"));
    const std::string err = daemon.Stderr();
    EXPECT_LT(err.find("Begun creation of DB snapshot\n"),
              err.find("Succesfully completed DB File snapshot creation\n"));
    EXPECT_EQ(Sequences("netflow.db.snapshot"), (Rows{{"1"}, {"1"}, {"3"}}));
    EXPECT_EQ(Mode(Path("netflow.db.snapshot")), 0600);
    EXPECT_EQ(Mode(Path("netflow.db")), 0600);

    exporter.Send(daemon.port(), Datagram(4, 1));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_EQ(Sequences("netflow.db"), (Rows{{"1"}, {"1"}, {"3"}, {"4"}}));
    EXPECT_EQ(Sequences("netflow.db.snapshot"), (Rows{{"1"}, {"1"}, {"3"}}));
}

// The ".previous" copy takes the rows; the live table starts again empty, keys from 1.
TEST_F(DaemonSignals, SigwinchRotatesTheDatabase) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    Exporter exporter;
    exporter.Send(daemon.port(), Datagram(1, 2));
    ASSERT_TRUE(WaitForLine("netflow.log", SequenceField(1)));

    ASSERT_TRUE(daemon.Signal(SIGWINCH));
    ASSERT_TRUE(daemon.process().WaitForStderr("Completed rotation of DB File"));
    const std::string err = daemon.Stderr();
    EXPECT_LT(err.find("Begun rotation of DB file\n"), err.find("Completed rotation of DB File\n"));
    EXPECT_EQ(Sequences("netflow.db.previous"), (Rows{{"1"}, {"1"}}));

    exporter.Send(daemon.port(), Datagram(3, 1));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();
    EXPECT_EQ(SqliteRows(Path("netflow.db"), "SELECT RECNUM, SEQUENCE FROM flows"),
              (Rows{{"1", "3"}}));
    EXPECT_EQ(Sequences("netflow.db.previous"), (Rows{{"1"}, {"1"}}));
}
