// Datagrams into the running daemon and what comes out: the exact text line and SQLite row of a
// flow, a trash line for each kind of rejected datagram, every flow of a burst once, the order of
// a stream cut by SIGTERM, and the operator signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "daemon.h"
#include "v5datagram.h"

using namespace testsupport;
using DaemonFlow = DaemonTest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kRate = "1500";  // a sanitizer build reads slower: no socket overflow
#else
constexpr const char* kRate = "3000";
#endif

// "{T}" stands for the moment the daemon decoded the datagram.
const char* const kExampleLine =
    "Origin:       127.0.0.1 - Received: {T} - Version: 5 Sequence:       1234 From:    "
    "198.51.100.7 Sport:   443 To:     203.0.113.9 Dport:   514 Next_Hop:         0.0.0.0 "
    "Protocol:     6 TCP_Flags: 0x1b TOS:0x00 Bytes:         5120 Packets:           12 Start: "
    "Sat Dec  5 13:29:01 2026 Stop: Sat Dec  5 13:29:20 2026 SrcMask: /24 DstMask: /16\n";

// text with the time text of every second from first to now replaced by "{T}".
std::string Masked(std::string text, time_t first) {
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

}  // namespace

// One worker parses in arrival order. First the exact line, trash lines and row; then a stream of
// 3000 datagrams cut by a SIGTERM: the table holds a prefix of it, in the order sent, each
// datagram's flows together and in record order, with no hole and nothing twice.
TEST_F(DaemonFlow, ExactLinesAndRowsThenAStreamCutBySigtermStoresAPrefixInOrder) {
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
    std::vector<std::pair<long, long>> sent;  // (sequence, source port) of every flow
    std::vector<std::vector<uint8_t>> stream;
    for (uint32_t d = 0, sequence = 0; d < 3000; ++d) {
        std::vector<v5::Record> records(1 + d % 30);
        for (uint16_t r = 0; r < records.size(); ++r) {
            records[r].src_port = r;
            sent.emplace_back(sequence, r);
        }
        stream.push_back(v5::Encode({.sequence = sequence}, records));
        sequence += static_cast<uint32_t>(records.size());
    }
    std::atomic<size_t> sending{0};
    std::thread streamer([&] {
        for (; sending < stream.size(); ++sending) {
            exporter.Send(daemon.port(), stream[sending]);
            std::this_thread::sleep_for(200us);
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return sending > 1000; }));
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    daemon.process().Signal(SIGTERM);
    const int status = daemon.process().Wait(60s);
    streamer.join();
    ASSERT_EQ(status, 0) << daemon.Stderr();

    const std::string text = ReadFile(Path("netflow.log"));
    const size_t second_line = text.find('\n', text.find('\n') + 1);
    EXPECT_EQ(Masked(text.substr(0, second_line + 1), before),
              std::string("Begin Logging\n") + kExampleLine);
    EXPECT_EQ(Masked(ReadFile(Path("netflow_trash.log")), before),
              "Begin Logging\nOrigin: 127.0.0.1 - Warning useless packet of 10 bytes with sport: " +
                  std::to_string(exporter.source_port()) +
                  " at {T}\nOrigin: 127.0.0.1 - Version 9 unsupported packet at {T}\n"
                  "Origin: 127.0.0.1 - Incoming NETFLOW V5 Mangled packet at {T}\n");

    const Rows rows = SqliteRows(Path("netflow.db"),
                                 "SELECT SEQUENCE, SOURCE_PORT FROM flows WHERE RECNUM > 1 "
                                 "ORDER BY RECNUM");
    ASSERT_FALSE(rows.empty());
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(std::make_pair(std::stol(rows[i][0]), std::stol(rows[i][1])), sent[i]) << i;
    }
    const long last = std::stol(rows.back()[0]);
    EXPECT_TRUE(rows.size() == sent.size() || sent[rows.size()].first != last)
        << "a datagram stored in part";
    EXPECT_EQ(Count(text, "\n"), static_cast<long>(rows.size()) + 2);
}

// Four workers under a backlog limit so low that reception pauses again and again; a SIGTERM once
// the burst is read stores every flow once and counts the threads down once a second.
TEST_F(DaemonFlow, BurstThenSigtermStoresEveryFlowOnce) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "4", "-i", "20"})) << daemon.Stderr();
    const auto sent = RunNf5send(
        dir_, daemon.port(),
        {"-c", "4000", "-r", kRate, "--short", "150", "--bad-version", "150", "--mangled", "150"});
    ASSERT_EQ(sent.at("datagrams"), 4000);
    ASSERT_TRUE(daemon.WaitDrained());
    ASSERT_EQ(daemon.Drops(), 0) << "the kernel dropped datagrams: the machine is too busy";
    daemon.process().Signal(SIGTERM);
    ASSERT_TRUE(daemon.process().WaitForStderr("Alive threads: "));
    daemon.process().Signal(SIGTERM);  // changes nothing
    ASSERT_EQ(daemon.process().Wait(60s), 0) << daemon.Stderr();
    // A countdown of at most storage, maintainer and the four workers, then the clean end only.
    const std::string err = daemon.Stderr();
    size_t at = 0;
    for (std::string line; (line = err.substr(at, 17)).starts_with("Alive threads: ") &&
                           line[15] >= '0' && line[15] <= '6' && line.ends_with('\n');) {
        at += line.size();
    }
    EXPECT_TRUE(at > 0 && err.substr(at) ==
                              "Process terminated with value: 0, quitting from clean shutdown\n")
        << err;

    // A datagram's sequence is the count of flows before it: the groups must tile 0 .. flows - 1.
    const Rows groups = SqliteRows(Path("netflow.db"),
                                   "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY 1 ORDER BY 1");
    ASSERT_EQ(static_cast<long>(groups.size()), sent.at("datagrams"));
    long expected = 0;
    for (const auto& group : groups) {
        ASSERT_EQ(std::stol(group[0]), expected) << "a datagram lost or doubled here";
        expected += std::stol(group[1]);
    }
    EXPECT_EQ(expected, sent.at("flows"));
    EXPECT_EQ(LineCount(Path("netflow.log")), sent.at("flows") + 1);
    EXPECT_EQ(LineCount(Path("netflow_trash.log")), sent.at("malformed") + 1);
}

// SIGUSR2 flips the text log and SIGHUP the trash log (piled-up ones: test_signals.cpp). SIGUSR1
// copies the database, open batch included, and collection goes on in the same table; SIGWINCH
// moves the rows to ".previous" and the live table restarts empty, keys from 1. A snapshot whose
// copy cannot be written ends the daemon with status 12 (FileCopy's statuses: test_storage.cpp).
TEST_F(DaemonFlow, OperatorSignals) {
    Daemon daemon(dir_);
    ASSERT_TRUE(daemon.Start({"-n", "1", "-x"})) << daemon.Stderr();
    const Exporter exporter;
    auto send = [&](const std::vector<uint8_t>& bytes) { exporter.Send(daemon.port(), bytes); };
    auto groups = [&](const char* file) {
        return SqliteRows(Path(file), "SELECT SEQUENCE, COUNT(*) FROM flows GROUP BY 1");
    };
    ASSERT_TRUE(daemon.Signal(SIGUSR2) && daemon.Signal(SIGHUP));  // text on, trash off
    send(std::vector<uint8_t>(11, 0));
    send(ExampleDatagram(1));
    const std::string text = Path("netflow.log"), trash = Path("netflow_trash.log");
    ASSERT_TRUE(WaitUntil([&] { return LineCount(text) == 1; }, 30s));  // a pass every 5 s
    ASSERT_TRUE(daemon.Signal(SIGUSR1));
    ASSERT_TRUE(daemon.process().WaitForStderr("Succesfully completed DB File snapshot creation"));
    EXPECT_EQ(groups("netflow.db.snapshot"), (Rows{{"1", "1"}}));
    ASSERT_TRUE(daemon.Signal(SIGWINCH));
    ASSERT_TRUE(daemon.process().WaitForStderr("Completed rotation of DB File"));
    EXPECT_EQ(groups("netflow.db.previous"), (Rows{{"1", "1"}}));
    ASSERT_TRUE(daemon.Signal(SIGUSR2) && daemon.Signal(SIGHUP));  // text off, trash on
    // Read into 16384 bytes: the 340 records survive the cut, the padding behind them does not.
    std::vector<uint8_t> cut = ExampleDatagram(9, v5::kMaxRecords);
    cut.resize(20000, 0);
    send(ExampleDatagram(3));
    send(cut);
    send(std::vector<uint8_t>(13, 0));
    const char* const kKeys = "SELECT MIN(RECNUM), COUNT(*) FROM flows GROUP BY SEQUENCE";
    ASSERT_TRUE(WaitUntil(
        [&] {  // the trash and text logs are written before the rows
            return SqliteRows(Path("netflow.db"), kKeys) == Rows{{"1", "1"}, {"2", "340"}} &&
                   LineCount(trash) == 2;
        },
        30s))
        << daemon.Stderr();
    EXPECT_EQ(groups("netflow.db.snapshot"), (Rows{{"1", "1"}}));
    // A FIFO takes the whole copy but no fsync: the copy's last write fails.
    const std::string fifo = Path("netflow.db.snapshot");
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int held = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GT(fcntl(held, F_SETPIPE_SZ, 1 << 20), 0);
    daemon.process().Signal(SIGUSR1);
    EXPECT_EQ(daemon.process().Wait(), 12);
    close(held);
    EXPECT_TRUE(daemon.Stderr().ends_with(
        "Process terminated with value: 12, quitting from Can't create snapshot\n"))
        << daemon.Stderr();

    // Switched on, the text log is created by its first record, without a "Begin Logging" line.
    EXPECT_TRUE(ReadFile(text).starts_with("Origin:") && LineCount(text) == 1 &&
                Count(ReadFile(text), "Sequence:          1 ") == 1) << ReadFile(text);
    EXPECT_TRUE(ReadFile(trash).starts_with("Begin Logging\n") &&
                Count(ReadFile(trash), "useless packet of 13 bytes") == 1) << ReadFile(trash);
}
