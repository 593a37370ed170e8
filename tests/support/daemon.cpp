#include "daemon.h"

#include <sqlite3.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "fixtures.h"
#include "v5datagram.h"

namespace testsupport {

FrozenThread::FrozenThread(pid_t tid) : tid_(tid) {
    int status = 0;
    frozen_ = ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == 0 &&
              ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 &&
              waitpid(tid, &status, __WALL) == tid && WIFSTOPPED(status);
}

void FrozenThread::Thaw() {
    if (frozen_) ptrace(PTRACE_DETACH, tid_, nullptr, nullptr);
    frozen_ = false;
}

pid_t NewestThread(pid_t pid) {
    pid_t newest = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        newest = std::max(newest, static_cast<pid_t>(std::stol(task.path().filename())));
    }
    return newest;
}

UdpSocketState QueryUdpSocket(pid_t pid, int port) {
    // A line of /proc/net/udp or udp6: "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref
    // pointer drops"; the port in hex.
    constexpr const char* kUdpLine =
        " %*d: %*X:%X %*X:%*X %*X %*X:%lX %*X:%*X %*X %*u %*u %lu %*u %*x %ld";
    namespace fs = std::filesystem;
    std::set<fs::path> held;  // "socket:[inode]" for each socket the process holds
    std::error_code end, unreadable;
    for (fs::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", end);
         !end && fd != fs::directory_iterator(); fd.increment(end)) {
        held.insert(fs::read_symlink(fd->path(), unreadable));
    }
    UdpSocketState state;
    for (const char* name : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream table(name);
        for (std::string line; std::getline(table, line);) {
            unsigned local_port = 0;
            unsigned long rx = 0, inode = 0;
            long drops = 0;
            if (std::sscanf(line.c_str(), kUdpLine, &local_port, &rx, &inode, &drops) == 4 &&
                local_port == static_cast<unsigned>(port) &&
                held.contains("socket:[" + std::to_string(inode) + "]"))
                state = {true, static_cast<long>(rx), drops};
        }
    }
    return state;
}

bool Daemon::Start(const std::vector<std::string>& switches, const std::string& terminal) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        std::vector<std::string> argv{NF5D_BINARY, "-p", std::to_string(port_)};
        const std::string session = "exec setsid -c \"$0\" \"$@\" <" + terminal;
        if (!terminal.empty()) argv.insert(argv.begin(), {"/bin/sh", "-c", session});
        argv.insert(argv.end(), switches.begin(), switches.end());
        process_ = std::make_unique<Process>(argv, dir_, std::vector<std::string>{"TZ=UTC"});
        int status = -1;
        const bool bound = WaitUntil([&] {
            return Socket().found || (status = process_->Wait(0ms)) != -1;
        });
        if (bound && status == -1) return true;
        if (status != 6) return false;  // 6: someone took the port between our probe and the bind
    }
    return false;
}

bool Daemon::Taken(int sig) {
    auto pending = [&] {  // in the process-wide set, until a thread takes it
        std::ifstream status("/proc/" + std::to_string(process_->pid()) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("ShdPnd:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
        }
        return 0ull;
    };
    return WaitUntil([&] { return (pending() >> (sig - 1) & 1) == 0; });
}

Exporter::Exporter(bool ipv6) : ipv6_(ipv6) {
    if (!ipv6) {
        fd_ = LoopbackSocket(SOCK_DGRAM, &source_port_);
        return;
    }
    fd_ = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no IPv6 loopback");
    source_port_ = ntohs(address.sin6_port);
}

void Exporter::Send(int port, const std::vector<uint8_t>& datagram) const {
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(static_cast<uint16_t>(port));
    six.sin6_addr = in6addr_loopback;
    const sockaddr_in four = Loopback(port);
    const auto* target = ipv6_ ? reinterpret_cast<const sockaddr*>(&six)
                               : reinterpret_cast<const sockaddr*>(&four);
    if (sendto(fd_, datagram.data(), datagram.size(), 0, target,
               ipv6_ ? sizeof six : sizeof four) != static_cast<ssize_t>(datagram.size())) {
        throw std::runtime_error("sendto failed");
    }
}

std::vector<uint8_t> ExampleDatagram(uint32_t sequence, size_t count) {
    constexpr uint32_t kUptime = 3600000;  // the flow is 25 s to 6 s old at export
    const v5::Header header{.uptime = kUptime, .unixseconds = 1796477366, .sequence = sequence};
    const v5::Record r{.s_ip = v5::Ipv4("198.51.100.7"), .d_ip = v5::Ipv4("203.0.113.9"),
                       .packets = 12, .bytes = 5120, .time_start = kUptime - 25000,
                       .time_stop = kUptime - 6000, .src_port = 443, .dst_port = 514,
                       .tcp_flags = 0x1b, .ip_protocol = 6, .src_as = 64500, .dst_as = 65001,
                       .src_netmask = 24, .dst_netmask = 16};
    return v5::Encode(header, std::vector<v5::Record>(count, r));
}

std::map<std::string, long> RunNf5send(const std::string& dir, int port,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> argv{NF5SEND_BINARY, "-p", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult result = Run(argv, dir);
    return Nf5sendReport(result.status == 0 ? result.out : "");
}

std::map<std::string, long> Nf5sendReport(const std::string& out) {
    std::map<std::string, long> report;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(": ");
        if (colon != line.npos) report[line.substr(0, colon)] = std::stol(line.substr(colon + 2));
    }
    return report;
}

std::string Scrape(int port) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
    const RunResult got = Run({"/usr/bin/curl", "-sf", "--http1.0", url}, "/", {}, 10s);
    return got.status == 0 ? got.out : "";
}

double Sample(const std::string& exposition, const std::string& series) {
    const size_t at = ("\n" + exposition).find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(exposition.substr(at + series.size() + 1));
}

std::string PerExporter(const char* series, const char* address) {
    return std::string(series) + "{exporter=\"" + address + "\"}";
}

long Count(const std::string& text, const std::string& what) {
    long count = 0;
    for (size_t at = text.find(what); at != text.npos; at = text.find(what, at + 1)) ++count;
    return count;
}

long LineCount(const std::string& path) { return Count(ReadFile(path), "\n"); }

long RowCount(const std::string& db) {
    const Rows rows = SqliteRows(db, "SELECT COUNT(*) FROM flows");
    return rows.empty() ? 0 : std::stol(rows[0][0]);
}

Rows SqliteRows(const std::string& path, const std::string& sql) {
    Rows rows;
    sqlite3* db = nullptr;
    auto collect = [](void* out, int columns, char** values, char**) {
        auto& row = static_cast<Rows*>(out)->emplace_back();
        for (int c = 0; c < columns; ++c) row.emplace_back(values[c] ? values[c] : "NULL");
        return 0;
    };
    if (FileExists(path) &&
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_exec(db, sql.c_str(), collect, &rows, nullptr);
    }
    sqlite3_close(db);
    return rows;
}

void MySQLTest::SetUp() {
    DaemonTest::SetUp();
    if (Connect()) return;
    if (std::getenv("NF5D_REQUIRE_MYSQL") != nullptr) FAIL() << mysql_error(admin_);
    GTEST_SKIP() << "no server (scripts/mariadb-test.sh start): " << mysql_error(admin_);
}

bool MySQLTest::Connect() {
    const unsigned port = UseTestMySQLPort();  // before the library's first use
    if (admin_ != nullptr) mysql_close(admin_);
    admin_ = mysql_init(nullptr);
    return mysql_real_connect(admin_, "127.0.0.1", "nf5test", nullptr, "FLOWDB", port, nullptr, 0);
}

std::vector<std::string> MySQLTest::Query(const std::string& sql) {
    std::vector<std::string> rows;
    EXPECT_EQ(mysql_query(admin_, sql.c_str()), 0) << sql << ": " << mysql_error(admin_);
    MYSQL_RES* result = mysql_store_result(admin_);
    for (MYSQL_ROW values; result && (values = mysql_fetch_row(result)) != nullptr;) {
        std::string& row = rows.emplace_back();
        for (unsigned c = 0; c < mysql_num_fields(result); ++c)
            row.append(c > 0 ? "," : "").append(values[c] ? values[c] : "NULL");
    }
    mysql_free_result(result);
    return rows;
}

}  // namespace testsupport
