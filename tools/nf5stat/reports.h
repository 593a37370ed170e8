#pragma once
// The three reports: each has a query that fills a plain result and a writer that prints it as
// aligned text or as one JSON object.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flowdb.h"
#include "loss.h"
#include "options.h"
#include "render.h"

namespace nf5stat {

struct LossReport {
    std::vector<ExporterLoss> exporters;  // in address order
    LossCounts total;
};
bool RunLoss(FlowDb& flowdb, const StatOptions& options, LossReport& report, std::string& error);
void WriteLoss(FILE* out, const StatOptions& options, const LossReport& report);

struct ExporterSummary {
    std::string exporter;
    bool has_times = false;  // false when every flow time is NULL
    int64_t first = 0;       // earliest FLOW_BEGIN
    int64_t last = 0;        // latest FLOW_END
    uint64_t flows = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
};
struct SummaryReport {
    std::vector<ExporterSummary> exporters;  // in address order
    ExporterSummary total;
};
bool RunSummary(FlowDb& flowdb, const StatOptions& options, SummaryReport& report,
                std::string& error);
void WriteSummary(FILE* out, const StatOptions& options, const SummaryReport& report);

struct TopEntry {
    std::string key;
    uint64_t flows = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
};
struct TopReport {
    std::vector<TopEntry> entries;  // largest first
    uint64_t total_flows = 0;       // over every flow the filter admits, not just the entries
    uint64_t total_packets = 0;
    uint64_t total_bytes = 0;
};
bool RunTop(FlowDb& flowdb, const StatOptions& options, TopReport& report, std::string& error);
void WriteTop(FILE* out, const StatOptions& options, const TopReport& report);

// The opening members every JSON report shares: command, database, time range and exporter.
Json JsonPreamble(const StatOptions& options, const char* command);

}  // namespace nf5stat
