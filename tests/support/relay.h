#pragma once
// A TCP relay between a sink and its server, one connection at a time, which a test cuts to make
// an outage or to lose one answer.
#include <atomic>
#include <string>
#include <string_view>
#include <thread>

namespace testsupport {

class Relay {
public:
    enum class Cut { kNone, kBeforeServerSeesIt, kAfterServerAnswered };
    // Listens on address:port (0: a free one) and relays to 127.0.0.1:target.
    Relay(const char* address, int port, int target);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    int port() const { return port_; }
    // Ends the connection at the next client message that begins with prefix.
    void CutNext(std::string_view prefix, Cut cut);

private:
    void Serve();
    bool Cutting(const char* data, size_t length);

    int port_ = 0;
    int listener_ = -1;
    int target_ = 0;
    std::string prefix_;  // set before cut_, read after it
    std::atomic<Cut> cut_{Cut::kNone};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testsupport
