#include "listen/liveloss.h"

#include "common/metrics.h"
#include "common/seqloss.h"
#include "parser/netflow.h"

namespace {

// One tracker per tracked exporter, made on its first accepted datagram and kept for the life of
// the process; exporters folded into the shared slot are not tracked. About 1 KiB each while the
// sequence runs clean; the rules bound the worst case (kMaxLiveStreams x kMaxOpenHoles gaps).
seqloss::SeqTracker* trackers[kMaxExporters];
bool heard[kMaxExporters];  // fed since the last publication
time_t last_published = 0;

seqloss::SeqTracker& TrackerOf(int slot) {
    if (trackers[slot] == nullptr) {
        trackers[slot] = new seqloss::SeqTracker;
        seqloss::SeqTrackerInit(*trackers[slot], seqloss::kDefaultRestartThreshold);
    }
    return *trackers[slot];
}

}  // namespace

// Only datagrams the parser accepts count, as only those reach the rows nf5stat reads.
void TrackSequence(int slot, const NetFlowHeader& header, time_t now) {
    if (slot == kOtherExporter) return;
    seqloss::SeqTrackerAdd(TrackerOf(slot),
                           seqloss::SeqDatagram{header.sequence, header.count, now});
    heard[slot] = true;
}

// Peeking finishes a copy of the tracker, which costs allocations: once a second per exporter
// heard, never per datagram.
void PublishLiveLoss(time_t now) {
    if (now == last_published) return;
    last_published = now;
    const int tracked = ExporterCount();
    for (int slot = 0; slot < tracked; ++slot) {
        if (!heard[slot]) continue;
        heard[slot] = false;
        const seqloss::LossCounts counts = seqloss::SeqTrackerPeek(*trackers[slot]);
        PublishLoss(slot, counts.expected, counts.missing, counts.restarts);
    }
}
