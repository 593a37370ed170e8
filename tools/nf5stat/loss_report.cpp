// The loss report: datagrams read back from the rows, exporter by exporter, and fed to the
// sequence accounting in the order nf5d stored them.
#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>

#include "render.h"
#include "reports.h"

namespace nf5stat {
namespace {

// Every row with what tells its datagram and its flow apart, read in storage order and grouped
// into datagrams here: sorting the rows for a GROUP BY took most of the report's time.
constexpr const char* kLossSelect =
    "SELECT PROBE, TIME_RECEIVED, SEQUENCE, RECNUM, SOURCE_IP, SOURCE_PORT, DEST_IP, DEST_PORT, "
    "PROTOCOL, BYTES, PACKETS, FLOW_BEGIN, FLOW_END, FLOW_VERSION FROM flows";
constexpr int kRecnumColumn = 3;
constexpr int kFirstFlowColumn = 4;
constexpr int kSourceIpColumn = 4;
constexpr int kDestIpColumn = 6;
constexpr int kLossColumns = 13;  // the flow fields end here
constexpr int kVersionColumn = 13;
constexpr const char* kNotKnown = "not known";

// nf5d reads the clock once per datagram, so a datagram's rows share TIME_RECEIVED as well as
// SEQUENCE (and FLOW_VERSION). Copies of one datagram received within the same second share them
// too.
struct DatagramKey {
    int64_t time = 0;
    int64_t sequence = 0;
    int64_t version = 0;
    bool operator==(const DatagramKey&) const = default;
};

// An odd multiplier with well-spread bits: x -> x * kSpread is a bijection.
constexpr uint64_t kSpread = 0x9e3779b97f4a7c15u;

struct DatagramKeyHash {
    size_t operator()(const DatagramKey& key) const {
        return (static_cast<uint64_t>(key.time) * kSpread) ^ static_cast<uint64_t>(key.sequence) ^
               (static_cast<uint64_t>(key.version) << 56);
    }
};

struct DatagramRows {
    DatagramKey key;
    int64_t first_row = 0;        // the least RECNUM: datagrams are taken in storage order
    std::vector<uint64_t> flows;  // a fingerprint of each row's flow
};

struct ExporterRows {
    std::unordered_map<DatagramKey, size_t, DatagramKeyHash> index;  // into datagrams
    std::vector<DatagramRows> datagrams;
    size_t latest = 0;  // a datagram's rows mostly follow each other
};

// A 64-bit fingerprint of the row's flow fields, so that copies are told apart without holding
// the fields. Each step is a bijection of the hash so far, so rows that differ in one field always
// differ; the addresses are the only text columns.
uint64_t FlowFingerprint(sqlite3_stmt* row) {
    uint64_t hash = 0;
    for (int column = kFirstFlowColumn; column < kLossColumns; ++column) {
        uint64_t value = 0;
        if (column == kSourceIpColumn || column == kDestIpColumn) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
            const auto length = static_cast<size_t>(sqlite3_column_bytes(row, column));
            value = std::hash<std::string_view>{}(std::string_view(text ? text : "", length));
        } else {
            value = static_cast<uint64_t>(sqlite3_column_int64(row, column));
        }
        hash = (hash ^ value) * kSpread;
    }
    return hash;
}

void AddRow(ExporterRows& exporter, sqlite3_stmt* row) {
    const DatagramKey key{sqlite3_column_int64(row, 1), sqlite3_column_int64(row, 2),
                          sqlite3_column_int64(row, kVersionColumn)};
    const int64_t recnum = sqlite3_column_int64(row, kRecnumColumn);
    if (exporter.datagrams.empty() || !(exporter.datagrams[exporter.latest].key == key)) {
        const auto [it, added] = exporter.index.try_emplace(key, exporter.datagrams.size());
        if (added) exporter.datagrams.push_back(DatagramRows{key, recnum, {}});
        exporter.latest = it->second;
    }
    DatagramRows& datagram = exporter.datagrams[exporter.latest];
    datagram.first_row = std::min(datagram.first_row, recnum);
    datagram.flows.push_back(FlowFingerprint(row));
}

bool ReadDatagrams(FlowDb& flowdb, const StatOptions& options,
                   std::map<std::string, ExporterRows>& exporters, std::string& error) {
    Statement query;
    if (!PrepareFiltered(flowdb, std::string(kLossSelect) + FilterClause(options), options, query,
                         error))
        return false;
    std::string name;
    ExporterRows* exporter = nullptr;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(query.stmt)) == SQLITE_ROW) {
        const auto* probe = reinterpret_cast<const char*>(sqlite3_column_text(query.stmt, 0));
        const std::string_view text(probe ? probe : "",
                                    static_cast<size_t>(sqlite3_column_bytes(query.stmt, 0)));
        if (exporter == nullptr || text != name) exporter = &exporters[name = text];
        AddRow(*exporter, query.stmt);
    }
    return rc == SQLITE_DONE || QueryFailed(flowdb, error);
}

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

// The counts' members, after the exporter's name when there is one.
Json LossJson(const LossCounts& counts, Json members = Json::object(), bool unknown = false) {
    if (unknown) {
        members.update(Json{{"datagrams", counts.datagrams},
                            {"flows", counts.flows},
                            {"expected", nullptr},
                            {"missing", nullptr},
                            {"loss_percent", nullptr},
                            {"loss_known", false}});
        return members;
    }
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
        table.rows.push_back(LossCells(exporter.exporter, exporter.counts, exporter.unknown));
    table.rows.push_back(LossCells("total", report.total));
    WriteTextTable(out, table);
    for (const ExporterLoss& exporter : report.exporters)
        for (const std::string& note : LossNotes(exporter))
            std::fprintf(out, "%s: %s\n", Printable(exporter.exporter).c_str(), note.c_str());
}

void WriteLossJson(FILE* out, const StatOptions& options, const LossReport& report) {
    Json json = JsonPreamble(options, "loss");
    json["restart_threshold"] = options.restart_threshold;
    Json& exporters = json["exporters"] = Json::array();
    for (const ExporterLoss& exporter : report.exporters) {
        exporters.push_back(
            LossJson(exporter.counts, {{"exporter", exporter.exporter}}, exporter.unknown));
        exporters.back()["notes"] = LossNotes(exporter);
    }
    json["total"] = LossJson(report.total);
    WriteJson(out, json);
}

// Each copy of a datagram repeats every row, so a group of k copies is k datagrams of its distinct
// flows; a datagram's own repeated flows don't make a whole copy.
void FeedDatagram(SeqTracker& tracker, DatagramRows& datagram) {
    std::vector<uint64_t>& flows = datagram.flows;
    const auto rows = static_cast<int64_t>(std::min<size_t>(flows.size(), UINT32_MAX));
    std::sort(flows.begin(), flows.end());
    const int64_t distinct = std::unique(flows.begin(), flows.end()) - flows.begin();
    int64_t copies = rows / distinct;
    if (copies < 1 || rows % copies != 0) copies = 1;
    // nf5d stores the sequence as an unsigned 32-bit number; the mask also mends a signed one.
    const SeqDatagram fed{static_cast<uint32_t>(datagram.key.sequence & 0xffffffff),
                          static_cast<uint32_t>(rows / copies), datagram.key.time};
    for (int64_t copy = 0; copy < copies; ++copy) SeqTrackerAdd(tracker, fed);
}

// Its v5 datagrams are fed to the tracker. NetFlow v9 and IPFIX datagrams of templates or options
// leave no rows, so an exporter that sent any has its datagrams and flows counted, its loss not.
ExporterLoss CountLoss(const std::string& name, ExporterRows& exporter, uint32_t threshold) {
    std::sort(
        exporter.datagrams.begin(), exporter.datagrams.end(),
        [](const DatagramRows& a, const DatagramRows& b) { return a.first_row < b.first_row; });
    SeqTracker tracker;
    SeqTrackerInit(tracker, threshold);
    LossCounts others;
    for (DatagramRows& datagram : exporter.datagrams) {
        if (datagram.key.version == 5) {
            FeedDatagram(tracker, datagram);
        } else {
            ++others.datagrams;
            others.flows += datagram.flows.size();
        }
    }
    ExporterLoss loss{name, SeqTrackerFinish(tracker), others.datagrams > 0};
    if (loss.unknown) {
        others.datagrams += loss.counts.datagrams;
        others.flows += loss.counts.flows;
        loss.counts = others;
    }
    return loss;
}

}  // namespace

bool RunLoss(FlowDb& flowdb, const StatOptions& options, LossReport& report, std::string& error) {
    report = LossReport{};
    std::map<std::string, ExporterRows> exporters;
    if (!ReadDatagrams(flowdb, options, exporters, error)) return false;
    for (auto& [exporter, rows] : exporters)
        report.exporters.push_back(CountLoss(exporter, rows, options.restart_threshold));
    SortByExporter(report.exporters);
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
