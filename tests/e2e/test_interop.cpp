// Interoperability: softflowd exports a capture of IPv4 and IPv6 TCP, UDP and ICMP traffic that the
// test writes itself, as NetFlow v9 and as IPFIX, to the real daemon over loopback; tshark decodes
// the export datagrams off the loopback interface, and every record it decodes must be stored,
// field for field, in the SQLite table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"

using namespace testsupport;
using Interop = DaemonTest;

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& out, uint64_t value, size_t size, bool big = true) {
    for (size_t n = 0; n < size; ++n)
        out.push_back(static_cast<uint8_t>(value >> (8 * (big ? size - 1 - n : n))));
}

void PutAddress(Bytes& out, const char* text) {
    uint8_t raw[16];
    const bool six = std::string(text).find(':') != std::string::npos;
    inet_pton(six ? AF_INET6 : AF_INET, text, raw);
    out.insert(out.end(), raw, raw + (six ? 16 : 4));
}

// One packet of the capture: an Ethernet frame, IPv4 or IPv6, then the transport header.
Bytes Frame(const char* source, const char* destination, uint8_t protocol, uint16_t sport,
            uint16_t dport, uint8_t flags) {
    Bytes transport;
    if (protocol == 6) {
        Put(transport, sport, 2), Put(transport, dport, 2), Put(transport, 1, 4);
        Put(transport, 0, 4), Put(transport, 0x50, 1), Put(transport, flags, 1);
        Put(transport, 8192, 2), Put(transport, 0, 4);
    } else if (protocol == 17) {
        Put(transport, sport, 2), Put(transport, dport, 2), Put(transport, 28, 2);
        Put(transport, 0, 2);
    } else {
        Put(transport, protocol == 1 ? 8 : 128, 1), Put(transport, 0, 7);  // echo request
    }
    transport.resize(transport.size() + 20, 'x');
    const bool six = std::string(source).find(':') != std::string::npos;
    Bytes frame(12, 0x02);
    Put(frame, six ? 0x86dd : 0x0800, 2);
    if (six) {
        Put(frame, 0x60000000, 4), Put(frame, transport.size(), 2), Put(frame, protocol, 1);
        Put(frame, 64, 1);
    } else {  // the checksum left 0: softflowd does not check it
        Put(frame, 0x45, 1), Put(frame, 0, 1), Put(frame, 20 + transport.size(), 2);
        Put(frame, 1, 2), Put(frame, 0, 2), Put(frame, 64, 1), Put(frame, protocol, 1);
        Put(frame, 0, 2);
    }
    PutAddress(frame, source);
    PutAddress(frame, destination);
    frame.insert(frame.end(), transport.begin(), transport.end());
    return frame;
}

// The capture softflowd reads: ten flows of both families and three protocols, one packet a
// second in time order.
void WriteCapture(const std::string& path) {
    const struct {
        const char *source, *destination;
        uint8_t protocol;
        uint16_t sport, dport;
        uint8_t flags;
        int packets;
    } flows[] = {
        {"10.0.0.1", "192.0.2.7", 6, 40000, 443, 0x18, 3},
        {"10.0.0.2", "192.0.2.8", 17, 5353, 53, 0, 2},
        {"10.0.0.3", "192.0.2.9", 1, 0, 0, 0, 1},
        {"2001:db8::1", "2001:db8::2", 6, 40001, 80, 0x02, 2},
        {"2001:db8::3", "2001:db8:0:1::4", 17, 1234, 5678, 0, 1},
        {"2001:db8::5", "2001:db8::6", 58, 0, 0, 0, 1},
    };
    Bytes file;
    Put(file, 0xa1b2c3d4, 4, false), Put(file, 2, 2, false), Put(file, 4, 2, false);
    Put(file, 0, 8, false), Put(file, 65535, 4, false), Put(file, 1, 4, false);
    for (int second = 0; second < 3; ++second)
        for (const auto& f : flows) {
            if (second >= f.packets) continue;
            const Bytes frame =
                Frame(f.source, f.destination, f.protocol, f.sport, f.dport, f.flags);
            Put(file, 1700000000 + second, 4, false), Put(file, 0, 4, false);
            Put(file, frame.size(), 4, false), Put(file, frame.size(), 4, false);
            file.insert(file.end(), frame.begin(), frame.end());
        }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
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
    WriteCapture(Path("traffic.pcap"));
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
        ASSERT_TRUE(tshark.WaitForStderr("Capturing on"));
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
