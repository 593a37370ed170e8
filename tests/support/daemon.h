#pragma once
// Test support for end-to-end runs of the real nf5d: start it in a directory of its own on a
// free port of 127.0.0.1, feed it datagrams, signal it, stop it, and read what it wrote.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

// The kernel's view of a bound UDP socket (/proc/net/udp).
struct UdpSocketState {
    bool found = false;
    long rx_queue = 0;  // bytes waiting to be read
    long drops = 0;     // datagrams discarded because the receive buffer was full
};

// The socket of process pid bound to port, if it has one.
UdpSocketState QueryUdpSocket(pid_t pid, int port);

// Signals pending for the process as a whole (ShdPnd), as a bit mask (bit n-1 = signal n).
uint64_t PendingSignals(pid_t pid);

// Sends a signal and waits until the kernel has handed it to the process, so that a second
// signal of the same number cannot merge with it.
bool SignalTaken(pid_t pid, int sig, std::chrono::milliseconds deadline = 10s);

// Exit status of a process that is not the test's child but was handed to it (the test made
// itself a subreaper); -1 if it still runs at the deadline.
int WaitForOrphan(pid_t pid, std::chrono::milliseconds deadline = 60s);
// Makes orphaned descendants (a daemon that forked away) children of this process.
void BecomeSubreaper();

class Daemon {
public:
    explicit Daemon(std::string dir) : dir_(std::move(dir)) {}

    // Starts nf5d with the switches (and "-p <free port>" unless they name a port) in dir, with
    // TZ=UTC, and waits until its socket is bound. A port that another process took meanwhile is
    // replaced by a fresh one. False if the daemon did not get there; its output tells why.
    bool Start(const std::vector<std::string>& switches, const std::vector<std::string>& env = {});

    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }
    Process& process() { return *process_; }
    std::string Stdout() const { return process_->Stdout(); }
    std::string Stderr() const { return process_->Stderr(); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    bool Signal(int sig) { return SignalTaken(pid(), sig); }
    // Waits until the daemon has read every datagram that waits in its socket.
    bool WaitDrained(std::chrono::milliseconds deadline = 30s);
    long Drops() { return QueryUdpSocket(pid(), port_).drops; }
    // Waits for the datagrams already sent to be read, then SIGTERM; the exit status.
    int Stop(std::chrono::milliseconds deadline = 60s);

private:
    std::string dir_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

// A UDP socket on 127.0.0.1 that sends to a daemon's port.
class Exporter {
public:
    Exporter();
    ~Exporter();
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    int source_port() const { return source_port_; }
    void Send(int port, const std::vector<uint8_t>& datagram) const;

private:
    int fd_ = -1;
    int source_port_ = 0;
};

// Runs nf5send against the port, with its output files in dir; its "name: value" report,
// empty if it failed.
std::map<std::string, long> RunNf5send(const std::string& dir, int port,
                                       const std::vector<std::string>& args);

std::vector<std::string> Lines(const std::string& path);
size_t CountLinesContaining(const std::string& path, const std::string& text);

// Rows of an SQLite query, every column as text ("NULL" for null); empty if the file or the
// table does not exist.
std::vector<std::vector<std::string>> SqliteRows(const std::string& path, const std::string& sql);
long SqliteCount(const std::string& path, const std::string& table = "flows");

// The ctime text of t without its newline, in the process's time zone.
std::string CtimeText(long t);
// text with every ctime text of a moment from first to last (seconds) replaced by "{T}": what
// the daemon wrote, with the moment it decoded a datagram taken out.
std::string MaskTimes(std::string text, long first, long last);
// Sets TZ=UTC for this process, as Daemon::Start does for the daemon.
void UseUtc();

}  // namespace testsupport
