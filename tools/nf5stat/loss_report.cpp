// The loss report: datagrams read back from the rows, exporter by exporter, and fed to the
// sequence accounting in the order nf5d stored them.
#include <algorithm>

#include "render.h"
#include "reports.h"

namespace nf5stat {
namespace {

// One group per datagram: nf5d reads the clock once per datagram, so its rows share
// TIME_RECEIVED as well as SEQUENCE. MIN(RECNUM) orders datagrams as they were stored. Copies of
// one datagram received within the same second share the group too; their rows repeat each other,
// which the count of distinct flows shows.
constexpr const char* kLossSelect =
    "SELECT PROBE, SEQUENCE, COUNT(*), COUNT(DISTINCT "
    "SOURCE_IP||'/'||SOURCE_PORT||'/'||DEST_IP||'/'"
    "||DEST_PORT||'/'||PROTOCOL||'/'||BYTES||'/'||PACKETS||'/'||FLOW_BEGIN||'/'||FLOW_END), "
    "TIME_RECEIVED, MIN(RECNUM) AS first_row, FLOW_VERSION FROM flows";
constexpr const char* kLossGroup =
    " GROUP BY PROBE, TIME_RECEIVED, SEQUENCE, FLOW_VERSION ORDER BY PROBE, first_row";
constexpr const char* kNotKnown = "not known";

constexpr const char* kNoteInterleaved =
    "sequences look interleaved: several engines behind one address?";
constexpr const char* kNoteJump =
    "possible outage: sequence jumped from %u to %u (%llu flows) at %s";
constexpr const char* kNoteMoreJumps = "%llu more possible outages";
constexpr const char* kNoteUnknown =
    "loss not known: NetFlow v9 and IPFIX datagrams of templates or options leave no rows";
constexpr const char* kNoteDuplicates =
    "%llu flows repeat sequence numbers already seen (duplicated datagrams, an early restart or "
    "several engines)";

// An exporter as its rows showed it: its v5 datagrams fed to the tracker, and its v9 and IPFIX
// datagrams and flows only counted.
struct ExporterRows {
    std::string probe;
    SeqTracker tracker;
    uint64_t other_datagrams = 0;
    uint64_t other_flows = 0;
};

void FinishExporter(LossReport& report, ExporterRows& rows) {
    ExporterLoss loss{rows.probe, SeqTrackerFinish(rows.tracker), rows.other_datagrams > 0};
    if (loss.unknown) {
        LossCounts seen;
        seen.datagrams = loss.counts.datagrams + rows.other_datagrams;
        seen.flows = loss.counts.flows + rows.other_flows;
        loss.counts = seen;
    }
    report.exporters.push_back(loss);
}

std::vector<std::string> LossNotes(const ExporterLoss& exporter) {
    const LossCounts& counts = exporter.counts;
    std::vector<std::string> notes;
    if (exporter.unknown) notes.push_back(kNoteUnknown);
    if (counts.interleaved) notes.push_back(kNoteInterleaved);
    char note[160];
    for (const SeqJump& jump : counts.jumps) {
        std::snprintf(note, sizeof note, kNoteJump, jump.from, jump.to,
                      static_cast<unsigned long long>(static_cast<uint32_t>(jump.to - jump.from)),
                      FormatLocalTime(jump.time).c_str());
        notes.push_back(note);
    }
    if (counts.outages > counts.jumps.size()) {
        std::snprintf(note, sizeof note, kNoteMoreJumps,
                      static_cast<unsigned long long>(counts.outages - counts.jumps.size()));
        notes.push_back(note);
    }
    if (counts.duplicates > 0) {
        std::snprintf(note, sizeof note, kNoteDuplicates,
                      static_cast<unsigned long long>(counts.duplicates));
        notes.push_back(note);
    }
    return notes;
}

std::vector<std::string> LossCells(const std::string& name, const LossCounts& counts,
                                   bool unknown = false) {
    if (unknown)
        return {Printable(name), FormatUnsigned(counts.datagrams), FormatUnsigned(counts.flows),
                kNotKnown,       kNotKnown,                        kNotKnown,
                kNotKnown};
    return {Printable(name),
            FormatUnsigned(counts.datagrams),
            FormatUnsigned(counts.flows),
            FormatUnsigned(counts.expected),
            FormatUnsigned(counts.missing),
            FormatPercent(LossPercent(counts)) + "%",
            FormatUnsigned(counts.restarts)};
}

std::string LossJson(const LossCounts& counts, bool unknown = false) {
    char text[512];
    if (unknown) {
        std::snprintf(text, sizeof text,
                      "\"datagrams\": %llu, \"flows\": %llu, \"expected\": null, \"missing\": null, "
                      "\"loss_percent\": null, \"loss_known\": false",
                      static_cast<unsigned long long>(counts.datagrams),
                      static_cast<unsigned long long>(counts.flows));
        return text;
    }
    std::snprintf(
        text, sizeof text,
        "\"datagrams\": %llu, \"flows\": %llu, \"expected\": %llu, \"missing\": %llu, "
        "\"loss_percent\": %s, \"duplicates\": %llu, \"restarts\": %llu, "
        "\"possible_outages\": %llu, \"interleaved\": %s",
        static_cast<unsigned long long>(counts.datagrams),
        static_cast<unsigned long long>(counts.flows),
        static_cast<unsigned long long>(counts.expected),
        static_cast<unsigned long long>(counts.missing), FormatPercent(LossPercent(counts)).c_str(),
        static_cast<unsigned long long>(counts.duplicates),
        static_cast<unsigned long long>(counts.restarts),
        static_cast<unsigned long long>(counts.outages), counts.interleaved ? "true" : "false");
    return text;
}

void WriteLossText(FILE* out, const LossReport& report) {
    TextTable table;
    table.header = {"exporter", "datagrams", "flows", "expected", "missing", "loss", "restarts"};
    table.align = {Align::Left,  Align::Right, Align::Right, Align::Right,
                   Align::Right, Align::Right, Align::Right};
    for (const ExporterLoss& exporter : report.exporters)
        table.rows.push_back(LossCells(exporter.exporter, exporter.counts, exporter.unknown));
    table.rows.push_back(LossCells("total", report.total));
    WriteTextTable(out, table);
    for (const ExporterLoss& exporter : report.exporters)
        for (const std::string& note : LossNotes(exporter))
            std::fprintf(out, "%s: %s\n", Printable(exporter.exporter).c_str(), note.c_str());
}

std::string JsonNotes(const ExporterLoss& exporter) {
    std::string text = "[";
    for (const std::string& note : LossNotes(exporter))
        text += (text.size() > 1 ? ", " : "") + JsonString(note);
    return text + "]";
}

void WriteLossJson(FILE* out, const StatOptions& options, const LossReport& report) {
    std::fprintf(out, "{%s, \"restart_threshold\": %u,\n  \"exporters\": [",
                 JsonPreamble(options, "loss").c_str(), options.restart_threshold);
    for (size_t i = 0; i < report.exporters.size(); ++i) {
        const ExporterLoss& exporter = report.exporters[i];
        std::fprintf(out, "%s\n    {\"exporter\": %s, %s, \"notes\": %s}", i ? "," : "",
                     JsonString(exporter.exporter).c_str(),
                     LossJson(exporter.counts, exporter.unknown).c_str(),
                     JsonNotes(exporter).c_str());
    }
    std::fprintf(out, "%s],\n  \"total\": {%s}\n}\n", report.exporters.empty() ? "" : "\n  ",
                 LossJson(report.total).c_str());
}

// Feeds one row of the loss query: a datagram, or several copies of one received in one second.
void FeedDatagramGroup(ExporterRows& exporter, sqlite3_stmt* row) {
    if (sqlite3_column_int64(row, 6) != 5) {
        ++exporter.other_datagrams;
        exporter.other_flows += static_cast<uint64_t>(sqlite3_column_int64(row, 2));
        return;
    }
    // nf5d stores the sequence as an unsigned 32-bit number; the mask also mends a signed one.
    const auto sequence = static_cast<uint32_t>(sqlite3_column_int64(row, 1) & 0xffffffff);
    const int64_t rows = std::min<int64_t>(sqlite3_column_int64(row, 2), UINT32_MAX);
    const int64_t distinct = sqlite3_column_int64(row, 3);
    // Each copy repeats every row; a datagram's own repeated flows don't make a whole copy.
    int64_t copies = distinct > 0 ? rows / distinct : 1;
    if (copies < 1 || rows % copies != 0) copies = 1;
    const SeqDatagram datagram{sequence, static_cast<uint32_t>(rows / copies),
                               sqlite3_column_int64(row, 4)};
    for (int64_t copy = 0; copy < copies; ++copy) SeqTrackerAdd(exporter.tracker, datagram);
}

}  // namespace

std::string LossQuery(const StatOptions& options) {
    return std::string(kLossSelect) + FilterClause(options) + kLossGroup;
}

bool RunLoss(FlowDb& flowdb, const StatOptions& options, LossReport& report, std::string& error) {
    report = LossReport{};
    Statement query;
    if (!PrepareFiltered(flowdb, LossQuery(options), options, query, error)) return false;
    ExporterRows exporter;
    bool started = false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(query.stmt)) == SQLITE_ROW) {
        const std::string probe = ColumnText(query.stmt, 0);
        if (!started || probe != exporter.probe) {
            if (started) FinishExporter(report, exporter);
            exporter = ExporterRows{};
            exporter.probe = probe;
            SeqTrackerInit(exporter.tracker, options.restart_threshold);
            started = true;
        }
        FeedDatagramGroup(exporter, query.stmt);
    }
    if (rc != SQLITE_DONE) {
        error = std::string("query failed: ") + sqlite3_errmsg(flowdb.db);
        return false;
    }
    if (started) FinishExporter(report, exporter);
    std::sort(report.exporters.begin(), report.exporters.end(),
              [](const ExporterLoss& a, const ExporterLoss& b) {
                  return ExporterLess(a.exporter, b.exporter);
              });
    for (const ExporterLoss& e : report.exporters) AddLossCounts(report.total, e.counts);
    return true;
}

void WriteLoss(FILE* out, const StatOptions& options, const LossReport& report) {
    if (options.json)
        WriteLossJson(out, options, report);
    else
        WriteLossText(out, report);
}

}  // namespace nf5stat
