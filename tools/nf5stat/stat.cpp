// The command dispatch: parse, open the database read-only, run one report, print it.
#include "stat.h"

#include <string>

#include "flowdb.h"
#include "options.h"
#include "render.h"
#include "reports.h"

namespace nf5stat {
namespace {

constexpr const char* kUsageHint = "nf5stat: %s\nTry 'nf5stat --help'.\n";
constexpr const char* kErrorFormat = "nf5stat: %s\n";

const char* CommandName(Command command) {
    switch (command) {
        case Command::Loss: return "loss";
        case Command::Summary: return "summary";
        case Command::Top: return "top";
        case Command::None: break;
    }
    return "";
}

// The progress line is cleared before the report is printed, so the two never share a line.
bool RunCommand(FlowDb& flowdb, const StatOptions& options, Progress& progress, FILE* out,
                std::string& error) {
    switch (options.command) {
        case Command::Loss: {
            LossReport report;
            const bool done = RunLoss(flowdb, options, report, error);
            StopProgress(flowdb, progress);
            if (!done) return false;
            WriteLoss(out, options, report);
            return true;
        }
        case Command::Summary: {
            SummaryReport report;
            const bool done = RunSummary(flowdb, options, report, error);
            StopProgress(flowdb, progress);
            if (!done) return false;
            WriteSummary(out, options, report);
            return true;
        }
        case Command::Top: {
            TopReport report;
            const bool done = RunTop(flowdb, options, report, error);
            StopProgress(flowdb, progress);
            if (!done) return false;
            WriteTop(out, options, report);
            return true;
        }
        case Command::None: break;
    }
    return false;
}

std::string JsonTime(bool has, int64_t value) { return has ? std::to_string(value) : "null"; }

}  // namespace

std::string JsonPreamble(const StatOptions& options, const char* command) {
    return "\"command\": " + JsonString(command) +
           ", \"database\": " + JsonString(options.database) +
           ", \"since\": " + JsonTime(options.has_since, options.since) +
           ", \"until\": " + JsonTime(options.has_until, options.until) + ", \"probe\": " +
           (options.probe.empty() ? std::string("null") : JsonString(options.probe));
}

int RunStat(int argc, const char* const* argv, FILE* out, FILE* err) {
    StatOptions options;
    std::string error;
    if (!ParseStatArgs(argc, argv, options, error)) {
        std::fprintf(err, kUsageHint, error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kHelpText, out);
        return kExitOk;
    }
    FlowDb flowdb;
    if (!OpenFlowDb(options.database, flowdb, error)) {
        std::fprintf(err, kErrorFormat, Printable(error).c_str());
        return kExitDatabase;
    }
    Progress progress;
    StartProgress(flowdb, progress, err, CommandName(options.command));
    if (!RunCommand(flowdb, options, progress, out, error)) {
        std::fprintf(err, kErrorFormat, Printable(error).c_str());
        return kExitDatabase;
    }
    std::fflush(out);
    return ferror(out) ? kExitDatabase : kExitOk;
}

}  // namespace nf5stat
