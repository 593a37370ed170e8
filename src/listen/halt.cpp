#include "listen/halt.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/messages.h"
#include "common/registry.h"
#include "common/settings.h"
#include "common/shutdown.h"
#include "common/terminate.h"
#include "sched/joblist.h"
#include "storage/queue.h"
#include "storage/writers.h"

namespace {

constexpr const char* kAliveThreads = "Alive threads: %d";
constexpr const char* kFlowsLost = "Flows not stored at shutdown: %zu";
// The stop could not keep every flow received: a sink could not write.
constexpr int kLostStatus = 17;
constexpr const char* kLostCaller = "shutdown with flows lost";
// A detached process reports nothing, so it need not wait a whole second between two counts;
// it still pauses, rather than spinning a core for the whole shutdown.
constexpr useconds_t kDetachedPoll = 10000;

void ReportAndPause() {
    if (IsDetached() == 0) {
        char ErrMessage[kMessageSize];
        std::snprintf(ErrMessage, sizeof ErrMessage, kAliveThreads, AliveThreads());
        trace(ErrMessage);
        // A signal taken meanwhile cuts a sleep short; the count still comes once a second.
        timespec second{1, 0};
        while (nanosleep(&second, &second) != 0 && errno == EINTR) {
        }
    } else {
        usleep(kDetachedPoll);
    }
}

}  // namespace

// Runs on the main thread, which holds no lock here (see RunSignalWork). It never returns, so
// the receive loop makes no further pass and a second SIGTERM finds nobody to serve it.
void HaltApp() {
    StartShutdown();
    // The threads sleep until woken: they must see the flag now.
    WakeQueueReaders();
    WakeDispatchThreads();
    do {
        ReportAndPause();
    } while (AliveThreads() > 0);
    const size_t lost = CloseStorage();
    if (lost == 0) Terminate(0, "clean shutdown");
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kFlowsLost, lost);
    notify(message);
    Terminate(kLostStatus, kLostCaller);
}
