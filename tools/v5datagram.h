#pragma once
// Builds NetFlow v5 export datagrams for the tests, the fuzz seeds and the load generator.
// Fields are host-order numbers, addresses included (192.0.2.1 is 0xC0000201); Encode writes
// them big-endian, as exporters put them on the wire.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace v5 {

inline constexpr size_t kHeaderSize = 24;
inline constexpr size_t kRecordSize = 48;
// Records that fit in the collector's 16384-byte receive buffer.
inline constexpr size_t kMaxRecords = (16384 - kHeaderSize) / kRecordSize;

struct Header {
    uint16_t version = 5;
    uint32_t uptime = 0;  // milliseconds since the exporter booted
    uint32_t unixseconds = 0;
    uint32_t unixnanoseconds = 0;
    uint32_t sequence = 0;
    uint8_t EngineType = 0;
    uint8_t EngineId = 0;
    uint16_t SampleRate = 0;
};

struct Record {
    uint32_t s_ip = 0;
    uint32_t d_ip = 0;
    uint32_t next_hop = 0;
    uint16_t inIfIndex = 0;
    uint16_t outIfIndex = 0;
    uint32_t packets = 0;
    uint32_t bytes = 0;
    uint32_t time_start = 0;  // exporter uptime at the first packet, milliseconds
    uint32_t time_stop = 0;   // exporter uptime at the last packet, milliseconds
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t pad = 0;
    uint8_t tcp_flags = 0;
    uint8_t ip_protocol = 0;
    uint8_t tos = 0;
    uint16_t src_as = 0;
    uint16_t dst_as = 0;
    uint8_t src_netmask = 0;
    uint8_t dst_netmask = 0;
    uint16_t padding = 0;
};

inline void Put8(std::vector<uint8_t>& out, uint8_t value) { out.push_back(value); }

inline void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value));
}

// Overwrites the header's record count, e.g. to build a datagram whose count does not match it.
inline void SetCount(std::vector<uint8_t>& datagram, uint16_t count) {
    datagram.at(2) = static_cast<uint8_t>(count >> 8);
    datagram.at(3) = static_cast<uint8_t>(count);
}

inline void EncodeRecord(std::vector<uint8_t>& out, const Record& r) {
    Put32(out, r.s_ip);
    Put32(out, r.d_ip);
    Put32(out, r.next_hop);
    Put16(out, r.inIfIndex);
    Put16(out, r.outIfIndex);
    Put32(out, r.packets);
    Put32(out, r.bytes);
    Put32(out, r.time_start);
    Put32(out, r.time_stop);
    Put16(out, r.src_port);
    Put16(out, r.dst_port);
    Put8(out, r.pad);
    Put8(out, r.tcp_flags);
    Put8(out, r.ip_protocol);
    Put8(out, r.tos);
    Put16(out, r.src_as);
    Put16(out, r.dst_as);
    Put8(out, r.src_netmask);
    Put8(out, r.dst_netmask);
    Put16(out, r.padding);
}

// The header's count is the number of records given (cut to 16 bits, as the wire holds it).
inline std::vector<uint8_t> Encode(const Header& h, const std::vector<Record>& records = {}) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + kRecordSize * records.size());
    Put16(out, h.version);
    Put16(out, static_cast<uint16_t>(records.size()));
    Put32(out, h.uptime);
    Put32(out, h.unixseconds);
    Put32(out, h.unixnanoseconds);
    Put32(out, h.sequence);
    Put8(out, h.EngineType);
    Put8(out, h.EngineId);
    Put16(out, h.SampleRate);
    for (const Record& r : records) EncodeRecord(out, r);
    return out;
}

// Dotted text to a host-order address; false if the text is not an IPv4 address.
inline bool ParseIpv4(const char* dotted, uint32_t* address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, dotted, &parsed) != 1) return false;
    *address = ntohl(parsed.s_addr);
    return true;
}

inline uint32_t Ipv4(const char* dotted) {
    uint32_t address = 0;
    if (!ParseIpv4(dotted, &address)) {
        throw std::invalid_argument(std::string("not an IPv4 address: ") + dotted);
    }
    return address;
}

}  // namespace v5
