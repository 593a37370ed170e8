#pragma once
// End-to-end runs of the real nf5d: started in a fresh directory on a free port of 127.0.0.1,
// fed datagrams, signalled and stopped; then what it wrote is read back.
#include <gtest/gtest.h>
#include <mysql.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

using Rows = std::vector<std::vector<std::string>>;

// The kernel's view of the UDP socket that process pid has bound to port (/proc/net/udp).
struct UdpSocketState {
    bool found = false;
    long rx_queue = 0;  // bytes not yet read
    long drops = 0;     // datagrams lost to a full receive buffer
};
UdpSocketState QueryUdpSocket(pid_t pid, int port);

class Daemon {
public:
    explicit Daemon(std::string dir) : dir_(std::move(dir)) {}
    // Starts nf5d in dir with TZ=UTC, "-p <free port>" and switches; true once it is bound. With
    // a terminal (a pseudo-terminal's name) it runs in a new session in that terminal's foreground.
    bool Start(const std::vector<std::string>& switches, const std::string& terminal = "");
    int port() const { return port_; }
    Process& process() { return *process_; }
    std::string Stderr() const { return process_->Stderr(); }
    // Sends sig and waits until the process has taken it: the next one cannot merge with it.
    bool Signal(int sig) { return kill(process_->pid(), sig) == 0 && Taken(sig); }
    // Waits until no sig is pending for the process: a thread of it has taken the signal.
    bool Taken(int sig);
    // Waits until every datagram waiting in its socket has been read.
    bool WaitDrained() { return WaitUntil([&] { return Socket().rx_queue == 0; }); }
    long Drops() { return Socket().drops; }
    int Stop() { WaitDrained(); process_->Signal(SIGTERM); return process_->Wait(60s); }

private:
    UdpSocketState Socket() const { return QueryUdpSocket(process_->pid(), port_); }
    std::string dir_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

// Holds one thread of a child process stopped (ptrace) until Thaw or the end of the object, so
// that the work queued for it waits; the process's other threads run on.
class FrozenThread {
public:
    explicit FrozenThread(pid_t tid);
    ~FrozenThread() { Thaw(); }
    FrozenThread(const FrozenThread&) = delete;
    FrozenThread& operator=(const FrozenThread&) = delete;
    bool frozen() const { return frozen_; }
    void Thaw();

private:
    pid_t tid_;
    bool frozen_ = false;
};
// The thread of pid started last: with -n 1, its worker.
pid_t NewestThread(pid_t pid);

// A UDP socket bound on 127.0.0.1 (or ::1) that sends to a daemon's port there.
class Exporter {
public:
    explicit Exporter(bool ipv6 = false);
    ~Exporter() { close(fd_); }
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;
    int source_port() const { return source_port_; }
    void Send(int port, const std::vector<uint8_t>& datagram) const;

private:
    int fd_ = -1;
    int source_port_ = 0;
    bool ipv6_ = false;
};

// count copies of the text log's documented example flow, exported Sat Dec  5 13:29:26 2026 UTC.
std::vector<uint8_t> ExampleDatagram(uint32_t sequence, size_t count = 1);
// Runs nf5send against port in dir; its "name: value" report, empty if it failed.
std::map<std::string, long> RunNf5send(const std::string& dir, int port,
                                       const std::vector<std::string>& args);
// The "name: value" report in the standard output of an nf5send run.
std::map<std::string, long> Nf5sendReport(const std::string& out);
// The body of GET /metrics from 127.0.0.1:port, as curl fetches it; empty if that failed.
std::string Scrape(int port);
// The value of one series ("name" or "name{labels}") in an exposition; -1 if it is absent.
double Sample(const std::string& exposition, const std::string& series);
// "series{exporter="address"}".
std::string PerExporter(const char* series, const char* address);
// Occurrences of what in text; lines of a file; rows of the table flows in a database file.
long Count(const std::string& text, const std::string& what);
long LineCount(const std::string& path);
long RowCount(const std::string& db);
// Every column as text ("NULL" for null); empty if the file or table does not exist.
Rows SqliteRows(const std::string& path, const std::string& sql);

// A fresh directory per test.
class DaemonTest : public testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

// A fresh directory and the test's own account on the MySQL test server (scripts/mariadb-test.sh),
// which may read, clear and rename the tables. Without a server the test is skipped, or fails if
// NF5D_REQUIRE_MYSQL is set.
class MySQLTest : public DaemonTest {
protected:
    void SetUp() override;
    void TearDown() override { mysql_close(admin_); DaemonTest::TearDown(); }
    // Connects anew, as after the server restarted.
    bool Connect();
    // Each row of the answer as its values joined by commas; a statement that fails fails the test.
    std::vector<std::string> Query(const std::string& sql);
    MYSQL* admin_ = nullptr;
};

}  // namespace testsupport
