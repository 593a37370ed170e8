#include "storage/trashlog.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/lock.h"
#include "common/terminate.h"
#include "common/settings.h"
#include "storage/queue.h"

namespace {

// About ten thousand lines; half of it wakes the storage thread before its deadline.
constexpr size_t kTrashBufferBytes = size_t{1} << 20;
constexpr size_t kWakeBytes = kTrashBufferBytes / 2;

pthread_mutex_t trash_mutex = PTHREAD_MUTEX_INITIALIZER;
// The workers fill one buffer while the storage thread writes the other. Guarded by trash_mutex.
char buffers[2][kTrashBufferBytes];
int filling = 0;
size_t filled = 0;

std::atomic<uint64_t> dropped{0};

}  // namespace

void StoreTrashLine(const char* line) {
    const size_t length = std::strlen(line);
    bool wake = false;
    {
        LockGuard lock(trash_mutex);
        if (filled + length > kTrashBufferBytes) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        std::memcpy(buffers[filling] + filled, line, length);
        wake = filled < kWakeBytes && filled + length >= kWakeBytes;
        filled += length;
    }
    if (wake) WakeStorage();
}

void WriteTrashLines() {
    int full;
    size_t length;
    {
        LockGuard lock(trash_mutex);
        full = filling;
        length = filled;
        filling = 1 - filling;
        filled = 0;
    }
    if (length == 0) return;
    FILE* log = OpenLogForAppend(GetTrashLogFileName());
    std::fwrite(buffers[full], 1, length, log);
    CloseLogOrTerminate(log);
}

uint64_t GetTrashLinesDropped() { return dropped.load(std::memory_order_relaxed); }
