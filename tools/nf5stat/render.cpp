// Text and JSON rendering shared by every report.
#include "render.h"

#include <arpa/inet.h>

#include <algorithm>
#include <ctime>

namespace nf5stat {
namespace {

constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";

bool ParseIpv4(const std::string& text, uint32_t& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    address = ntohl(parsed.s_addr);
    return true;
}

void AppendCell(std::string& line, const std::string& cell, size_t width, Align align) {
    const size_t pad = width - std::min(width, cell.size());
    if (align == Align::Right) line.append(pad, ' ');
    line += cell;
    if (align == Align::Left) line.append(pad, ' ');
}

void WriteRow(FILE* out, const std::vector<std::string>& row, const std::vector<size_t>& widths,
              const std::vector<Align>& align) {
    std::string line;
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
        if (i > 0) line += "  ";
        AppendCell(line, row[i], widths[i], i < align.size() ? align[i] : Align::Left);
    }
    line.erase(line.find_last_not_of(' ') + 1);
    std::fprintf(out, "%s\n", line.c_str());
}

// Members ", "-separated, ": " after a key. Strings are written by JsonString: the library's own
// writer would decode them as UTF-8 and stop at an invalid byte, which an exporter text from the
// file may hold.
void AppendInline(std::string& text, const Json& value) {
    if (value.is_object()) {
        text += '{';
        for (auto it = value.begin(); it != value.end(); ++it) {
            text += (it == value.begin() ? "" : ", ") + JsonString(it.key()) + ": ";
            AppendInline(text, it.value());
        }
        text += '}';
    } else if (value.is_array()) {
        text += '[';
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it != value.begin()) text += ", ";
            AppendInline(text, *it);
        }
        text += ']';
    } else if (value.is_string()) {
        text += JsonString(value.get_ref<const std::string&>());
    } else if (value.is_number_float()) {
        text += FormatPercent(value.get<double>());
    } else {
        text += value.dump();
    }
}

}  // namespace

void WriteJson(FILE* out, const Json& report) {
    std::string text = "{";
    for (auto it = report.begin(); it != report.end(); ++it) {
        const Json& value = it.value();
        if (it != report.begin()) text += value.is_structured() ? ",\n  " : ", ";
        text += JsonString(it.key()) + ": ";
        if (!value.is_array() || value.empty()) {
            AppendInline(text, value);
            continue;
        }
        for (auto element = value.begin(); element != value.end(); ++element) {
            text += element == value.begin() ? "[\n    " : ",\n    ";
            AppendInline(text, *element);
        }
        text += "\n  ]";
    }
    std::fputs((text + "\n}\n").c_str(), out);
}

void WriteTextTable(FILE* out, const TextTable& table) {
    std::vector<size_t> widths(table.header.size(), 0);
    auto widen = [&widths](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    };
    widen(table.header);
    for (const auto& row : table.rows) widen(row);
    WriteRow(out, table.header, widths, table.align);
    for (const auto& row : table.rows) WriteRow(out, row, widths, table.align);
}

std::string Printable(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    return result;
}

std::string JsonString(const std::string& text) {
    std::string result = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            result += '\\';
            result += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            result += escape;
        } else {
            result += c;
        }
    }
    return result + "\"";
}

std::string FormatUnsigned(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

std::string FormatPercent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string FormatLocalTime(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[64] = "";
    if (localtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, kTimeFormat, &tm) == 0)
        return "-";
    return text;
}

bool ExporterLess(const std::string& a, const std::string& b) {
    uint32_t address_a = 0;
    uint32_t address_b = 0;
    const bool ip_a = ParseIpv4(a, address_a);
    const bool ip_b = ParseIpv4(b, address_b);
    if (ip_a != ip_b) return ip_a;
    if (ip_a && address_a != address_b) return address_a < address_b;
    return a < b;
}

}  // namespace nf5stat
