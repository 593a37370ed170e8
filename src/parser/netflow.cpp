#include "parser/netflow.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "common/flow.h"
#include "common/messages.h"
#include "common/metrics.h"
#include "storage/queue.h"
#include "storage/sinks/trashlog.h"

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

// The header fields a flow record needs; the engine and sampling fields are not kept.
struct NetFlowHeader {
    uint16_t version;
    uint16_t count;
    uint32_t uptime;
    uint32_t unixseconds;
    uint32_t sequence;
};

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

// The sender and the receive time, as every record and every trash line of a datagram shows them.
struct Origin {
    sockaddr_in address;
    time_t received;
};

// The two texts every trash line shows, rendered only for a rejected datagram; ctime_r keeps the
// time text off the buffer that other threads' ctime would share.
struct TrashTexts {
    char address[INET_ADDRSTRLEN];
    char received[kTimeTextSize];
};

TrashTexts RenderTrashTexts(const Origin& origin) {
    TrashTexts texts{};
    if (inet_ntop(AF_INET, &origin.address.sin_addr, texts.address, sizeof texts.address) ==
        nullptr) {
        texts.address[0] = '\0';
    }
    if (ctime_r(&origin.received, texts.received) == nullptr) {
        std::snprintf(texts.received, sizeof texts.received, "%s", kUnknownTime);
    }
    return texts;
}

void TrashUseless(const Origin& origin, int packetsize) {
    if (IsTrashLoggingEnabled() == 0) return;
    const TrashTexts texts = RenderTrashTexts(origin);
    char line[kMessageSize];
    std::snprintf(line, sizeof line, kUselessFormat, texts.address, packetsize,
                  static_cast<int>(ntohs(origin.address.sin_port)), texts.received);
    StoreTrashLine(line);
}

void TrashUnsupported(const Origin& origin, uint16_t version) {
    if (IsTrashLoggingEnabled() == 0) return;
    const TrashTexts texts = RenderTrashTexts(origin);
    char line[kMessageSize];
    std::snprintf(line, sizeof line, kUnsupportedFormat, texts.address, static_cast<int>(version),
                  texts.received);
    StoreTrashLine(line);
}

void TrashMangled(const Origin& origin) {
    if (IsTrashLoggingEnabled() == 0) return;
    const TrashTexts texts = RenderTrashTexts(origin);
    char line[kMessageSize];
    std::snprintf(line, sizeof line, kMangledFormat, texts.address,
                  static_cast<int>(kNetFlowVersion), texts.received);
    StoreTrashLine(line);
}

// Flows hand over to the storage queue a datagram at a time: one lock per datagram, and its flows
// stay together and in record order. A datagram read into the receive buffer holds at most
// kMaxRecords; a longer one (only a direct caller can pass it) goes in several hand-overs.
constexpr size_t kMaxRecords = (16384 - kHeaderSize) / kRecordSize;

void StoreFlows(Bytes datagram, const NetFlowHeader& header, const FlowItem& shared) {
    FlowItem flows[kMaxRecords];
    size_t held = 0;
    for (size_t i = 0; i < header.count; ++i) {
        flows[held] = shared;
        DecodeRecord(datagram.subspan(kHeaderSize + i * kRecordSize, kRecordSize), header,
                     &flows[held]);
        if (++held == kMaxRecords) {
            StoreNetFlowPacket(flows, held);
            held = 0;
        }
    }
    if (held > 0) StoreNetFlowPacket(flows, held);
}

}  // namespace

bool PeekNetFlowHeader(const char* packet, int packetsize, uint32_t* sequence, uint16_t* count) {
    if (packetsize < kHeaderSize) return false;
    const NetFlowHeader header = DecodeHeader(
        Bytes(reinterpret_cast<const uint8_t*>(packet), static_cast<size_t>(kHeaderSize)));
    if (header.version != kNetFlowVersion || !CountFits(header, packetsize)) return false;
    *sequence = header.sequence;
    *count = header.count;
    return true;
}

void NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize) {
    Origin origin{};
    origin.received = time(nullptr);
    // Copied out, so the sockaddr is never read through the sockaddr_in type.
    std::memcpy(&origin.address, from, sizeof origin.address);

    if (packetsize < kHeaderSize) {
        CountReject(Reject::kTooShort);
        TrashUseless(origin, packetsize);
        return;
    }
    const Bytes datagram(reinterpret_cast<const uint8_t*>(packet), static_cast<size_t>(packetsize));
    const NetFlowHeader header = DecodeHeader(datagram.first(kHeaderSize));
    if (header.version != kNetFlowVersion) {
        CountReject(Reject::kVersion);
        TrashUnsupported(origin, header.version);
        return;
    }
    if (!CountFits(header, packetsize)) {
        CountReject(Reject::kCount);
        TrashMangled(origin);
        return;
    }
    CountDecodedFlows(header.count);

    FlowItem flow{};
    flow.origin_ip = origin.address.sin_addr.s_addr;
    flow.time_received = static_cast<int32_t>(origin.received);
    flow.version = static_cast<uint8_t>(header.version);
    flow.sequence = header.sequence;
    StoreFlows(datagram, header, flow);
}
