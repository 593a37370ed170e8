#include "daemon.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

// How many fresh ports Start tries when another process takes the one it picked.
constexpr int kPortAttempts = 5;

// Inodes of the sockets the process holds open.
std::vector<unsigned long> SocketInodes(pid_t pid) {
    std::vector<unsigned long> inodes;
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fd_dir.c_str());
    if (dir == nullptr) return inodes;
    while (const dirent* entry = readdir(dir)) {
        char target[256] = {};
        const std::string link = fd_dir + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes.push_back(inode);
    }
    closedir(dir);
    return inodes;
}

// One line of /proc/net/udp: "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref
// pointer drops".
bool ParseUdpLine(const std::string& line, int* port, long* rx_queue, unsigned long* inode,
                  long* drops) {
    unsigned local_address = 0, remote_address = 0, remote_port = 0, state = 0, local_port = 0;
    unsigned long tx = 0, rx = 0, timer = 0, when = 0, retransmits = 0, uid = 0, timeout = 0;
    unsigned long ref = 0, pointer = 0;
    const int fields = std::sscanf(
        line.c_str(), " %*d: %8X:%4X %8X:%4X %2X %8lX:%8lX %2lX:%8lX %8lX %lu %lu %lu %lu %lx %ld",
        &local_address, &local_port, &remote_address, &remote_port, &state, &tx, &rx, &timer,
        &when, &retransmits, &uid, &timeout, inode, &ref, &pointer, drops);
    if (fields != 16) return false;
    *port = static_cast<int>(local_port);
    *rx_queue = static_cast<long>(rx);
    return true;
}

bool NamesPort(const std::vector<std::string>& switches) {
    return std::find(switches.begin(), switches.end(), "-p") != switches.end();
}

int SqliteCollect(void* rows, int columns, char** values, char**) {
    std::vector<std::string> row;
    for (int column = 0; column < columns; ++column) {
        row.emplace_back(values[column] != nullptr ? values[column] : "NULL");
    }
    static_cast<std::vector<std::vector<std::string>>*>(rows)->push_back(row);
    return 0;
}

}  // namespace

UdpSocketState QueryUdpSocket(pid_t pid, int port) {
    UdpSocketState state;
    const std::vector<unsigned long> inodes = SocketInodes(pid);
    std::ifstream table("/proc/net/udp");
    std::string line;
    while (std::getline(table, line)) {
        int local_port = 0;
        long rx_queue = 0, drops = 0;
        unsigned long inode = 0;
        if (!ParseUdpLine(line, &local_port, &rx_queue, &inode, &drops)) continue;
        if (local_port != port) continue;
        if (std::find(inodes.begin(), inodes.end(), inode) == inodes.end()) continue;
        state.found = true;
        state.rx_queue = rx_queue;
        state.drops = drops;
    }
    return state;
}

uint64_t PendingSignals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("ShdPnd:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

bool SignalTaken(pid_t pid, int sig, std::chrono::milliseconds deadline) {
    if (kill(pid, sig) != 0) return false;
    const uint64_t bit = uint64_t{1} << (sig - 1);
    return WaitUntil([&] { return (PendingSignals(pid) & bit) == 0; }, deadline);
}

void BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

int WaitForOrphan(pid_t pid, std::chrono::milliseconds deadline) {
    int status = -1;
    WaitUntil(
        [&] {
            int wait_status = 0;
            if (waitpid(pid, &wait_status, WNOHANG) != pid) return false;
            status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                            : 128 + WTERMSIG(wait_status);
            return true;
        },
        deadline);
    return status;
}

bool Daemon::Start(const std::vector<std::string>& switches, const std::vector<std::string>& env) {
    std::vector<std::string> environment{"TZ=UTC"};
    environment.insert(environment.end(), env.begin(), env.end());
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        std::vector<std::string> argv{NF5D_BINARY};
        if (NamesPort(switches)) {
            port_ = std::stoi(*(std::find(switches.begin(), switches.end(), "-p") + 1));
        } else {
            port_ = FreeUdpPort();
            argv.insert(argv.end(), {"-p", std::to_string(port_)});
        }
        argv.insert(argv.end(), switches.begin(), switches.end());
        process_ = std::make_unique<Process>(argv, dir_, environment);
        int status = -1;
        const bool bound = WaitUntil([&] {
            if (QueryUdpSocket(pid(), port_).found) return true;
            status = process_->Wait(0ms);
            return status != -1;
        });
        if (bound && status == -1) return true;
        // Status 6 on a port we picked: someone took it between our probe and the bind.
        if (status != 6 || NamesPort(switches)) return false;
    }
    return false;
}

bool Daemon::WaitDrained(std::chrono::milliseconds deadline) {
    return WaitUntil([&] { return QueryUdpSocket(pid(), port_).rx_queue == 0; }, deadline);
}

int Daemon::Stop(std::chrono::milliseconds deadline) {
    WaitDrained();
    process_->Signal(SIGTERM);
    return process_->Wait(deadline);
}

Exporter::Exporter() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot open the exporter's socket");
    }
    source_port_ = ntohs(address.sin_port);
}

Exporter::~Exporter() { close(fd_); }

void Exporter::Send(int port, const std::vector<uint8_t>& datagram) const {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&target),
               sizeof target) != static_cast<ssize_t>(datagram.size())) {
        throw std::runtime_error("sendto failed");
    }
}

std::map<std::string, long> RunNf5send(const std::string& dir, int port,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> argv{NF5SEND_BINARY, "-p", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult result = Run(argv, dir);
    std::map<std::string, long> report;
    if (result.status != 0) return report;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        report[line.substr(0, colon)] = std::stol(line.substr(colon + 2));
    }
    return report;
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

size_t CountLinesContaining(const std::string& path, const std::string& text) {
    const std::vector<std::string> lines = Lines(path);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

std::vector<std::vector<std::string>> SqliteRows(const std::string& path, const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    if (!FileExists(path)) return rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_exec(db, sql.c_str(), SqliteCollect, &rows, nullptr);
    }
    sqlite3_close(db);
    return rows;
}

long SqliteCount(const std::string& path, const std::string& table) {
    const auto rows = SqliteRows(path, "SELECT COUNT(*) FROM " + table);
    return rows.empty() ? -1 : std::stol(rows[0][0]);
}

std::string CtimeText(long t) {
    const time_t value = static_cast<time_t>(t);
    char text[64] = {};
    if (ctime_r(&value, text) == nullptr) return "Unknown";
    text[std::strcspn(text, "\n")] = '\0';
    return text;
}

std::string MaskTimes(std::string text, long first, long last) {
    for (long t = first; t <= last; ++t) {
        const std::string moment = CtimeText(t);
        for (size_t at = text.find(moment); at != std::string::npos; at = text.find(moment, at)) {
            text.replace(at, moment.size(), "{T}");
        }
    }
    return text;
}

void UseUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace testsupport
