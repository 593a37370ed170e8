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
// notify with a printf format: the line before a termination that says where and why.
void NotifyCause(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The system's text for errno value error, safe on any thread; buffer holds it if need be.
const char* SystemErrorText(int error, char* buffer, size_t size);

// Broken internal precondition: "file:line: failed assertion `expr'" and abort().
[[noreturn]] void AssertionFailed(const char* file, unsigned line, const char* expr);
#define NF_ASSERT(expr, text) \
    ((expr) ? static_cast<void>(0) : AssertionFailed(__FILE__, __LINE__, text))

// Cuts the string at its last CR or LF.
void RemoveCR(char* string);
