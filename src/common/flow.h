#pragma once
// One decoded flow, as it travels from the parser through the storage queue to every sink.
// Addresses are in network byte order (ready for inet_ntop); other numbers in host order.
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
