#include "entry/settings.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/memory.h"

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
constexpr char Release[6] = "1.0.1";
constexpr const char* kDefaultTextLog = "./netflow.log";
constexpr const char* kDefaultBinaryLog = "./netflow.db";
constexpr const char* kDefaultTrashLog = "./netflow_trash.log";
constexpr const char* kDefaultBindAddress = "0.0.0.0";
constexpr int kDefaultThreads = 4;
constexpr int kDefaultPort = 2055;
constexpr unsigned long kDefaultMaxThrottle = 50000;

// Text settings: written by main() before any other thread exists, read-only afterwards.
char* TextLogFile;
char* BinaryLogFile;
char* TrashLogFile;
char* cBindAddress;
char* MYSQLServerName;
char* ClickHouseURL;  // null unless --clickhouse was given
char* cMetricsAddress;  // null while the metrics endpoint is off
int nMetricsPort;       // 0 when --metrics named no valid port or address

// Flags: the two logging toggles change them at run time, so every access is atomic.
std::atomic<int> nTextLogEnabled{0};
std::atomic<int> nBinaryLogEnabled{0};
std::atomic<int> nTrashLogEnabled{0};
std::atomic<int> nDetached{0};
std::atomic<int> nMYSQLLogEnabled{0};
std::atomic<int> nClickHouseLogEnabled{0};
uint32_t nMaxThrottle;

// A tracked copy of text, released by ReleaseText with the same size.
char* CopyText(const char* text) {
    const size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(allocate_mem(size));
    std::memcpy(copy, text, size);
    return copy;
}

void ReleaseText(char*& text) {
    if (text == nullptr) return;
    release_mem(text, std::strlen(text) + 1);
    text = nullptr;
}

void ReplaceText(char*& setting, const char* text) {
    ReleaseText(setting);
    setting = CopyText(text);
}

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
    nMetricsPort = valid && IsPortNumber(port) ? std::atoi(port) : 0;
    ReplaceText(cMetricsAddress, address);
}

void SetDefaults(StartupOptions* options) {
    ReleaseNamedVars();
    ReleaseText(options->user);
    options->nThreads = kDefaultThreads;
    nMYSQLLogEnabled = 0;
    nClickHouseLogEnabled = 0;
    nDetached = 0;
    nTrashLogEnabled = 1;
    options->nNetflowport = kDefaultPort;
    options->port_valid = true;
    nMaxThrottle = kDefaultMaxThrottle;
    nTextLogEnabled = 1;
    nBinaryLogEnabled = 1;
    nMetricsPort = 0;
}

void ApplySwitch(int arg, const char* value, StartupOptions* options) {
    switch (arg) {
        case 'p':
            options->nNetflowport = std::atoi(value);
            options->port_valid = IsPortNumber(value);
            break;
        case 'a': ReplaceText(cBindAddress, value); break;
        case 'l': ReplaceText(TextLogFile, value); break;
        case 'b': ReplaceText(BinaryLogFile, value); break;
        case 't': ReplaceText(TrashLogFile, value); break;
        case 'n': options->nThreads = std::atoi(value); break;
        case 'm':
            ReplaceText(MYSQLServerName, value);
            nMYSQLLogEnabled = 1;
            break;
        case 'h': HelpCommandLine(); break;
        case 'x': nTextLogEnabled = 0; break;
        case 'y': nBinaryLogEnabled = 0; break;
        case 'z': nTrashLogEnabled = 0; break;
        case 'd': nDetached = 1; break;
        case 'i': nMaxThrottle = static_cast<uint32_t>(std::atol(value)); break;
        case 'u':
            // An empty name is ignored; any other is looked up, so a typo cannot leave us root.
            if (value[0] != '\0') ReplaceText(options->user, value);
            break;
        case kMetricsSwitch: SetMetricsEndpoint(value); break;
        case kClickHouseSwitch:
            ReplaceText(ClickHouseURL, value);
            nClickHouseLogEnabled = 1;
            break;
        default: break;  // getopt has already complained on standard error
    }
}

void FillDefaultNames() {
    if (cBindAddress == nullptr) cBindAddress = CopyText(kDefaultBindAddress);
    if (TextLogFile == nullptr) TextLogFile = CopyText(kDefaultTextLog);
    if (TrashLogFile == nullptr) TrashLogFile = CopyText(kDefaultTrashLog);
    if (BinaryLogFile == nullptr) BinaryLogFile = CopyText(kDefaultBinaryLog);
}

}  // namespace

const char* GetTextLogFileName() { return TextLogFile; }
const char* GetBinaryLogFileName() { return BinaryLogFile; }
const char* GetTrashLogFileName() { return TrashLogFile; }
const char* GetMYSQLServerName() { return MYSQLServerName; }
const char* GetClickHouseURL() { return ClickHouseURL; }
const char* GetBindAddress() { return cBindAddress; }
const char* GetMetricsAddress() { return cMetricsAddress; }
int GetMetricsPort() { return nMetricsPort; }
const char* GetRelease() { return Release; }
int IsDetached() { return nDetached; }
int IsTextLoggingEnabled() { return nTextLogEnabled; }
int IsBinaryLoggingEnabled() { return nBinaryLogEnabled; }
int IsTrashLoggingEnabled() { return nTrashLogEnabled; }
int IsMYSQLLoggingEnabled() { return nMYSQLLogEnabled; }
int IsClickHouseLoggingEnabled() { return nClickHouseLogEnabled; }
unsigned long GetMaxThrottle() { return nMaxThrottle; }

void SwitchTextFlag() { nTextLogEnabled = (nTextLogEnabled != 1); }
void SwitchTrashFlag() { nTrashLogEnabled = (nTrashLogEnabled != 1); }

void ReadSettings(int argc, char** argv, StartupOptions* options) {
    SetDefaults(options);
    optind = 0;  // full rescan, so the settings can be read again
    int arg;
    while ((arg = getopt_long(argc, argv, kOptions, kLongOptions, nullptr)) != -1)
        ApplySwitch(arg, optarg, options);
    FillDefaultNames();
}

void ReleaseNamedVars() {
    ReleaseText(cBindAddress);
    ReleaseText(TextLogFile);
    ReleaseText(BinaryLogFile);
    ReleaseText(TrashLogFile);
    ReleaseText(MYSQLServerName);
    ReleaseText(ClickHouseURL);
    ReleaseText(cMetricsAddress);
}

char* OSVersion() { return CopyText("Apple Mac OSX (Darwin)"); }

void HelpCommandLine() {
    std::printf("NetFlow Traffic Collector %s\n", Release);
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
