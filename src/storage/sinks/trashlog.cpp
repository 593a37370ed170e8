#include "storage/sinks/trashlog.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/lock.h"
#include "common/terminate.h"
#include "storage/overload.h"
#include "storage/queue.h"

namespace {

// About ten thousand lines; half of it wakes the writers before their deadline.
constexpr size_t kTrashBufferBytes = size_t{1} << 20;
constexpr size_t kWakeBytes = kTrashBufferBytes / 2;
constexpr const char* kReportLine = "Trash logging: %s\n";

SinkSetting setting{nullptr, {0}};

// The workers fill one buffer while the trash log's writer writes the other. Guarded by its
// mutex.
struct TrashBuffers {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    char buffers[2][kTrashBufferBytes];
    int filling;
    size_t filled;
};
TrashBuffers trash{};

std::atomic<uint64_t> dropped{0};

void Report() { std::printf(kReportLine, ReportedName(setting)); }

constexpr Reading kReadings[] = {{kDroppedTrashLines, nullptr, GetTrashLinesDropped}};

}  // namespace

const Sink kTrashLogSink{.name = "trash",
                         .setting = &setting,
                         .name_switch = 't',
                         .off_switch = 'z',
                         .default_name = "./netflow_trash.log",
                         .help = "-t Enable trash (non NetFlow5 packets) logging, defaults to ",
                         .off_help = "-z Disable trash logging",
                         .report = Report,
                         .report_when_off = true,
                         .check_refusal = "Main, can't access to Trash Log File",
                         .check_creates = true,
                         .readings = kReadings,
                         .reading_count = 1,
                         .serve = WriteTrashLines};

int IsTrashLoggingEnabled() { return setting.enabled; }
void SwitchTrashFlag() { ToggleSink(setting); }

void StoreTrashLine(const char* line) {
    const size_t length = std::strlen(line);
    bool full = false;
    bool wake = false;
    {
        LockGuard lock(trash.mutex);
        full = trash.filled + length > kTrashBufferBytes;
        if (!full) {
            std::memcpy(trash.buffers[trash.filling] + trash.filled, line, length);
            wake = trash.filled < kWakeBytes && trash.filled + length >= kWakeBytes;
            trash.filled += length;
        }
    }
    if (full) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        NoteOverload(kTrashDrops, 1);
    }
    if (wake) WakeQueueReaders();
}

void WriteTrashLines() {
    int full;
    size_t length;
    {
        LockGuard lock(trash.mutex);
        full = trash.filling;
        length = trash.filled;
        trash.filling = 1 - trash.filling;
        trash.filled = 0;
    }
    if (length == 0) return;
    FILE* log = OpenLogForAppend(setting.name);
    std::fwrite(trash.buffers[full], 1, length, log);
    CloseLogOrTerminate(log);
}

uint64_t GetTrashLinesDropped() { return dropped.load(std::memory_order_relaxed); }
