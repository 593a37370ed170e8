#pragma once
// Big-endian loads from a datagram's bytes. Callers check that [offset, offset + size) lies
// inside the span before they load; the span's own bounds are then never crossed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/address.h"

using Bytes = std::span<const uint8_t>;

inline uint16_t Load16(Bytes bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

inline uint32_t Load32(Bytes bytes, size_t offset) {
    return static_cast<uint32_t>(Load16(bytes, offset)) << 16 | Load16(bytes, offset + 2);
}

// An unsigned number of 1 to 8 bytes: exporters may send any integer in fewer bytes than its
// type has (reduced-size encoding).
inline uint64_t LoadUnsigned(Bytes bytes) {
    switch (bytes.size()) {  // the usual sizes, without a loop
        case 1: return bytes[0];
        case 2: return Load16(bytes, 0);
        case 4: return Load32(bytes, 0);
        case 8: return uint64_t{Load32(bytes, 0)} << 32 | Load32(bytes, 4);
        default: break;
    }
    uint64_t value = 0;
    for (const uint8_t byte : bytes) value = value << 8 | byte;
    return value;
}

// An IPv4 (4 bytes) or IPv6 (16 bytes) address, in its wire order, the form inet_ntop renders.
// Written in place: a whole NetAddress built apart and then copied costs a stalled load per
// address.
inline void LoadAddress(Bytes bytes, NetAddress* address) {
    address->family = bytes.size() == 16 ? AF_INET6 : AF_INET;
    std::memset(address->bytes, 0, sizeof address->bytes);
    std::memcpy(address->bytes, bytes.data(), bytes.size());
}

// A flow time stamped by the exporter's uptime counter (milliseconds, wrapping after about 49.7
// days), as Unix seconds: the export time less the flow's age, the unsigned difference staying the
// true age across one wrap; the age rounds down to whole seconds.
inline int32_t UptimeStampSeconds(uint32_t export_seconds, uint32_t uptime, uint32_t stamp) {
    return static_cast<int32_t>(export_seconds - (uptime - stamp) / 1000);
}
