#pragma once

#include <time.h>

#include <cerrno>
#include <cstdint>

// The system's monotonic time, which the real clock's pulse threads and the
// pulse event's own waits share, in nanoseconds.
namespace platform::monotonic {

inline constexpr std::int64_t kNsPerSecond = 1000000000;

inline std::int64_t NowNs() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Sleeps to an absolute deadline; a signal does not cut the sleep short.
inline void SleepUntil(std::int64_t deadlineNs) noexcept {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(deadlineNs % kNsPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace platform::monotonic
