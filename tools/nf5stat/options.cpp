// Command-line parsing. Switches may stand before or after the command; a switch that belongs to
// another command is a usage error rather than silently ignored.
#include "options.h"

#include <cctype>
#include <cstdlib>
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
    "Exit status: 0 success, 1 database error, 2 usage error.\n";

namespace {

struct ArgCursor {
    int argc;
    const char* const* argv;
    int index;
};

// Splits "--name=value"; the value comes from the next argument when not attached.
bool TakeValue(ArgCursor& cursor, const std::string& attached, bool has_attached,
               std::string& value, const std::string& name, std::string& error) {
    if (has_attached) {
        value = attached;
        return true;
    }
    if (cursor.index + 1 >= cursor.argc) {
        error = "option " + name + " needs a value";
        return false;
    }
    value = cursor.argv[++cursor.index];
    return true;
}

bool ParseCount(const std::string& text, uint64_t low, uint64_t high, uint32_t& result) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
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

bool ApplyValueSwitch(const std::string& name, const std::string& value, StatOptions& options,
                      SeenSwitches& seen, std::string& error) {
    if (name == "-b" || name == "--database") {
        options.database = value;
        if (value.empty()) error = "the database file name is empty";
    } else if (name == "--since") {
        options.has_since = ParseTimeArg(value, options.since);
        if (!options.has_since) error = "--since: not a time: " + value;
    } else if (name == "--until") {
        options.has_until = ParseTimeArg(value, options.until);
        if (!options.has_until) error = "--until: not a time: " + value;
    } else if (name == "--probe") {
        options.probe = value;
        if (value.empty()) error = "--probe: empty address";
    } else if (name == "--restart") {
        seen.restart = true;
        if (!ParseCount(value, 1, kMaxRestartThreshold, options.restart_threshold))
            error = "--restart: not a number from 1 to 1073741824: " + value;
    } else if (name == "-n" || name == "--count") {
        seen.count = true;
        if (!ParseCount(value, 1, 1000000, options.top_count))
            error = "-n: not a number from 1 to 1000000: " + value;
    } else {  // --by
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

bool IsValueSwitch(const std::string& name) {
    static const char* const kNames[] = {"-b",        "--database", "--since", "--until", "--probe",
                                         "--restart", "-n",         "--count", "--by"};
    for (const char* known : kNames)
        if (name == known) return true;
    return false;
}

// One argument that starts with '-': a flag, or a switch with its value attached or following.
bool ParseSwitch(ArgCursor& cursor, StatOptions& options, SeenSwitches& seen, std::string& error) {
    const std::string arg = cursor.argv[cursor.index];
    std::string name = arg;
    std::string attached;
    bool has_attached = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
        name = arg.substr(0, arg.find('='));
        attached = arg.substr(arg.find('=') + 1);
        has_attached = true;
    } else if (arg.size() > 2 && arg[1] != '-' && (arg[1] == 'b' || arg[1] == 'n')) {
        name = arg.substr(0, 2);
        attached = arg.substr(2);
        has_attached = true;
    }
    if (name == "--json" && !has_attached) {
        options.json = true;
        return true;
    }
    if ((name == "-h" || name == "--help") && !has_attached) {
        options.help = true;
        return true;
    }
    if (!IsValueSwitch(name)) {
        error = "unknown option " + arg;
        return false;
    }
    std::string value;
    return TakeValue(cursor, attached, has_attached, value, name, error) &&
           ApplyValueSwitch(name, value, options, seen, error);
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

// "DDDD-DD-DD", optionally followed by " DD:DD" and ":DD" (or 'T' for the blank).
bool MatchesTimePattern(const std::string& text) {
    static const char* const kPatterns[] = {"dddd-dd-dd", "dddd-dd-dd dd:dd",
                                            "dddd-dd-dd dd:dd:dd"};
    for (const char* pattern : kPatterns) {
        const std::string shape = pattern;
        if (shape.size() != text.size()) continue;
        bool fits = true;
        for (size_t i = 0; i < shape.size() && fits; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (shape[i] == 'd')
                fits = std::isdigit(c) != 0;
            else if (shape[i] == ' ')
                fits = c == ' ' || c == 'T';
            else
                fits = c == static_cast<unsigned char>(shape[i]);
        }
        if (fits) return true;
    }
    return false;
}

int TwoDigits(const std::string& text, size_t at) {
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

bool ParseDigits(const std::string& text, int64_t& seconds) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    seconds = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool ParseTimeArg(const std::string& text, int64_t& seconds) {
    if (ParseDigits(text, seconds)) return true;
    if (!MatchesTimePattern(text)) return false;
    const int year = TwoDigits(text, 0) * 100 + TwoDigits(text, 2);
    const int month = TwoDigits(text, 5);
    const int day = TwoDigits(text, 8);
    const int hour = text.size() > 10 ? TwoDigits(text, 11) : 0;
    const int minute = text.size() > 10 ? TwoDigits(text, 14) : 0;
    const int second = text.size() > 16 ? TwoDigits(text, 17) : 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60)
        return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    // mktime moves 31 April to 1 May; a moved date was not a date.
    if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day || tm.tm_mon != month - 1)
        return false;
    seconds = static_cast<int64_t>(t);
    return true;
}

bool ParseStatArgs(int argc, const char* const* argv, StatOptions& options, std::string& error) {
    options = StatOptions{};
    error.clear();
    SeenSwitches seen;
    std::vector<std::string> words;
    ArgCursor cursor{argc, argv, 1};
    bool only_words = false;
    for (; cursor.index < argc; ++cursor.index) {
        const std::string arg = argv[cursor.index];
        if (!only_words && arg == "--") {
            only_words = true;
        } else if (!only_words && arg.size() > 1 && arg[0] == '-') {
            if (!ParseSwitch(cursor, options, seen, error)) return false;
        } else {
            words.push_back(arg);
        }
    }
    if (options.help) return true;
    return CheckWords(words, options, error) && CheckSwitchesFitCommand(seen, options, error);
}

}  // namespace nf5stat
