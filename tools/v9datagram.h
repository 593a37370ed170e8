#pragma once
// Builds NetFlow v9 and IPFIX export messages for the tests, the fuzz seeds and the load
// generator: a header, then sets in the order they are added, each padded to 4 bytes unless asked
// not to be (as some exporters leave options sets). Numbers are host order; Bytes() writes them
// big-endian.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "v5datagram.h"

namespace v9 {

inline constexpr uint16_t kV9 = 9;
inline constexpr uint16_t kIpfix = 10;
inline constexpr uint16_t kVariable = 65535;

using v5::Put16;
using v5::Put32;
using v5::Put8;

inline void PutN(std::vector<uint8_t>& out, size_t length, uint64_t value) {
    for (size_t n = length; n > 0; --n) out.push_back(static_cast<uint8_t>(value >> (8 * (n - 1))));
}

// An information element of a template; enterprise non-zero makes it vendor-specific (IPFIX).
struct Field {
    uint16_t element;
    uint16_t length;
    uint32_t enterprise = 0;
};

// One data record's bytes, field by field.
struct Record {
    std::vector<uint8_t> bytes;
    Record& N(size_t length, uint64_t value) {
        PutN(bytes, length, value);
        return *this;
    }
    Record& Address(const char* text) {
        uint8_t raw[16];
        const bool six = std::string(text).find(':') != std::string::npos;
        if (inet_pton(six ? AF_INET6 : AF_INET, text, raw) != 1)
            throw std::invalid_argument(std::string("not an address: ") + text);
        bytes.insert(bytes.end(), raw, raw + (six ? 16 : 4));
        return *this;
    }
    // An IPFIX variable-length value, its length in one byte or, from 255 on, three.
    Record& Variable(const std::vector<uint8_t>& value) {
        if (value.size() < 255) {
            Put8(bytes, static_cast<uint8_t>(value.size()));
        } else {
            Put8(bytes, 255);
            Put16(bytes, static_cast<uint16_t>(value.size()));
        }
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
};

class Message {
public:
    // uptime: the exporter's uptime in milliseconds (v9 only).
    Message(uint16_t version, uint32_t sequence, uint32_t domain, uint32_t export_seconds,
            uint32_t uptime = 0)
        : version_(version),
          sequence_(sequence),
          domain_(domain),
          seconds_(export_seconds),
          uptime_(uptime) {}

    Message& Template(uint16_t id, const std::vector<Field>& fields) {
        std::vector<uint8_t> body;
        Put16(body, id);
        Put16(body, static_cast<uint16_t>(fields.size()));
        PutFields(body, fields);
        return Set(version_ == kIpfix ? 2 : 0, body, 1, true);
    }
    Message& OptionsTemplate(uint16_t id, const std::vector<Field>& scope,
                             const std::vector<Field>& options, bool pad = true) {
        std::vector<uint8_t> body;
        Put16(body, id);
        if (version_ == kIpfix) {
            Put16(body, static_cast<uint16_t>(scope.size() + options.size()));
            Put16(body, static_cast<uint16_t>(scope.size()));
        } else {
            Put16(body, static_cast<uint16_t>(4 * scope.size()));
            Put16(body, static_cast<uint16_t>(4 * options.size()));
        }
        PutFields(body, scope);
        PutFields(body, options);
        return Set(version_ == kIpfix ? 3 : 1, body, 1, pad);
    }
    // IPFIX: withdraws template id, or with id 2 (3) every template (options template).
    Message& Withdraw(uint16_t id, bool options = false) {
        std::vector<uint8_t> body;
        Put16(body, id);
        Put16(body, 0);
        return Set(options ? 3 : 2, body, 1, true);
    }
    Message& Data(uint16_t id, const std::vector<Record>& records, bool pad = true) {
        std::vector<uint8_t> body;
        for (const Record& r : records) body.insert(body.end(), r.bytes.begin(), r.bytes.end());
        return Set(id, body, records.size(), pad);
    }
    // A set of any id and body, as it is given: for malformed messages.
    Message& Raw(uint16_t id, const std::vector<uint8_t>& body, uint16_t length = 0) {
        Put16(sets_, id);
        Put16(sets_, length != 0 ? length : static_cast<uint16_t>(body.size() + 4));
        sets_.insert(sets_.end(), body.begin(), body.end());
        return *this;
    }

    // v9's count is every record, templates included, as RFC 3954 has it; IPFIX's length is the
    // message's.
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out;
        Put16(out, version_);
        if (version_ == kIpfix) {
            Put16(out, static_cast<uint16_t>(16 + sets_.size()));
            Put32(out, seconds_);
        } else {
            Put16(out, static_cast<uint16_t>(records_));
            Put32(out, uptime_);
            Put32(out, seconds_);
        }
        Put32(out, sequence_);
        Put32(out, domain_);
        out.insert(out.end(), sets_.begin(), sets_.end());
        return out;
    }

    // A message Bytes() made, given a new sequence number, export time and (v9) uptime.
    static void Restamp(std::vector<uint8_t>& message, uint32_t sequence, uint32_t export_seconds,
                        uint32_t uptime) {
        const bool ipfix = Get16(message, 0) == kIpfix;
        if (!ipfix) Set32(message, 4, uptime);
        Set32(message, ipfix ? 4 : 8, export_seconds);
        Set32(message, ipfix ? 8 : 12, sequence);
    }

private:
    static uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
        return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
    }
    static void Set32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
        for (size_t n = 0; n < 4; ++n) bytes[at + n] = static_cast<uint8_t>(value >> (24 - 8 * n));
    }
    void PutFields(std::vector<uint8_t>& body, const std::vector<Field>& fields) const {
        for (const Field& f : fields) {
            Put16(body, static_cast<uint16_t>(f.element | (f.enterprise != 0 ? 0x8000 : 0)));
            Put16(body, f.length);
            if (f.enterprise != 0) Put32(body, f.enterprise);
        }
    }
    Message& Set(uint16_t id, std::vector<uint8_t> body, size_t records, bool pad) {
        while (pad && body.size() % 4 != 0) body.push_back(0);
        records_ += records;
        return Raw(id, body);
    }

    uint16_t version_;
    uint32_t sequence_, domain_, seconds_, uptime_;
    size_t records_ = 0;
    std::vector<uint8_t> sets_;
};

// ---- the flows nf5send exports -----------------------------------------------------------

// A flow as the load generator makes it. Times: v9 the exporter's uptime in milliseconds,
// IPFIX Unix milliseconds.
struct Flow {
    bool ipv6 = false;
    std::string source, destination, next_hop;
    uint16_t src_port = 0, dst_port = 0;
    uint8_t protocol = 0, tcp_flags = 0, tos = 0, src_mask = 0, dst_mask = 0;
    uint64_t bytes = 0, packets = 0;
    uint64_t first = 0, last = 0;
    uint32_t src_as = 0, dst_as = 0;
};

inline std::vector<Field> FlowFields(uint16_t version, bool ipv6) {
    const uint16_t a = ipv6 ? 16 : 4;
    const uint16_t time = version == kIpfix ? 8 : 4;
    return {{static_cast<uint16_t>(ipv6 ? 27 : 8), a},
            {static_cast<uint16_t>(ipv6 ? 28 : 12), a},
            {static_cast<uint16_t>(ipv6 ? 62 : 15), a},
            {7, 2},
            {11, 2},
            {4, 1},
            {6, 1},
            {5, 1},
            {1, 8},
            {2, 8},
            {static_cast<uint16_t>(version == kIpfix ? 152 : 22), time},
            {static_cast<uint16_t>(version == kIpfix ? 153 : 21), time},
            {16, 4},
            {17, 4},
            {static_cast<uint16_t>(ipv6 ? 29 : 9), 1},
            {static_cast<uint16_t>(ipv6 ? 30 : 13), 1}};
}

inline Record FlowRecord(uint16_t version, const Flow& f) {
    const size_t time = version == kIpfix ? 8 : 4;
    Record r;
    r.Address(f.source.c_str()).Address(f.destination.c_str()).Address(f.next_hop.c_str());
    r.N(2, f.src_port).N(2, f.dst_port).N(1, f.protocol).N(1, f.tcp_flags).N(1, f.tos);
    r.N(8, f.bytes).N(8, f.packets).N(time, f.first).N(time, f.last).N(4, f.src_as);
    return r.N(4, f.dst_as).N(1, f.src_mask).N(1, f.dst_mask);
}

}  // namespace v9
