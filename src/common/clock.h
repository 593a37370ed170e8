#pragma once
// Deadlines on the monotonic clock, for timed waits (pthread_cond_clockwait) and sleeps.
#include <time.h>

#include <chrono>

inline timespec MonotonicDeadline(std::chrono::nanoseconds from_now) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto at =
        std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) + from_now;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(at);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((at - seconds).count())};
}
