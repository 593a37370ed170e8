// nf5send: load generator for nf5d. Sends NetFlow v5, v9 or IPFIX export datagrams, valid ones
// with varied flows and chosen malformed ones, to a collector on a loopback address at a chosen
// rate, and prints what it sent. Valid datagrams carry the sequence number a real exporter would
// give them (v5 and IPFIX: the flows exported before; v9: the datagrams), so datagrams skipped on
// purpose show up as loss. v9 and IPFIX datagrams carry their templates, an options template and
// an options record at the start and every --refresh datagrams.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "v5datagram.h"
#include "v9datagram.h"

namespace {

constexpr const char* kUsage =
    "usage: nf5send -p PORT [options]\n"
    "  -p PORT          collector's UDP port (required)\n"
    "  -a ADDR          collector's address, a loopback address (default 127.0.0.1)\n"
    "  -S ADDR          send from this loopback address, i.e. act as this exporter\n"
    "  -c N             valid datagrams, those skipped with -s included (default 1)\n"
    "  -r RATE          datagrams per second, all kinds together; 0 = flat out (default 1000)\n"
    "  -f N | MIN-MAX   flows per valid datagram (default 1-30, at most 340)\n"
    "  -s LIST          valid datagram numbers not to send, e.g. 3,10-12 (counted from 1);\n"
    "                   their flows still advance the sequence, as if lost on the way\n"
    "  --short N        datagrams shorter than a NetFlow header\n"
    "  --bad-version N  datagrams of another NetFlow version\n"
    "  --mangled N      version 5 datagrams whose count does not match their size\n"
    "  --sequence N     sequence number of the first datagram (default 0)\n"
    "  --seed N         seed of the pseudo-random choices (default 1)\n"
    "  --pool N         build the records of N valid datagrams only and send them again in\n"
    "                   turn, with fresh headers: for rates that building every datagram\n"
    "                   cannot reach\n"
    "  --export V       5 (default), 9 (NetFlow v9) or 10 (IPFIX); -f at most 150 for 9, 10\n"
    "  --ipv6 PERCENT   share of v9 and IPFIX flows between IPv6 addresses (default 0)\n"
    "  --refresh N      v9, IPFIX: templates again every N datagrams (default 20)\n"
    "  --early          v9, IPFIX: the first datagram's data goes ahead of any template\n"
    "  --withdraw       IPFIX: withdraw every template after the last datagram\n"
    "  --domain N       v9 source ID, IPFIX observation domain (default 0)\n"
    "  -v               one line per datagram on standard output\n";

constexpr const char* kDatagramLine = "%u %s sequence %u flows %u bytes %zu\n";
constexpr const char* kMalformedLine = "%u %s bytes %zu\n";
constexpr uint32_t kBootAge = 3 * 24 * 3600;  // the simulated exporter has been up three days
// Flows of a v9 or IPFIX datagram: IPv6 records take up to 89 bytes.
constexpr unsigned kMaxTemplatedFlows = 150;
// Template ids: IPv4 and IPv6 flows, the options template.
constexpr uint16_t kIpv4Template = 256;
constexpr uint16_t kIpv6Template = 257;
constexpr uint16_t kOptionsTemplate = 258;

enum Kind { kValid, kShort, kBadVersion, kMangled };

struct Options {
    uint32_t target = INADDR_LOOPBACK;
    uint32_t source = 0;  // 0: let the kernel choose
    int port = 0;
    unsigned valid = 1;
    unsigned short_count = 0;
    unsigned version_count = 0;
    unsigned mangled_count = 0;
    double rate = 1000;
    unsigned min_flows = 1;
    unsigned max_flows = 30;
    std::set<unsigned> skip;
    uint32_t sequence = 0;
    unsigned seed = 1;
    unsigned pool = 0;  // 0: every valid datagram is built afresh
    bool verbose = false;
    uint16_t version = 5;
    unsigned ipv6_percent = 0;
    unsigned refresh = 20;
    bool early = false;
    bool withdraw = false;
    uint32_t domain = 0;
};

struct Totals {
    unsigned sent = 0;       // every datagram put on the wire, for the pacing
    unsigned datagrams = 0;  // valid ones among them
    unsigned long flows = 0;
    unsigned templates = 0;         // v9, IPFIX: datagrams that carried the templates
    unsigned long early_flows = 0;  // flows sent ahead of every template
    unsigned kinds[4] = {0, 0, 0, 0};
    unsigned skipped = 0;
    unsigned long skipped_flows = 0;
};

[[noreturn]] void Usage(const char* complaint) {
    if (complaint != nullptr) std::fprintf(stderr, "nf5send: %s\n", complaint);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

unsigned long ParseNumber(const char* text, unsigned long limit, const char* what) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value > limit || text[0] == '-') Usage(what);
    return value;
}

uint32_t ParseCount(const char* text, const char* what) {
    return static_cast<uint32_t>(ParseNumber(text, UINT32_MAX, what));
}

uint32_t ParseLoopback(const char* text) {
    uint32_t address = 0;
    if (!v5::ParseIpv4(text, &address)) Usage("not an IPv4 address");
    // Only ever a local collector: this tool must not become a way to flood another host.
    if ((address >> 24) != 127) Usage("only loopback addresses (127.0.0.0/8) are allowed");
    return address;
}

void ParseFlowRange(const char* text, Options* options) {
    const char* dash = std::strchr(text, '-');
    const std::string low = dash == nullptr ? text : std::string(text, dash);
    options->min_flows = static_cast<unsigned>(ParseNumber(low.c_str(), v5::kMaxRecords, "bad -f"));
    options->max_flows =
        dash == nullptr ? options->min_flows
                        : static_cast<unsigned>(ParseNumber(dash + 1, v5::kMaxRecords, "bad -f"));
    if (options->min_flows < 1 || options->max_flows < options->min_flows) Usage("bad -f range");
}

void ParseSkipList(const char* text, Options* options) {
    std::string list(text);
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, comma - start);
        const size_t dash = item.find('-');
        const unsigned long first = ParseCount(item.substr(0, dash).c_str(), "bad -s");
        const unsigned long last =
            dash == std::string::npos ? first : ParseCount(item.substr(dash + 1).c_str(), "bad -s");
        if (first < 1 || last < first || last - first > 10000000) Usage("bad -s range");
        for (unsigned long number = first; number <= last; ++number) {
            options->skip.insert(static_cast<unsigned>(number));
        }
        start = comma + 1;
    }
}

Options ParseOptions(int argc, char** argv) {
    enum {
        kOptShort = 256,
        kOptVersion,
        kOptMangled,
        kOptSequence,
        kOptSeed,
        kOptPool,
        kOptExport,
        kOptIpv6,
        kOptRefresh,
        kOptEarly,
        kOptWithdraw,
        kOptDomain
    };
    static const option kLong[] = {
        {"short", required_argument, nullptr, kOptShort},
        {"bad-version", required_argument, nullptr, kOptVersion},
        {"mangled", required_argument, nullptr, kOptMangled},
        {"sequence", required_argument, nullptr, kOptSequence},
        {"seed", required_argument, nullptr, kOptSeed},
        {"pool", required_argument, nullptr, kOptPool},
        {"export", required_argument, nullptr, kOptExport},
        {"ipv6", required_argument, nullptr, kOptIpv6},
        {"refresh", required_argument, nullptr, kOptRefresh},
        {"early", no_argument, nullptr, kOptEarly},
        {"withdraw", no_argument, nullptr, kOptWithdraw},
        {"domain", required_argument, nullptr, kOptDomain},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    int arg;
    while ((arg = getopt_long(argc, argv, "p:a:S:c:r:f:s:vh", kLong, nullptr)) != -1) {
        switch (arg) {
            case 'p': o.port = static_cast<int>(ParseNumber(optarg, 65535, "bad -p")); break;
            case 'a': o.target = ParseLoopback(optarg); break;
            case 'S': o.source = ParseLoopback(optarg); break;
            case 'c': o.valid = ParseCount(optarg, "bad -c"); break;
            case 'r': o.rate = static_cast<double>(ParseNumber(optarg, 100000000, "bad -r")); break;
            case 'f': ParseFlowRange(optarg, &o); break;
            case 's': ParseSkipList(optarg, &o); break;
            case 'v': o.verbose = true; break;
            case kOptShort: o.short_count = ParseCount(optarg, "bad --short"); break;
            case kOptVersion: o.version_count = ParseCount(optarg, "bad --bad-version"); break;
            case kOptMangled: o.mangled_count = ParseCount(optarg, "bad --mangled"); break;
            case kOptSequence: o.sequence = ParseCount(optarg, "bad --sequence"); break;
            case kOptSeed: o.seed = ParseCount(optarg, "bad --seed"); break;
            case kOptPool: o.pool = ParseCount(optarg, "bad --pool"); break;
            case kOptExport:
                o.version = static_cast<uint16_t>(ParseNumber(optarg, 10, "bad --export"));
                break;
            case kOptIpv6:
                o.ipv6_percent = static_cast<unsigned>(ParseNumber(optarg, 100, "bad --ipv6"));
                break;
            case kOptRefresh: o.refresh = ParseCount(optarg, "bad --refresh"); break;
            case kOptEarly: o.early = true; break;
            case kOptWithdraw: o.withdraw = true; break;
            case kOptDomain: o.domain = ParseCount(optarg, "bad --domain"); break;
            case 'h': std::fputs(kUsage, stdout); std::exit(0);
            default: Usage(nullptr);
        }
    }
    if (o.port == 0) Usage("-p PORT is required");
    if (o.version != 5 && o.version != v9::kV9 && o.version != v9::kIpfix) Usage("bad --export");
    if (o.version != 5 && o.max_flows > kMaxTemplatedFlows) Usage("-f at most 150 for v9, IPFIX");
    if (o.refresh == 0) Usage("bad --refresh");
    if (optind != argc) Usage("unexpected argument");
    return o;
}

// ---- datagram contents -------------------------------------------------------------------

unsigned Uniform(std::mt19937& rng, unsigned low, unsigned high) {
    return std::uniform_int_distribution<unsigned>(low, high)(rng);
}

template <typename T, size_t N>
T Pick(std::mt19937& rng, const T (&choices)[N]) {
    return choices[Uniform(rng, 0, N - 1)];
}

// The exporter's clock: its uptime in milliseconds and the wall clock, read once per datagram.
v5::Header MakeHeader(uint32_t sequence) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    static const time_t boot = now.tv_sec - kBootAge;
    const uint64_t uptime_ms = static_cast<uint64_t>(now.tv_sec - boot) * 1000 +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000;
    v5::Header header;
    header.unixseconds = static_cast<uint32_t>(now.tv_sec);
    header.unixnanoseconds = static_cast<uint32_t>(now.tv_nsec);
    header.uptime = static_cast<uint32_t>(uptime_ms);
    header.sequence = sequence;
    return header;
}

void SetPortsAndFlags(std::mt19937& rng, v5::Record* r) {
    static const uint16_t kServices[] = {80, 443, 53, 22, 25, 123, 993, 3306, 8080, 5060};
    static const uint8_t kTcpFlags[] = {0x1b, 0x02, 0x12, 0x18, 0x10, 0x11, 0x1f, 0x04};
    static const uint16_t kIcmpTypes[] = {0x0800, 0x0000, 0x0303, 0x0b00};
    const unsigned kind = Uniform(rng, 0, 19);
    if (kind < 14) {
        r->ip_protocol = 6;
        r->tcp_flags = Pick(rng, kTcpFlags);
    } else if (kind < 19) {
        r->ip_protocol = 17;
    } else {
        r->ip_protocol = 1;
        r->dst_port = Pick(rng, kIcmpTypes);  // exporters put ICMP type and code here
        return;
    }
    r->src_port = static_cast<uint16_t>(Uniform(rng, 1024, 65535));
    r->dst_port = Pick(rng, kServices);
    if (Uniform(rng, 0, 3) == 0) std::swap(r->src_port, r->dst_port);  // the answer direction
}

v5::Record MakeRecord(std::mt19937& rng, uint32_t uptime) {
    static const uint32_t kDestinations[] = {0xC0000200, 0xC6336400, 0xCB007100};  // doc nets
    static const uint8_t kTos[] = {0, 0, 0, 0, 0x10, 0xb8};
    v5::Record r;
    r.s_ip = 0x0A000000u | Uniform(rng, 1, 0xFFFE);
    r.d_ip = Pick(rng, kDestinations) | Uniform(rng, 1, 254);
    r.next_hop = Uniform(rng, 0, 1) == 0 ? 0 : 0x0A000001u;
    r.inIfIndex = static_cast<uint16_t>(Uniform(rng, 1, 4));
    r.outIfIndex = static_cast<uint16_t>(Uniform(rng, 1, 4));
    r.packets = Uniform(rng, 1, 8) == 1 ? Uniform(rng, 100, 100000) : Uniform(rng, 1, 40);
    r.bytes = r.packets * Uniform(rng, 40, 1500);
    r.time_stop = uptime - Uniform(rng, 0, 5000);
    r.time_start = r.time_stop - Uniform(rng, 0, 60000);
    SetPortsAndFlags(rng, &r);
    r.tos = Pick(rng, kTos);
    r.src_as = static_cast<uint16_t>(Uniform(rng, 0, 1) == 0 ? 0 : Uniform(rng, 64496, 64511));
    r.dst_as = static_cast<uint16_t>(Uniform(rng, 0, 1) == 0 ? 0 : Uniform(rng, 64496, 64511));
    r.src_netmask = static_cast<uint8_t>(Uniform(rng, 0, 1) == 0 ? 16 : 24);
    r.dst_netmask = static_cast<uint8_t>(Uniform(rng, 0, 1) == 0 ? 24 : 32);
    return r;
}

std::vector<v5::Record> MakeRecords(std::mt19937& rng, unsigned count, uint32_t uptime) {
    std::vector<v5::Record> records;
    for (unsigned n = 0; n < count; ++n) records.push_back(MakeRecord(rng, uptime));
    return records;
}

// ---- v9 and IPFIX --------------------------------------------------------------------------

std::string Ipv4Text(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    const in_addr wire{htonl(address)};
    inet_ntop(AF_INET, &wire, text, sizeof text);
    return text;
}

// The documentation prefix, with the IPv4 address's bytes in its last 32 bits.
std::string Ipv6Text(uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof text, "2001:db8:%x::%x:%x", address >> 24, (address >> 16) & 0xFF,
                  address & 0xFFFF);
    return text;
}

// A v5 record's variety, widened now and then past 32-bit counters and 16-bit AS numbers. Times:
// v9 the exporter's uptime, IPFIX Unix milliseconds.
v9::Flow MakeTemplatedFlow(std::mt19937& rng, const Options& o, const v5::Header& header) {
    const v5::Record r = MakeRecord(rng, header.uptime);
    v9::Flow f;
    f.ipv6 = Uniform(rng, 1, 100) <= o.ipv6_percent;
    const auto text = f.ipv6 ? Ipv6Text : Ipv4Text;
    f.source = text(r.s_ip);
    f.destination = text(r.d_ip);
    f.next_hop = r.next_hop == 0 ? (f.ipv6 ? "::" : "0.0.0.0") : text(r.next_hop);
    f.src_port = r.src_port;
    f.dst_port = r.dst_port;
    f.protocol = f.ipv6 && r.ip_protocol == 1 ? 58 : r.ip_protocol;
    f.tcp_flags = r.tcp_flags;
    f.tos = r.tos;
    f.src_mask = f.ipv6 ? 48 : r.src_netmask;
    f.dst_mask = f.ipv6 ? 64 : r.dst_netmask;
    const bool big = Uniform(rng, 0, 9) == 0;
    f.packets = r.packets;
    f.bytes = big ? uint64_t{r.bytes} << 20 : r.bytes;
    f.src_as = big ? 4200000000u + r.src_as : r.src_as;
    f.dst_as = r.dst_as;
    const uint64_t now_ms = uint64_t{header.unixseconds} * 1000 + header.unixnanoseconds / 1000000;
    f.first = o.version == v9::kIpfix ? now_ms - (header.uptime - r.time_start) : r.time_start;
    f.last = o.version == v9::kIpfix ? now_ms - (header.uptime - r.time_stop) : r.time_stop;
    return f;
}

// The data sets of one datagram, kept apart from its header so that --pool can send them again.
struct DataSets {
    std::vector<v9::Record> ipv4, ipv6;
    unsigned flows = 0;
    std::vector<uint8_t> message;  // --pool: the datagram without templates, once assembled
};

DataSets MakeDataSets(std::mt19937& rng, const Options& o, unsigned flows,
                      const v5::Header& header) {
    DataSets sets;
    for (unsigned n = 0; n < flows; ++n) {
        const v9::Flow f = MakeTemplatedFlow(rng, o, header);
        (f.ipv6 ? sets.ipv6 : sets.ipv4).push_back(v9::FlowRecord(o.version, f));
    }
    sets.flows = flows;
    return sets;
}

// Both flow templates, the options template (left unpadded, as some exporters do) and its one
// record: IPFIX the exporter's boot time, against which uptime-stamped flows are read.
void AddTemplates(v9::Message& m, const Options& o, const v5::Header& header) {
    m.Template(kIpv4Template, v9::FlowFields(o.version, false));
    m.Template(kIpv6Template, v9::FlowFields(o.version, true));
    const uint64_t boot_ms = uint64_t{header.unixseconds} * 1000 - header.uptime;
    if (o.version == v9::kIpfix) {
        m.OptionsTemplate(kOptionsTemplate, {{149, 4}}, {{160, 8}}, false);
        m.Data(kOptionsTemplate, {v9::Record().N(4, o.domain).N(8, boot_ms)}, false);
    } else {
        m.OptionsTemplate(kOptionsTemplate, {{1, 4}}, {{34, 4}}, false);
        m.Data(kOptionsTemplate, {v9::Record().N(4, 0).N(4, 1)}, false);
    }
}

std::vector<uint8_t> Assemble(const Options& o, const DataSets& sets, bool templates,
                              uint32_t sequence, const v5::Header& header) {
    v9::Message m(o.version, sequence, o.domain, header.unixseconds, header.uptime);
    if (templates) AddTemplates(m, o, header);
    if (!sets.ipv4.empty()) m.Data(kIpv4Template, sets.ipv4);
    if (!sets.ipv6.empty()) m.Data(kIpv6Template, sets.ipv6);
    return m.Bytes();
}

std::vector<uint8_t> MakeMalformed(std::mt19937& rng, Kind kind, uint32_t sequence) {
    if (kind == kShort) {
        std::vector<uint8_t> bytes(Uniform(rng, 1, static_cast<unsigned>(v5::kHeaderSize) - 1));
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(Uniform(rng, 0, 255));
        return bytes;
    }
    v5::Header header = MakeHeader(sequence);
    const unsigned count = Uniform(rng, 1, 5);
    if (kind == kBadVersion) {
        static const uint16_t kOtherVersions[] = {1, 7, 9, 10};
        header.version = Pick(rng, kOtherVersions);
    }
    std::vector<uint8_t> bytes = v5::Encode(header, MakeRecords(rng, count, header.uptime));
    if (kind == kMangled) v5::SetCount(bytes, static_cast<uint16_t>(count + 1));
    return bytes;
}

// Valid and malformed datagrams in a shuffled but reproducible order.
std::vector<Kind> SendingOrder(const Options& o, std::mt19937& rng) {
    std::vector<Kind> order(o.valid, kValid);
    order.insert(order.end(), o.short_count, kShort);
    order.insert(order.end(), o.version_count, kBadVersion);
    order.insert(order.end(), o.mangled_count, kMangled);
    for (size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[Uniform(rng, 0, static_cast<unsigned>(i - 1))]);
    }
    return order;
}

// ---- sending ----------------------------------------------------------------------------

int OpenSocket(const Options& o, sockaddr_in* target) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("nf5send: socket");
        std::exit(1);
    }
    if (o.source != 0) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(o.source);
        if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            std::perror("nf5send: bind");
            std::exit(1);
        }
    }
    *target = sockaddr_in{};
    target->sin_family = AF_INET;
    target->sin_port = htons(static_cast<uint16_t>(o.port));
    target->sin_addr.s_addr = htonl(o.target);
    return fd;
}

void Send(int fd, const sockaddr_in& target, const std::vector<uint8_t>& bytes) {
    if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
               sizeof target) < 0) {
        std::perror("nf5send: sendto");
        std::exit(1);
    }
}

// Keeps the average rate: datagram n leaves no earlier than n / rate seconds after the start,
// and a sender that fell behind catches up without pausing. A sleep costs tens of microseconds
// however short, so one shorter than kShortestPause is skipped: at high rates datagrams leave in
// small bursts, each on time.
void Pace(const timespec& start, double rate, unsigned n) {
    if (rate <= 0) return;
    constexpr double kShortestPause = 0.0005;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) +
                           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
    const double due = static_cast<double>(n) / rate;
    if (due - elapsed < kShortestPause) return;
    timespec when = start;
    when.tv_sec += static_cast<time_t>(due);
    when.tv_nsec += static_cast<long>((due - static_cast<double>(static_cast<time_t>(due))) * 1e9);
    if (when.tv_nsec >= 1000000000L) {
        when.tv_sec += 1;
        when.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

const char* KindName(Kind kind) {
    static const char* kNames[] = {"valid", "short", "version", "mangled"};
    return kNames[kind];
}

struct Sender {
    const Options& o;
    std::mt19937& rng;
    int fd;
    sockaddr_in target;
    timespec start;
    Totals totals;
    uint32_t sequence;
    unsigned valid_number;
    std::vector<std::vector<uint8_t>> pool;  // v5 with --pool: the datagrams sent again in turn
    std::vector<DataSets> sets;              // v9, IPFIX: the same, or the latest datagram's
};

// A valid datagram and its flows: built afresh, or with --pool one built before under a new
// header.
struct Datagram {
    std::vector<uint8_t> bytes;
    unsigned flows;
};

// --pool: the datagrams sent again are built before the clock starts. Built on the way, they
// would hold the first datagrams back, and the sender would then catch up in one burst.
void BuildPool(Sender& s) {
    const v5::Header header = MakeHeader(s.sequence);
    for (unsigned n = 0; n < s.o.pool; ++n) {
        const unsigned flows = Uniform(s.rng, s.o.min_flows, s.o.max_flows);
        if (s.o.version == 5)
            s.pool.push_back(v5::Encode(header, MakeRecords(s.rng, flows, header.uptime)));
        else
            s.sets.push_back(MakeDataSets(s.rng, s.o, flows, header));
    }
}

Datagram NextV5(Sender& s, const v5::Header& header) {
    if (s.o.pool == 0) {
        const unsigned flows = Uniform(s.rng, s.o.min_flows, s.o.max_flows);
        return {v5::Encode(header, MakeRecords(s.rng, flows, header.uptime)), flows};
    }
    std::vector<uint8_t> bytes = s.pool[s.valid_number % s.o.pool];
    const std::vector<uint8_t> fresh = v5::Encode(header);
    std::copy(fresh.begin() + 4, fresh.end(), bytes.begin() + 4);  // all but version and count
    return {bytes, static_cast<unsigned>((bytes.size() - v5::kHeaderSize) / v5::kRecordSize)};
}

// The templates go in the first datagram (the second with --early) and every --refresh after.
bool TemplatesDue(const Sender& s) {
    const unsigned number = s.valid_number + 1;
    if (s.o.early && number == 1) return false;
    return s.totals.templates == 0 || (number - 1) % s.o.refresh == 0;
}

Datagram NextTemplated(Sender& s, const v5::Header& header, bool templates) {
    if (s.o.pool == 0) {
        const unsigned flows = Uniform(s.rng, s.o.min_flows, s.o.max_flows);
        s.sets.assign(1, MakeDataSets(s.rng, s.o, flows, header));
    }
    DataSets& sets = s.sets[s.o.pool == 0 ? 0 : s.valid_number % s.o.pool];
    if (templates || s.o.pool == 0)
        return {Assemble(s.o, sets, templates, s.sequence, header), sets.flows};
    // Sent again: assembled once, then only its header changes.
    if (sets.message.empty()) sets.message = Assemble(s.o, sets, false, s.sequence, header);
    v9::Message::Restamp(sets.message, s.sequence, header.unixseconds, header.uptime);
    return {sets.message, sets.flows};
}

// What a datagram advances the sequence by: v5 and IPFIX count data records (IPFIX options
// records too), v9 datagrams.
uint32_t SequenceStep(const Options& o, unsigned flows, bool templates) {
    if (o.version == v9::kV9) return 1;
    return flows + (o.version == v9::kIpfix && templates ? 1 : 0);
}

void SendValid(Sender& s, unsigned n) {
    const v5::Header header = MakeHeader(s.sequence);
    const bool templates = s.o.version != 5 && TemplatesDue(s);
    const Datagram d = s.o.version == 5 ? NextV5(s, header) : NextTemplated(s, header, templates);
    const bool skip = s.o.skip.count(++s.valid_number) > 0;
    if (s.o.verbose) {
        std::printf(kDatagramLine, n, skip ? "skipped" : "valid", s.sequence, d.flows,
                    d.bytes.size());
    }
    // A lost datagram still advances the exporter's sequence: that is how loss shows.
    s.sequence += SequenceStep(s.o, d.flows, templates);
    if (templates) ++s.totals.templates;
    if (skip) {
        ++s.totals.skipped;
        s.totals.skipped_flows += d.flows;
        return;
    }
    if (s.o.version != 5 && s.totals.templates == 0) s.totals.early_flows += d.flows;
    Pace(s.start, s.o.rate, s.totals.sent);
    Send(s.fd, s.target, d.bytes);
    ++s.totals.sent;
    ++s.totals.datagrams;
    s.totals.flows += d.flows;
}

// IPFIX: every template and every options template withdrawn, as an exporter that stops does.
void SendWithdrawal(Sender& s) {
    const v5::Header header = MakeHeader(s.sequence);
    v9::Message m(v9::kIpfix, s.sequence, s.o.domain, header.unixseconds);
    Send(s.fd, s.target, m.Withdraw(2).Withdraw(3, true).Bytes());
}

void SendMalformed(Sender& s, Kind kind, unsigned n) {
    const std::vector<uint8_t> bytes = MakeMalformed(s.rng, kind, s.sequence);
    if (s.o.verbose) std::printf(kMalformedLine, n, KindName(kind), bytes.size());
    Pace(s.start, s.o.rate, s.totals.sent);
    Send(s.fd, s.target, bytes);
    ++s.totals.sent;
    ++s.totals.kinds[kind];
}

void PrintTotals(const Totals& t, uint32_t next_sequence) {
    std::printf("datagrams: %u\n", t.datagrams);
    std::printf("flows: %lu\n", t.flows);
    std::printf("malformed: %u\n", t.kinds[kShort] + t.kinds[kBadVersion] + t.kinds[kMangled]);
    std::printf("short: %u\n", t.kinds[kShort]);
    std::printf("version: %u\n", t.kinds[kBadVersion]);
    std::printf("mangled: %u\n", t.kinds[kMangled]);
    std::printf("skipped: %u\n", t.skipped);
    std::printf("skipped_flows: %lu\n", t.skipped_flows);
    std::printf("next_sequence: %u\n", next_sequence);
    std::printf("templates: %u\n", t.templates);
    std::printf("early_flows: %lu\n", t.early_flows);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = ParseOptions(argc, argv);
    std::mt19937 rng(o.seed);
    Sender s{o, rng, -1, {}, {}, {}, o.sequence, 0, {}, {}};
    s.fd = OpenSocket(o, &s.target);
    const std::vector<Kind> order = SendingOrder(o, rng);
    BuildPool(s);
    clock_gettime(CLOCK_MONOTONIC, &s.start);
    for (unsigned n = 0; n < order.size(); ++n) {
        if (order[n] == kValid) {
            SendValid(s, n + 1);
        } else {
            SendMalformed(s, order[n], n + 1);
        }
    }
    if (o.withdraw && o.version == v9::kIpfix) SendWithdrawal(s);
    close(s.fd);
    PrintTotals(s.totals, s.sequence);
    return 0;
}
