#include "entry/settings.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/settings.h"

namespace {

// The leading '+' makes glibc's getopt stop at the first word that is not a switch instead of
// permuting the command line.
constexpr const char* kOptions = "+p:a:l:b:t:n:m:hxyzdi:u:";
// The long switches; their values lie outside the range of the short ones.
constexpr int kMetricsSwitch = 256;
constexpr int kClickHouseSwitch = 257;
constexpr option kLongOptions[] = {{"metrics", required_argument, nullptr, kMetricsSwitch},
                                   {"clickhouse", required_argument, nullptr, kClickHouseSwitch},
                                   {nullptr, 0, nullptr, 0}};
constexpr const char* kDefaultMetricsAddress = "127.0.0.1";
constexpr const char* kMetricsHelp =
    "--metrics [ADDR:]PORT Serve Prometheus metrics on http://ADDR:PORT/metrics (ADDR defaults "
    "to 127.0.0.1; off by default)\n";
constexpr const char* kClickHouseHelp =
    "--clickhouse URL Export every flow to ClickHouse at http[s]://[USER:PASSWORD@]HOST:PORT"
    "[/DATABASE.TABLE] (table defaults to FLOWDB.FLOWS; off by default)\n";
constexpr const char* kDefaultTextLog = "./netflow.log";
constexpr const char* kDefaultBinaryLog = "./netflow.db";
constexpr const char* kDefaultTrashLog = "./netflow_trash.log";
constexpr const char* kDefaultBindAddress = "0.0.0.0";
constexpr int kDefaultThreads = 4;
constexpr int kDefaultPort = 2055;
constexpr unsigned long kDefaultMaxThrottle = 50000;

// -p must name a real port: a whole number from 1 to 65535; anything else is rejected later.
bool IsPortNumber(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 1 && value <= 65535;
}

// --metrics takes PORT or ADDR:PORT, ADDR an IPv4 address in dotted form.
void SetMetricsEndpoint(const char* value) {
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
    SetMetricsPort(valid && IsPortNumber(port) ? std::atoi(port) : 0);
    SetText(Text::kMetricsAddress, address);
}

void SetDefaults(StartupOptions* options) {
    ReleaseNamedVars();
    ReleaseText(options->user);
    options->nThreads = kDefaultThreads;
    SetFlag(Flag::kMySQL, 0);
    SetFlag(Flag::kClickHouse, 0);
    SetFlag(Flag::kDetached, 0);
    SetFlag(Flag::kTrashLog, 1);
    options->nNetflowport = kDefaultPort;
    options->port_valid = true;
    SetMaxThrottle(kDefaultMaxThrottle);
    SetFlag(Flag::kTextLog, 1);
    SetFlag(Flag::kBinaryLog, 1);
    SetMetricsPort(0);
}

void ApplySwitch(int arg, const char* value, StartupOptions* options) {
    switch (arg) {
        case 'p':
            options->nNetflowport = std::atoi(value);
            options->port_valid = IsPortNumber(value);
            break;
        case 'a': SetText(Text::kBindAddress, value); break;
        case 'l': SetText(Text::kTextLog, value); break;
        case 'b': SetText(Text::kBinaryLog, value); break;
        case 't': SetText(Text::kTrashLog, value); break;
        case 'n': options->nThreads = std::atoi(value); break;
        case 'm':
            SetText(Text::kMySQLServer, value);
            SetFlag(Flag::kMySQL, 1);
            break;
        case 'h': HelpCommandLine(); break;
        case 'x': SetFlag(Flag::kTextLog, 0); break;
        case 'y': SetFlag(Flag::kBinaryLog, 0); break;
        case 'z': SetFlag(Flag::kTrashLog, 0); break;
        case 'd': SetFlag(Flag::kDetached, 1); break;
        case 'i': SetMaxThrottle(static_cast<uint32_t>(std::atol(value))); break;
        case 'u':
            // An empty name is ignored; any other is looked up, so a typo cannot leave us root.
            if (value[0] != '\0') {
                ReleaseText(options->user);
                options->user = CopyText(value);
            }
            break;
        case kMetricsSwitch: SetMetricsEndpoint(value); break;
        case kClickHouseSwitch:
            SetText(Text::kClickHouseURL, value);
            SetFlag(Flag::kClickHouse, 1);
            break;
        default: break;  // getopt has already complained on standard error
    }
}

// A setting the switches left unset takes its default.
void FillDefault(Text which, const char* value) {
    if (GetText(which) == nullptr) SetText(which, value);
}

void FillDefaultNames() {
    FillDefault(Text::kBindAddress, kDefaultBindAddress);
    FillDefault(Text::kTextLog, kDefaultTextLog);
    FillDefault(Text::kTrashLog, kDefaultTrashLog);
    FillDefault(Text::kBinaryLog, kDefaultBinaryLog);
}

}  // namespace

void ReadSettings(int argc, char** argv, StartupOptions* options) {
    SetDefaults(options);
    optind = 0;  // full rescan, so the settings can be read again
    int arg;
    while ((arg = getopt_long(argc, argv, kOptions, kLongOptions, nullptr)) != -1)
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
    std::printf("-l Enable ASCII logging, defaults to %s\n", kDefaultTextLog);
    std::printf("-b Enable binary logging, defaults to %s\n", kDefaultBinaryLog);
    std::fputs("-m ip/hostname of MYSQL database server\n", stdout);
    std::printf("-t Enable trash (non NetFlow5 packets) logging, defaults to %s\n",
                kDefaultTrashLog);
    std::fputs("-x Disable text logging\n", stdout);
    std::fputs("-y Disable binary logging\n", stdout);
    std::fputs("-z Disable trash logging\n", stdout);
    std::fputs("-u Run nfkeeper as user xxxx\n", stdout);
    std::printf("-n Threads to use on multithreaded versions (default: %d)\n", kDefaultThreads);
    std::printf(
        "-i Throttle limit - When buffer queue reaches this limit, give packet processing "
        "maximum priority (default: %lu packets)\n",
        kDefaultMaxThrottle);
    std::fputs(kMetricsHelp, stdout);
    std::fputs(kClickHouseHelp, stdout);
    std::fputs("SIGNALS Available:\n", stdout);
    std::fputs("SIGUSR1 - Creates a snapshot of the current DB\n", stdout);
    std::fputs("SIGUSR2 - Enables/Disables ASCII logging\n", stdout);
    std::fputs("SIGTERM - Performs a clean shutdown\n", stdout);
    std::fputs("SIGHUP - Enables/Disables Trash logging\n", stdout);
    std::fputs("SIGWINCH - Rotate current DB\n", stdout);
    std::fflush(stdout);
    std::exit(1);
}
