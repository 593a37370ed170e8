// The ClickHouse export. Rows wait in a backlog of their own until the server has accepted them
// and go out as one HTTP POST per pass, and at most one a second while fewer than kEagerRows
// wait: an INSERT in RowBinary, the format the server parses without text, with the rows encoded
// straight from the backlog as libcurl asks for the body.
//
// A request carries at most kRequestRows rows of one UTC day, so the server stores it as one part
// in one partition (the table is partitioned by UTC day): whole or not at all. Each row carries
// the request's number (BATCH), and the request the query id made from it. A request that failed
// in any way is settled from the server before it is sent again: while a query with its id still
// runs, nothing is decided; then the rows of its number are counted, and it is sent again only
// if the server holds none of them. So no row is stored twice, and none is given up on a guess.
//
// A failed request starts an outage: the pass goes on for the other sinks, the rows wait in the
// backlog up to kBacklogRows, and the next attempt comes with a doubling delay. Until a first
// request has been accepted, a refusal is taken as the configuration's (status 16).
#include "storage/sinks/clickhouse.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>

#include "common/memory.h"
#include "common/messages.h"
#include "common/terminate.h"
#include "storage/backlog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultTable = "FLOWDB.FLOWS";
// The table's columns are the flow fields' and this one.
constexpr const char* kBatchColumn = "BATCH";
constexpr const char* kBatchType = "UInt64";
constexpr const char* kInsert = "INSERT INTO %s (%s) FORMAT RowBinary\n";
constexpr const char* kDescribe = "DESCRIBE TABLE %s";
constexpr const char* kStillRunning = "SELECT count() FROM system.processes WHERE query_id = '%s'";
constexpr const char* kCountBatch =
    "SELECT count() FROM %s WHERE TIME_RECEIVED >= %llu AND TIME_RECEIVED < %llu AND BATCH = %llu";
constexpr const char* kQueryId = "nf5d-%016llx";
constexpr const char* kQueryIdParameter = "query_id=%s";
constexpr const char* kBadUrl =
    "--clickhouse takes http[s]://[USER:PASSWORD@]HOST[:PORT][/DATABASE.TABLE]";
constexpr const char* kUnreachable = "ClickHouse server %s unreachable: %.1200s";
constexpr const char* kServerRefused = "ClickHouse server %s refused %s: %.1200s";
constexpr const char* kUnfitColumn =
    "ClickHouse table %s: column %s is %s, which nf5d cannot fill (sql/clickhouse-flows.sql)";
constexpr const char* kOpenCredentials = "ClickHouse credentials %s are readable by others";
constexpr const char* kUnreadableCaFile =
    "ClickHouse CA file %s (SSL_CERT_FILE) cannot be read: %s";
constexpr const char* kPartlyStored =
    "ClickHouse request %016llx found stored in part: %llu of %zu rows";
constexpr const char* kReportLine = "DB: Will store on ClickHouse table %s on %s\n";
constexpr const char* kReportBadUrl = "DB: Will store on ClickHouse at a URL it cannot use\n";
constexpr const char* kCredentialsFile = "/.netrc";

// Below the server's max_insert_block_size (1048576): one request, one block, one part.
constexpr size_t kRequestRows = 1'000'000;
constexpr long kSecondsPerDay = 86400;
// A request's rows are encoded this many at a time into the staging buffer.
constexpr size_t kStageRows = 512;
constexpr size_t kColumnCount = kFlowFieldCount + 1;  // and BATCH, last
// In RowBinary an address takes 16 bytes (IPv6), a number at most 8.
constexpr size_t kAddressBytes = 16;
constexpr size_t kStageBytes = kStageRows * kColumnCount * kAddressBytes;
constexpr size_t kTableSize = 130;  // DATABASE.TABLE, each at most 64 characters
constexpr size_t kQuerySize = 1024;
constexpr size_t kServerSize = 320;
constexpr size_t kTypeSize = 64;
// The start of an answer: a count, the table's description, or a server's error text.
constexpr size_t kAnswerSize = 4096;

// A black-holed server costs a pass at most the connect timeout, a hung one the stall timeout.
constexpr long kConnectTimeoutSeconds = 3;
constexpr long kStallSeconds = 10;
// After an outage a regular pass spends at most this long on the backlog.
constexpr std::chrono::seconds kCatchUpPerPass{2};
// Every request makes a part on the server, which its merges want few and large: at high rates,
// when passes come many times a second, a request waits for a second after the last one unless
// this many rows wait.
constexpr std::chrono::seconds kRequestSpacing{1};
constexpr size_t kEagerRows = size_t{1} << 18;

enum class Outcome { kAccepted, kRefused, kLost };

// The body of one request: a query text, then rows from the backlog in RowBinary.
struct Upload {
    const char* text;
    size_t text_length;
    BacklogCursor row;
    size_t rows;  // rows still to encode
    unsigned long long batch;
    const unsigned char* piece = nullptr;  // what libcurl takes next, up to piece_end
    const unsigned char* piece_end = nullptr;
};

struct Readings {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> failed{0};
    BacklogGauges backlog;
};
Readings readings;
SinkSetting setting{nullptr, {0}};

// Storage thread only (sink lock held). Plain data: Close starts afresh by assigning a new one.
struct ClickHouse {
    CURL* curl = nullptr;  // from Open to Close: the sink is open
    CURLU* url = nullptr;  // the server, with its credentials; the query id goes in per request
    char table[kTableSize];
    char server[kServerSize];  // scheme://host:port, for messages (no credentials)
    unsigned char* stage = nullptr;
    char answer[kAnswerSize];  // the start of the server's last answer
    size_t answer_length = 0;
    char insert[kQuerySize];      // the INSERT that heads every request
    uint8_t bytes[kColumnCount];  // each column's size in a row, as the table declares it
    size_t row_bytes = 0;
    Backlog backlog{"ClickHouse", &readings.backlog};
    unsigned long long batch = 0;  // number of the request that takes the backlog's head
    size_t batch_rows = 0;         // its rows, fixed once it was first sent
    bool unsettled = false;        // it was sent and its fate is not known
    bool proven = false;           // a request was accepted: the server takes our rows
    Clock::time_point last_request{};
};
ClickHouse sink;

void PutLittleEndian(unsigned char*& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) *out++ = static_cast<unsigned char>(value >> (8 * i));
}

// An IPv6 address as it is; an IPv4 one (or none, 0.0.0.0) mapped: ::ffff:a.b.c.d.
void PutAddress(unsigned char*& out, const NetAddress& address) {
    if (address.family == AF_INET6) {
        std::memcpy(out, address.bytes, kAddressBytes);
    } else {
        std::memset(out, 0, 10);
        out[10] = out[11] = 0xff;
        std::memcpy(out + 12, address.bytes, 4);
    }
    out += kAddressBytes;
}

// The fields in their columns' sizes: a time goes as its 32 bits (DateTime counts unsigned
// seconds), a number in its column's width.
void PutRow(unsigned char*& out, const FlowItem& flow, unsigned long long batch) {
    for (size_t c = 0; c < kFlowFieldCount; ++c) {
        if (kFlowFields[c].kind == FieldKind::kAddress)
            PutAddress(out, kFlowFields[c].address(flow));
        else
            PutLittleEndian(out, static_cast<uint64_t>(kFlowFields[c].value(flow)), sink.bytes[c]);
    }
    PutLittleEndian(out, batch, sizeof batch);
}

// The next piece of the body: the query text first, then the rows a stage at a time.
bool NextPiece(Upload* up) {
    if (up->text != nullptr) {
        up->piece = reinterpret_cast<const unsigned char*>(up->text);
        up->piece_end = up->piece + up->text_length;
        up->text = nullptr;
        return true;
    }
    if (up->rows == 0) return false;
    unsigned char* out = sink.stage;
    for (size_t n = std::min(up->rows, kStageRows); n > 0; --n, --up->rows) {
        PutRow(out, up->row.Row(), up->batch);
        up->row.Next();
    }
    up->piece = sink.stage;
    up->piece_end = out;
    return true;
}

size_t ReadBody(char* buffer, size_t size, size_t count, void* data) {
    auto* up = static_cast<Upload*>(data);
    const size_t room = size * count;
    size_t filled = 0;
    while (filled < room && (up->piece < up->piece_end || NextPiece(up))) {
        const size_t take = std::min(room - filled, static_cast<size_t>(up->piece_end - up->piece));
        std::memcpy(buffer + filled, up->piece, take);
        up->piece += take;
        filled += take;
    }
    return filled;
}

// Keeps the start of the answer (a count, or the server's error text).
size_t KeepAnswer(char* data, size_t size, size_t count, void* /*unused*/) {
    const size_t length = size * count;
    const size_t take = std::min(length, sizeof sink.answer - 1 - sink.answer_length);
    std::memcpy(sink.answer + sink.answer_length, data, take);
    sink.answer_length += take;
    sink.answer[sink.answer_length] = '\0';
    return length;
}

// One POST of text and rows rows from the backlog's head; query_id names it when not null. On
// kLost, answer holds libcurl's reason; on kRefused, the server's.
Outcome Post(const char* text, size_t rows, const char* query_id) {
    Upload up{text, std::strlen(text), sink.backlog.Oldest(), rows, sink.batch};
    char parameter[kQuerySize];
    std::snprintf(parameter, sizeof parameter, kQueryIdParameter, query_id);
    curl_url_set(sink.url, CURLUPART_QUERY, query_id == nullptr ? nullptr : parameter, 0);
    curl_easy_setopt(sink.curl, CURLOPT_CURLU, sink.url);
    curl_easy_setopt(sink.curl, CURLOPT_READDATA, &up);
    curl_easy_setopt(sink.curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(up.text_length + rows * sink.row_bytes));
    sink.answer_length = 0;
    sink.answer[0] = '\0';
    const CURLcode code = curl_easy_perform(sink.curl);
    if (code != CURLE_OK) {
        std::snprintf(sink.answer, sizeof sink.answer, "%s", curl_easy_strerror(code));
        return Outcome::kLost;
    }
    long status = 0;
    curl_easy_getinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
    RemoveCR(sink.answer);
    return status == 200 ? Outcome::kAccepted : Outcome::kRefused;
}

// A number the server answered, or -1.
long long Count(const char* query) {
    if (Post(query, 0, nullptr) != Outcome::kAccepted) return -1;
    char* end = nullptr;
    const long long value = std::strtoll(sink.answer, &end, 10);
    return end == sink.answer ? -1 : value;
}

// Until a request has been accepted, a refusal is the configuration's (no table, no access).
void Fail(Outcome outcome) {
    readings.failed.fetch_add(1, std::memory_order_relaxed);
    if (outcome == Outcome::kRefused && !sink.proven) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kServerRefused, sink.server, "the rows",
                      sink.answer);
        Terminate(16, message);
    }
    sink.backlog.Lose(sink.answer);
}

void Accept(size_t stored) {
    readings.accepted.fetch_add(stored, std::memory_order_relaxed);
    sink.backlog.Regain();
    sink.backlog.Forget(sink.batch_rows);
    sink.batch_rows = 0;
    ++sink.batch;
    sink.unsettled = false;
    sink.proven = true;
}

// The rows of the next request: those of the head's UTC day, kRequestRows at most.
size_t RequestRows() {
    BacklogCursor row = sink.backlog.Oldest();
    const long day = static_cast<uint32_t>(row.Row().time_received) / kSecondsPerDay;
    const size_t most = std::min(sink.backlog.rows, kRequestRows);
    size_t rows = 0;
    for (; rows < most && static_cast<uint32_t>(row.Row().time_received) / kSecondsPerDay == day;
         ++rows)
        row.Next();
    return rows;
}

void QueryIdOf(unsigned long long batch, char* id, size_t size) {
    std::snprintf(id, size, kQueryId, batch);
}

// Whether the server holds the unsettled request: stored (whole, or in part when the table is not
// partitioned as ours), not stored, or unknown yet (server away, or the request still running).
enum class Settled { kStored, kAbsent, kUnknown };

Settled Settle() {
    char id[64];
    QueryIdOf(sink.batch, id, sizeof id);
    char query[kQuerySize];
    std::snprintf(query, sizeof query, kStillRunning, id);
    const long long running = Count(query);
    if (running != 0) {
        if (running < 0) Fail(Outcome::kLost);
        if (running > 0) sink.backlog.RetryLater();
        return Settled::kUnknown;
    }
    const unsigned long long day =
        static_cast<uint32_t>(sink.backlog.Oldest().Row().time_received) / kSecondsPerDay;
    std::snprintf(query, sizeof query, kCountBatch, sink.table, day * kSecondsPerDay,
                  (day + 1) * kSecondsPerDay, sink.batch);
    const long long stored = Count(query);
    if (stored < 0) {
        Fail(Outcome::kLost);
        return Settled::kUnknown;
    }
    if (stored == 0) return Settled::kAbsent;
    if (static_cast<size_t>(stored) != sink.batch_rows) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kPartlyStored, sink.batch, stored, sink.batch_rows);
        notify(message);
    }
    Accept(static_cast<size_t>(stored));
    return Settled::kStored;
}

// One request: the backlog's head, settled first if an earlier attempt failed. False when the
// server was lost or refused it; the rows stay, as the same request, for the next attempt.
bool SendBatch() {
    if (sink.batch_rows == 0) sink.batch_rows = RequestRows();
    if (sink.unsettled) {
        const Settled settled = Settle();
        if (settled != Settled::kAbsent) return settled == Settled::kStored;
    }
    char id[64];
    QueryIdOf(sink.batch, id, sizeof id);
    sink.unsettled = true;
    sink.last_request = Clock::now();
    const Outcome outcome = Post(sink.insert, sink.batch_rows, id);
    if (outcome != Outcome::kAccepted) {
        Fail(outcome);
        return false;
    }
    Accept(sink.batch_rows);
    return true;
}

size_t Write(const FlowItem* flows, size_t count, Patience /*patience*/) {
    NF_ASSERT(flows != nullptr, "i != NULL");
    sink.backlog.Keep(flows, count);
    return count;
}

// False while rows wait for the server: the next pass calls again.
bool Commit(Patience patience) {
    if (sink.backlog.rows == 0) return true;
    if (patience == Patience::kThisPass) {
        if (sink.backlog.away && !sink.backlog.RetryDue()) return false;
        if (sink.backlog.rows < kEagerRows && Clock::now() < sink.last_request + kRequestSpacing)
            return false;
    }
    const Clock::time_point until = Clock::now() + kCatchUpPerPass;
    while (sink.backlog.rows > 0 && SendBatch()) {
        if (patience == Patience::kThisPass && Clock::now() >= until) break;
    }
    return sink.backlog.rows == 0;
}

bool IsName(const char* begin, const char* end) {
    if (begin == end || end - begin > 64) return false;
    return std::all_of(begin, end, [](char c) { return std::isalnum(c) != 0 || c == '_'; });
}

// The path names DATABASE.TABLE, or nothing for the default.
bool SetTable(const char* path, ClickHouse* into) {
    if (path[0] == '/') ++path;
    if (path[0] == '\0') path = kDefaultTable;
    const char* dot = std::strchr(path, '.');
    if (dot == nullptr || !IsName(path, dot) || !IsName(dot + 1, path + std::strlen(path)))
        return false;
    std::snprintf(into->table, sizeof into->table, "%s", path);
    return true;
}

// scheme://host:port, without the credentials, for messages.
void SetServerText(ClickHouse* into) {
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    curl_url_get(into->url, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(into->url, CURLUPART_HOST, &host, 0);
    curl_url_get(into->url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
    std::snprintf(into->server, sizeof into->server, "%s://%s:%s", scheme, host, port);
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
}

// An http or https URL whose path names the table; the path is dropped from the requests' URL.
// The caller releases into->url, set or not.
bool ParseUrl(const char* text, ClickHouse* into) {
    into->url = curl_url();
    if (into->url == nullptr || curl_url_set(into->url, CURLUPART_URL, text, 0) != CURLUE_OK)
        return false;
    char* scheme = nullptr;
    char* path = nullptr;
    curl_url_get(into->url, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(into->url, CURLUPART_PATH, &path, 0);
    const bool web = scheme != nullptr &&
                     (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
    const bool named = path != nullptr && SetTable(path, into);
    curl_free(scheme);
    curl_free(path);
    if (!web || !named) return false;
    SetServerText(into);
    return curl_url_set(into->url, CURLUPART_PATH, "/", 0) == CURLUE_OK;
}

// Without credentials in the URL, libcurl reads ~/.netrc: refused when others can read it.
void CheckCredentialsFile() {
    char* user = nullptr;
    const bool named = curl_url_get(sink.url, CURLUPART_USER, &user, 0) == CURLUE_OK;
    curl_free(user);
    const char* home = std::getenv("HOME");
    if (named || home == nullptr) return;
    char path[kQuerySize];
    std::snprintf(path, sizeof path, "%s%s", home, kCredentialsFile);
    struct stat status {};
    if (stat(path, &status) != 0 || (status.st_mode & 077) == 0) return;
    char message[kMessageSize];
    std::snprintf(message, sizeof message, kOpenCredentials, path);
    Terminate(16, message);
}

// libcurl checks an https server's certificate against the system's CAs. SSL_CERT_FILE, which
// OpenSSL programs read but libcurl does not, names a file of others instead (a private CA).
void SetCaFile() {
    const char* file = std::getenv("SSL_CERT_FILE");
    if (file == nullptr || file[0] == '\0') return;
    if (access(file, R_OK) != 0) {
        char error[kMessageSize];
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kUnreadableCaFile, file,
                      SystemErrorText(errno, error, sizeof error));
        Terminate(16, message);
    }
    curl_easy_setopt(sink.curl, CURLOPT_CAINFO, file);
}

// Timeouts that keep a pass short; credentials from the URL, else from ~/.netrc. A connection
// per request: libcurl sends a request again by itself on a kept-alive connection that closed
// without an answer, which would store its rows twice if the server had taken them.
void SetUpHandle() {
    // A body is sent at once, without waiting for a 100 Continue.
    static curl_slist no_expect{const_cast<char*>("Expect:"), nullptr};
    curl_easy_setopt(sink.curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(sink.curl, CURLOPT_POST, 1L);
    curl_easy_setopt(sink.curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(sink.curl, CURLOPT_HTTPHEADER, &no_expect);
    curl_easy_setopt(sink.curl, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(sink.curl, CURLOPT_WRITEFUNCTION, KeepAnswer);
    curl_easy_setopt(sink.curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(sink.curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(sink.curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(sink.curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
}

// The size RowBinary gives a value of type in a column of kind, or 0 for a type nf5d cannot
// fill: unsigned integers and DateTime for numbers and times, 16 bytes for addresses.
size_t TypeBytes(const char* type, FieldKind kind) {
    if (kind == FieldKind::kAddress)
        return std::strcmp(type, "FixedString(16)") == 0 || std::strcmp(type, "IPv6") == 0
                   ? kAddressBytes
                   : 0;
    if (std::strcmp(type, "DateTime") == 0 || std::strncmp(type, "DateTime(", 9) == 0) return 4;
    static constexpr const char* kUnsigned[] = {"UInt8", "UInt16", "UInt32", "UInt64"};
    for (size_t n = 0; n < std::size(kUnsigned); ++n)
        if (std::strcmp(type, kUnsigned[n]) == 0) return size_t{1} << n;
    return 0;
}

// The type of column name in DESCRIBE TABLE's answer (lines of name, tab, type, tab, ...), or
// an empty text.
void ColumnType(const char* description, const char* name, char* type) {
    type[0] = '\0';
    const size_t length = std::strlen(name);
    for (const char* line = description; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, name, length) == 0 && line[length] == '\t') {
            const char* begin = line + length + 1;
            std::snprintf(type, kTypeSize, "%.*s", static_cast<int>(std::strcspn(begin, "\t\n")),
                          begin);
            return;
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
}

// A column the table lacks, or of a type nf5d cannot fill, ends the start.
void SetColumn(size_t c, const char* name, size_t bytes, const char* type) {
    if (bytes == 0) {
        char message[kMessageSize];
        std::snprintf(message, sizeof message, kUnfitColumn, sink.table, name,
                      type[0] != '\0' ? type : "missing");
        Terminate(16, message);
    }
    sink.bytes[c] = static_cast<uint8_t>(bytes);
    sink.row_bytes += bytes;
}

// The table's description gives each column's size in a row, and the INSERT its column list.
void ReadColumns() {
    char columns[kQuerySize] = "";
    char type[kTypeSize];
    for (size_t c = 0; c < kFlowFieldCount; ++c) {
        const FlowField& field = kFlowFields[c];
        ColumnType(sink.answer, field.column, type);
        SetColumn(c, field.column, TypeBytes(type, field.kind), type);
        std::strncat(columns, field.column, sizeof columns - std::strlen(columns) - 2);
        std::strcat(columns, ",");
    }
    ColumnType(sink.answer, kBatchColumn, type);
    SetColumn(kFlowFieldCount, kBatchColumn,
              std::strcmp(type, kBatchType) == 0 ? sizeof sink.batch : 0, type);
    std::strncat(columns, kBatchColumn, sizeof columns - std::strlen(columns) - 1);
    std::snprintf(sink.insert, sizeof sink.insert, kInsert, sink.table, columns);
}

// The table must exist, with a column nf5d can fill for every field.
void CheckTable() {
    char query[kQuerySize];
    std::snprintf(query, sizeof query, kDescribe, sink.table);
    const Outcome outcome = Post(query, 0, nullptr);
    char message[kMessageSize];
    if (outcome == Outcome::kLost) {
        std::snprintf(message, sizeof message, kUnreachable, sink.server, sink.answer);
        Terminate(15, message);
    }
    if (outcome == Outcome::kRefused) {
        std::snprintf(message, sizeof message, kServerRefused, sink.server, sink.table,
                      sink.answer);
        Terminate(16, message);
    }
    ReadColumns();
}

unsigned long long RandomBatchBase() {
    std::random_device random;
    return (static_cast<unsigned long long>(random()) << 32) | random();
}

// The sink is open from here to Close, whether the server answers or not.
void Open() {
    if (sink.curl != nullptr) return;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    sink.curl = curl_easy_init();
    sink.stage = static_cast<unsigned char*>(allocate_mem(kStageBytes));
    if (sink.curl == nullptr || !ParseUrl(setting.name, &sink)) Terminate(16, kBadUrl);
    CheckCredentialsFile();
    SetUpHandle();
    SetCaFile();
    CheckTable();
    sink.batch = RandomBatchBase();
}

// Reached from Terminate too: rows the server has not accepted are reported lost, never sent
// from here.
size_t Close() {
    if (sink.curl == nullptr) return 0;
    const size_t lost = sink.backlog.Clear();
    curl_easy_cleanup(sink.curl);
    curl_url_cleanup(sink.url);
    release_mem(sink.stage, kStageBytes);
    curl_global_cleanup();
    sink = ClickHouse{};
    return lost;
}

// The target without its credentials.
void Report() {
    ClickHouse target;
    if (ParseUrl(setting.name, &target))
        std::printf(kReportLine, target.table, target.server);
    else
        std::fputs(kReportBadUrl, stdout);
    curl_url_cleanup(target.url);
}

uint64_t Accepted() { return readings.accepted.load(std::memory_order_relaxed); }
uint64_t Failed() { return readings.failed.load(std::memory_order_relaxed); }
uint64_t Backlogged() { return readings.backlog.depth.load(std::memory_order_relaxed); }
uint64_t Dropped() { return readings.backlog.dropped.load(std::memory_order_relaxed); }

constexpr Reading kReadings[] = {
    {kDroppedFlows, "clickhouse_backlog", Dropped},
    {kSinkBacklogRows, "clickhouse", Backlogged},
    {kSinkFailedRequests, "clickhouse", Failed},
};

}  // namespace

const Sink kClickHouseSink{
    .name = "clickhouse",
    .setting = &setting,
    .long_switch = "clickhouse",
    .help =
        "--clickhouse URL Export every flow to ClickHouse at http[s]://[USER:PASSWORD@]HOST:PORT"
        "[/DATABASE.TABLE] (table defaults to FLOWDB.FLOWS; off by default)",
    .report = Report,
    .readings = kReadings,
    .reading_count = std::size(kReadings),
    .written = Accepted,
    .open = Open,
    .write = Write,
    .commit = Commit,
    .close = Close};

uint64_t GetClickHouseAcceptedRows() { return Accepted(); }
uint64_t GetClickHouseFailedRequests() { return Failed(); }
uint64_t GetClickHouseBacklogRows() { return Backlogged(); }
