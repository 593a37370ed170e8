// Datagrams into the running daemon and what comes out: the exact text line and SQLite row of a
// flow, a trash line for each kind of rejected datagram, and the operator signals. One worker
// parses in arrival order, so a datagram sent earlier has been parsed once a later one shows up.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <filesystem>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;
using DaemonFlow = DaemonTest;

namespace {

// "{T}" stands for the moment the daemon decoded the datagram.
const char* const kExampleLine =
    "Origin:       127.0.0.1 - Received: {T} - Version: 5 Sequence:       1234 From:    "
    "198.51.100.7 Sport:   443 To:     203.0.113.9 Dport:   514 Next_Hop:         0.0.0.0 "
    "Protocol:     6 TCP_Flags: 0x1b TOS:0x00 Bytes:         5120 Packets:           12 Start: "
    "Sat Dec  5 13:29:01 2026 Stop: Sat Dec  5 13:29:20 2026 SrcMask: /24 DstMask: /16\n";

// The file's text with the time text of every second from first to now replaced by "{T}".
std::string Masked(const std::string& path, time_t first) {
    std::string text = ReadFile(path);
    for (time_t t = first; t <= std::time(nullptr); ++t) {
        char moment[32];
        tm parts{};
        const size_t n =
            std::strftime(moment, sizeof moment, "%a %b %e %T %Y", gmtime_r(&t, &parts));
        for (size_t at = text.find(moment); at != text.npos; at = text.find(moment, at)) {
            text.replace(at, n, "{T}");
        }
    }
    return text;
}

// How the text log shows a one-digit sequence number.
std::string Sequence(int digit) { return "Sequence:          " + std::to_string(digit) + " "; }
std::string Useless(int bytes) { return "useless packet of " + std::to_string(bytes) + " bytes"; }

}  // namespace

TEST_F(DaemonFlow, DatagramsBecomeExactLinesAndRows) {
    const time_t before = std::time(nullptr);
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1"})) << daemon.Stderr();
    std::vector<uint8_t> version9 = ExampleDatagram(1), mangled = ExampleDatagram(2);
    version9[1] = 9;
    v5::SetCount(mangled, 2);
    const Exporter exporter;
    for (const auto& datagram : {std::vector<uint8_t>(10, 5), ExampleDatagram(1234), version9,
                                 mangled, std::vector<uint8_t>{}}) {
        exporter.Send(daemon.port(), datagram);
    }
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    EXPECT_EQ(Masked(Path("netflow.log"), before), std::string("Begin Logging\n") + kExampleLine);
    EXPECT_EQ(Masked(Path("netflow_trash.log"), before),
              "Begin Logging\nOrigin: 127.0.0.1 - Warning useless packet of 10 bytes with sport: " +
                  std::to_string(exporter.source_port()) +
                  " at {T}\nOrigin: 127.0.0.1 - Version 9 unsupported packet at {T}\n"
                  "Origin: 127.0.0.1 - Incoming NETFLOW V5 Mangled packet at {T}\n");
    const Rows rows = SqliteRows(Path("netflow.db"), "SELECT * FROM flows");
    ASSERT_EQ(rows.size(), 1u);
    const std::string received = rows[0][2];
    EXPECT_TRUE(std::stol(received) >= before && std::stol(received) <= std::time(nullptr));
    EXPECT_EQ(rows[0], (std::vector<std::string>{
                           "1", "127.0.0.1", received, "5", "1234", "198.51.100.7", "443",
                           "203.0.113.9", "514", "0.0.0.0", "6", "27", "0", "5120", "12",
                           "1796477341", "1796477360", "64500", "65001", "24", "16"}));
}

// SIGUSR2 flips the text log and SIGHUP the trash log, two of a kind cancel out. SIGUSR1 copies
// the database, open batch included, and collection goes on in the same table; SIGWINCH moves
// the rows to ".previous" and the live table restarts empty, keys from 1.
TEST_F(DaemonFlow, OperatorSignals) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x"})) << daemon.Stderr();
    const Exporter exporter;
    auto send = [&](const std::vector<uint8_t>& bytes) { exporter.Send(daemon.port(), bytes); };
    auto shows = [&](const char* file, const std::string& text) {  // a storage pass every 5 s
        return WaitUntil([&] { return Count(ReadFile(Path(file)), text) > 0; }, 30s);
    };
    auto groups = [&](const char* file) {
        return SqliteRows(Path(file), "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY 1");
    };
    send(std::vector<uint8_t>(10, 0));
    ASSERT_TRUE(shows("netflow_trash.log", Useless(10)));
    ASSERT_TRUE(daemon.Signal(SIGUSR2) && daemon.Signal(SIGHUP));  // text on, trash off
    send(std::vector<uint8_t>(11, 0));
    send(ExampleDatagram(1));
    ASSERT_TRUE(shows("netflow.log", Sequence(1)));
    ASSERT_TRUE(daemon.Signal(SIGUSR1));
    ASSERT_TRUE(daemon.process().WaitForStderr("Succesfully completed DB File snapshot creation"));
    EXPECT_EQ(groups("netflow.db.snapshot"), (Rows{{"1", "1"}}));
    EXPECT_EQ(std::filesystem::status(Path("netflow.db.snapshot")).permissions(),
              std::filesystem::perms{0600});

    for (int sig : {SIGUSR2, SIGUSR2, SIGHUP, SIGHUP}) ASSERT_TRUE(daemon.Signal(sig));
    send(std::vector<uint8_t>(12, 0));
    send(ExampleDatagram(2));
    ASSERT_TRUE(shows("netflow.log", Sequence(2)));
    ASSERT_TRUE(daemon.Signal(SIGWINCH));
    ASSERT_TRUE(daemon.process().WaitForStderr("Completed rotation of DB File"));
    EXPECT_EQ(groups("netflow.db.previous"), (Rows{{"1", "1"}, {"2", "1"}}));
    ASSERT_TRUE(daemon.Signal(SIGUSR2) && daemon.Signal(SIGHUP));  // text off, trash on
    // Read into 16384 bytes: the 340 records survive the cut, the padding behind them does not.
    std::vector<uint8_t> cut = ExampleDatagram(9, v5::kMaxRecords);
    cut.resize(20000, 0);
    send(ExampleDatagram(3));
    send(cut);
    send(std::vector<uint8_t>(13, 0));
    ASSERT_EQ(daemon.Stop(), 0) << daemon.Stderr();

    // Switched on, the text log is created by its first record, without a "Begin Logging" line.
    const std::string text = ReadFile(Path("netflow.log"));
    const std::string trash = ReadFile(Path("netflow_trash.log"));
    EXPECT_TRUE(text.rfind("Origin:", 0) == 0 && Count(text, "\n") == 2) << text;
    EXPECT_EQ(text.find(Sequence(1)), text.find("Sequence:"));
    EXPECT_EQ(text.find(Sequence(2)), text.rfind("Sequence:"));
    EXPECT_TRUE(trash.rfind("Begin Logging\n", 0) == 0 && Count(trash, "\n") == 3) << trash;
    EXPECT_LT(trash.find(Useless(10)), trash.find(Useless(13)));
    EXPECT_NE(trash.find(Useless(13)), std::string::npos);
    const char* const kKeys = "SELECT MIN(RECNUM), COUNT(*) FROM flows GROUP BY SEQUENCE";
    EXPECT_EQ(SqliteRows(Path("netflow.db"), kKeys), (Rows{{"1", "1"}, {"2", "340"}}));
    EXPECT_EQ(groups("netflow.db.snapshot"), (Rows{{"1", "1"}}));
}

