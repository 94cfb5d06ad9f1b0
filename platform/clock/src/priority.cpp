#include "platform/clock/priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace platform {
namespace {
// Written by the host, read by threads raising themselves.
std::atomic<bool> RealTimeAllowed{true};
}  // namespace

void SetRealTimeAllowed(bool allowed) noexcept { RealTimeAllowed.store(allowed, std::memory_order_relaxed); }

ThreadPriority RaiseThreadPriority(int realTimePriority) noexcept {
    // Ordinary threads get 50 us of timer slack by default; a thread that
    // sleeps to deadlines wants them, not a batched wake-up.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param{};
    if (!RealTimeAllowed.load(std::memory_order_relaxed)) {
        return ThreadPriority::Unchanged;
    }
    int lowest = sched_get_priority_min(SCHED_FIFO);
    int highest = sched_get_priority_max(SCHED_FIFO);
    param.sched_priority = std::clamp(realTimePriority, lowest, highest);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
        return ThreadPriority::RealTime;
    }
    // Without real-time rights, a lower nice value may still be allowed
    // (RLIMIT_NICE). On Linux the nice value belongs to the thread.
    auto tid = static_cast<id_t>(syscall(SYS_gettid));
    int current = getpriority(PRIO_PROCESS, tid);
    for (int nice = -20; nice < current; ++nice) {
        if (setpriority(PRIO_PROCESS, tid, nice) == 0) {
            return ThreadPriority::Raised;
        }
    }
    return ThreadPriority::Unchanged;
}

bool ResetThreadPriority() noexcept {
    sched_param param{};
    param.sched_priority = 0;
    return pthread_setschedparam(pthread_self(), SCHED_OTHER, &param) == 0;
}

}  // namespace platform
