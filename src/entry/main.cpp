// Entry point: settings, privilege drop, start-up report, log file checks, then the listener.
#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/memory.h"
#include "common/messages.h"
#include "common/registry.h"
#include "common/settings.h"
#include "common/terminate.h"
#include "entry/settings.h"
#include "listen/listener.h"
#include "listen/signals.h"
#include "storage/sink.h"

namespace {

constexpr const char* kBeginLogging = "Begin Logging\n";
constexpr const char* kMetricsReport = "Metrics on http://%s:%d/metrics\n";
constexpr const char* kNetFlowReport = "Taking NetFlow %s\n";

[[noreturn]] void FailStartup() {
    std::fflush(stdout);
    std::exit(1);
}

// Takes on the named user's groups and then its user id, so nothing of root's remains. Without
// root there is nothing to take on, and a process that already runs as the user is where -u
// would put it; any other switch fails as the system refuses it. The MySQL client library finds
// ~/.my.cnf through HOME, which becomes the user's own home, not the starter's.
void SwitchUser(const char* name) {
    const passwd* entry = getpwnam(name);
    if (entry == nullptr) {
        std::printf("User %s does not exist !\n", name);
        FailStartup();
    }
    const bool already = getuid() != 0 && getuid() == entry->pw_uid && geteuid() == entry->pw_uid;
    if (!already && (initgroups(name, entry->pw_gid) != 0 || setgid(entry->pw_gid) != 0 ||
                     setuid(entry->pw_uid) != 0)) {
        std::printf("Can't switch to user %s !\n", name);
        FailStartup();
    }
    setenv("HOME", entry->pw_dir, 1);
}

// The sinks' lines that show "Disabled" for a sink that is off come first, then the lines of
// the sinks that show only while on.
void PrintReport(const StartupOptions& options) {
    std::printf("Netflow listener starting with PID: %ld\n", static_cast<long>(getpid()));
    std::printf("Listening on %s:%d\n", GetBindAddress(), options.nNetflowport);
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (kSinks[s]->report_when_off) kSinks[s]->report();
    }
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (!kSinks[s]->report_when_off && kSinks[s]->setting->enabled == 1) kSinks[s]->report();
    }
    std::printf("Max Throttle at %ld packets\n", static_cast<long>(GetMaxThrottle()));
    std::fflush(stdout);
}

// A log that cannot be written ends the start-up; an absent one is created with a first line
// if its sink asks for that.
void CheckLogFile(const Sink& sink) {
    const char* path = sink.setting->name;
    if (access(path, W_OK) == 0) return;
    if (access(path, F_OK) == 0) Terminate(4, sink.check_refusal);
    if (sink.check_creates) LogWrite(kBeginLogging, path);
}

void CheckLogFiles() {
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (kSinks[s]->check_refusal != nullptr && SinkOn(*kSinks[s])) CheckLogFile(*kSinks[s]);
    }
}

// "Main - The <what> must be a number between 1 and <highest> !"
[[noreturn]] void RefuseOutOfRange(int status, const char* what, long highest) {
    char ErrMsg[kMessageSize];
    std::snprintf(ErrMsg, sizeof ErrMsg, "Main - The %s must be a number between 1 and %ld !", what,
                  highest);
    Terminate(status, ErrMsg);
}

void CheckSwitches(const StartupOptions& options) {
    if (options.nThreads < 1 || options.nThreads > kMaxThreads) {
        RefuseOutOfRange(5, "number of threads", kMaxThreads);
    }
    if (!options.throttle_valid) RefuseOutOfRange(5, "throttle limit", kMaxThrottleLimit);
    if (!options.port_valid) RefuseOutOfRange(6, "port", 65535);
    // Names are not resolved: inet_addr would take one for 255.255.255.255 and listen nowhere.
    in6_addr bind_address{};
    if (inet_pton(AF_INET, GetBindAddress(), &bind_address) != 1 &&
        inet_pton(AF_INET6, GetBindAddress(), &bind_address) != 1) {
        Terminate(6, "Main - The address must be an IPv4 address in dotted form or an IPv6 address !");
    }
    if (GetMetricsAddress() != nullptr && GetMetricsPort() == 0) {
        Terminate(6, "Main - --metrics takes PORT or ADDR:PORT, ADDR an IPv4 address !");
    }
    if (GetNetFlowVersions() == 0) {
        Terminate(6, "Main - --netflow takes a list of v5, v9 and ipfix !");
    }
}

void PrintRunningUser(StartupOptions& options) {
    if (options.user != nullptr) {
        std::printf("Running as user %s\n", options.user);
        ReleaseText(options.user);
    } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr) {
        std::printf("Running as user %s\n", entry->pw_name);
    } else {
        std::fputs("Running as unknown user !\n", stdout);
    }
    std::fflush(stdout);
}

// Only when --netflow takes more than v5: the default report stays as it was.
void PrintVersionsTaken() {
    const unsigned versions = GetNetFlowVersions();
    if (versions == kTakeV5) return;
    char list[32] = "";
    for (const NetFlowVersionName& version : kNetFlowVersionNames) {
        if ((versions & version.bit) == 0) continue;
        if (list[0] != '\0') std::strcat(list, ", ");
        std::strcat(list, version.name);
    }
    std::printf(kNetFlowReport, list);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Every file the daemon creates (logs, database, copies) is its own alone: 0600.
    umask(066);
    InitMemoryManager();
    StartupOptions options{};
    ReadSettings(argc, argv, &options);
    if (options.user != nullptr) SwitchUser(options.user);

    SetupSignals();
    PrintReport(options);
    RunSignalWork();
    CheckLogFiles();
    CheckSwitches(options);
    std::printf("Will run with %d threads\n", options.nThreads);
    PrintRunningUser(options);
    if (GetMetricsAddress() != nullptr) {
        std::printf(kMetricsReport, GetMetricsAddress(), GetMetricsPort());
        std::fflush(stdout);
    }
    PrintVersionsTaken();
    RunSignalWork();

    return ListenerProcess(options.nNetflowport, GetBindAddress(), options.nThreads);
}
