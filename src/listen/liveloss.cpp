#include "listen/liveloss.h"

#include "common/metrics.h"
#include "common/seqloss.h"
#include "parser/netflow.h"

namespace {

// One tracker per stream, made on its first datagram and kept for the life of the process.
struct Stream {
    uint16_t version;
    uint32_t domain;
    seqloss::SeqTracker* tracker;
};

// An exporter's streams: v5 first, if it sent any, then v9 and IPFIX by domain.
struct ExporterStreams {
    Stream streams[1 + kMaxDomainsPerExporter];
    size_t count;
};

// Made on an exporter's first accepted datagram; exporters folded into the shared slot are not
// tracked. About 1 KiB per stream while the sequence runs clean; the rules bound the worst case
// (kMaxLiveStreams x kMaxOpenHoles gaps).
ExporterStreams* exporters[kMaxExporters];
bool heard[kMaxExporters];  // fed since the last publication
time_t last_published = 0;

// Null once the exporter has kMaxDomainsPerExporter v9 and IPFIX streams besides v5's.
seqloss::SeqTracker* TrackerOf(int slot, uint16_t version, uint32_t domain) {
    if (exporters[slot] == nullptr) exporters[slot] = new ExporterStreams{};
    ExporterStreams& e = *exporters[slot];
    for (size_t n = 0; n < e.count; ++n)
        if (e.streams[n].version == version && e.streams[n].domain == domain)
            return e.streams[n].tracker;
    const size_t others = e.count - (e.count > 0 && e.streams[0].version == kNetFlowV5 ? 1 : 0);
    if (version != kNetFlowV5 && others == kMaxDomainsPerExporter) return nullptr;
    Stream& stream = e.streams[e.count++] = Stream{version, domain, new seqloss::SeqTracker};
    seqloss::SeqTrackerInit(*stream.tracker, seqloss::kDefaultRestartThreshold);
    return stream.tracker;
}

void Track(int slot, uint16_t version, uint32_t domain, seqloss::SeqDatagram datagram) {
    if (slot == kOtherExporter) return;
    seqloss::SeqTracker* tracker = TrackerOf(slot, version, domain);
    if (tracker == nullptr) return;
    seqloss::SeqTrackerAdd(*tracker, datagram);
    heard[slot] = true;
}

}  // namespace

// Only datagrams the parser accepts count, as only those reach the rows nf5stat reads.
void TrackSequence(int slot, const NetFlowHeader& header, time_t now) {
    Track(slot, kNetFlowV5, 0, seqloss::SeqDatagram{header.sequence, header.count, now});
}

void TrackExport(int slot, const ExportHeader& header, uint32_t records, time_t now) {
    const uint32_t step = header.version == kNetFlowV9 ? 1 : records;
    Track(slot, header.version, header.domain, seqloss::SeqDatagram{header.sequence, step, now});
}

// Peeking finishes a copy of a tracker, which costs allocations: once a second per exporter
// heard, never per datagram.
void PublishLiveLoss(time_t now) {
    if (now == last_published) return;
    last_published = now;
    const int tracked = ExporterCount();
    for (int slot = 0; slot < tracked; ++slot) {
        if (!heard[slot]) continue;
        heard[slot] = false;
        const ExporterStreams& e = *exporters[slot];
        seqloss::LossCounts sum;
        for (size_t n = 0; n < e.count; ++n)
            seqloss::AddLossCounts(sum, seqloss::SeqTrackerPeek(*e.streams[n].tracker));
        PublishLoss(slot, sum.expected, sum.missing, sum.restarts);
    }
}
