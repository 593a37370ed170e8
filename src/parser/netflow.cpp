#include "parser/netflow.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <span>

#include "common/address.h"
#include "common/flow.h"
#include "common/messages.h"
#include "common/metrics.h"
#include "common/settings.h"
#include "parser/templates.h"
#include "parser/v9ipfix.h"
#include "parser/wire.h"

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

NetFlowHeader DecodeHeader(Bytes header) {
    return NetFlowHeader{Load16(header, 0), Load16(header, 2), Load32(header, 4), Load32(header, 8),
                         Load32(header, 16)};
}

// Every record is inside the datagram once count passes this test; a short tail is ignored.
bool CountFits(const NetFlowHeader& header, int packetsize) {
    return header.count == (packetsize - kV5HeaderSize) / kV5RecordSize;
}

int32_t FlowTime(const NetFlowHeader& header, uint32_t stamp) {
    return UptimeStampSeconds(header.unixseconds, header.uptime, stamp);
}

// Fills every field but the four shared by all records of the datagram.
void DecodeRecord(Bytes record, const NetFlowHeader& header, FlowItem* flow) {
    LoadAddress(record.subspan(0, 4), &flow->src_ip);
    LoadAddress(record.subspan(4, 4), &flow->dst_ip);
    LoadAddress(record.subspan(8, 4), &flow->next_hop);
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
    AddressText address;
    char received[kTimeTextSize];
};

TrashTexts RenderTrashTexts(const ParsedDatagram& datagram) {
    TrashTexts texts{};
    texts.address = RenderAddress(datagram.origin);
    if (ctime_r(&datagram.received, texts.received) == nullptr) {
        std::snprintf(texts.received, sizeof texts.received, "%s", kUnknownTime);
    }
    return texts;
}

Bytes BytesOf(const ParsedDatagram& datagram) {
    return Bytes(reinterpret_cast<const uint8_t*>(datagram.packet),
                 static_cast<size_t>(datagram.packetsize));
}

// Datagrams judged and rejected by version: 5, 9, 10 and any other.
// A datagram too short for a header shows version 0.
std::atomic<uint64_t> judged_datagrams[4];
std::atomic<uint64_t> rejected_datagrams[4];

size_t VersionIndex(const ParsedDatagram& datagram) {
    switch (datagram.header.version) {
        case kNetFlowV5: return 0;
        case kNetFlowV9: return 1;
        case kIpfix: return 2;
        default: return 3;
    }
}

void CountVersion(const ParsedDatagram& datagram) {
    const size_t index = VersionIndex(datagram);
    judged_datagrams[index].fetch_add(1, std::memory_order_relaxed);
    if (datagram.rejected) rejected_datagrams[index].fetch_add(1, std::memory_order_relaxed);
}

template <size_t index>
uint64_t Judged() {
    return judged_datagrams[index].load(std::memory_order_relaxed);
}

template <size_t index>
uint64_t Rejected() {
    return rejected_datagrams[index].load(std::memory_order_relaxed);
}

constexpr Reading kReadings[] = {
    {kVersionDatagrams, "5", Judged<0>},
    {kVersionDatagrams, "9", Judged<1>},
    {kVersionDatagrams, "10", Judged<2>},
    {kVersionDatagrams, "other", Judged<3>},
    {kVersionRejected, "5", Rejected<0>},
    {kVersionRejected, "9", Rejected<1>},
    {kVersionRejected, "10", Rejected<2>},
    {kVersionRejected, "other", Rejected<3>},
    {kSetsWithoutTemplate, nullptr, SetsWithoutTemplate},
    {kTemplateExpiries, nullptr, TemplateExpiries},
};

// v9 and IPFIX: judged whole, data sets included, by the templates the receive loop found for it.
Reject JudgeExport(const ParsedDatagram& datagram, bool* rejected) {
    *rejected = datagram.plan == nullptr || !CheckExport(BytesOf(datagram), *datagram.plan);
    return Reject::kCount;
}

FlowItem SharedFields(const ParsedDatagram& datagram) {
    FlowItem shared{};
    shared.origin_ip = datagram.origin;
    shared.time_received = static_cast<int32_t>(datagram.received);
    shared.version = static_cast<uint8_t>(datagram.header.version);
    shared.sequence = datagram.header.sequence;
    return shared;
}

}  // namespace

bool DecodeNetFlowHeader(const char* packet, int packetsize, NetFlowHeader* header) {
    if (packetsize < kV5HeaderSize) return false;
    *header = DecodeHeader(
        Bytes(reinterpret_cast<const uint8_t*>(packet), static_cast<size_t>(kV5HeaderSize)));
    return header->version == kNetFlowV5 && CountFits(*header, packetsize);
}

ParsedDatagram NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize,
                                   const NetFlowHeader* header, const ExportPlan* plan) {
    ParsedDatagram datagram{};
    datagram.packet = packet;
    datagram.plan = plan;
    datagram.packetsize = packetsize;
    datagram.received = time(nullptr);
    datagram.origin = SenderAddress(from);
    datagram.port = SenderPort(from);
    if (header != nullptr)
        datagram.header = *header;
    else
        datagram.rejected = !DecodeNetFlowHeader(packet, packetsize, &datagram.header);
    if (!datagram.rejected && TakesNetFlowVersion(kNetFlowV5)) {
        CountDecodedFlows(datagram.header.count);
    } else if (packetsize < kV5HeaderSize) {
        datagram.reason = Reject::kTooShort;
    } else if (!TakesNetFlowVersion(datagram.header.version)) {
        datagram.rejected = true;
        datagram.reason = Reject::kVersion;
    } else if (datagram.header.version != kNetFlowV5) {
        datagram.header.count = 0;  // DecodeExportFlows decodes its records
        datagram.reason = JudgeExport(datagram, &datagram.rejected);
    } else {
        datagram.reason = Reject::kCount;
    }
    if (datagram.rejected) CountReject(datagram.reason);
    CountVersion(datagram);
    return datagram;
}

size_t DecodeFlows(const ParsedDatagram& datagram, size_t first, FlowItem* flows, size_t room) {
    const size_t count = std::min<size_t>(room, datagram.header.count - first);
    const FlowItem shared = SharedFields(datagram);
    for (size_t n = 0; n < count; ++n) {
        flows[n] = shared;
        DecodeRecord(
            BytesOf(datagram).subspan(kV5HeaderSize + (first + n) * kV5RecordSize, kV5RecordSize),
            datagram.header, &flows[n]);
    }
    return count;
}

void RenderTrashLine(const ParsedDatagram& datagram, char* line, size_t size) {
    const TrashTexts texts = RenderTrashTexts(datagram);
    switch (datagram.reason) {
        case Reject::kTooShort:
            std::snprintf(line, size, kUselessFormat, texts.address.text, datagram.packetsize,
                          static_cast<int>(datagram.port), texts.received);
            break;
        case Reject::kVersion:
            std::snprintf(line, size, kUnsupportedFormat, texts.address.text,
                          static_cast<int>(datagram.header.version), texts.received);
            break;
        case Reject::kCount:
            std::snprintf(line, size, kMangledFormat, texts.address.text,
                          static_cast<int>(datagram.header.version), texts.received);
            break;
    }
}

void DecodeExportFlows(const ParsedDatagram& datagram, FlowBatch emit, void* context) {
    ExportCounts counts;
    DecodeExport(BytesOf(datagram), *datagram.plan, SharedFields(datagram), emit, context, &counts);
    CountDecodedFlows(counts.flows);
}

bool LearnTemplates(const char* packet, size_t packetsize, const sockaddr* from, time_t now,
                    ExportCounts* counts, ExportPlan* plan) {
    const Bytes bytes(reinterpret_cast<const uint8_t*>(packet), packetsize);
    const uint16_t version = packetsize >= 2 ? Load16(bytes, 0) : 0;
    if (version == kNetFlowV5 || !TakesNetFlowVersion(version)) {
        plan->Clear();
        return false;
    }
    return LearnFromExport(bytes, SenderAddress(from), now, counts, plan);
}

void AddParserReadings() { AddReadings(kReadings, std::size(kReadings)); }
