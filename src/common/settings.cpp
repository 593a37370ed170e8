#include "common/settings.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "common/memory.h"
#include "common/messages.h"

namespace {

constexpr char Release[6] = "1.0.1";

// Written by the command-line reader before any other thread exists, read-only afterwards.
char* cBindAddress;
char* cMetricsAddress;  // null while the metrics endpoint is off
int nMetricsPort;       // 0 when --metrics named no valid port or address
uint32_t nMaxThrottle;
unsigned nNetFlowVersions = kTakeV5;
std::atomic<int> nDetached{0};

// Every text setting SetText has set, so that ReleaseNamedVars finds them all.
constexpr int kMaxTexts = 16;
char** texts[kMaxTexts];
int text_count = 0;

void Remember(char*& setting) {
    for (int t = 0; t < text_count; ++t) {
        if (texts[t] == &setting) return;
    }
    NF_ASSERT(text_count < kMaxTexts, "text_count < kMaxTexts");
    texts[text_count++] = &setting;
}

}  // namespace

char* CopyText(const char* text) {
    const size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(allocate_mem(size));
    std::memcpy(copy, text, size);
    return copy;
}

void ReleaseText(char*& text) {
    if (text == nullptr) return;
    release_mem(text, std::strlen(text) + 1);
    text = nullptr;
}

void SetText(char*& setting, const char* value) {
    Remember(setting);
    ReleaseText(setting);
    setting = CopyText(value);
}

void SetDetached(int value) { nDetached = value; }
void SetMaxThrottle(unsigned long value) { nMaxThrottle = static_cast<uint32_t>(value); }
void SetBindAddress(const char* address) { SetText(cBindAddress, address); }

void SetMetricsEndpoint(const char* address, int port) {
    SetText(cMetricsAddress, address);
    nMetricsPort = port;
}

void SetNetFlowVersions(unsigned versions) { nNetFlowVersions = versions; }
unsigned GetNetFlowVersions() { return nNetFlowVersions; }

bool TakesNetFlowVersion(unsigned version) {
    const unsigned bit = version == 5    ? kTakeV5
                         : version == 9  ? kTakeV9
                         : version == 10 ? kTakeIpfix
                                         : 0;
    return (nNetFlowVersions & bit) != 0;
}

const char* GetBindAddress() { return cBindAddress; }
const char* GetMetricsAddress() { return cMetricsAddress; }
int GetMetricsPort() { return nMetricsPort; }
const char* GetRelease() { return Release; }
int IsDetached() { return nDetached; }
unsigned long GetMaxThrottle() { return nMaxThrottle; }

void ReleaseNamedVars() {
    for (int t = 0; t < text_count; ++t) ReleaseText(*texts[t]);
}
