#pragma once
// Flow loss from NetFlow v5 sequence numbers. A v5 header carries the number of flows the exporter
// sent before that datagram, so in a loss-free run every datagram starts where the previous one
// ended; what is missing between them was lost on the way (or, read back from a database, never
// stored). The daemon counts this live as datagrams arrive; nf5stat from the rows stored.
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace seqloss {

// A sequence jump larger than this many flows is an exporter restart, not a gap.
constexpr uint32_t kDefaultRestartThreshold = 1000000;
constexpr uint32_t kMaxRestartThreshold = 1u << 30;

// A forward step of more than the restart threshold: the exporter went on counting while nothing
// of it was stored (a collector outage), or it restarted at a higher number.
struct SeqJump {
    uint32_t from = 0;  // the sequence the stream expected next
    uint32_t to = 0;    // the sequence that arrived
    int64_t time = 0;   // when it arrived
};

struct LossCounts {
    uint64_t datagrams = 0;      // datagrams stored, copies included
    uint64_t flows = 0;          // rows stored
    uint64_t expected = 0;       // flows the sequence numbers account for, summed over all streams
    uint64_t missing = 0;        // expected flows of which no row is stored
    uint64_t duplicates = 0;     // stored flows whose sequence numbers were already covered
    uint64_t restarts = 0;       // streams that stood on their own, after the first
    uint64_t outages = 0;        // streams that began with a jump: possible outages, not restarts
    bool interleaved = false;    // older streams carried on after newer ones began
    std::vector<SeqJump> jumps;  // the earliest kMaxJumpsKept of the outages
};

constexpr size_t kMaxJumpsKept = 8;

// One datagram as stored: its header's sequence, its number of flows, its receive time.
struct SeqDatagram {
    uint32_t sequence = 0;
    uint32_t flows = 0;
    int64_t time = 0;
};

// Open gaps a stream keeps awaiting late datagrams. Past this many the oldest is settled as
// missing at once, as if the stream had moved on past the threshold: it bounds a tracker's memory
// under heavy loss, and only a datagram reordered behind more than this many later gaps is then
// miscounted (as missing and as a duplicate).
constexpr size_t kMaxOpenHoles = 64;
// Streams an exporter keeps open at once; interleaved engines rarely number more than a few.
constexpr size_t kMaxLiveStreams = 16;

// One run of consecutive sequence numbers: an epoch of one engine. Positions are unwrapped to 64
// bits so that the 2^32 wrap is just another step forward; holes are the not yet received ranges
// below `next`. A stream split off another (`origin`) because its first datagram repeated flows
// already received or lay below the other's first one stays provisional while it holds one
// datagram: at the end such a stream is put back, as a duplicate or a reordered datagram. So is a
// replay, whose every datagram repeated flows the other held, when its datagrams lie scattered
// (mostly holes) or the other went on meanwhile: those were copies, not an epoch.
struct SeqStream {
    uint64_t base = 0;
    uint64_t next = 0;
    std::map<uint64_t, uint64_t> holes;  // begin -> end, half open
    uint64_t settled_missing = 0;        // holes too far behind `next` to be filled any more
    uint64_t datagrams = 0;
    uint64_t last_used = 0;       // arrival ordinal of the stream's latest datagram
    uint64_t created = 0;         // creation ordinal among the exporter's streams
    int64_t origin = -1;          // `created` of the stream it split off, -1 for none
    bool split_early = false;     // split off while the origin held few datagrams
    uint64_t overtaken = 0;       // datagrams older streams took after this one had two
    bool replay = false;          // every datagram repeated flows the origin held
    uint64_t origin_went_on = 0;  // datagrams the origin took after this stream began
    bool jumped = false;          // began with a jump from a stream no other one was near
    SeqJump jump;
    int64_t began = 0;   // receive time of its first datagram
    int64_t latest = 0;  // latest receive time of its datagrams
};

// Sequence accounting for one exporter; datagrams are fed in arrival order. Its memory is bounded:
// at most kMaxLiveStreams streams of at most kMaxOpenHoles open gaps each between datagrams.
struct SeqTracker {
    uint32_t threshold = kDefaultRestartThreshold;
    std::vector<SeqStream> live;
    LossCounts counts;  // expected and missing of retired streams, all other counters
    uint64_t arrivals = 0;
    uint64_t streams_created = 0;
    uint64_t streams_kept = 0;  // retired streams that stood on their own
};

void SeqTrackerInit(SeqTracker& tracker, uint32_t threshold);
void SeqTrackerAdd(SeqTracker& tracker, const SeqDatagram& datagram);
// Retires every stream and returns the exporter's totals; the tracker is spent afterwards.
LossCounts SeqTrackerFinish(SeqTracker& tracker);
// The totals SeqTrackerFinish would give now, leaving the tracker to go on (it finishes a copy).
LossCounts SeqTrackerPeek(const SeqTracker& tracker);
// Adds part's counters to total, as over several streams or exporters; the jumps stay total's.
void AddLossCounts(LossCounts& total, const LossCounts& part);

}  // namespace seqloss
