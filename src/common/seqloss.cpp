// Sequence accounting. Datagrams come in arrival or storage order, which is not sequence order:
// the network reorders, and nf5d's workers reorder again before storage. Each exporter therefore
// keeps a few live streams, each with the ranges it has not seen yet (holes); a late datagram fills
// a hole instead of counting as loss, and a hole becomes final loss once the stream has moved on
// further than any late datagram may lag. A datagram that repeats flows a stream already holds is
// not late: it is a duplicate, an exporter that restarted soon after it began, or a second engine,
// and which of them shows only in what follows it, so it opens a provisional stream that the next
// datagrams confirm or not.
#include "common/seqloss.h"

#include <algorithm>

namespace seqloss {
namespace {

// A stream's first datagram is placed this high so that late datagrams before it stay positive.
constexpr uint64_t kUnwrapOrigin = uint64_t{1} << 32;
// A stream this young may still see its own first datagrams arrive, stored late.
constexpr uint64_t kYoungStream = 64;
// Datagrams older streams must take after a newer one began before the exporter counts as
// interleaved, or a replay of an older stream's flows as copies; fewer are the stragglers of a
// restart, delayed by reordering.
constexpr uint64_t kInterleaveMinimum = 16;
// Datagrams an exporter sent before a stream's first one reach nf5d within this many seconds of
// it, however late they are stored; lower sequences received later are a restart.
constexpr int64_t kStoredLateSeconds = 10;

// Signed distance from a stream position to a 32-bit sequence number, the shorter way round.
int64_t SeqDistance(uint32_t sequence, uint64_t position) {
    return static_cast<int32_t>(sequence - static_cast<uint32_t>(position));
}

uint64_t Magnitude(int64_t distance) {
    return static_cast<uint64_t>(distance < 0 ? -distance : distance);
}

std::map<uint64_t, uint64_t>::iterator FirstHoleReaching(SeqStream& stream, uint64_t position) {
    auto it = stream.holes.upper_bound(position);
    if (it != stream.holes.begin() && std::prev(it)->second > position) --it;
    return it;
}

// Flows of [begin, end) that the stream has received already.
uint64_t ReceivedWithin(SeqStream& stream, uint64_t begin, uint64_t end) {
    begin = std::max(begin, stream.base);
    end = std::min(end, stream.next);
    if (begin >= end) return 0;
    uint64_t open = 0;
    for (auto it = FirstHoleReaching(stream, begin); it != stream.holes.end() && it->first < end;
         ++it)
        open += std::min(it->second, end) - std::max(it->first, begin);
    return (end - begin) - open;
}

// A stream that holds under half of its span: datagrams scattered over another stream's range,
// such as copies, rather than an epoch that tiles its own.
bool Sparse(const SeqStream& stream) {
    uint64_t open = stream.settled_missing;
    for (const auto& [begin, end] : stream.holes) open += end - begin;
    return 2 * open > stream.next - stream.base;
}

// A replay of flows its origin held whose datagrams lie scattered, or that came while the origin
// went on: copies, not an epoch that tiles its own range.
bool Copies(const SeqStream& stream) {
    return stream.replay && stream.settled_missing == 0 &&
           (Sparse(stream) || stream.origin_went_on >= kInterleaveMinimum);
}

// Whether the stream holds every flow of the datagram already.
bool Repeats(SeqStream& stream, uint32_t sequence, uint32_t flows) {
    const uint64_t begin = stream.next + static_cast<uint64_t>(SeqDistance(sequence, stream.next));
    return ReceivedWithin(stream, begin, begin + flows) == flows;
}

// A datagram continues a stream at or ahead of its front, or behind it into ranges not yet
// received, or just below its start; one that repeats received flows or reaches below the stream's
// start otherwise does not. The gaps between scattered copies await nothing.
bool Continues(SeqStream& stream, int64_t distance, uint32_t flows) {
    if (distance >= 0) return true;
    if (Copies(stream)) return false;
    const uint64_t begin = stream.next - Magnitude(distance);
    if (begin + flows == stream.base) return true;  // the stream's own first datagram, stored late
    return begin >= stream.base && ReceivedWithin(stream, begin, begin + flows) == 0;
}

void AddHole(SeqStream& stream, uint64_t begin, uint64_t end) {
    if (begin < end) stream.holes[begin] = end;
}

// Removes [begin, end) from the holes and returns how many flows of it were holes.
uint64_t FillHoles(SeqStream& stream, uint64_t begin, uint64_t end) {
    uint64_t filled = 0;
    auto it = FirstHoleReaching(stream, begin);
    while (it != stream.holes.end() && it->first < end) {
        const uint64_t hole_begin = it->first;
        const uint64_t hole_end = it->second;
        const uint64_t from = std::max(hole_begin, begin);
        const uint64_t to = std::min(hole_end, end);
        filled += to - from;
        it = stream.holes.erase(it);
        AddHole(stream, hole_begin, from);
        AddHole(stream, to, hole_end);
    }
    return filled;
}

// Places a datagram distance flows from the stream's front: ahead of it leaves a gap; behind it
// may reach below the stream's start, fill holes, repeat received flows and reach past the front.
void ApplyDatagram(SeqTracker& tracker, SeqStream& stream, int64_t distance, uint32_t flows) {
    uint64_t begin = stream.next + static_cast<uint64_t>(distance);  // wraps for distance < 0
    const uint64_t end = begin + flows;
    ++stream.datagrams;
    if (distance >= 0) {
        AddHole(stream, stream.next, begin);
        stream.next = end;
        return;
    }
    if (begin < stream.base) {
        AddHole(stream, end, stream.base);
        const uint64_t old_base = stream.base;
        stream.base = begin;
        begin = std::min(end, old_base);
    }
    const uint64_t covered_end = std::min(end, stream.next);
    if (begin < covered_end)
        tracker.counts.duplicates += (covered_end - begin) - FillHoles(stream, begin, covered_end);
    stream.next = std::max(stream.next, end);
}

void SettleHole(SeqStream& stream) {
    stream.settled_missing += stream.holes.begin()->second - stream.holes.begin()->first;
    stream.holes.erase(stream.holes.begin());
}

// Holes further behind the front than the threshold can no longer be filled: that loss is final.
void SettleHoles(const SeqTracker& tracker, SeqStream& stream) {
    while (!stream.holes.empty() && stream.holes.begin()->second + tracker.threshold <= stream.next)
        SettleHole(stream);
}

// Beyond kMaxOpenHoles the oldest gaps are taken as final early.
void CapHoles(SeqTracker& tracker) {
    for (SeqStream& stream : tracker.live)
        while (stream.holes.size() > kMaxOpenHoles) SettleHole(stream);
}

bool Older(const SeqStream& a, const SeqStream& b) { return a.created < b.created; }

// A stream that may be no epoch at all: one datagram split off another, or copies.
bool Doubtful(const SeqStream& stream) {
    return (stream.origin >= 0 && stream.datagrams == 1) || Copies(stream);
}

// How well a datagram fits a stream it continues, lower is better: the front of a stream, then a
// hole (the range was awaited there), then the front of a doubtful stream, which may be mere
// copies, then the gap it leaves, in a doubtful stream only when no other takes it. Filling a
// hole is evidence; a gap is only a guess.
uint64_t FitCost(const SeqStream& stream, int64_t distance, uint32_t threshold) {
    if (distance > 0)
        return 3 + static_cast<uint64_t>(distance) + (Doubtful(stream) ? threshold : 0);
    if (distance < 0) return 1;
    return Doubtful(stream) ? 2 : 0;
}

// The live stream a datagram continues best, the older on a tie (null if none); the nearest
// stream within the threshold that is not doubtful, one the datagram repeats first, which a new
// stream would split off; whether any stream lies within the threshold at all.
struct StreamChoice {
    SeqStream* best = nullptr;
    int64_t distance = 0;
    SeqStream* nearest = nullptr;
    bool within = false;
};

StreamChoice ChooseStream(SeqTracker& tracker, uint32_t sequence, uint32_t flows) {
    StreamChoice choice;
    uint64_t nearest_magnitude = 0, best_cost = 0;
    bool nearest_repeats = false;
    for (SeqStream& stream : tracker.live) {
        const int64_t d = SeqDistance(sequence, stream.next);
        const uint64_t m = Magnitude(d);
        if (m > tracker.threshold) continue;
        choice.within = true;
        // A stream whose flows the datagram repeats comes first: that is what it copies.
        const bool repeats = Repeats(stream, sequence, flows);
        if (!Doubtful(stream) && (choice.nearest == nullptr || repeats > nearest_repeats ||
                                  (repeats == nearest_repeats &&
                                   (m < nearest_magnitude ||
                                    (m == nearest_magnitude && Older(stream, *choice.nearest)))))) {
            choice.nearest = &stream;
            nearest_magnitude = m;
            nearest_repeats = repeats;
        }
        if (!Continues(stream, d, flows)) continue;
        const uint64_t cost = FitCost(stream, d, tracker.threshold);
        if (choice.best == nullptr || cost < best_cost ||
            (cost == best_cost && Older(stream, *choice.best))) {
            choice.best = &stream;
            choice.distance = d;
            best_cost = cost;
        }
    }
    return choice;
}

// The stream that took the latest datagram: a datagram far ahead of it is a jump.
const SeqStream* LastUsed(const SeqTracker& tracker) {
    const SeqStream* last = nullptr;
    for (const SeqStream& stream : tracker.live)
        if (last == nullptr || stream.last_used > last->last_used) last = &stream;
    return last;
}

SeqStream* FindCreated(SeqTracker& tracker, int64_t created) {
    for (SeqStream& stream : tracker.live)
        if (static_cast<int64_t>(stream.created) == created) return &stream;
    return nullptr;
}

// Gives each received range of a sparse stream back to its origin, as the datagrams it was made of.
void PutBackRanges(SeqTracker& tracker, const SeqStream& stream, SeqStream& origin) {
    uint64_t begin = stream.base;
    auto place = [&](uint64_t end) {
        if (begin < end)
            ApplyDatagram(tracker, origin, SeqDistance(static_cast<uint32_t>(begin), origin.next),
                          static_cast<uint32_t>(end - begin));
    };
    for (const auto& [hole_begin, hole_end] : stream.holes) {
        place(hole_begin);
        begin = hole_end;
    }
    place(stream.next);
}

// A provisional stream that stayed one datagram was no epoch of its own: the datagram goes back
// to the stream it split off (a duplicate, or a reordered datagram from before that stream's
// start). Nor were copies. A stream that split off a young stream below its start and grew up to
// it, or one that reached exactly where its origin starts, was that stream's own early datagrams,
// stored late, if all of it was received by kStoredLateSeconds after that stream began; a gap
// between them longer than the stream itself, or a stream received later, is an epoch of its own.
bool PutBack(SeqTracker& tracker, const SeqStream& stream) {
    SeqStream* origin = FindCreated(tracker, stream.origin);
    if (origin == nullptr) return false;
    const auto flows = static_cast<uint32_t>(stream.next - stream.base);
    if (stream.datagrams == 1) {
        ApplyDatagram(tracker, *origin,
                      SeqDistance(static_cast<uint32_t>(stream.base), origin->next), flows);
        return true;
    }
    if (Copies(stream)) {
        PutBackRanges(tracker, stream, *origin);
        return true;
    }
    const int64_t gap = SeqDistance(static_cast<uint32_t>(origin->base), stream.next);
    if (gap < 0 ||
        (gap > 0 && (!stream.split_early || Magnitude(gap) > stream.next - stream.base)) ||
        stream.latest - origin->began > kStoredLateSeconds)
        return false;
    const uint64_t start = origin->base - static_cast<uint64_t>(gap);
    const uint64_t shift =
        start - stream.next;  // from the stream's positions to the origin's, modulo 2^64
    AddHole(*origin, start, origin->base);
    origin->base = stream.base + shift;
    for (const auto& [begin, end] : stream.holes) AddHole(*origin, begin + shift, end + shift);
    origin->settled_missing += stream.settled_missing;
    origin->datagrams += stream.datagrams;
    origin->began = std::min(origin->began, stream.began);
    return true;
}

// Streams retire in no particular order; the report lists the earliest jumps.
void KeepJump(std::vector<SeqJump>& jumps, const SeqJump& jump) {
    jumps.push_back(jump);
    std::sort(jumps.begin(), jumps.end(),
              [](const SeqJump& a, const SeqJump& b) { return a.time < b.time; });
    if (jumps.size() > kMaxJumpsKept) jumps.pop_back();
}

void RetireStream(SeqTracker& tracker, const SeqStream& stream) {
    if (stream.origin >= 0 && PutBack(tracker, stream)) return;
    // After a jump the older stream falls silent in an outage; one that goes on is another epoch.
    if (stream.jumped && stream.overtaken == 0) {
        ++tracker.counts.outages;
        KeepJump(tracker.counts.jumps, stream.jump);
    } else {
        ++tracker.streams_kept;
    }
    if (stream.overtaken >= kInterleaveMinimum) tracker.counts.interleaved = true;
    tracker.counts.expected += stream.next - stream.base;
    tracker.counts.missing += stream.settled_missing;
    for (const auto& [begin, end] : stream.holes) tracker.counts.missing += end - begin;
}

void RetireLiveStream(SeqTracker& tracker, std::vector<SeqStream>::iterator which) {
    const SeqStream stream = std::move(*which);
    tracker.live.erase(which);
    RetireStream(tracker, stream);
}

void StartStream(SeqTracker& tracker, const SeqDatagram& datagram, const StreamChoice& choice) {
    const SeqStream* last = LastUsed(tracker);
    SeqStream stream;
    stream.base = kUnwrapOrigin + datagram.sequence;
    stream.next = stream.base + datagram.flows;
    stream.datagrams = 1;
    stream.last_used = tracker.arrivals;
    stream.created = tracker.streams_created++;
    stream.began = stream.latest = datagram.time;
    if (choice.nearest != nullptr) {
        stream.origin = static_cast<int64_t>(choice.nearest->created);
        stream.split_early = choice.nearest->datagrams < kYoungStream;
        stream.replay = Repeats(*choice.nearest, datagram.sequence, datagram.flows);
    }
    if (!choice.within && last != nullptr && SeqDistance(datagram.sequence, last->next) > 0) {
        stream.jumped = true;
        stream.jump = SeqJump{static_cast<uint32_t>(last->next), datagram.sequence, datagram.time};
    }
    if (tracker.live.size() >= kMaxLiveStreams)
        RetireLiveStream(tracker, std::min_element(tracker.live.begin(), tracker.live.end(),
                                                   [](const SeqStream& a, const SeqStream& b) {
                                                       return a.last_used < b.last_used;
                                                   }));
    tracker.live.push_back(std::move(stream));
}

// An older stream taking datagrams while a newer, confirmed one goes on too is what engines
// sharing one address look like; the newer stream keeps the count, so that it vanishes with that
// stream if it turns out to be part of the older one after all.
void CountOvertaking(SeqTracker& tracker, const SeqStream& stream) {
    for (SeqStream& other : tracker.live) {
        if (other.created > stream.created && other.datagrams >= 2) ++other.overtaken;
        if (other.origin == static_cast<int64_t>(stream.created)) ++other.origin_went_on;
    }
}

// A replay stays one while each datagram it takes repeats flows its origin held.
void KeepReplay(SeqTracker& tracker, SeqStream& stream, const SeqDatagram& datagram) {
    if (!stream.replay) return;
    SeqStream* origin = FindCreated(tracker, stream.origin);
    stream.replay = origin != nullptr && Repeats(*origin, datagram.sequence, datagram.flows);
}

void ContinueStream(SeqTracker& tracker, SeqStream& stream, int64_t distance,
                    const SeqDatagram& datagram) {
    CountOvertaking(tracker, stream);
    KeepReplay(tracker, stream, datagram);
    ApplyDatagram(tracker, stream, distance, datagram.flows);
    stream.last_used = tracker.arrivals;
    stream.latest = std::max(stream.latest, datagram.time);
    SettleHoles(tracker, stream);
}

}  // namespace

void SeqTrackerInit(SeqTracker& tracker, uint32_t threshold) {
    tracker = SeqTracker{};
    tracker.threshold = std::clamp<uint32_t>(threshold, 1, kMaxRestartThreshold);
}

void SeqTrackerAdd(SeqTracker& tracker, const SeqDatagram& datagram) {
    if (datagram.flows == 0) return;
    ++tracker.arrivals;
    ++tracker.counts.datagrams;
    tracker.counts.flows += datagram.flows;
    const StreamChoice choice = ChooseStream(tracker, datagram.sequence, datagram.flows);
    if (choice.best == nullptr)
        StartStream(tracker, datagram, choice);
    else
        ContinueStream(tracker, *choice.best, choice.distance, datagram);
    // Also after a start: a stream retired to make room may have given its gaps to another.
    CapHoles(tracker);
}

LossCounts SeqTrackerFinish(SeqTracker& tracker) {
    // Newest first, so that a provisional stream goes back before its origin is judged itself.
    std::sort(tracker.live.begin(), tracker.live.end(),
              [](const SeqStream& a, const SeqStream& b) { return Older(b, a); });
    while (!tracker.live.empty()) RetireLiveStream(tracker, tracker.live.begin());
    tracker.counts.restarts = tracker.streams_kept > 0 ? tracker.streams_kept - 1 : 0;
    return tracker.counts;
}

LossCounts SeqTrackerPeek(const SeqTracker& tracker) {
    SeqTracker copy = tracker;
    return SeqTrackerFinish(copy);
}

void AddLossCounts(LossCounts& total, const LossCounts& part) {
    total.datagrams += part.datagrams;
    total.flows += part.flows;
    total.expected += part.expected;
    total.missing += part.missing;
    total.duplicates += part.duplicates;
    total.restarts += part.restarts;
    total.outages += part.outages;
    total.interleaved = total.interleaved || part.interleaved;
}

}  // namespace seqloss
