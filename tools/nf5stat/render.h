#pragma once
// Output helpers shared by the reports: aligned text tables, JSON values, times and the order in
// which exporters are listed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace nf5stat {

// A JSON report; its members keep the order they were added in.
using Json = nlohmann::ordered_json;

enum class Align { Left, Right };

struct TextTable {
    std::vector<std::string> header;
    std::vector<Align> align;
    std::vector<std::vector<std::string>> rows;
};

// Columns padded to their widest cell and separated by two blanks; no trailing blanks.
void WriteTextTable(FILE* out, const TextTable& table);

// Bytes that could steer a terminal (control characters, DEL) become '?'.
std::string Printable(const std::string& text);
// A JSON string literal, quotes included; bytes above 0x7f are written as \u00XX.
std::string JsonString(const std::string& text);
// Writes a report: the top level's plain members on its first line, each array or object member
// on a line of its own and each element of such an array too; deeper levels inline. Numbers with
// a fraction (the percentages) get two decimals.
void WriteJson(FILE* out, const Json& report);

std::string FormatUnsigned(uint64_t value);
std::string FormatPercent(double value);  // "12.34"
// "YYYY-MM-DD HH:MM:SS" in local time, "-" when the value cannot be rendered.
std::string FormatLocalTime(int64_t seconds);

// Exporter addresses in numeric order; texts that are not IPv4 addresses come last, in text order.
bool ExporterLess(const std::string& a, const std::string& b);
// Rows that name their exporter in member `exporter`, put in ExporterLess order.
template <typename Row>
void SortByExporter(std::vector<Row>& rows) {
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return ExporterLess(a.exporter, b.exporter); });
}

}  // namespace nf5stat
