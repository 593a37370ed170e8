// Sequence accounting. Datagrams come in storage order, which is not sequence order: the network
// and nf5d's workers both reorder. Each exporter therefore keeps a few live streams, each with the
// ranges it has not seen yet (holes); a late datagram fills a hole instead of counting as loss,
// and a hole becomes final loss once the stream has moved on further than any late datagram may
// lag. A datagram that repeats flows a stream already holds is not late: it is a duplicate, an
// exporter that restarted soon after it began, or a second engine, and which of them shows only
// in what follows it, so it opens a provisional stream that the next datagrams confirm or not.
#include "loss.h"

#include <algorithm>

namespace nf5stat {
namespace {

// Streams an exporter keeps open at once; interleaved engines rarely number more than a few.
constexpr size_t kMaxLiveStreams = 16;
// A stream's first datagram is placed this high so that late datagrams before it stay positive.
constexpr uint64_t kUnwrapOrigin = uint64_t{1} << 32;
// A stream this young may still see its own first datagrams arrive, stored late.
constexpr uint64_t kYoungStream = 64;
// Datagrams older streams must take after a newer one began before the exporter counts as
// interleaved; fewer are the stragglers of a restart, delayed by reordering.
constexpr uint64_t kInterleaveMinimum = 16;

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

// A datagram continues a stream at or ahead of its front, or behind it into ranges not yet
// received; one that repeats received flows or reaches below the stream's start does not.
bool Continues(SeqStream& stream, int64_t distance, uint32_t flows) {
    if (distance >= 0) return true;
    const uint64_t begin = stream.next - Magnitude(distance);
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

// Holes further behind the front than the threshold can no longer be filled: that loss is final.
void SettleHoles(const SeqTracker& tracker, SeqStream& stream) {
    while (!stream.holes.empty() &&
           stream.holes.begin()->second + tracker.threshold <= stream.next) {
        stream.settled_missing += stream.holes.begin()->second - stream.holes.begin()->first;
        stream.holes.erase(stream.holes.begin());
    }
}

bool Older(const SeqStream& a, const SeqStream& b) { return a.created < b.created; }

// How well a datagram fits a stream it continues: 0 at the front or into a hole (the range was
// awaited there), otherwise the gap it leaves. Filling a hole is evidence; a gap is only a guess.
uint64_t FitCost(int64_t distance) { return distance > 0 ? static_cast<uint64_t>(distance) : 0; }

// The live stream the datagram continues best, the older on a tie; also the nearest stream within
// the threshold at all, which a new stream would split off.
SeqStream* ChooseStream(SeqTracker& tracker, uint32_t sequence, uint32_t flows, int64_t& distance,
                        SeqStream*& nearest) {
    SeqStream* best = nullptr;
    nearest = nullptr;
    uint64_t nearest_magnitude = 0;
    for (SeqStream& stream : tracker.live) {
        const int64_t d = SeqDistance(sequence, stream.next);
        const uint64_t m = Magnitude(d);
        if (m > tracker.threshold) continue;
        if (nearest == nullptr || m < nearest_magnitude ||
            (m == nearest_magnitude && Older(stream, *nearest))) {
            nearest = &stream;
            nearest_magnitude = m;
        }
        if (!Continues(stream, d, flows)) continue;
        if (best == nullptr || FitCost(d) < FitCost(distance) ||
            (FitCost(d) == FitCost(distance) && Older(stream, *best))) {
            best = &stream;
            distance = d;
        }
    }
    return best;
}

SeqStream* FindCreated(SeqTracker& tracker, int64_t created) {
    for (SeqStream& stream : tracker.live)
        if (static_cast<int64_t>(stream.created) == created) return &stream;
    return nullptr;
}

// A provisional stream that stayed one datagram was no epoch of its own: the datagram goes back
// to the stream it split off (a duplicate, or a reordered datagram from before that stream's
// start). A stream that split off a young stream below its start and grew up to it, or one that
// reached exactly where its origin starts, was that stream's own early datagrams, stored late.
bool PutBack(SeqTracker& tracker, const SeqStream& stream) {
    SeqStream* origin = FindCreated(tracker, stream.origin);
    if (origin == nullptr) return false;
    const auto flows = static_cast<uint32_t>(stream.next - stream.base);
    if (stream.datagrams == 1) {
        ApplyDatagram(tracker, *origin,
                      SeqDistance(static_cast<uint32_t>(stream.base), origin->next), flows);
        return true;
    }
    const int64_t gap = SeqDistance(static_cast<uint32_t>(origin->base), stream.next);
    if (gap < 0 || (gap > 0 && (!stream.split_early || Magnitude(gap) > tracker.threshold)))
        return false;
    const uint64_t start = origin->base - static_cast<uint64_t>(gap);
    const uint64_t shift =
        start - stream.next;  // from the stream's positions to the origin's, modulo 2^64
    AddHole(*origin, start, origin->base);
    origin->base = stream.base + shift;
    for (const auto& [begin, end] : stream.holes) AddHole(*origin, begin + shift, end + shift);
    origin->settled_missing += stream.settled_missing;
    origin->datagrams += stream.datagrams;
    return true;
}

void RetireStream(SeqTracker& tracker, const SeqStream& stream) {
    if (stream.origin >= 0 && PutBack(tracker, stream)) return;
    ++tracker.streams_kept;
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

void StartStream(SeqTracker& tracker, uint32_t sequence, uint32_t flows,
                 const SeqStream* split_from) {
    const int64_t origin = split_from ? static_cast<int64_t>(split_from->created) : -1;
    const bool split_early = split_from && split_from->datagrams < kYoungStream;
    if (tracker.live.size() >= kMaxLiveStreams)
        RetireLiveStream(tracker, std::min_element(tracker.live.begin(), tracker.live.end(),
                                                   [](const SeqStream& a, const SeqStream& b) {
                                                       return a.last_used < b.last_used;
                                                   }));
    SeqStream stream;
    stream.base = kUnwrapOrigin + sequence;
    stream.next = stream.base + flows;
    stream.datagrams = 1;
    stream.last_used = tracker.arrivals;
    stream.created = tracker.streams_created++;
    stream.origin = origin;
    stream.split_early = split_early;
    tracker.live.push_back(std::move(stream));
}

// An older stream taking datagrams while a newer, confirmed one goes on too is what engines
// sharing one address look like; the newer stream keeps the count, so that it vanishes with that
// stream if it turns out to be part of the older one after all.
void CountOvertaking(SeqTracker& tracker, const SeqStream& stream) {
    for (SeqStream& other : tracker.live)
        if (other.created > stream.created && other.datagrams >= 2) ++other.overtaken;
}

}  // namespace

void SeqTrackerInit(SeqTracker& tracker, uint32_t threshold) {
    tracker = SeqTracker{};
    tracker.threshold = std::clamp<uint32_t>(threshold, 1, kMaxRestartThreshold);
}

void SeqTrackerAdd(SeqTracker& tracker, uint32_t sequence, uint32_t flows) {
    if (flows == 0) return;
    ++tracker.arrivals;
    ++tracker.counts.datagrams;
    tracker.counts.flows += flows;
    int64_t distance = 0;
    SeqStream* nearest = nullptr;
    SeqStream* stream = ChooseStream(tracker, sequence, flows, distance, nearest);
    if (stream == nullptr) {
        StartStream(tracker, sequence, flows, nearest);
        return;
    }
    CountOvertaking(tracker, *stream);
    ApplyDatagram(tracker, *stream, distance, flows);
    stream->last_used = tracker.arrivals;
    SettleHoles(tracker, *stream);
}

LossCounts SeqTrackerFinish(SeqTracker& tracker) {
    // Newest first, so that a provisional stream goes back before its origin is judged itself.
    std::sort(tracker.live.begin(), tracker.live.end(),
              [](const SeqStream& a, const SeqStream& b) { return Older(b, a); });
    while (!tracker.live.empty()) RetireLiveStream(tracker, tracker.live.begin());
    tracker.counts.restarts = tracker.streams_kept > 0 ? tracker.streams_kept - 1 : 0;
    return tracker.counts;
}

double LossPercent(const LossCounts& counts) {
    if (counts.expected == 0) return 0.0;
    return 100.0 * static_cast<double>(counts.missing) / static_cast<double>(counts.expected);
}

void AddLossCounts(LossCounts& total, const LossCounts& part) {
    total.datagrams += part.datagrams;
    total.flows += part.flows;
    total.expected += part.expected;
    total.missing += part.missing;
    total.duplicates += part.duplicates;
    total.restarts += part.restarts;
    total.interleaved = total.interleaved || part.interleaved;
}

}  // namespace nf5stat
