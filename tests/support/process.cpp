#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

std::string TempBase() { return std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp"; }

// A new empty file for one captured stream, outside the directory the program runs in.
std::string MakeCaptureFile() {
    std::string pattern = TempBase() + "/nf5d-output-XXXXXX";
    if (close(mkstemp(pattern.data())) != 0) std::abort();
    return pattern;
}

std::vector<char*> PointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string MakeTempDir() {
    std::string pattern = TempBase() + "/nf5d-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    chmod(pattern.c_str(), 0755);
    return pattern;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

sockaddr_in Loopback(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

int LoopbackSocket(int type, int* port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
                    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)) {
        close(fd);
        fd = -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int FreePort(int type) {
    int port = 0;
    const int fd = LoopbackSocket(type, &port);
    if (fd < 0) std::abort();
    close(fd);
    return port;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Process::Process(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::vector<std::string>& env, const std::string& out) {
    out_path_ = out.empty() ? MakeCaptureFile() : out;
    err_path_ = MakeCaptureFile();
    std::vector<std::string> environment(env);
    for (char** setting = environ; *setting != nullptr; ++setting) environment.emplace_back(*setting);
    const std::vector<char*> args = PointersTo(argv);
    const std::vector<char*> envp = PointersTo(environment);
    pid_ = fork();
    if (pid_ != 0) return;
    // Only async-signal-safe calls until exec: the test runner may have threads.
    const int out_fd = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (out_fd < 0 || err_fd < 0 || null_fd < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    // Signals blocked by the test runner must not stay blocked in the child.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

Process::~Process() {
    if (status_ == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait(10s);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

bool Process::WaitForStderr(const std::string& text, std::chrono::milliseconds deadline) const {
    return WaitUntil([&] { return Stderr().find(text) != std::string::npos; }, deadline);
}

void Process::Signal(int sig) const {
    if (status_ == -1) kill(pid_, sig);
}

int Process::Wait(std::chrono::milliseconds deadline) {
    if (status_ != -1) return status_;
    WaitUntil(
        [&] {
            int wait_status = 0;
            if (waitpid(pid_, &wait_status, WNOHANG) != pid_) return false;
            status_ = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                             : 128 + WTERMSIG(wait_status);
            return true;
        },
        deadline);
    return status_;
}

RunResult Run(const std::vector<std::string>& argv, const std::string& cwd,
              const std::vector<std::string>& env, std::chrono::milliseconds deadline) {
    Process process(argv, cwd, env);
    const int status = process.Wait(deadline);
    return {status, process.Stdout(), process.Stderr()};
}

}  // namespace testsupport
