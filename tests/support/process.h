#pragma once
// Test support: run a program the way a user would, with its output captured in files.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// A fresh directory under $TMPDIR (or /tmp), removed by RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// 127.0.0.1:port.
sockaddr_in Loopback(int port);
// A socket of type (SOCK_DGRAM, SOCK_STREAM) bound to a free port of 127.0.0.1, which *port
// receives; -1 if that failed.
int LoopbackSocket(int type, int* port);
// A port of 127.0.0.1 that was free a moment ago.
int FreePort(int type = SOCK_DGRAM);

// Polls cond until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 20s);

// A child process whose standard output and error are captured in temporary files (its output in
// out instead if given, removed with it like them). Destroying it kills the child if it still runs.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& cwd,
            const std::vector<std::string>& env = {}, const std::string& out = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string Stdout() const { return ReadFile(out_path_); }
    std::string Stderr() const { return ReadFile(err_path_); }
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds deadline = 20s) const;
    void Signal(int sig) const;
    // Exit status, 128 + signal number if killed, or -1 if still running at the deadline.
    int Wait(std::chrono::milliseconds deadline = 60s);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_;
    std::string err_path_;
};

// Runs a program to its end (killed after the deadline) in cwd: its status, output and errors.
struct RunResult {
    int status;
    std::string out, err;
};
RunResult Run(const std::vector<std::string>& argv, const std::string& cwd,
              const std::vector<std::string>& env = {}, std::chrono::milliseconds deadline = 60s);

}  // namespace testsupport
