#pragma once
// nf5stat's command line: global switches, the command and its own switches.
#include <cstdint>
#include <string>

#include "loss.h"

namespace nf5stat {

enum class Command { None, Loss, Summary, Top };
enum class TopKey { Source, Destination, SourcePort, DestPort, Protocol };
enum class TopMeasure { Bytes, Flows };

struct StatOptions {
    std::string database = "./netflow.db";
    bool has_since = false;
    int64_t since = 0;  // TIME_RECEIVED >= since
    bool has_until = false;
    int64_t until = 0;  // TIME_RECEIVED < until
    std::string probe;  // one exporter only, when not empty
    bool json = false;
    bool help = false;
    Command command = Command::None;
    uint32_t restart_threshold = kDefaultRestartThreshold;
    uint32_t top_count = 10;
    TopMeasure top_measure = TopMeasure::Bytes;
    TopKey top_key = TopKey::Source;
};

// Fills options from argv[1..argc-1]; on a usage error returns false with the reason in error.
bool ParseStatArgs(int argc, const char* const* argv, StatOptions& options, std::string& error);

// Unix seconds, or "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" in local time
// (a 'T' may stand for the blank).
bool ParseTimeArg(const std::string& text, int64_t& seconds);

extern const char* const kHelpText;

}  // namespace nf5stat
