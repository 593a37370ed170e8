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
    "TIME_RECEIVED, MIN(RECNUM) AS first_row FROM flows";
constexpr const char* kLossGroup =
    " GROUP BY PROBE, TIME_RECEIVED, SEQUENCE ORDER BY PROBE, first_row";

constexpr const char* kNoteInterleaved =
    "sequences look interleaved: several engines behind one address?";
constexpr const char* kNoteJump =
    "possible outage: sequence jumped from %u to %u (%llu flows) at %s";
constexpr const char* kNoteMoreJumps = "%llu more possible outages";
constexpr const char* kNoteDuplicates =
    "%llu flows repeat sequence numbers already seen (duplicated datagrams, an early restart or "
    "several engines)";

void FinishExporter(LossReport& report, const std::string& exporter, SeqTracker& tracker) {
    report.exporters.push_back(ExporterLoss{exporter, SeqTrackerFinish(tracker)});
}

std::vector<std::string> LossNotes(const LossCounts& counts) {
    std::vector<std::string> notes;
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

std::vector<std::string> LossCells(const std::string& name, const LossCounts& counts) {
    return {Printable(name),
            FormatUnsigned(counts.datagrams),
            FormatUnsigned(counts.flows),
            FormatUnsigned(counts.expected),
            FormatUnsigned(counts.missing),
            FormatPercent(LossPercent(counts)) + "%",
            FormatUnsigned(counts.restarts)};
}

// The counts' members, after the exporter's name when there is one.
Json LossJson(const LossCounts& counts, Json members = Json::object()) {
    members.update(Json{{"datagrams", counts.datagrams},
                        {"flows", counts.flows},
                        {"expected", counts.expected},
                        {"missing", counts.missing},
                        {"loss_percent", LossPercent(counts)},
                        {"duplicates", counts.duplicates},
                        {"restarts", counts.restarts},
                        {"possible_outages", counts.outages},
                        {"interleaved", counts.interleaved}});
    return members;
}

void WriteLossText(FILE* out, const LossReport& report) {
    TextTable table;
    table.header = {"exporter", "datagrams", "flows", "expected", "missing", "loss", "restarts"};
    table.align = {Align::Left,  Align::Right, Align::Right, Align::Right,
                   Align::Right, Align::Right, Align::Right};
    for (const ExporterLoss& exporter : report.exporters)
        table.rows.push_back(LossCells(exporter.exporter, exporter.counts));
    table.rows.push_back(LossCells("total", report.total));
    WriteTextTable(out, table);
    for (const ExporterLoss& exporter : report.exporters)
        for (const std::string& note : LossNotes(exporter.counts))
            std::fprintf(out, "%s: %s\n", Printable(exporter.exporter).c_str(), note.c_str());
}

void WriteLossJson(FILE* out, const StatOptions& options, const LossReport& report) {
    Json json = JsonPreamble(options, "loss");
    json["restart_threshold"] = options.restart_threshold;
    Json& exporters = json["exporters"] = Json::array();
    for (const ExporterLoss& exporter : report.exporters) {
        exporters.push_back(LossJson(exporter.counts, {{"exporter", exporter.exporter}}));
        exporters.back()["notes"] = LossNotes(exporter.counts);
    }
    json["total"] = LossJson(report.total);
    WriteJson(out, json);
}

// Feeds one row of the loss query: a datagram, or several copies of one received in one second.
void FeedDatagramGroup(SeqTracker& tracker, sqlite3_stmt* row) {
    // nf5d stores the sequence as an unsigned 32-bit number; the mask also mends a signed one.
    const auto sequence = static_cast<uint32_t>(sqlite3_column_int64(row, 1) & 0xffffffff);
    const int64_t rows = std::min<int64_t>(sqlite3_column_int64(row, 2), UINT32_MAX);
    const int64_t distinct = sqlite3_column_int64(row, 3);
    // Each copy repeats every row; a datagram's own repeated flows don't make a whole copy.
    int64_t copies = distinct > 0 ? rows / distinct : 1;
    if (copies < 1 || rows % copies != 0) copies = 1;
    const SeqDatagram datagram{sequence, static_cast<uint32_t>(rows / copies),
                               sqlite3_column_int64(row, 4)};
    for (int64_t copy = 0; copy < copies; ++copy) SeqTrackerAdd(tracker, datagram);
}

}  // namespace

std::string LossQuery(const StatOptions& options) {
    return std::string(kLossSelect) + FilterClause(options) + kLossGroup;
}

bool RunLoss(FlowDb& flowdb, const StatOptions& options, LossReport& report, std::string& error) {
    report = LossReport{};
    Statement query;
    if (!PrepareFiltered(flowdb, LossQuery(options), options, query, error)) return false;
    SeqTracker tracker;
    std::string exporter;
    bool started = false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(query.stmt)) == SQLITE_ROW) {
        const std::string probe = ColumnText(query.stmt, 0);
        if (!started || probe != exporter) {
            if (started) FinishExporter(report, exporter, tracker);
            SeqTrackerInit(tracker, options.restart_threshold);
            exporter = probe;
            started = true;
        }
        FeedDatagramGroup(tracker, query.stmt);
    }
    if (rc != SQLITE_DONE) {
        error = std::string("query failed: ") + sqlite3_errmsg(flowdb.db);
        return false;
    }
    if (started) FinishExporter(report, exporter, tracker);
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
