// The summary report: per exporter, the span of its flow times and its totals.
#include <algorithm>

#include "render.h"
#include "reports.h"

namespace nf5stat {
namespace {

constexpr const char* kSummarySelect =
    "SELECT PROBE, MIN(FLOW_BEGIN), MAX(FLOW_END), COUNT(*), SUM(PACKETS), SUM(BYTES) FROM flows";
constexpr const char* kSummaryGroup = " GROUP BY PROBE";

ExporterSummary ReadSummaryRow(sqlite3_stmt* stmt) {
    ExporterSummary row;
    row.exporter = ColumnText(stmt, 0);
    row.has_times =
        sqlite3_column_type(stmt, 1) != SQLITE_NULL && sqlite3_column_type(stmt, 2) != SQLITE_NULL;
    row.first = sqlite3_column_int64(stmt, 1);
    row.last = sqlite3_column_int64(stmt, 2);
    row.flows = static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
    row.packets = static_cast<uint64_t>(sqlite3_column_int64(stmt, 4));
    row.bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 5));
    return row;
}

void AddToTotal(ExporterSummary& total, const ExporterSummary& row) {
    if (row.has_times) {
        total.first = total.has_times ? std::min(total.first, row.first) : row.first;
        total.last = total.has_times ? std::max(total.last, row.last) : row.last;
        total.has_times = true;
    }
    total.flows += row.flows;
    total.packets += row.packets;
    total.bytes += row.bytes;
}

std::vector<std::string> SummaryCells(const std::string& name, const ExporterSummary& row) {
    return {Printable(name),
            row.has_times ? FormatLocalTime(row.first) : "-",
            row.has_times ? FormatLocalTime(row.last) : "-",
            FormatUnsigned(row.flows),
            FormatUnsigned(row.packets),
            FormatUnsigned(row.bytes)};
}

// The row's members, after the exporter's name when there is one.
Json SummaryJson(const ExporterSummary& row, Json members = Json::object()) {
    members.update(Json{{"first", row.has_times ? Json(row.first) : Json()},
                        {"last", row.has_times ? Json(row.last) : Json()},
                        {"flows", row.flows},
                        {"packets", row.packets},
                        {"bytes", row.bytes}});
    return members;
}

void WriteSummaryText(FILE* out, const SummaryReport& report) {
    TextTable table;
    table.header = {"exporter", "first flow", "last flow", "flows", "packets", "bytes"};
    table.align = {Align::Left, Align::Left, Align::Left, Align::Right, Align::Right, Align::Right};
    for (const ExporterSummary& row : report.exporters)
        table.rows.push_back(SummaryCells(row.exporter, row));
    table.rows.push_back(SummaryCells("total", report.total));
    WriteTextTable(out, table);
}

void WriteSummaryJson(FILE* out, const StatOptions& options, const SummaryReport& report) {
    Json json = JsonPreamble(options, "summary");
    Json& exporters = json["exporters"] = Json::array();
    for (const ExporterSummary& row : report.exporters)
        exporters.push_back(SummaryJson(row, {{"exporter", row.exporter}}));
    json["total"] = SummaryJson(report.total);
    WriteJson(out, json);
}

}  // namespace

bool RunSummary(FlowDb& flowdb, const StatOptions& options, SummaryReport& report,
                std::string& error) {
    report = SummaryReport{};
    Statement query;
    if (!PrepareFiltered(flowdb,
                         std::string(kSummarySelect) + FilterClause(options) + kSummaryGroup,
                         options, query, error))
        return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(query.stmt)) == SQLITE_ROW)
        report.exporters.push_back(ReadSummaryRow(query.stmt));
    if (rc != SQLITE_DONE) return QueryFailed(flowdb, error);
    SortByExporter(report.exporters);
    for (const ExporterSummary& row : report.exporters) AddToTotal(report.total, row);
    return true;
}

void WriteSummary(FILE* out, const StatOptions& options, const SummaryReport& report) {
    if (options.json)
        WriteSummaryJson(out, options, report);
    else
        WriteSummaryText(out, report);
}

}  // namespace nf5stat
