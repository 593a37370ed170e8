#include "common/metrics.h"

#include <atomic>

#include "common/messages.h"

namespace {

// Written by the receive loop only; read by the endpoint. The address is written once, before
// the slot is published with release order, and never again.
struct ExporterWords {
    NetAddress address;
    std::atomic<uint64_t> datagrams;
    std::atomic<uint64_t> bytes;
    std::atomic<uint64_t> last_seen;
    std::atomic<uint64_t> expected;
    std::atomic<uint64_t> missing;
    std::atomic<uint64_t> restarts;
};

// Open addressing over twice as many buckets as slots, so that a probe meets an empty bucket
// after a few steps even with every slot taken. A bucket holds slot + 1; 0 is empty. Slots are
// never given back, so a reader on another thread sees a bucket either empty or final.
constexpr uint32_t kBuckets = 2 * kMaxExporters;
static_assert((kBuckets & (kBuckets - 1)) == 0, "the bucket count must be a power of two");

ExporterWords exporters[kMaxExporters + 1];
std::atomic<uint16_t> buckets[kBuckets];
std::atomic<int> exporters_used{0};

std::atomic<uint64_t> rejected[3];
std::atomic<uint64_t> decoded_flows{0};
std::atomic<uint64_t> kernel_drops{0};

// Written before the endpoint's threads start, read-only afterwards.
constexpr size_t kMaxReadings = 64;
Reading readings[kMaxReadings];
size_t reading_count = 0;
uint32_t last_drop_report = 0;  // receive loop only

uint32_t FirstBucket(const NetAddress& address) {
    uint32_t hash = address.family;
    for (const uint8_t byte : address.bytes) hash = hash * 31 + byte;
    return (hash * 2654435761u) >> 23 & (kBuckets - 1);
}

// The bucket that holds address, or the empty bucket where it would go.
uint32_t Probe(const NetAddress& address) {
    uint32_t bucket = FirstBucket(address);
    for (;;) {
        const uint16_t held = buckets[bucket].load(std::memory_order_acquire);
        if (held == 0 || SameAddress(exporters[held - 1].address, address)) return bucket;
        bucket = (bucket + 1) & (kBuckets - 1);
    }
}

// Single writer: the receive loop.
void Raise(std::atomic<uint64_t>& word, uint64_t value) {
    if (value > word.load(std::memory_order_relaxed)) word.store(value, std::memory_order_relaxed);
}

}  // namespace

int ExporterSlot(const NetAddress& address) {
    const uint32_t bucket = Probe(address);
    const uint16_t held = buckets[bucket].load(std::memory_order_relaxed);
    if (held != 0) return held - 1;
    const int slot = exporters_used.load(std::memory_order_relaxed);
    if (slot == kMaxExporters) return kOtherExporter;
    exporters[slot].address = address;
    buckets[bucket].store(static_cast<uint16_t>(slot + 1), std::memory_order_release);
    exporters_used.store(slot + 1, std::memory_order_release);
    return slot;
}

int ExporterCount() { return exporters_used.load(std::memory_order_acquire); }
const NetAddress& ExporterAddress(int slot) { return exporters[slot].address; }

void CountDatagram(int slot, size_t bytes, time_t now) {
    ExporterWords& words = exporters[slot];
    words.datagrams.fetch_add(1, std::memory_order_relaxed);
    words.bytes.fetch_add(bytes, std::memory_order_relaxed);
    words.last_seen.store(static_cast<uint64_t>(now), std::memory_order_relaxed);
}

void PublishLoss(int slot, uint64_t expected, uint64_t missing, uint64_t restarts) {
    ExporterWords& words = exporters[slot];
    Raise(words.expected, expected);
    Raise(words.missing, missing);
    Raise(words.restarts, restarts);
}

// The kernel's counter is 32 bits wide; the difference since its last report survives a wrap.
void NoteKernelDrops(uint32_t cumulative) {
    kernel_drops.fetch_add(cumulative - last_drop_report, std::memory_order_relaxed);
    last_drop_report = cumulative;
}

void CountReject(Reject reason) {
    rejected[static_cast<int>(reason)].fetch_add(1, std::memory_order_relaxed);
}
void CountDecodedFlows(unsigned flows) {
    decoded_flows.fetch_add(flows, std::memory_order_relaxed);
}

uint64_t ReceivedDatagrams(int slot) {
    return exporters[slot].datagrams.load(std::memory_order_relaxed);
}
uint64_t ReceivedBytes(int slot) { return exporters[slot].bytes.load(std::memory_order_relaxed); }
uint64_t LastDatagramTime(int slot) {
    return exporters[slot].last_seen.load(std::memory_order_relaxed);
}
uint64_t ExpectedFlows(int slot) {
    return exporters[slot].expected.load(std::memory_order_relaxed);
}
uint64_t MissingFlows(int slot) { return exporters[slot].missing.load(std::memory_order_relaxed); }
uint64_t ExporterRestarts(int slot) {
    return exporters[slot].restarts.load(std::memory_order_relaxed);
}
uint64_t RejectedDatagrams(Reject reason) {
    return rejected[static_cast<int>(reason)].load(std::memory_order_relaxed);
}
uint64_t DecodedFlows() { return decoded_flows.load(std::memory_order_relaxed); }
uint64_t KernelDrops() { return kernel_drops.load(std::memory_order_relaxed); }

void AddReadings(const Reading* rows, size_t count) {
    NF_ASSERT(reading_count + count <= kMaxReadings, "reading_count + count <= kMaxReadings");
    for (size_t r = 0; r < count; ++r) readings[reading_count++] = rows[r];
}

size_t ReadingCount() { return reading_count; }
const Reading& ReadingAt(size_t index) { return readings[index]; }
