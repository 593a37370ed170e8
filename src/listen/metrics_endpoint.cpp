#include "listen/metrics_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "common/messages.h"
#include "common/settings.h"
#include "common/terminate.h"
#include "listen/exposition.h"

namespace {

constexpr const char* kBindFailure = "MetricsEndpoint - can't bind to %s:%d";
constexpr std::size_t kServerThreads = 1;  // scrapes are rare and short

class Exposition : public prometheus::Collectable {
public:
    std::vector<prometheus::MetricFamily> Collect() const override { return CollectMetrics(); }
};

// Created once and never destroyed: Terminate exits while the server's threads may be answering
// a scrape, so nothing may tear the server or what it reads down under them.
prometheus::Exposer* exposer = nullptr;
std::shared_ptr<Exposition>* exposition = nullptr;

[[noreturn]] void BindFailure() {
    char ErrMsg[kMessageSize];
    std::snprintf(ErrMsg, sizeof ErrMsg, kBindFailure, GetMetricsAddress(), GetMetricsPort());
    Terminate(6, ErrMsg);
}

}  // namespace

// The server binds with SO_REUSEADDR, so this test does too: it fails where the server's own bind
// would, on an address in use by a listener or not local, but not on connections in TIME_WAIT.
void CheckMetricsEndpoint() {
    if (GetMetricsAddress() == nullptr) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(GetMetricsPort()));
    inet_pton(AF_INET, GetMetricsAddress(), &address.sin_addr);
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    const int reuse = 1;
    setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const bool bound =
        bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (!bound) BindFailure();
}

void StartMetricsEndpoint() {
    if (GetMetricsAddress() == nullptr) return;
    const std::string listen =
        std::string(GetMetricsAddress()) + ":" + std::to_string(GetMetricsPort());
    try {
        exposer = new prometheus::Exposer(listen, kServerThreads);
    } catch (const std::exception&) {
        BindFailure();
    }
    exposition = new std::shared_ptr<Exposition>(std::make_shared<Exposition>());
    exposer->RegisterCollectable(*exposition);
}
