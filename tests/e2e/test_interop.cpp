// Interoperability: softflowd exports a capture of IPv4 and IPv6 TCP, UDP and ICMP traffic
// (tests/interop/frames.hex), as NetFlow v9 and as IPFIX, to the real daemon over loopback; tshark
// decodes the export datagrams off the loopback interface, and every record it decodes must be
// stored, field for field, in the SQLite table.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"

using namespace testsupport;
using Interop = DaemonTest;

namespace {

// The capture softflowd reads, from the frames of tests/interop/frames.hex.
bool WriteCapture(const std::string& dir) {
    return Run({"/usr/bin/text2pcap", "-q", "-F", "pcap", "-t", "%s", "-r",
                "^(?<time>\\d+) (?<data>[0-9a-f]+)$", NF5D_SOURCE_DIR "/tests/interop/frames.hex",
                "traffic.pcap"}, dir).status == 0;
}

// tshark dissects at most `count` sets of a v9 datagram, and some exporters count only their data
// records there: each v9 datagram of the capture (Ethernet, IPv4, UDP: payload at 42) gets 65535.
void OpenV9Counts(const std::string& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (size_t at = 24; at + 16 <= bytes.size();) {
        const auto length =
            static_cast<uint8_t>(bytes[at + 8]) | static_cast<uint8_t>(bytes[at + 9]) << 8;
        const size_t payload = at + 16 + 42;
        if (payload + 4 <= bytes.size() && bytes[payload] == 0 && bytes[payload + 1] == 9)
            bytes[payload + 2] = bytes[payload + 3] = '\xff';
        at += 16 + static_cast<size_t>(length);
    }
    file.seekp(0);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The value="..." of a PDML field line, as a number (hex) or "" if absent.
std::string Attribute(const std::string& line, const std::string& name) {
    const size_t at = line.find(" " + name + "=\"");
    if (at == std::string::npos) return "";
    const size_t begin = at + name.size() + 3;
    return line.substr(begin, line.find('"', begin) - begin);
}

uint64_t Hex(const std::string& line) { return std::stoull(Attribute(line, "value"), nullptr, 16); }

// Each flow record tshark decodes, as a row of the fields the table holds: source, source port,
// destination, destination port, next hop, protocol, TCP flags, TOS, bytes, packets, begin, end.
// Times follow each version's rule from the raw values: v9 from the header's uptime and export
// time, IPFIX from the boot time of the options record.
std::vector<std::string> DecodedRecords(const std::string& pdml) {
    std::vector<std::string> rows;
    std::map<std::string, std::string> record, header;
    const auto finish = [&] {
        if (record.count("source") == 0) return;
        for (const char* absent : {"sport", "dport", "flags", "tos"})  // stored as 0
            if (record.count(absent) == 0) record[absent] = "0";
        const std::string zero = record["source"].find(':') != std::string::npos ? "::" : "0.0.0.0";
        rows.push_back(record["source"] + "|" + record["sport"] + "|" + record["destination"] +
                       "|" + record["dport"] + "|" + zero + "|" + record["protocol"] + "|" +
                       record["flags"] + "|" + record["tos"] + "|" + record["bytes"] + "|" +
                       record["packets"] + "|" + record["begin"] + "|" + record["end"]);
    };
    const auto time = [&](uint64_t stamp) {
        if (header.count("uptime") != 0)
            return std::to_string(static_cast<int32_t>(
                std::stoul(header["secs"]) - (static_cast<uint32_t>(std::stoul(header["uptime"])) -
                                              static_cast<uint32_t>(stamp)) /
                                                 1000));
        return std::to_string((std::stoull(header["init"]) + stamp) / 1000);
    };
    std::istringstream lines(pdml);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = Attribute(line, "name");
        if (line.find(" show=\"Flow ") != std::string::npos || name == "cflow.version") {
            finish();
            record.clear();
            if (name == "cflow.version") header.clear();
        }
        if (name == "cflow.sysuptime") header["uptime"] = std::to_string(Hex(line));
        if (name == "cflow.unix_secs") header["secs"] = std::to_string(Hex(line));
        if (name == "cflow.sys_init_time") header["init"] = std::to_string(Hex(line));
        const std::map<std::string, std::string> kFields = {
            {"cflow.srcaddr", "source"},      {"cflow.srcaddrv6", "source"},
            {"cflow.dstaddr", "destination"}, {"cflow.dstaddrv6", "destination"},
            {"cflow.srcport", "sport"},       {"cflow.dstport", "dport"},
            {"cflow.protocol", "protocol"},   {"cflow.octets", "bytes"},
            {"cflow.packets", "packets"}};
        if (kFields.count(name) != 0)
            record[kFields.at(name)] = name.find("addr") != std::string::npos
                                           ? Attribute(line, "show")
                                           : std::to_string(Hex(line));
        if (name == "cflow.tcpflags") record["flags"] = std::to_string(Hex(line));
        if (name == "cflow.tos") record["tos"] = std::to_string(Hex(line));
        if (name == "cflow.timestart") record["begin"] = time(Hex(line));
        if (name == "cflow.timeend") record["end"] = time(Hex(line));
    }
    finish();
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::string> StoredRecords(const std::string& db) {
    std::vector<std::string> rows;
    for (const auto& row : SqliteRows(db,
                                      "SELECT SOURCE_IP, SOURCE_PORT, DEST_IP, DEST_PORT, "
                                      "NEXT_HOP, PROTOCOL, TCP_FLAGS, TOS, BYTES, PACKETS, "
                                      "FLOW_BEGIN, FLOW_END FROM flows")) {
        std::string text;
        for (const std::string& value : row) text += (text.empty() ? "" : "|") + value;
        rows.push_back(text);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// The program's path, "" if it is not installed (Process runs a path, not a name).
std::string Which(const char* program) {
    const RunResult found = Run({"/bin/sh", "-c", std::string("command -v ") + program}, "/");
    return found.status == 0 ? found.out.substr(0, found.out.find('\n')) : "";
}

}  // namespace

TEST_F(Interop, SoftflowdExportsAreStoredAsTsharkDecodesThem) {
    const std::string softflowd = Which("softflowd"), softflowctl = Which("softflowctl"),
                      tshark_path = Which("tshark");
    if (softflowd.empty() || tshark_path.empty() || getuid() != 0)
        GTEST_SKIP() << "softflowd, tshark and root (to capture on lo) are needed";
    ASSERT_TRUE(WriteCapture(dir_));
    for (const char* version : {"9", "10"}) {
        SCOPED_TRACE(std::string("softflowd -v ") + version);
        const std::string db = Path(std::string("v") + version + ".db");
        const std::string capture = Path(std::string("v") + version + ".pcap");
        Daemon daemon(dir_);
        ASSERT_TRUE(
            daemon.Start({"--netflow", "v9,ipfix", "-a", "127.0.0.1", "-x", "-z", "-b", db}));
        const std::string port = std::to_string(daemon.port());
        Process tshark(
            {tshark_path, "-i", "lo", "-f", "udp dst port " + port, "-F", "pcap", "-w", capture},
            dir_);
        ASSERT_TRUE(tshark.WaitForStderr("Capture started"));  // "Capturing on" comes earlier
        // softflowd waits on its control socket before it reads a file: each poke lets it go on.
        Process exporter({softflowd, "-r", "traffic.pcap", "-n", "127.0.0.1:" + port, "-v", version,
                          "-d", "-p", Path("softflowd.pid"), "-c", Path("softflowd.ctl")},
                         dir_);
        EXPECT_TRUE(WaitUntil([&] {
            testsupport::Run({softflowctl, "-c", Path("softflowd.ctl"), "statistics"}, dir_, {},
                             2s);
            return exporter.Wait(100ms) != -1;
        }));
        ASSERT_TRUE(daemon.WaitDrained());
        ASSERT_EQ(daemon.Stop(), 0);
        // dumpcap writes each packet as it comes: past the 24-byte header, the export was seen.
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::file_size(capture) > 24; }));
        tshark.Signal(SIGINT);
        ASSERT_EQ(tshark.Wait(), 0) << tshark.Stderr();
        OpenV9Counts(capture);
        const RunResult decoded = testsupport::Run(
            {tshark_path, "-r", capture, "-d", "udp.port==" + port + ",cflow", "-T", "pdml"}, dir_);
        const std::vector<std::string> records = DecodedRecords(decoded.out);
        EXPECT_EQ(records.size(), 6u) << decoded.err;
        EXPECT_EQ(StoredRecords(db), records);
    }
}
