#include "parser/netflow.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "common/flow.h"
#include "common/messages.h"
#include "common/metrics.h"

namespace {

// Trash lines. None ends in a newline: the receive-time text that closes each line keeps the
// newline that ctime puts at the end of its text.
constexpr const char* kUselessFormat =
    "Origin: %s - Warning useless packet of %d bytes with sport: %d at %s";
constexpr const char* kUnsupportedFormat = "Origin: %s - Version %d unsupported packet at %s";
constexpr const char* kMangledFormat = "Origin: %s - Incoming NETFLOW V%d Mangled packet at %s";
// Stands in for the receive time when ctime_r cannot render the clock value, so that the trash
// line still ends with its newline.
constexpr const char* kUnknownTime = "Unknown\n";

constexpr int kHeaderSize = 24;
constexpr int kRecordSize = 48;
constexpr uint16_t kNetFlowVersion = 5;

using Bytes = std::span<const uint8_t>;

uint16_t Load16(Bytes bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

uint32_t Load32(Bytes bytes, size_t offset) {
    return static_cast<uint32_t>(Load16(bytes, offset)) << 16 | Load16(bytes, offset + 2);
}

// Addresses stay in wire order, the form inet_ntop and the sinks expect.
uint32_t LoadAddress(Bytes bytes, size_t offset) {
    uint32_t address;
    std::memcpy(&address, bytes.subspan(offset, sizeof address).data(), sizeof address);
    return address;
}

NetFlowHeader DecodeHeader(Bytes header) {
    return NetFlowHeader{Load16(header, 0), Load16(header, 2), Load32(header, 4), Load32(header, 8),
                         Load32(header, 16)};
}

// Every record is inside the datagram once count passes this test; a short tail is ignored.
bool CountFits(const NetFlowHeader& header, int packetsize) {
    return header.count == (packetsize - kHeaderSize) / kRecordSize;
}

// Uptime stamps are milliseconds on a 32-bit counter that wraps after about 49.7 days; the
// unsigned difference stays the true age across one wrap.
int32_t FlowTime(const NetFlowHeader& header, uint32_t stamp) {
    const uint32_t age_seconds = (header.uptime - stamp) / 1000;
    return static_cast<int32_t>(header.unixseconds - age_seconds);
}

// Fills every field but the four shared by all records of the datagram.
void DecodeRecord(Bytes record, const NetFlowHeader& header, FlowItem* flow) {
    flow->src_ip = LoadAddress(record, 0);
    flow->dst_ip = LoadAddress(record, 4);
    flow->next_hop = LoadAddress(record, 8);
    flow->packets = Load32(record, 16);
    flow->bytes = Load32(record, 20);
    flow->flow_begin = FlowTime(header, Load32(record, 24));
    flow->flow_end = FlowTime(header, Load32(record, 28));
    flow->src_port = Load16(record, 32);
    flow->dst_port = Load16(record, 34);
    flow->tcp_flags = record[37];
    flow->protocol = record[38];
    flow->tos = record[39];
    flow->src_as = Load16(record, 40);
    flow->dst_as = Load16(record, 42);
    flow->src_mask = record[44];
    flow->dst_mask = record[45];
}

// The two texts every trash line shows; ctime_r keeps the time text off the buffer that other
// threads' ctime would share.
struct TrashTexts {
    char address[INET_ADDRSTRLEN];
    char received[kTimeTextSize];
};

TrashTexts RenderTrashTexts(const ParsedDatagram& datagram) {
    TrashTexts texts{};
    if (inet_ntop(AF_INET, &datagram.from.sin_addr, texts.address, sizeof texts.address) ==
        nullptr) {
        texts.address[0] = '\0';
    }
    if (ctime_r(&datagram.received, texts.received) == nullptr) {
        std::snprintf(texts.received, sizeof texts.received, "%s", kUnknownTime);
    }
    return texts;
}

Bytes BytesOf(const ParsedDatagram& datagram) {
    return Bytes(reinterpret_cast<const uint8_t*>(datagram.packet),
                 static_cast<size_t>(datagram.packetsize));
}

}  // namespace

bool DecodeNetFlowHeader(const char* packet, int packetsize, NetFlowHeader* header) {
    if (packetsize < kHeaderSize) return false;
    *header = DecodeHeader(
        Bytes(reinterpret_cast<const uint8_t*>(packet), static_cast<size_t>(kHeaderSize)));
    return header->version == kNetFlowVersion && CountFits(*header, packetsize);
}

ParsedDatagram NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize,
                                   const NetFlowHeader* header) {
    ParsedDatagram datagram{};
    datagram.packet = packet;
    datagram.packetsize = packetsize;
    datagram.received = time(nullptr);
    // Copied out, so the sockaddr is never read through the sockaddr_in type.
    std::memcpy(&datagram.from, from, sizeof datagram.from);
    if (header != nullptr)
        datagram.header = *header;
    else
        datagram.rejected = !DecodeNetFlowHeader(packet, packetsize, &datagram.header);
    if (!datagram.rejected) {
        CountDecodedFlows(datagram.header.count);
    } else if (packetsize < kHeaderSize) {
        datagram.reason = Reject::kTooShort;
    } else {
        datagram.reason =
            datagram.header.version != kNetFlowVersion ? Reject::kVersion : Reject::kCount;
    }
    if (datagram.rejected) CountReject(datagram.reason);
    return datagram;
}

size_t DecodeFlows(const ParsedDatagram& datagram, size_t first, FlowItem* flows, size_t room) {
    const size_t count = std::min<size_t>(room, datagram.header.count - first);
    FlowItem shared{};
    shared.origin_ip = datagram.from.sin_addr.s_addr;
    shared.time_received = static_cast<int32_t>(datagram.received);
    shared.version = static_cast<uint8_t>(datagram.header.version);
    shared.sequence = datagram.header.sequence;
    for (size_t n = 0; n < count; ++n) {
        flows[n] = shared;
        DecodeRecord(
            BytesOf(datagram).subspan(kHeaderSize + (first + n) * kRecordSize, kRecordSize),
            datagram.header, &flows[n]);
    }
    return count;
}

void RenderTrashLine(const ParsedDatagram& datagram, char* line, size_t size) {
    const TrashTexts texts = RenderTrashTexts(datagram);
    switch (datagram.reason) {
        case Reject::kTooShort:
            std::snprintf(line, size, kUselessFormat, texts.address, datagram.packetsize,
                          static_cast<int>(ntohs(datagram.from.sin_port)), texts.received);
            break;
        case Reject::kVersion:
            std::snprintf(line, size, kUnsupportedFormat, texts.address,
                          static_cast<int>(datagram.header.version), texts.received);
            break;
        case Reject::kCount:
            std::snprintf(line, size, kMangledFormat, texts.address,
                          static_cast<int>(kNetFlowVersion), texts.received);
            break;
    }
}
