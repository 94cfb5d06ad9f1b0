#pragma once

namespace platform {

// What RaiseThreadPriority obtained for the calling thread.
enum class ThreadPriority {
    Unchanged,  // the system allowed nothing more
    Raised,     // a lower nice value, no real-time scheduling
    RealTime,   // SCHED_FIFO
};

// Real-time levels used by the clock's pulse threads and by timer workers. The
// pulse thread sits one level above the worker it wakes.
inline constexpr int kPulseRealTimePriority = 60;
inline constexpr int kWorkerRealTimePriority = 59;

// Raises the calling thread to SCHED_FIFO at realTimePriority when the system
// allows it; otherwise to the lowest nice value it allows; otherwise leaves it
// as it is. Quiet in every case: a refusal is normal for unprivileged users.
// Also asks for timer wake-ups without slack.
ThreadPriority RaiseThreadPriority(int realTimePriority) noexcept;

// Process-wide: when false, RaiseThreadPriority leaves threads as they are
// (for hosts that must not raise them, and for measuring without it).
// Threads already raised keep their priority.
void SetRealTimeAllowed(bool allowed) noexcept;

// Drops real-time scheduling of the calling thread again (for benchmarks that
// compare both). Quiet; returns true when the thread is SCHED_OTHER afterwards.
bool ResetThreadPriority() noexcept;

}  // namespace platform
