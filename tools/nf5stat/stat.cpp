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

// Runs one report and prints it. The progress line is cleared before the report is printed, so
// the two never share a line.
template <typename Report>
bool RunReport(bool (*run)(FlowDb&, const StatOptions&, Report&, std::string&),
               void (*write)(FILE*, const StatOptions&, const Report&), FlowDb& flowdb,
               const StatOptions& options, Progress& progress, FILE* out, std::string& error) {
    Report report;
    const bool done = run(flowdb, options, report, error);
    StopProgress(flowdb, progress);
    if (done) write(out, options, report);
    return done;
}

bool RunCommand(FlowDb& flowdb, const StatOptions& options, Progress& progress, FILE* out,
                std::string& error) {
    switch (options.command) {
        case Command::Loss:
            return RunReport(RunLoss, WriteLoss, flowdb, options, progress, out, error);
        case Command::Summary:
            return RunReport(RunSummary, WriteSummary, flowdb, options, progress, out, error);
        case Command::Top:
            return RunReport(RunTop, WriteTop, flowdb, options, progress, out, error);
        case Command::None: break;
    }
    return false;
}

Json JsonTime(bool has, int64_t value) { return has ? Json(value) : Json(); }

}  // namespace

Json JsonPreamble(const StatOptions& options, const char* command) {
    return {{"command", command},
            {"database", options.database},
            {"since", JsonTime(options.has_since, options.since)},
            {"until", JsonTime(options.has_until, options.until)},
            {"probe", options.probe.empty() ? Json() : Json(options.probe)}};
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
