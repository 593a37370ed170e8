#pragma once
// NetFlow v5 datagram decoding. The parser judges a datagram and decodes its records; where the
// flows and the rejections go is the caller's (sched/workers.cpp). Safe from several threads.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/flow.h"
#include "common/metrics.h"

// Records in the largest datagram the receive buffer holds.
constexpr size_t kMaxRecords = (16384 - 24) / 48;

// The header fields a flow record needs; the engine and sampling fields are not kept.
struct NetFlowHeader {
    uint16_t version;
    uint16_t count;
    uint32_t uptime;
    uint32_t unixseconds;
    uint32_t sequence;
};

// Decodes the header of a datagram that NetFlowPacketParser accepts; false for one it rejects.
bool DecodeNetFlowHeader(const char* packet, int packetsize, NetFlowHeader* header);

// A datagram as the parser judged it. packet stays the caller's and must outlive it.
struct ParsedDatagram {
    const char* packet;
    int packetsize;
    sockaddr_in from;
    time_t received;
    NetFlowHeader header;  // header.count flows when accepted
    bool rejected;
    Reject reason;  // when rejected
};

// packet holds packetsize bytes, from the IPv4 sockaddr_in of the sender. A datagram is accepted
// whole, one flow per record, or rejected (and counted by its reason). header, if not null, is
// the datagram's header as DecodeNetFlowHeader accepted it, which is then not decoded again.
ParsedDatagram NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize,
                                   const NetFlowHeader* header = nullptr);
// Accepted datagrams: decodes up to room flows from record first on into flows; how many.
size_t DecodeFlows(const ParsedDatagram& datagram, size_t first, FlowItem* flows, size_t room);
// Rejected datagrams: the trash line that says why, ending in a newline.
void RenderTrashLine(const ParsedDatagram& datagram, char* line, size_t size);
