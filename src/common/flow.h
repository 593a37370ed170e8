#pragma once
// One decoded flow, as it travels from the parser through the storage queue to every sink.
// Addresses are IPv4 or IPv6 (common/address.h); other numbers in host order. Counters are as
// wide as any exporter sends them (IPFIX: 8 bytes), AS numbers 4 bytes.
#include <cstddef>
#include <cstdint>

#include "common/address.h"

struct FlowItem {
    NetAddress origin_ip;
    int32_t time_received;
    uint8_t version;
    uint32_t sequence;
    NetAddress src_ip;
    uint16_t src_port;
    NetAddress dst_ip;
    uint16_t dst_port;
    NetAddress next_hop;
    uint8_t protocol;
    uint8_t tcp_flags;
    uint8_t tos;
    uint64_t bytes;
    uint64_t packets;
    int32_t flow_begin;
    int32_t flow_end;
    uint32_t src_as;
    uint32_t dst_as;
    uint8_t src_mask;
    uint8_t dst_mask;
};

// How a field is stored and shown: an address (text, CHAR), a time (Unix seconds,
// INTEGER; text in the text log, a local date and time for MySQL) or a number (INTEGER).
enum class FieldKind { kAddress, kTime, kNumber };
// How the text log pads a value: with blanks to width, or with zeros to width in decimal or hex.
enum class TextForm { kBlanks, kZeros, kHexZeros };

// One field of a flow as every sink stores it: its column in table flows (after the RECNUM
// key), its kind, its value (an address's: address, value null), and its place in the text log
// line (label null: not shown there). Counters above 2^63 - 1, which SQLite's INTEGER cannot
// hold, read as negative numbers.
struct FlowField {
    const char* column;
    FieldKind kind;
    int64_t (*value)(const FlowItem& flow);
    const NetAddress& (*address)(const FlowItem& flow);
    const char* label;
    TextForm form;
    int width;
};

// The fields in column order, which is also their order in the text log line.
inline constexpr FlowField kFlowFields[] = {
    {"PROBE", FieldKind::kAddress, nullptr,
     [](const FlowItem& f) -> const NetAddress& { return f.origin_ip; },
     "Origin: ", TextForm::kBlanks, 15},
    {"TIME_RECEIVED", FieldKind::kTime,
     [](const FlowItem& f) -> int64_t { return f.time_received; }, nullptr,
     " - Received: ", TextForm::kBlanks, 0},
    {"FLOW_VERSION", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.version; }, nullptr,
     " - Version: ", TextForm::kBlanks, 0},
    {"SEQUENCE", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.sequence; }, nullptr,
     " Sequence: ", TextForm::kBlanks, 10},
    {"SOURCE_IP", FieldKind::kAddress, nullptr,
     [](const FlowItem& f) -> const NetAddress& { return f.src_ip; },
     " From: ", TextForm::kBlanks, 15},
    {"SOURCE_PORT", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.src_port; }, nullptr,
     " Sport: ", TextForm::kBlanks, 5},
    {"DEST_IP", FieldKind::kAddress, nullptr,
     [](const FlowItem& f) -> const NetAddress& { return f.dst_ip; },
     " To: ", TextForm::kBlanks, 15},
    {"DEST_PORT", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.dst_port; }, nullptr,
     " Dport: ", TextForm::kBlanks, 5},
    {"NEXT_HOP", FieldKind::kAddress, nullptr,
     [](const FlowItem& f) -> const NetAddress& { return f.next_hop; },
     " Next_Hop: ", TextForm::kBlanks, 15},
    {"PROTOCOL", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.protocol; }, nullptr,
     " Protocol: ", TextForm::kBlanks, 5},
    {"TCP_FLAGS", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.tcp_flags; }, nullptr,
     " TCP_Flags: 0x", TextForm::kHexZeros, 2},
    {"TOS", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.tos; }, nullptr, " TOS:0x",
     TextForm::kHexZeros, 2},
    {"BYTES", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.bytes; }, nullptr,
     " Bytes: ", TextForm::kBlanks, 12},
    {"PACKETS", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.packets; }, nullptr,
     " Packets: ", TextForm::kBlanks, 12},
    {"FLOW_BEGIN", FieldKind::kTime,
     [](const FlowItem& f) -> int64_t { return f.flow_begin; }, nullptr,
     " Start: ", TextForm::kBlanks, 0},
    {"FLOW_END", FieldKind::kTime,
     [](const FlowItem& f) -> int64_t { return f.flow_end; }, nullptr,
     " Stop: ", TextForm::kBlanks, 0},
    {"SOURCE_AS", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.src_as; }, nullptr,
     nullptr, TextForm::kBlanks, 0},
    {"DEST_AS", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.dst_as; }, nullptr, nullptr,
     TextForm::kBlanks, 0},
    {"SOURCE_MASK", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.src_mask; }, nullptr,
     " SrcMask: /", TextForm::kZeros, 2},
    {"DEST_MASK", FieldKind::kNumber,
     [](const FlowItem& f) -> int64_t { return f.dst_mask; }, nullptr,
     " DstMask: /", TextForm::kZeros, 2},
};
inline constexpr size_t kFlowFieldCount = sizeof kFlowFields / sizeof kFlowFields[0];
