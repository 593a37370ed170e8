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

constexpr const char* kUnknownExporter = "nf5stat: unknown exporter %s: %s holds no flow of it\n";

bool Empty(const LossReport& report) { return report.exporters.empty(); }
bool Empty(const SummaryReport& report) { return report.exporters.empty(); }
bool Empty(const TopReport& report) { return report.entries.empty(); }

// Runs one report and prints it, unless it is empty because --probe names an exporter the table
// does not hold at all: that is said instead. The progress line is cleared before anything is
// printed, so the two never share a line.
template <typename Report>
int RunReport(bool (*run)(FlowDb&, const StatOptions&, Report&, std::string&),
              void (*write)(FILE*, const StatOptions&, const Report&), FlowDb& flowdb,
              const StatOptions& options, Progress& progress, FILE* out, FILE* err) {
    Report report;
    std::string error;
    bool held = true;
    bool done = run(flowdb, options, report, error);
    if (done && Empty(report) && !options.probe.empty())
        done = HoldsExporter(flowdb, options.probe, held, error);
    StopProgress(flowdb, progress);
    if (!done) {
        std::fprintf(err, kErrorFormat, Printable(error).c_str());
        return kExitDatabase;
    }
    if (!held) {
        std::fprintf(err, kUnknownExporter, Printable(options.probe).c_str(),
                     Printable(options.database).c_str());
        return kExitUnknownExporter;
    }
    write(out, options, report);
    return kExitOk;
}

int RunCommand(FlowDb& flowdb, const StatOptions& options, Progress& progress, FILE* out,
               FILE* err) {
    switch (options.command) {
        case Command::Loss:
            return RunReport(RunLoss, WriteLoss, flowdb, options, progress, out, err);
        case Command::Summary:
            return RunReport(RunSummary, WriteSummary, flowdb, options, progress, out, err);
        case Command::Top:
            return RunReport(RunTop, WriteTop, flowdb, options, progress, out, err);
        case Command::None: break;
    }
    return kExitUsage;
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
    const int status = RunCommand(flowdb, options, progress, out, err);
    if (status != kExitOk) return status;
    std::fflush(out);
    return ferror(out) ? kExitDatabase : kExitOk;
}

}  // namespace nf5stat
