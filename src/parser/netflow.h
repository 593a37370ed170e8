#pragma once
// Datagram decoding: NetFlow v5 here, v9 and IPFIX (parser/v9ipfix.h) when --netflow takes them.
// The parser judges a datagram and decodes its records; where the flows and the rejections go is
// the caller's (sched/workers.cpp). Safe from several threads.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/address.h"
#include "common/flow.h"
#include "common/metrics.h"
#include "parser/v9ipfix.h"

constexpr uint16_t kNetFlowV5 = 5;
// A v5 datagram: a header, then its records.
constexpr int kV5HeaderSize = 24;
constexpr int kV5RecordSize = 48;
// Records in the largest v5 datagram the receive buffer holds.
constexpr size_t kMaxRecords = (16384 - kV5HeaderSize) / kV5RecordSize;

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
    NetAddress origin;  // the sender
    uint16_t port;      // its UDP port
    time_t received;
    // v5: header.count flows when accepted. v9 and IPFIX: version alone, count 0; their flows come
    // from DecodeExportFlows, by the plan the receive loop made (null: none was made).
    NetFlowHeader header;
    const ExportPlan* plan;
    bool rejected;
    Reject reason;  // when rejected
};

// packet holds packetsize bytes, from the sockaddr_in or sockaddr_in6 of the sender. A datagram
// is accepted whole, one flow per record, or rejected (and counted by its reason). header, if not
// null, is the datagram's header as DecodeNetFlowHeader accepted it, which is then not decoded
// again; plan, that of a v9 or IPFIX datagram (LearnTemplates), which must outlive the result.
ParsedDatagram NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize,
                                   const NetFlowHeader* header = nullptr,
                                   const ExportPlan* plan = nullptr);
// Accepted datagrams: decodes up to room flows from record first on into flows; how many.
size_t DecodeFlows(const ParsedDatagram& datagram, size_t first, FlowItem* flows, size_t room);
// Accepted v9 and IPFIX datagrams: every flow, handed to emit in record order, in batches.
void DecodeExportFlows(const ParsedDatagram& datagram, FlowBatch emit, void* context);
// Receive loop, for every datagram in arrival order before it is queued: a v9 or IPFIX datagram
// of a version taken teaches its templates and gets its plan (LearnFromExport). True, with what
// the templates held counted in it, for one that is sound; the plan is cleared for any other.
bool LearnTemplates(const char* packet, size_t packetsize, const sockaddr* from, time_t now,
                    ExportCounts* counts, ExportPlan* plan);
// The parser's series of the metrics (common/metrics.h), added once.
void AddParserReadings();
// Rejected datagrams: the trash line that says why, ending in a newline.
void RenderTrashLine(const ParsedDatagram& datagram, char* line, size_t size);
