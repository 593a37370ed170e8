#include "listen/exposition.h"

#include <arpa/inet.h>
#include <mysql.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "common/metrics.h"
#include "common/settings.h"
#include "parser/templates.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// One row per Family, in its order. A family has one label (or none); a reading times scale is
// the value in the family's unit.
struct FamilyInfo {
    const char* name;
    const char* help;
    MetricType type;
    const char* label;
    double scale;
};

constexpr MetricType kCounter = MetricType::Counter;
constexpr MetricType kGauge = MetricType::Gauge;

constexpr FamilyInfo kFamilies[] = {
    {"nf5d_rejected_datagrams_total", "Datagrams rejected by the parser, by reason.", kCounter,
     "reason", 1},
    {"nf5d_decoded_flows_total", "Flow records decoded from accepted datagrams.", kCounter, nullptr,
     1},
    {"nf5d_datagrams_by_version_total",
     "Datagrams the parser judged, by NetFlow version (10: IPFIX; other: too short to tell, or "
     "another version).",
     kCounter, "version", 1},
    {"nf5d_rejected_datagrams_by_version_total", "Datagrams rejected by the parser, by version.",
     kCounter, "version", 1},
    {"nf5d_data_sets_without_template_total",
     "NetFlow v9 and IPFIX data sets dropped for want of a template (their records cannot be "
     "counted without it).",
     kCounter, nullptr, 1},
    {"nf5d_template_expiries_total",
     "NetFlow v9 and IPFIX templates forgotten after 1800 s without a refresh.", kCounter, nullptr,
     1},
    {"nf5d_dropped_datagrams_total",
     "Datagrams lost before nf5d read them, by place (kernel_socket: the socket's receive "
     "buffer was full).",
     kCounter, "place", 1},
    {"nf5d_dropped_flows_total", "Flows decoded but never stored, by place.", kCounter, "place", 1},
    {"nf5d_dropped_trash_lines_total",
     "Trash-log lines dropped because the buffer waiting for the storage pass was full.", kCounter,
     nullptr, 1},
    {"nf5d_written_flows_total",
     "Flows written by each sink (MySQL: once the server has committed them; ClickHouse: accepted "
     "by its server).",
     kCounter, "sink", 1},
    {"nf5d_job_backlog_datagrams", "Datagrams received and not yet parsed.", kGauge, nullptr, 1},
    {"nf5d_storage_queue_flows", "Flows waiting in the storage queue.", kGauge, nullptr, 1},
    {"nf5d_mysql_backlog_rows", "Rows waiting to be sent to the MySQL server.", kGauge, nullptr, 1},
    {"nf5d_mysql_connected", "1 while the connection to the MySQL server is up, 0 while it is down.",
     kGauge, nullptr, 1},
    {"nf5d_backlog_rows", "Rows waiting to be sent to a sink's server, by sink.", kGauge, "sink",
     1},
    {"nf5d_failed_requests_total",
     "Requests to a sink's server that failed, by sink (their rows stay in its backlog).",
     kCounter, "sink", 1},
    {"nf5d_storage_pass_duration_seconds", "Duration of the last storage pass.", kGauge, nullptr,
     1e-6},
    {"nf5d_storage_pass_flows", "Flows the last storage pass took from the queue.", kGauge, nullptr,
     1},
    {"nf5d_exporters_tracked",
     "Exporters counted one by one; at most 256, the rest are folded "
     "into exporter=\"other\".",
     kGauge, nullptr, 1},
    {"process_resident_memory_bytes", "Resident memory size in bytes.", kGauge, nullptr, 1},
    {"process_cpu_seconds_total", "User and system CPU time spent in seconds.", kCounter, nullptr,
     1e-3},
    {"process_start_time_seconds", "Start time of the process since unix epoch in seconds.", kGauge,
     nullptr, 1},
    {"nf5d_received_datagrams_total", "Non-empty datagrams received, per exporter.", kCounter,
     "exporter", 1},
    {"nf5d_received_bytes_total", "Bytes of the datagrams received, per exporter.", kCounter,
     "exporter", 1},
    {"nf5d_last_datagram_timestamp_seconds",
     "Unix time of the last datagram received, per exporter.", kGauge, "exporter", 1},
    {"nf5d_expected_flows_total",
     "Flows the exporter's sequence numbers say it sent, per exporter.", kCounter, "exporter", 1},
    {"nf5d_missing_flows_total", "Flows the sequence numbers show as never received, per exporter.",
     kCounter, "exporter", 1},
    {"nf5d_exporter_restarts_total", "Restarts of the exporter's sequence, per exporter.", kCounter,
     "exporter", 1},
    {"nf5d_templates_held", "NetFlow v9 and IPFIX templates held, per exporter.", kGauge,
     "exporter", 1},
};
static_assert(std::size(kFamilies) == kFamilyCount, "one row per family");
static_assert(kMaxExporters == 256, "the help of nf5d_exporters_tracked names the limit");
static_assert(kTemplateLifetime == 1800, "the help of nf5d_template_expiries_total names it");

uint64_t TemplatesOf(int slot) { return TemplatesHeld(ExporterAddress(slot)); }

template <Reject reason>
uint64_t Rejected() {
    return RejectedDatagrams(reason);
}
uint64_t TrackedExporters() { return static_cast<uint64_t>(ExporterCount()); }

// The first line of a /proc file; false if it cannot be read.
bool ReadProcLine(const char* path, char* line, int size) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    const bool read = std::fgets(line, size, file) != nullptr;
    std::fclose(file);
    return read;
}

uint64_t ResidentBytes() {
    char line[256];
    unsigned long pages = 0;
    if (!ReadProcLine("/proc/self/statm", line, sizeof line) ||
        std::sscanf(line, "%*u %lu", &pages) != 1)
        return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Milliseconds of user and system time: fields 14 and 15 of /proc/self/stat, counted after the
// command name, which may itself hold blanks and parentheses.
uint64_t CpuMilliseconds() {
    char line[1024];
    unsigned long user = 0, system = 0;
    if (!ReadProcLine("/proc/self/stat", line, sizeof line)) return 0;
    const char* fields = std::strrchr(line, ')');
    if (fields == nullptr ||
        std::sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2)
        return 0;
    return static_cast<uint64_t>(user + system) * 1000 /
           static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
}

// Taken as the program is loaded, before main.
const auto process_start = static_cast<uint64_t>(std::time(nullptr));
uint64_t StartTime() { return process_start; }

// The series of the counters kept in common and of the process; the other modules add theirs
// (common/metrics.h).
constexpr Reading kReadings[] = {
    {kRejected, "too_short", Rejected<Reject::kTooShort>},
    {kRejected, "bad_version", Rejected<Reject::kVersion>},
    {kRejected, "count_mismatch", Rejected<Reject::kCount>},
    {kDecoded, nullptr, DecodedFlows},
    {kDroppedDatagrams, "kernel_socket", KernelDrops},
    {kExportersTracked, nullptr, TrackedExporters},
    {kResidentMemory, nullptr, ResidentBytes},
    {kCpuSeconds, nullptr, CpuMilliseconds},
    {kStartTime, nullptr, StartTime},
};

// Series per exporter, read by its slot (common/metrics.h). The loss is counted for tracked
// exporters only, so the folded series has none.
struct ExporterReading {
    Family family;
    uint64_t (*read)(int slot);
    bool folded;  // shown for the exporters folded into "other" too
};

constexpr ExporterReading kExporterReadings[] = {
    {kReceivedDatagrams, ReceivedDatagrams, true},
    {kReceivedBytes, ReceivedBytes, true},
    {kLastDatagram, LastDatagramTime, true},
    {kExpectedFlows, ExpectedFlows, false},  // published by listen/liveloss.cpp
    {kMissingFlows, MissingFlows, false},
    {kRestarts, ExporterRestarts, false},
    {kTemplatesHeld, TemplatesOf, false},
};

void AddSample(MetricFamily& family, Family which, const char* label, uint64_t reading) {
    if (reading == kNoSample) return;
    const FamilyInfo& info = kFamilies[which];
    ClientMetric& metric = family.metric.emplace_back();
    if (label != nullptr) metric.label.push_back({info.label, label});
    const double value = static_cast<double>(reading) * info.scale;
    if (info.type == kCounter)
        metric.counter.value = value;
    else
        metric.gauge.value = value;
}

void AddExporter(std::vector<MetricFamily>& families, int slot, const char* label) {
    for (const ExporterReading& row : kExporterReadings)
        if (row.folded || slot != kOtherExporter)
            AddSample(families[row.family], row.family, label, row.read(slot));
}

// Every tracked exporter, then the folded ones if any were heard.
void AddExporters(std::vector<MetricFamily>& families) {
    const int tracked = ExporterCount();
    for (int slot = 0; slot < tracked; ++slot) {
        AddExporter(families, slot, RenderAddress(ExporterAddress(slot)).text);
    }
    if (ReceivedDatagrams(kOtherExporter) > 0) AddExporter(families, kOtherExporter, "other");
}

MetricFamily BuildInfo() {
    MetricFamily family{"nf5d_build_info",
                        "Versions of nf5d and of the SQLite and MariaDB client libraries it runs "
                        "with; the value is always 1.",
                        kGauge,
                        {}};
    ClientMetric& metric = family.metric.emplace_back();
    metric.label = {{"mariadb_client_version", mysql_get_client_info()},
                    {"sqlite_version", sqlite3_libversion()},
                    {"version", GetRelease()}};
    metric.gauge.value = 1;
    return family;
}

}  // namespace

std::vector<MetricFamily> CollectMetrics() {
    std::vector<MetricFamily> families(kFamilyCount);
    for (int which = 0; which < kFamilyCount; ++which) {
        families[which].name = kFamilies[which].name;
        families[which].help = kFamilies[which].help;
        families[which].type = kFamilies[which].type;
    }
    for (const Reading& row : kReadings)
        AddSample(families[row.family], row.family, row.label, row.read());
    for (size_t r = 0; r < ReadingCount(); ++r) {
        const Reading& row = ReadingAt(r);
        AddSample(families[row.family], row.family, row.label, row.read());
    }
    AddExporters(families);
    std::erase_if(families, [](const MetricFamily& family) { return family.metric.empty(); });
    families.push_back(BuildInfo());
    return families;
}
