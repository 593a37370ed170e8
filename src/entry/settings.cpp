#include "entry/settings.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/settings.h"
#include "storage/sink.h"

namespace {

// The switches besides the sinks' own. The leading '+' makes glibc's getopt stop at the first
// word that is not a switch instead of permuting the command line.
constexpr const char* kOptions = "+p:a:n:hdi:u:";
// The long switches' values lie outside the range of the short ones: --metrics, --netflow, then
// those of the sinks, kSinkSwitch + the sink's place in the table. --help is -h under the name a
// user tries first.
constexpr int kMetricsSwitch = 256;
constexpr int kNetFlowSwitch = 257;
constexpr int kSinkSwitch = 258;
constexpr option kLongOptions[] = {{"metrics", required_argument, nullptr, kMetricsSwitch},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"netflow", required_argument, nullptr, kNetFlowSwitch}};
constexpr size_t kLongCount = sizeof kLongOptions / sizeof kLongOptions[0];
constexpr const char* kDefaultMetricsAddress = "127.0.0.1";
constexpr const char* kMetricsHelp =
    "--metrics [ADDR:]PORT Serve Prometheus metrics on http://ADDR:PORT/metrics (ADDR defaults "
    "to 127.0.0.1; off by default)\n";
constexpr const char* kNetFlowHelp =
    "--netflow LIST NetFlow versions to take, any of v5,v9,ipfix (default: v5)\n";
constexpr const char* kDefaultBindAddress = "0.0.0.0";
constexpr int kDefaultThreads = 4;
constexpr int kDefaultPort = 2055;
constexpr unsigned long kDefaultMaxThrottle = 50000;

// kOptions followed by each sink's name switch (with its value) and off switch; kLongOptions and
// the sinks' long switches, ended by a zero entry.
struct OptionText {
    char text[64];
    option longs[kLongCount + kMaxSinks + 1];
};

OptionText Options() {
    OptionText options{};
    size_t length = std::strlen(kOptions);
    std::memcpy(options.text, kOptions, length);
    size_t longs = 0;
    for (const option& long_option : kLongOptions) options.longs[longs++] = long_option;
    for (size_t s = 0; s < kSinkCount; ++s) {
        const Sink& sink = *kSinks[s];
        NF_ASSERT(length + 3 < sizeof options.text, "length + 3 < sizeof options.text");
        if (sink.name_switch != 0) {
            options.text[length++] = sink.name_switch;
            options.text[length++] = ':';
        }
        if (sink.off_switch != 0) options.text[length++] = sink.off_switch;
        if (sink.long_switch != nullptr) {
            options.longs[longs++] = {sink.long_switch, required_argument, nullptr,
                                      kSinkSwitch + static_cast<int>(s)};
        }
    }
    return options;
}

// Whether text is a whole decimal number from low to high; the switches that must be are checked
// after the report, which shows them as atoi reads them.
bool IsNumberIn(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && value >= low && value <= high;
}

bool IsPortNumber(const char* text) { return IsNumberIn(text, 1, 65535); }

// --metrics takes PORT or ADDR:PORT, ADDR an IPv4 address in dotted form.
void ReadMetricsEndpoint(const char* value) {
    const char* colon = std::strrchr(value, ':');
    const int length = colon == nullptr ? 0 : static_cast<int>(colon - value);
    char address[INET_ADDRSTRLEN];
    if (colon == nullptr)
        std::snprintf(address, sizeof address, "%s", kDefaultMetricsAddress);
    else
        std::snprintf(address, sizeof address, "%.*s", length, value);
    in_addr parsed{};
    const bool valid = length < INET_ADDRSTRLEN && inet_pton(AF_INET, address, &parsed) == 1;
    const char* port = colon == nullptr ? value : colon + 1;
    SetMetricsEndpoint(address, valid && IsPortNumber(port) ? std::atoi(port) : 0);
}

// --netflow takes a comma-separated list of version names; one it does not know makes it 0.
void ReadNetFlowVersions(const char* value) {
    unsigned versions = 0;
    char list[64];
    std::snprintf(list, sizeof list, "%s", value);
    char* rest = list;
    for (char* word = strsep(&rest, ","); word != nullptr; word = strsep(&rest, ",")) {
        unsigned bit = 0;
        for (const NetFlowVersionName& known : kNetFlowVersionNames)
            if (std::strcmp(word, known.name) == 0) bit = known.bit;
        if (bit == 0) versions = ~0u;
        versions |= bit;
    }
    SetNetFlowVersions(versions == ~0u || std::strlen(value) >= sizeof list ? 0 : versions);
}

// A sink with a default name starts on; one without starts off until its switch names it.
void SetDefaults(StartupOptions* options) {
    ReleaseNamedVars();
    ReleaseText(options->user);
    options->nThreads = kDefaultThreads;
    SetDetached(0);
    options->nNetflowport = kDefaultPort;
    options->port_valid = true;
    SetMaxThrottle(kDefaultMaxThrottle);
    options->throttle_valid = true;
    SetNetFlowVersions(kTakeV5);
    for (size_t s = 0; s < kSinkCount; ++s)
        kSinks[s]->setting->enabled = kSinks[s]->default_name != nullptr ? 1 : 0;
}

// True if arg is one of a sink's switches.
bool ApplySinkSwitch(int arg, const char* value) {
    for (size_t s = 0; s < kSinkCount; ++s) {
        const Sink& sink = *kSinks[s];
        if ((sink.name_switch != 0 && arg == sink.name_switch) ||
            arg == kSinkSwitch + static_cast<int>(s)) {
            SetText(sink.setting->name, value);
            if (sink.default_name == nullptr) sink.setting->enabled = 1;
            return true;
        }
        if (arg == sink.off_switch) {
            sink.setting->enabled = 0;
            return true;
        }
    }
    return false;
}

void ApplySwitch(int arg, const char* value, StartupOptions* options) {
    if (ApplySinkSwitch(arg, value)) return;
    switch (arg) {
        case 'p':
            options->nNetflowport = std::atoi(value);
            options->port_valid = IsPortNumber(value);
            break;
        case 'a': SetBindAddress(value); break;
        case 'n': options->nThreads = std::atoi(value); break;
        case 'h': HelpCommandLine(); break;
        case 'd': SetDetached(1); break;
        case 'i':
            SetMaxThrottle(static_cast<uint32_t>(std::atol(value)));
            options->throttle_valid = IsNumberIn(value, 1, kMaxThrottleLimit);
            break;
        case 'u':
            // An empty name is ignored; any other is looked up, so a typo cannot leave us root.
            if (value[0] != '\0') {
                ReleaseText(options->user);
                options->user = CopyText(value);
            }
            break;
        case kMetricsSwitch: ReadMetricsEndpoint(value); break;
        case kNetFlowSwitch: ReadNetFlowVersions(value); break;
        default: break;  // getopt has already complained on standard error
    }
}

void FillDefaultNames() {
    if (GetBindAddress() == nullptr) SetBindAddress(kDefaultBindAddress);
    for (size_t s = 0; s < kSinkCount; ++s) {
        const Sink& sink = *kSinks[s];
        if (sink.setting->name == nullptr && sink.default_name != nullptr)
            SetText(sink.setting->name, sink.default_name);
    }
}

// Every sink's line that names it, then every off switch's.
void PrintSinkHelp() {
    for (size_t s = 0; s < kSinkCount; ++s) {
        std::fputs(kSinks[s]->help, stdout);
        if (kSinks[s]->default_name != nullptr) std::fputs(kSinks[s]->default_name, stdout);
        std::fputc('\n', stdout);
    }
    for (size_t s = 0; s < kSinkCount; ++s) {
        if (kSinks[s]->off_help != nullptr) std::printf("%s\n", kSinks[s]->off_help);
    }
}

}  // namespace

void ReadSettings(int argc, char** argv, StartupOptions* options) {
    SetDefaults(options);
    const OptionText switches = Options();
    optind = 0;  // full rescan, so the settings can be read again
    int arg;
    while ((arg = getopt_long(argc, argv, switches.text, switches.longs, nullptr)) != -1)
        ApplySwitch(arg, optarg, options);
    FillDefaultNames();
}

char* OSVersion() { return CopyText("Apple Mac OSX (Darwin)"); }

void HelpCommandLine() {
    std::printf("NetFlow Traffic Collector %s\n", GetRelease());
    std::fputs("Yep, running this software I agree that Italian telcos are suxing thieves !\n",
               stdout);
    std::fputs("Multithreaded version\n", stdout);
    char* os = OSVersion();
    std::printf("Running on: %s\n", os);
    ReleaseText(os);
    std::fputs("Command Line switches are :\n", stdout);
    std::fputs("-d Daemonize and go background\n", stdout);
    std::fputs("-p UDP Port on which NetFlows are incoming\n", stdout);
    std::fputs("-a IP Address to which NetFlows are incoming\n", stdout);
    PrintSinkHelp();
    std::fputs("-u Run nfkeeper as user xxxx\n", stdout);
    std::printf("-n Threads to use on multithreaded versions (default: %d)\n", kDefaultThreads);
    std::printf(
        "-i Throttle limit - When buffer queue reaches this limit, give packet processing "
        "maximum priority (default: %lu packets)\n",
        kDefaultMaxThrottle);
    std::fputs(kMetricsHelp, stdout);
    std::fputs(kNetFlowHelp, stdout);
    std::fputs("SIGNALS Available:\n", stdout);
    std::fputs("SIGUSR1 - Creates a snapshot of the current DB\n", stdout);
    std::fputs("SIGUSR2 - Enables/Disables ASCII logging\n", stdout);
    std::fputs("SIGTERM - Performs a clean shutdown\n", stdout);
    std::fputs("SIGHUP - Enables/Disables Trash logging\n", stdout);
    std::fputs("SIGWINCH - Rotate current DB\n", stdout);
    std::fflush(stdout);
    std::exit(1);
}
