#include "listen/halt.h"

#include <unistd.h>

#include <cstdio>

#include "common/messages.h"
#include "common/registry.h"
#include "common/settings.h"
#include "common/shutdown.h"
#include "common/terminate.h"
#include "sched/joblist.h"
#include "storage/queue.h"

namespace {

constexpr const char* kAliveThreads = "Alive threads: %d";
// A detached process reports nothing, so it need not wait a whole second between two counts;
// it still pauses, rather than spinning a core for the whole shutdown.
constexpr useconds_t kDetachedPoll = 10000;

void ReportAndPause() {
    if (IsDetached() == 0) {
        char ErrMessage[kMessageSize];
        std::snprintf(ErrMessage, sizeof ErrMessage, kAliveThreads, AliveThreads());
        trace(ErrMessage);
        sleep(1);
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
    WakeStorage();
    WakeDispatchThreads();
    do {
        ReportAndPause();
    } while (AliveThreads() > 0);
    Terminate(0, "clean shutdown");
}
