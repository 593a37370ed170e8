#include "common/settings.h"

#include <atomic>
#include <cstring>

#include "common/memory.h"

namespace {

constexpr char Release[6] = "1.0.1";
constexpr int kTexts = static_cast<int>(Text::kMetricsAddress) + 1;
constexpr int kFlags = static_cast<int>(Flag::kDetached) + 1;

// Written by the command-line reader before any other thread exists, read-only afterwards.
char* texts[kTexts];
int nMetricsPort;  // 0 when --metrics named no valid port or address
unsigned long nMaxThrottle;
// The two logging toggles change these at run time, so every access is atomic.
std::atomic<int> flags[kFlags];

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

const char* GetText(Text which) { return texts[static_cast<int>(which)]; }

void SetText(Text which, const char* value) {
    char*& setting = texts[static_cast<int>(which)];
    ReleaseText(setting);
    setting = CopyText(value);
}

void SetFlag(Flag which, int value) { flags[static_cast<int>(which)] = value; }
void SetMaxThrottle(unsigned long value) { nMaxThrottle = value; }
void SetMetricsPort(int port) { nMetricsPort = port; }

const char* GetTextLogFileName() { return GetText(Text::kTextLog); }
const char* GetBinaryLogFileName() { return GetText(Text::kBinaryLog); }
const char* GetTrashLogFileName() { return GetText(Text::kTrashLog); }
const char* GetMYSQLServerName() { return GetText(Text::kMySQLServer); }
const char* GetClickHouseURL() { return GetText(Text::kClickHouseURL); }
const char* GetBindAddress() { return GetText(Text::kBindAddress); }
const char* GetMetricsAddress() { return GetText(Text::kMetricsAddress); }
int GetMetricsPort() { return nMetricsPort; }
const char* GetRelease() { return Release; }
int IsDetached() { return flags[static_cast<int>(Flag::kDetached)]; }
int IsTextLoggingEnabled() { return flags[static_cast<int>(Flag::kTextLog)]; }
int IsBinaryLoggingEnabled() { return flags[static_cast<int>(Flag::kBinaryLog)]; }
int IsTrashLoggingEnabled() { return flags[static_cast<int>(Flag::kTrashLog)]; }
int IsMYSQLLoggingEnabled() { return flags[static_cast<int>(Flag::kMySQL)]; }
int IsClickHouseLoggingEnabled() { return flags[static_cast<int>(Flag::kClickHouse)]; }
unsigned long GetMaxThrottle() { return nMaxThrottle; }

void SwitchTextFlag() { SetFlag(Flag::kTextLog, IsTextLoggingEnabled() != 1); }
void SwitchTrashFlag() { SetFlag(Flag::kTrashLog, IsTrashLoggingEnabled() != 1); }

void ReleaseNamedVars() {
    for (char*& text : texts) ReleaseText(text);
}
