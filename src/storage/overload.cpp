#include "storage/overload.h"

#include <pthread.h>
#include <time.h>

#include <cstdio>

#include "common/lock.h"
#include "common/messages.h"

namespace {

// A run ends once it has been quiet this long; the next may be announced this long after the
// last announcement.
constexpr time_t kQuietSeconds = 5;
constexpr time_t kPairSeconds = 60;

// The end message is the count between its two parts.
struct Texts {
    const char* began;
    const char* ended;
    const char* counted;
};

constexpr Texts kTexts[kOverloadKinds] = {
    {"Storage queue full, refusing flows", "Storage queue has room again: ", " flows refused"},
    {"A sink fell a queue behind, skipping its oldest flows", "Sinks keep up again: ",
     " flows skipped"},
    {"Trash buffer full, dropping lines", "Trash buffer has room again: ", " lines dropped"},
};
constexpr const char* kEnded = "%s%llu%s";

// Guarded by mutex.
struct Run {
    uint64_t count;      // refused since the last end message
    bool announced;      // its start message was given
    time_t last;         // latest refusal
    time_t next_start;   // earliest moment for the next start message
};

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
Run runs[kOverloadKinds]{};

time_t Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

void SayEnded(OverloadKind kind, uint64_t count) {
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kEnded, kTexts[kind].ended,
                  static_cast<unsigned long long>(count), kTexts[kind].counted);
    notify(message);
}

}  // namespace

void NoteOverload(OverloadKind kind, uint64_t count) {
    const time_t now = Now();
    bool announce = false;
    {
        LockGuard lock(mutex);
        Run& run = runs[kind];
        run.count += count;
        run.last = now;
        if (!run.announced && now >= run.next_start) {
            run.announced = announce = true;
            run.next_start = now + kPairSeconds;
        }
    }
    if (announce) notify(kTexts[kind].began);
}

// A run that began within a minute of the last announcement was not announced; once it is over
// and the minute has passed, its start and its end are said together.
void SettleOverloads() {
    const time_t now = Now();
    for (int kind = 0; kind < kOverloadKinds; ++kind) {
        bool announce = false;
        uint64_t count = 0;
        {
            LockGuard lock(mutex);
            Run& run = runs[kind];
            if (run.count == 0 || now - run.last < kQuietSeconds) continue;
            if (!run.announced) {
                if (now < run.next_start) continue;
                announce = true;
                run.next_start = now + kPairSeconds;
            }
            count = run.count;
            run = Run{0, false, run.last, run.next_start};
        }
        if (announce) notify(kTexts[kind].began);
        SayEnded(static_cast<OverloadKind>(kind), count);
    }
}
