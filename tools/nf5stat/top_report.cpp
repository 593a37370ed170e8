// The top report: the largest addresses, ports or protocols by bytes or flows. Totals over all
// groups come from window sums over the grouped rows, so one pass over the table yields both the
// ranking and the shares.
#include <cstdlib>

#include "render.h"
#include "reports.h"

namespace nf5stat {
namespace {

struct KeyInfo {
    TopKey key;
    const char* column;  // a fixed column name, never user text
    const char* label;   // text header
    const char* json;    // JSON member naming what is ranked
    bool numeric;
};

constexpr KeyInfo kKeys[] = {
    {TopKey::Source, "SOURCE_IP", "source", "src", false},
    {TopKey::Destination, "DEST_IP", "destination", "dst", false},
    {TopKey::SourcePort, "SOURCE_PORT", "src port", "sport", true},
    {TopKey::DestPort, "DEST_PORT", "dst port", "dport", true},
    {TopKey::Protocol, "PROTOCOL", "protocol", "proto", true},
};

constexpr const char* kTopSelect =
    "SELECT key, flows, packets, bytes, SUM(flows) OVER (), SUM(packets) OVER (), SUM(bytes) OVER "
    "() "
    "FROM (SELECT %s AS key, COUNT(*) AS flows, SUM(PACKETS) AS packets, SUM(BYTES) AS bytes FROM "
    "flows%s "
    "GROUP BY %s) ORDER BY %s DESC, key LIMIT %u";

struct ProtocolName {
    int number;
    const char* name;
};
// A fixed list rather than /etc/protocols, so the report reads the same on every host.
constexpr ProtocolName kProtocols[] = {{1, "icmp"},   {2, "igmp"},       {4, "ipip"},  {6, "tcp"},
                                       {17, "udp"},   {41, "ipv6"},      {47, "gre"},  {50, "esp"},
                                       {51, "ah"},    {58, "ipv6-icmp"}, {89, "ospf"}, {103, "pim"},
                                       {112, "vrrp"}, {132, "sctp"}};

const KeyInfo& InfoFor(TopKey key) {
    for (const KeyInfo& info : kKeys)
        if (info.key == key) return info;
    return kKeys[0];
}

const char* ProtocolNameOf(const std::string& key) {
    for (const ProtocolName& protocol : kProtocols)
        if (key == std::to_string(protocol.number)) return protocol.name;
    return nullptr;
}

std::string TopQuery(const StatOptions& options) {
    const KeyInfo& info = InfoFor(options.top_key);
    const std::string filter = FilterClause(options);
    const char* measure = options.top_measure == TopMeasure::Bytes ? "bytes" : "flows";
    char sql[1024];
    std::snprintf(sql, sizeof sql, kTopSelect, info.column, filter.c_str(), info.column, measure,
                  options.top_count);
    return sql;
}

double Share(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

double EntryShare(const StatOptions& options, const TopReport& report, const TopEntry& entry) {
    if (options.top_measure == TopMeasure::Bytes) return Share(entry.bytes, report.total_bytes);
    return Share(entry.flows, report.total_flows);
}

std::string KeyText(const StatOptions& options, const std::string& key) {
    const char* name = options.top_key == TopKey::Protocol ? ProtocolNameOf(key) : nullptr;
    return name ? key + " (" + name + ")" : Printable(key);
}

void WriteTopText(FILE* out, const StatOptions& options, const TopReport& report) {
    TextTable table;
    table.header = {"rank", InfoFor(options.top_key).label, "flows", "packets", "bytes", "share"};
    const bool port = options.top_key == TopKey::SourcePort || options.top_key == TopKey::DestPort;
    table.align = {Align::Right, port ? Align::Right : Align::Left,
                   Align::Right, Align::Right,
                   Align::Right, Align::Right};
    for (size_t i = 0; i < report.entries.size(); ++i) {
        const TopEntry& entry = report.entries[i];
        table.rows.push_back({FormatUnsigned(i + 1), KeyText(options, entry.key),
                              FormatUnsigned(entry.flows), FormatUnsigned(entry.packets),
                              FormatUnsigned(entry.bytes),
                              FormatPercent(EntryShare(options, report, entry)) + "%"});
    }
    table.rows.push_back({"total", "", FormatUnsigned(report.total_flows),
                          FormatUnsigned(report.total_packets), FormatUnsigned(report.total_bytes),
                          ""});
    WriteTextTable(out, table);
}

// A port or protocol is a number, with the protocol's name where it has one; a key that is no
// plain number (NULL, negative) stays a string.
Json EntryJson(const StatOptions& options, const TopEntry& entry) {
    const std::string& key = entry.key;
    if (!InfoFor(options.top_key).numeric || key.empty() ||
        key.find_first_not_of("0123456789") != std::string::npos)
        return {{"key", key}};
    Json json = {{"key", std::strtoull(key.c_str(), nullptr, 10)}};
    const char* name = options.top_key == TopKey::Protocol ? ProtocolNameOf(key) : nullptr;
    if (name != nullptr) json["name"] = name;
    return json;
}

void WriteTopJson(FILE* out, const StatOptions& options, const TopReport& report) {
    Json json = JsonPreamble(options, "top");
    json["rank"] = InfoFor(options.top_key).json;
    json["by"] = options.top_measure == TopMeasure::Bytes ? "bytes" : "flows";
    json["count"] = options.top_count;
    Json& entries = json["entries"] = Json::array();
    for (const TopEntry& entry : report.entries) {
        Json& row = entries.emplace_back(EntryJson(options, entry));
        row["flows"] = entry.flows;
        row["packets"] = entry.packets;
        row["bytes"] = entry.bytes;
        row["share_percent"] = EntryShare(options, report, entry);
    }
    json["total"] = {{"flows", report.total_flows},
                     {"packets", report.total_packets},
                     {"bytes", report.total_bytes}};
    WriteJson(out, json);
}

}  // namespace

bool RunTop(FlowDb& flowdb, const StatOptions& options, TopReport& report, std::string& error) {
    report = TopReport{};
    Statement query;
    if (!PrepareFiltered(flowdb, TopQuery(options), options, query, error)) return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(query.stmt)) == SQLITE_ROW) {
        sqlite3_stmt* stmt = query.stmt;
        report.entries.push_back(TopEntry{ColumnText(stmt, 0),
                                          static_cast<uint64_t>(sqlite3_column_int64(stmt, 1)),
                                          static_cast<uint64_t>(sqlite3_column_int64(stmt, 2)),
                                          static_cast<uint64_t>(sqlite3_column_int64(stmt, 3))});
        report.total_flows = static_cast<uint64_t>(sqlite3_column_int64(stmt, 4));
        report.total_packets = static_cast<uint64_t>(sqlite3_column_int64(stmt, 5));
        report.total_bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 6));
    }
    if (rc != SQLITE_DONE) return QueryFailed(flowdb, error);
    return true;
}

void WriteTop(FILE* out, const StatOptions& options, const TopReport& report) {
    if (options.json)
        WriteTopJson(out, options, report);
    else
        WriteTopText(out, options, report);
}

}  // namespace nf5stat
