#include "storage/writers.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>

#include "common/clock.h"
#include "common/memory.h"
#include "common/registry.h"
#include "common/shutdown.h"
#include "common/terminate.h"
#include "storage/overload.h"
#include "storage/queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kPassInterval{5};
// Flows a writer copies out of the queue at a time.
constexpr size_t kReadFlows = kBlockFlows;
// How often a writer looks for the workers' last flows once shutdown has begun.
constexpr std::chrono::milliseconds kStopPoll{10};
constexpr useconds_t kLockPollMicros = 1000;
// How long Terminate waits for a writer to let go of its sink.
constexpr long kCloseWaitMillis = 2000;
constexpr const char* kSkippedLabel = "%s_writer";

// One per sink; the thread running it is the only user of the sink, outside the close on the
// way out, which takes its lock.
struct Writer {
    const Sink* sink;
    int reader;
    pthread_mutex_t lock;
    FlowItem* flows;     // kReadFlows read from the queue; [done, count) not yet written
    size_t count;
    size_t done;
    bool uncommitted;
    Clock::time_point commit_due;
};

Writer writers[kMaxSinks]{};
int writer_count = 0;
std::atomic<int> writers_opened{0};  // writers past their first pass
// The writers whose lock this thread holds.
thread_local bool held_here[kMaxSinks]{};

// For the metrics: flows each writer has written, the last pass's size and length, and the
// label of each writer's skipped flows.
std::atomic<uint64_t> written[kMaxSinks]{};
std::atomic<uint64_t> last_pass_flows{0};
std::atomic<uint64_t> last_pass_micros{0};
char skipped_labels[kMaxSinks][32];

class Holding {
public:
    explicit Holding(int w) : w_(w) {
        pthread_mutex_lock(&writers[w].lock);
        held_here[w] = true;
    }
    ~Holding() {
        held_here[w_] = false;
        pthread_mutex_unlock(&writers[w_].lock);
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    int w_;
};

bool TakeWithin(int w, long milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (pthread_mutex_trylock(&writers[w].lock) != 0) {
        if (Clock::now() >= deadline) return false;
        usleep(kLockPollMicros);
    }
    held_here[w] = true;
    return true;
}

// The flows from index on that share the switch of the first; the switch is read per record,
// so a toggle takes effect between two records.
size_t RunOfSameSwitch(const Writer& writer, size_t index, bool* on) {
    *on = SinkOn(*writer.sink);
    size_t end = index + 1;
    while (end < writer.count && SinkOn(*writer.sink) == *on) ++end;
    return end - index;
}

// Writes the flows read and not yet written; false when a locked database cut it short.
bool WriteRead(int w, Patience patience) {
    Writer& writer = writers[w];
    while (writer.done < writer.count) {
        bool on = false;
        const size_t run = RunOfSameSwitch(writer, writer.done, &on);
        if (!on) {
            writer.done += run;
            continue;
        }
        const size_t took = writer.sink->write(&writer.flows[writer.done], run, patience);
        writer.done += took;
        written[w].fetch_add(took, std::memory_order_relaxed);
        if (took > 0) writer.uncommitted = true;
        if (took < run) return false;
    }
    return true;
}

// Writes what the queue holds for the sink until it has caught up (true), or until a locked
// database, a pass interval's work (the commit must not wait longer) or a termination stops
// it. A sink that is off reads nothing and holds back no block. Adds the flows it read to *flows.
bool WriteQueued(int w, Patience patience, uint64_t* flows) {
    const Clock::time_point until = Clock::now() + kPassInterval;
    Writer& writer = writers[w];
    if (!WriteRead(w, patience)) return false;  // what a locked database left over
    for (;;) {
        if (TerminationBegun()) return false;
        if (!SinkOn(*writer.sink)) {
            ParkReader(writer.reader);
            return true;
        }
        writer.count = ReadFlows(writer.reader, writer.flows, kReadFlows);
        writer.done = 0;
        *flows += writer.count;
        if (writer.count == 0) return true;
        if (!WriteRead(w, patience)) return false;
        if (patience == Patience::kThisPass && Clock::now() >= until) return false;
    }
}

// A sink commits when it has caught up, and at least once per pass interval while it has not.
void CommitWhenDue(Writer& writer, Patience patience, bool caught_up) {
    if (!caught_up && patience == Patience::kThisPass && Clock::now() < writer.commit_due) return;
    writer.commit_due = Clock::now() + kPassInterval;
    if (writer.uncommitted && writer.sink->commit(patience)) writer.uncommitted = false;
}

void WriteAndCommit(int w, Patience patience) {
    const auto began = Clock::now();
    uint64_t flows = 0;
    const bool caught_up = WriteQueued(w, patience, &flows);
    CommitWhenDue(writers[w], patience, caught_up);
    if (flows == 0) return;
    last_pass_flows.store(flows, std::memory_order_relaxed);
    last_pass_micros.store(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count(),
        std::memory_order_relaxed);
}

// The writer's next deadline: its commit's, or a short one while the workers drain.
timespec NextWake(const Writer& writer) {
    if (ShutdownInProgress() == 1) return MonotonicDeadline(kStopPoll);
    return MonotonicDeadline(std::max<Clock::duration>(writer.commit_due - Clock::now(), {}));
}

template <size_t W>
uint64_t WrittenBy() {
    return written[W].load(std::memory_order_relaxed);
}

template <size_t W>
uint64_t SkippedBy() {
    return SkippedFlows(writers[W].reader);
}

template <size_t... W>
constexpr std::array<uint64_t (*)(), kMaxSinks> WrittenReaders(std::index_sequence<W...>) {
    return {WrittenBy<W>...};
}

template <size_t... W>
constexpr std::array<uint64_t (*)(), kMaxSinks> SkippedReaders(std::index_sequence<W...>) {
    return {SkippedBy<W>...};
}

// The metrics' readings of writer w's written and skipped flows.
constexpr auto kWrittenBy = WrittenReaders(std::make_index_sequence<kMaxSinks>());
constexpr auto kSkippedBy = SkippedReaders(std::make_index_sequence<kMaxSinks>());

uint64_t RefusedFlows() { return GetStorageRefusals().flows; }
uint64_t LastPassFlows() { return last_pass_flows.load(std::memory_order_relaxed); }
uint64_t LastPassMicros() { return last_pass_micros.load(std::memory_order_relaxed); }

constexpr Reading kReadings[] = {
    {kDroppedFlows, "storage_queue", RefusedFlows},
    {kStorageQueue, nullptr, GetStorageQueueFlows},
    {kPassDuration, nullptr, LastPassMicros},
    {kPassFlows, nullptr, LastPassFlows},
};

}  // namespace

int PrepareStorageWriters() {
    AddExitHook([] { CloseStorage(); });
    for (size_t s = 0; s < kSinkCount; ++s) {
        const Sink& sink = *kSinks[s];
        if (!TakesFlows(sink) && sink.serve == nullptr) continue;
        Writer& writer = writers[writer_count];
        writer.sink = &sink;
        writer.reader = AddQueueReader();
        pthread_mutex_init(&writer.lock, nullptr);
        writer.commit_due = Clock::now() + kPassInterval;
        if (TakesFlows(sink))
            writer.flows = static_cast<FlowItem*>(allocate_mem(kReadFlows * sizeof(FlowItem)));
        // A sink that is off, and the trash log, which only waits on its reader, hold back no
        // block until they read.
        if (!TakesFlows(sink) || !SinkOn(sink)) ParkReader(writer.reader);
        ++writer_count;
    }
    return writer_count;
}

void StoragePass(int w, Patience patience) {
    // Past this point Terminate closes the sink: this writer must let go of it and stay away.
    while (TerminationBegun()) pause();
    Holding hold(w);
    const Sink& sink = *writers[w].sink;
    // At the first pass; a snapshot or rotation asked for at start-up then finds it open.
    if (sink.open != nullptr && SinkOn(sink)) sink.open();
    if (sink.serve != nullptr) sink.serve();
    if (TakesFlows(sink)) {
        WriteAndCommit(w, patience);
    } else {
        writers[w].commit_due = Clock::now() + kPassInterval;
    }
    SettleOverloads();
}

bool SinksOpened() { return writers_opened.load(std::memory_order_acquire) == writer_count; }

void* StorageJob(void* writer) {
    const int w = static_cast<int>(reinterpret_cast<intptr_t>(writer));
    for (bool first = true;; first = false) {
        // Read before the pass, so that the last pass begins once no flow can be handed in.
        const bool last = ShutdownInProgress() == 1 && AliveThreadsOfType(kWorkerThread) == 0;
        StoragePass(w, last ? Patience::kUntilDone : Patience::kThisPass);
        if (first) writers_opened.fetch_add(1, std::memory_order_acq_rel);
        if (last) break;
        WaitForFlows(writers[w].reader, NextWake(writers[w]));
    }
    EndThread(pthread_self(), 0);
    return nullptr;
}

// The sink's own losses, and the flows its writer has read but not written or not read at all.
size_t CloseSink(const Writer& writer) {
    const size_t lost = writer.sink->close();
    if (!SinkOn(*writer.sink)) return lost;
    return lost + (writer.count - writer.done) + UnreadFlows(writer.reader);
}

// Never closes a sink under a writer that is using it; once Terminate has begun, no writer
// touches its sink again.
size_t CloseStorage() {
    size_t lost = 0;
    for (int w = 0; w < writer_count; ++w) {
        if (!TakesFlows(*writers[w].sink)) continue;
        if (held_here[w]) {
            lost += CloseSink(writers[w]);
        } else if (TakeWithin(w, kCloseWaitMillis)) {
            lost += CloseSink(writers[w]);
            held_here[w] = false;
            pthread_mutex_unlock(&writers[w].lock);
        }
    }
    return lost;
}

// The storage's own series first, then each sink's flows written and skipped and its own series.
void AddStorageReadings() {
    AddReadings(kReadings, std::size(kReadings));
    for (int w = 0; w < writer_count; ++w) {
        const Sink& sink = *writers[w].sink;
        if (TakesFlows(sink)) {
            std::snprintf(skipped_labels[w], sizeof skipped_labels[w], kSkippedLabel, sink.name);
            const Reading flows[] = {{kWrittenFlows, sink.name,
                                      sink.written != nullptr ? sink.written : kWrittenBy[w]},
                                     {kDroppedFlows, skipped_labels[w], kSkippedBy[w]}};
            AddReadings(flows, std::size(flows));
        }
        AddReadings(sink.readings, sink.reading_count);
    }
}
