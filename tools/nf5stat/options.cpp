// Command-line parsing with getopt_long. Switches may stand before or after the command; a switch
// that belongs to another command is a usage error rather than silently ignored.
#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace nf5stat {

const char* const kHelpText =
    "usage: nf5stat [-b FILE] [--since TIME] [--until TIME] [--probe ADDR] [--json] COMMAND\n"
    "\n"
    "Reports on the flow database that nf5d writes (table flows). The file is opened\n"
    "read-only, so nf5stat can run while nf5d collects.\n"
    "\n"
    "Commands:\n"
    "  loss [--restart N]     per exporter: datagrams and flows stored, flows expected from\n"
    "                         the sequence numbers, flows missing, loss in percent, restarts\n"
    "  summary                per exporter: first and last flow time, flows, packets, bytes\n"
    "  top [-n N] [--by bytes|flows] src|dst|sport|dport|proto\n"
    "                         the N (default 10) source or destination addresses, ports or\n"
    "                         protocols with most bytes (default) or flows\n"
    "\n"
    "Options:\n"
    "  -b, --database FILE    the database file (default ./netflow.db)\n"
    "  --since TIME           only flows received at TIME or later\n"
    "  --until TIME           only flows received before TIME\n"
    "  --probe ADDR           only flows from the exporter ADDR\n"
    "  --json                 one JSON object instead of aligned text\n"
    "  -h, --help             this text\n"
    "  TIME is Unix seconds or local time as YYYY-MM-DD[ HH:MM[:SS]]; it is compared with\n"
    "  TIME_RECEIVED, the second nf5d decoded the datagram.\n"
    "\n"
    "How loss counts:\n"
    "  A datagram is the rows of one exporter (PROBE) sharing TIME_RECEIVED and SEQUENCE.\n"
    "  SEQUENCE counts the flows the exporter sent before the datagram, so the next one\n"
    "  should start at SEQUENCE + its flows. Datagrams are taken in the order nf5d stored\n"
    "  them; each joins the sequence stream it continues best: at the expected sequence or\n"
    "  into a gap left earlier (out of order, not loss), else the stream it leaves the\n"
    "  smallest gap in. Distances count modulo 2^32, so the wrap is a step forward, and a\n"
    "  stream takes only datagrams within N flows of its expected sequence (--restart,\n"
    "  default 1000000). A datagram no stream takes begins a new stream: a restart if it\n"
    "  lies behind, a possible outage (shown, not counted as loss) if it jumped ahead. One\n"
    "  that repeats flows a stream holds or lies below its start begins a provisional\n"
    "  stream; alone, or made of scattered repeats, it counts as duplicates (or early\n"
    "  datagrams stored late). Copies of one datagram within one second are duplicates\n"
    "  too. Expected flows are the sequence span of every stream, missing flows the gaps\n"
    "  never filled, loss = missing / expected. When an older stream goes on taking\n"
    "  datagrams (16 or more) after a newer one began, the exporter's sequences look\n"
    "  interleaved: several engines behind one address.\n"
    "\n"
    "Exit status: 0 success, 1 database error, 2 usage error, 3 unknown exporter: --probe\n"
    "names one of which the table holds no flow at all (said instead of an empty report).\n";

namespace {

// Codes of the long switches that have no letter; 1 is getopt_long's code for a word.
enum : int { kWord = 1, kSince = 256, kUntil, kProbe, kJson, kRestart, kBy };

constexpr option kLongOptions[] = {
    {"database", required_argument, nullptr, 'b'},
    {"since", required_argument, nullptr, kSince},
    {"until", required_argument, nullptr, kUntil},
    {"probe", required_argument, nullptr, kProbe},
    {"restart", required_argument, nullptr, kRestart},
    {"count", required_argument, nullptr, 'n'},
    {"by", required_argument, nullptr, kBy},
    {"json", no_argument, nullptr, kJson},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
// '-' hands over each word in its place, so that switches may follow the command whatever
// POSIXLY_CORRECT says; ':' tells a missing value from an unknown switch.
constexpr const char* kShortOptions = "-:b:n:h";

// getopt_long also takes abbreviated long names and flags bundled with others ("-hb"), which
// nf5stat refuses as unknown options.
bool SpelledOut(const std::string& source) {
    if (source.rfind("--", 0) != 0) return source.size() == 2 || source[1] != 'h';
    const std::string name = source.substr(2, source.find('=') - 2);
    for (const option& known : kLongOptions)
        if (known.name != nullptr && name == known.name) return true;
    return false;
}

// Whether text is one to `most` decimal digits and nothing else.
bool AllDigits(const std::string& text, size_t most) {
    return !text.empty() && text.size() <= most &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool ParseCount(const std::string& text, uint64_t low, uint64_t high, uint32_t& result) {
    if (!AllDigits(text, 10)) return false;
    const uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
    if (value < low || value > high) return false;
    result = static_cast<uint32_t>(value);
    return true;
}

bool ParseCommandWord(const std::string& word, StatOptions& options) {
    if (word == "loss")
        options.command = Command::Loss;
    else if (word == "summary")
        options.command = Command::Summary;
    else if (word == "top")
        options.command = Command::Top;
    else
        return false;
    return true;
}

bool ParseTopKey(const std::string& word, TopKey& key) {
    if (word == "src")
        key = TopKey::Source;
    else if (word == "dst")
        key = TopKey::Destination;
    else if (word == "sport")
        key = TopKey::SourcePort;
    else if (word == "dport")
        key = TopKey::DestPort;
    else if (word == "proto")
        key = TopKey::Protocol;
    else
        return false;
    return true;
}

// The switches seen, so that each can be checked against the command afterwards.
struct SeenSwitches {
    bool restart = false;
    bool count = false;
    bool by = false;
};

bool ApplySwitch(int code, const std::string& value, StatOptions& options, SeenSwitches& seen,
                 std::string& error) {
    switch (code) {
        case 'h': options.help = true; break;
        case kJson: options.json = true; break;
        case 'b':
            options.database = value;
            if (value.empty()) error = "the database file name is empty";
            break;
        case kSince:
            options.has_since = ParseTimeArg(value, options.since);
            if (!options.has_since) error = "--since: not a time: " + value;
            break;
        case kUntil:
            options.has_until = ParseTimeArg(value, options.until);
            if (!options.has_until) error = "--until: not a time: " + value;
            break;
        case kProbe:
            options.probe = value;
            if (value.empty()) error = "--probe: empty address";
            break;
        case kRestart:
            seen.restart = true;
            if (!ParseCount(value, 1, kMaxRestartThreshold, options.restart_threshold))
                error = "--restart: not a number from 1 to 1073741824: " + value;
            break;
        case 'n':
            seen.count = true;
            if (!ParseCount(value, 1, 1000000, options.top_count))
                error = "-n: not a number from 1 to 1000000: " + value;
            break;
        default:  // kBy
            seen.by = true;
            if (value == "bytes")
                options.top_measure = TopMeasure::Bytes;
            else if (value == "flows")
                options.top_measure = TopMeasure::Flows;
            else
                error = "--by: expected bytes or flows, not " + value;
    }
    return error.empty();
}

// Reads every switch; the words (command and its argument) are collected in order.
bool ReadSwitches(int argc, const char* const* argv, StatOptions& options, SeenSwitches& seen,
                  std::vector<std::string>& words, std::string& error) {
    // In return-in-order mode getopt_long never reorders argv, whatever its prototype says.
    char* const* args = const_cast<char* const*>(argv);
    optind = 0;  // a fresh scan each time: tests parse many command lines in one process
    opterr = 0;
    for (;;) {
        const int at = std::max(optind, 1);  // the argument the next switch comes from
        const int code = getopt_long(argc, args, kShortOptions, kLongOptions, nullptr);
        if (code == -1) break;
        const std::string source = argv[at];
        if (code == kWord) {
            words.push_back(optarg);
        } else if (code == '?' || !SpelledOut(source)) {
            error = "unknown option " + source;
        } else if (code == ':') {
            error = "option " + source + " needs a value";
        } else {
            ApplySwitch(code, optarg ? optarg : "", options, seen, error);
        }
        if (!error.empty()) return false;
    }
    for (int i = optind; i < argc; ++i) words.push_back(argv[i]);  // those after "--"
    return true;
}

bool CheckWords(const std::vector<std::string>& words, StatOptions& options, std::string& error) {
    if (words.empty()) {
        error = "no command given (loss, summary or top)";
        return false;
    }
    if (!ParseCommandWord(words[0], options)) {
        error = "unknown command " + words[0];
        return false;
    }
    const size_t wanted = options.command == Command::Top ? 2 : 1;
    if (options.command == Command::Top && words.size() < 2) {
        error = "top needs what to rank: src, dst, sport, dport or proto";
        return false;
    }
    if (words.size() > wanted) {
        error = "unexpected argument " + words[wanted];
        return false;
    }
    if (options.command == Command::Top && !ParseTopKey(words[1], options.top_key)) {
        error = "top ranks src, dst, sport, dport or proto, not " + words[1];
        return false;
    }
    return true;
}

bool CheckSwitchesFitCommand(const SeenSwitches& seen, const StatOptions& options,
                             std::string& error) {
    if (seen.restart && options.command != Command::Loss) error = "--restart belongs to loss";
    if ((seen.count || seen.by) && options.command != Command::Top)
        error = "-n and --by belong to top";
    if (options.has_since && options.has_until && options.since >= options.until)
        error = "--since must be earlier than --until";
    return error.empty();
}

// The strptime format for "DDDD-DD-DD", optionally followed by " DD:DD" and ":DD" (or 'T' for
// the blank); null for any other shape, which strptime alone would let through ("2024-2-9").
const char* TimeFormat(const std::string& text) {
    static const char* const kPatterns[][2] = {{"dddd-dd-dd", "%Y-%m-%d"},
                                               {"dddd-dd-dd dd:dd", "%Y-%m-%d %H:%M"},
                                               {"dddd-dd-dd dd:dd:dd", "%Y-%m-%d %H:%M:%S"}};
    for (const auto& [shape, format] : kPatterns) {
        if (std::strlen(shape) != text.size()) continue;
        bool fits = true;
        for (size_t i = 0; i < text.size() && fits; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (shape[i] == 'd')
                fits = std::isdigit(c) != 0;
            else if (shape[i] == ' ')
                fits = c == ' ' || c == 'T';
            else
                fits = c == static_cast<unsigned char>(shape[i]);
        }
        if (fits) return format;
    }
    return nullptr;
}

bool ParseDigits(const std::string& text, int64_t& seconds) {
    if (!AllDigits(text, 12)) return false;
    seconds = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool ParseTimeArg(const std::string& text, int64_t& seconds) {
    if (ParseDigits(text, seconds)) return true;
    const char* format = TimeFormat(text);
    if (format == nullptr) return false;
    std::string local = text;
    if (local.size() > 10) local[10] = ' ';
    std::tm tm{};
    const char* end = strptime(local.c_str(), format, &tm);
    // strptime lets a 61st second and years before 1970 through.
    if (end == nullptr || *end != '\0' || tm.tm_year < 70 || tm.tm_sec > 60) return false;
    tm.tm_isdst = -1;
    const int day = tm.tm_mday, month = tm.tm_mon;
    const std::time_t t = std::mktime(&tm);
    // mktime moves 31 April to 1 May; a moved date was not a date.
    if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day || tm.tm_mon != month) return false;
    seconds = static_cast<int64_t>(t);
    return true;
}

bool ParseStatArgs(int argc, const char* const* argv, StatOptions& options, std::string& error) {
    options = StatOptions{};
    error.clear();
    SeenSwitches seen;
    std::vector<std::string> words;
    if (!ReadSwitches(argc, argv, options, seen, words, error)) return false;
    if (options.help) return true;
    return CheckWords(words, options, error) && CheckSwitchesFitCommand(seen, options, error);
}

}  // namespace nf5stat
