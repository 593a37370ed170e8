#include "common/messages.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void notify(const char* msg) {
    std::fprintf(stderr, "%s\n", msg);
    std::fflush(stderr);
    syslog(LOG_DAEMON | LOG_EMERG, "%s", msg);
}

void NotifyCause(const char* format, ...) {
    char message[kMessageSize];
    va_list values;
    va_start(values, format);
    std::vsnprintf(message, sizeof message, format, values);
    va_end(values);
    notify(message);
}

// glibc's strerror_r, which returns the text rather than a status.
const char* SystemErrorText(int error, char* buffer, size_t size) {
    return strerror_r(error, buffer, size);
}

void trace(const char* msg) {
    std::fprintf(stderr, "%s\n", msg);
    std::fflush(stderr);
}

void AssertionFailed(const char* file, unsigned line, const char* expr) {
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", file, line, expr);
    std::fflush(stderr);
    std::abort();
}

void RemoveCR(char* string) {
    if (string == nullptr) return;
    for (size_t i = std::strlen(string); i > 0; --i) {
        if (string[i - 1] == '\n' || string[i - 1] == '\r') {
            string[i - 1] = '\0';
            return;
        }
    }
}

