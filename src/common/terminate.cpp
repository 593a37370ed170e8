#include "common/terminate.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/registry.h"
#include "common/settings.h"

namespace {

constexpr const char* kOpenFailed = "LogWrite - file open";
constexpr const char* kCantOpen = "Can't open %s for appending: %s";
constexpr const char* kWriteFailed = "LogWrite - file write";
constexpr const char* kTerminationLine = "Process terminated with value: %d, quitting from %s\n";
constexpr int kMaxExitHooks = 8;

std::atomic<bool> terminating{false};
// A hook is published by its slot's store; Terminate may run on any thread at any time.
std::atomic<ExitHook> hooks[kMaxExitHooks];
std::atomic<int> hook_count{0};

// The write end of the start-up pipe until a report has gone through it.
std::atomic<int> startup_pipe{-1};

void SendStartupReport(const char* report, size_t length) {
    const int fd = startup_pipe.exchange(-1);
    if (fd < 0) return;
    if (write(fd, report, length) < 0) {
    }  // the waiting process is gone: there is nobody left to tell
    close(fd);
}

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
    SendStartupReport(message, std::strlen(message));

    // The settings may be released only when no other thread can still read them.
    if (AliveThreads() == 0) ReleaseNamedVars();
    std::exit(status);
}

bool TerminationBegun() { return terminating.load(); }
void SetStartupPipe(int fd) { startup_pipe.store(fd); }

void StartupSucceeded() { SendStartupReport("", 1); }

FILE* OpenLogForAppend(const char* file) {
    FILE* log = std::fopen(file, "a+");
    if (log == nullptr) {
        char error[kMessageSize];
        NotifyCause(kCantOpen, file, SystemErrorText(errno, error, sizeof error));
        Terminate(3, kOpenFailed);
    }
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
