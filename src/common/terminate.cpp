#include "common/terminate.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/messages.h"
#include "common/registry.h"
#include "common/settings.h"

namespace {

constexpr const char* kOpenFailed = "LogWrite - file open";
constexpr const char* kWriteFailed = "LogWrite - file write";
constexpr const char* kTerminationLine = "Process terminated with value: %d, quitting from %s\n";
constexpr int kMaxExitHooks = 8;

std::atomic<bool> terminating{false};
// A hook is published by its slot's store; Terminate may run on any thread at any time.
std::atomic<ExitHook> hooks[kMaxExitHooks];
std::atomic<int> hook_count{0};

void RunExitHooks() {
    const int count = hook_count.load();
    for (int h = 0; h < count && h < kMaxExitHooks; ++h) {
        if (const ExitHook hook = hooks[h].load()) hook();
    }
}

}  // namespace

void AddExitHook(ExitHook hook) {
    for (int h = 0; h < hook_count.load() && h < kMaxExitHooks; ++h) {
        if (hooks[h].load() == hook) return;
    }
    const int slot = hook_count.fetch_add(1);
    NF_ASSERT(slot < kMaxExitHooks, "slot < kMaxExitHooks");
    hooks[slot].store(hook);
}

void Terminate(int status, const char* caller) {
    // Two threads may fail at once; the first one reports and exits, the others wait for it.
    if (terminating.exchange(true)) {
        for (;;) pause();
    }
    RunExitHooks();

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

FILE* OpenLogForAppend(const char* file) {
    umask(066);
    FILE* log = std::fopen(file, "a+");
    if (log == nullptr) Terminate(3, kOpenFailed);
    return log;
}

// A log may be a device or a pipe that cannot be synced; its bytes are then written already.
bool CloseLog(FILE* log) {
    bool kept = std::fflush(log) == 0 && std::ferror(log) == 0;
    kept = (fdatasync(fileno(log)) == 0 || errno == EINVAL) && kept;
    return std::fclose(log) == 0 && kept;
}

void CloseLogOrTerminate(FILE* log) {
    if (!CloseLog(log)) Terminate(3, kWriteFailed);
}

void LogWrite(const char* message, const char* file) {
    FILE* log = OpenLogForAppend(file);
    std::fputs(message, log);
    CloseLogOrTerminate(log);
}
