#pragma once
// One decoded flow, as it travels from the parser through the storage queue to every sink.
// Addresses are in network byte order (ready for inet_ntop); other numbers in host order.
#include <cstddef>
#include <cstdint>

struct FlowItem {
    uint32_t origin_ip;
    int32_t time_received;
    uint8_t version;
    uint32_t sequence;
    uint32_t src_ip;
    uint16_t src_port;
    uint32_t dst_ip;
    uint16_t dst_port;
    uint32_t next_hop;
    uint8_t protocol;
    uint8_t tcp_flags;
    uint8_t tos;
    uint32_t bytes;
    uint32_t packets;
    int32_t flow_begin;
    int32_t flow_end;
    uint16_t src_as;
    uint16_t dst_as;
    uint8_t src_mask;
    uint8_t dst_mask;
};

// How a field is stored and shown: an address (dotted text, CHAR), a time (Unix seconds,
// INTEGER; text in the text log, a local date and time for MySQL) or a number (INTEGER).
enum class FieldKind { kAddress, kTime, kNumber };
// How the text log pads a value: with blanks to width, or with zeros to width in decimal or hex.
enum class TextForm { kBlanks, kZeros, kHexZeros };

// One field of a flow as every sink stores it: its column in table flows (after the RECNUM
// key), its kind, its value, and its place in the text log line (label null: not shown there).
struct FlowField {
    const char* column;
    FieldKind kind;
    int64_t (*value)(const FlowItem& flow);
    const char* label;
    TextForm form;
    int width;
};

// The fields in column order, which is also their order in the text log line.
inline constexpr FlowField kFlowFields[] = {
    {"PROBE", FieldKind::kAddress, [](const FlowItem& f) -> int64_t { return f.origin_ip; },
     "Origin: ", TextForm::kBlanks, 15},
    {"TIME_RECEIVED", FieldKind::kTime,
     [](const FlowItem& f) -> int64_t { return f.time_received; },
     " - Received: ", TextForm::kBlanks, 0},
    {"FLOW_VERSION", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.version; },
     " - Version: ", TextForm::kBlanks, 0},
    {"SEQUENCE", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.sequence; },
     " Sequence: ", TextForm::kBlanks, 10},
    {"SOURCE_IP", FieldKind::kAddress, [](const FlowItem& f) -> int64_t { return f.src_ip; },
     " From: ", TextForm::kBlanks, 15},
    {"SOURCE_PORT", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.src_port; },
     " Sport: ", TextForm::kBlanks, 5},
    {"DEST_IP", FieldKind::kAddress, [](const FlowItem& f) -> int64_t { return f.dst_ip; },
     " To: ", TextForm::kBlanks, 15},
    {"DEST_PORT", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.dst_port; },
     " Dport: ", TextForm::kBlanks, 5},
    {"NEXT_HOP", FieldKind::kAddress, [](const FlowItem& f) -> int64_t { return f.next_hop; },
     " Next_Hop: ", TextForm::kBlanks, 15},
    {"PROTOCOL", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.protocol; },
     " Protocol: ", TextForm::kBlanks, 5},
    {"TCP_FLAGS", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.tcp_flags; },
     " TCP_Flags: 0x", TextForm::kHexZeros, 2},
    {"TOS", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.tos; }, " TOS:0x",
     TextForm::kHexZeros, 2},
    {"BYTES", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.bytes; },
     " Bytes: ", TextForm::kBlanks, 12},
    {"PACKETS", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.packets; },
     " Packets: ", TextForm::kBlanks, 12},
    {"FLOW_BEGIN", FieldKind::kTime, [](const FlowItem& f) -> int64_t { return f.flow_begin; },
     " Start: ", TextForm::kBlanks, 0},
    {"FLOW_END", FieldKind::kTime, [](const FlowItem& f) -> int64_t { return f.flow_end; },
     " Stop: ", TextForm::kBlanks, 0},
    {"SOURCE_AS", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.src_as; },
     nullptr, TextForm::kBlanks, 0},
    {"DEST_AS", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.dst_as; }, nullptr,
     TextForm::kBlanks, 0},
    {"SOURCE_MASK", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.src_mask; },
     " SrcMask: /", TextForm::kZeros, 2},
    {"DEST_MASK", FieldKind::kNumber, [](const FlowItem& f) -> int64_t { return f.dst_mask; },
     " DstMask: /", TextForm::kZeros, 2},
};
inline constexpr size_t kFlowFieldCount = sizeof kFlowFields / sizeof kFlowFields[0];
