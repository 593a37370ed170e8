#include "storage/terminate.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "common/messages.h"
#include "entry/settings.h"
#include "sched/registry.h"
#include "storage/mysql_sink.h"
#include "storage/queue.h"
#include "storage/sqlite_sink.h"

namespace {

constexpr const char* kTerminationLine = "Process terminated with value: %d, quitting from %s\n";
// How long Terminate waits for a storage pass to release the database handles.
constexpr auto kCloseWait = std::chrono::seconds(2);

std::atomic<bool> terminating{false};

// Takes StoreData_mutex unless a thread keeps it past the deadline (stuck in a database write).
bool TakeStoreLockWithin(std::chrono::steady_clock::duration wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (pthread_mutex_trylock(&StoreData_mutex) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(1000);
    }
    return true;
}

}  // namespace

void CloseStorage() {
    // Never close a handle under a storage pass that is using it. The lock taken here is kept:
    // nothing may touch the handles between their close and the exit.
    if (!StoreLockHeldHere() && !TakeStoreLockWithin(kCloseWait)) return;
    CloseSQLite();
    CloseMySQL();
}

void Terminate(int status, const char* caller) {
    // Two threads may fail at once; the first one reports and exits, the others wait for it.
    if (terminating.exchange(true)) {
        for (;;) pause();
    }
    CloseStorage();

    char message[kMessageSize];
    const int length = std::snprintf(message, sizeof message, kTerminationLine, status, caller);
    if (length >= static_cast<int>(sizeof message)) message[sizeof message - 2] = '\n';
    std::fputs(message, stderr);
    std::fflush(stderr);
    syslog(LOG_DAEMON | LOG_EMERG, "%s", message);

    // The settings may be released only when no other thread can still read them.
    if (AliveThreads() == 0) ReleaseNamedVars();
    std::exit(status);
}

void LogWrite(const char* message, const char* file) {
    umask(066);
    FILE* log = std::fopen(file, "a+");
    if (log == nullptr) Terminate(3, "LogWrite - file open");
    std::fputs(message, log);
    std::fclose(log);
}
