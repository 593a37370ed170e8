#include "relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

namespace {

sockaddr_in At(const char* address, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &at.sin_addr);
    return at;
}

}  // namespace

Relay::Relay(const char* address, int port, int target) : target_(target) {
    sockaddr_in at = At(address, port);
    socklen_t length = sizeof at;
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0)
        << std::strerror(errno);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] {
        while (!stop_) Serve();
    });
}

Relay::~Relay() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

void Relay::CutNext(std::string_view prefix, Cut cut) {
    prefix_ = prefix;
    cut_ = cut;
}

bool Relay::Cutting(const char* data, size_t length) {
    return cut_ != Cut::kNone && length >= prefix_.size() &&
           std::memcmp(data, prefix_.data(), prefix_.size()) == 0;
}

// Copies one connection both ways until a side closes, the relay stops or the cut comes.
void Relay::Serve() {
    pollfd watch{listener_, POLLIN, 0};
    if (poll(&watch, 1, 20) <= 0) return;
    const int client = accept(listener_, nullptr, nullptr);
    int server = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in at = At("127.0.0.1", target_);
    if (connect(server, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        close(server);
        server = -1;
    }
    bool drop_answer = false;
    char buffer[1 << 16];
    while (server >= 0 && !stop_) {
        pollfd sides[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(sides, 2, 20) <= 0) continue;
        const int from = sides[0].revents != 0 ? 0 : 1;
        const ssize_t got = read(sides[from].fd, buffer, sizeof buffer);
        if (got <= 0 || (from == 1 && drop_answer)) break;
        if (from == 0 && Cutting(buffer, static_cast<size_t>(got))) {
            if (cut_.exchange(Cut::kNone) == Cut::kBeforeServerSeesIt) break;
            drop_answer = true;
        }
        // A blocking send writes it all unless the other side has gone.
        if (send(sides[1 - from].fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) break;
    }
    if (server >= 0) close(server);
    close(client);
}

}  // namespace testsupport
