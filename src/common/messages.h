#pragma once
// Operator messages, the assertion convention and two small text utilities.
#include <cstddef>
#include <cstdint>

// Fixed sizes of the system's text buffers: formatted messages, lines and statements; time texts.
constexpr size_t kMessageSize = 2048;
constexpr size_t kTimeTextSize = 64;

// Standard error plus the system log (LOG_DAEMON); msg is written verbatim.
void notify(const char* msg);
// Standard error only: console diagnostics.
void trace(const char* msg);

// Broken internal precondition: "file:line: failed assertion `expr'" and abort().
[[noreturn]] void AssertionFailed(const char* file, unsigned line, const char* expr);
#define NF_ASSERT(expr, text) \
    ((expr) ? static_cast<void>(0) : AssertionFailed(__FILE__, __LINE__, text))

// Cuts the string at its last CR or LF.
void RemoveCR(char* string);
// Official name of an IP protocol number, or "Unknown"; strprotocol holds at least 64 bytes.
void IpProtocol(uint8_t proto, char* strprotocol);
