#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

namespace platform {

// The auto-reset event a periodic timer pulses. Pulses that arrive while the
// consumer is busy merge into one; they never queue.
//
// Beyond a plain auto-reset event it knows whether its consumer is idle (back
// in Wait, nothing pending) so that a manual clock can hand out one pulse and
// return only when the tick it caused has finished.
//
// A periodic source on the monotonic clock announces the deadline it will
// pulse next. A consumer with nothing pending then sleeps to that deadline
// itself and takes the pulse when it wakes: one wake-up instead of two (the
// pulse thread's, then the consumer's). Whichever of the two reaches a
// deadline first delivers it, once; a consumer still busy at the deadline
// gets it from the pulse thread as before, merged.
class PulseEvent {
public:
    // Signals the event. deadlineNs is the clock time the pulse was due; it is
    // kept for measurements (LastDeadlineNs). Safe from any thread.
    void Pulse(std::int64_t deadlineNs = 0) noexcept;

    // Source side of announced deadlines (monotonic nanoseconds): delivers
    // deadlineNs unless the consumer took it already.
    void PulseDeadline(std::int64_t deadlineNs) noexcept;
    // The next deadline the source will pulse.
    void Announce(std::int64_t deadlineNs) noexcept;
    // No more announced deadlines: the source has stopped.
    void Withdraw() noexcept;

    // Consumer side: blocks until a pulse is pending and takes it. Calling Wait
    // again tells the event that the work of the previous pulse is done.
    // Takes an announced deadline itself when it is near.
    void Wait() noexcept;
    // As Wait, for at most limit. False on time-out (the consumer counts as idle).
    bool WaitFor(std::chrono::nanoseconds limit) noexcept;
    // The consumer is gone for good: idle waiters are released from now on.
    void Leave() noexcept;

    // Driver side: waits until no pulse is pending and the consumer is back in
    // Wait (or has left). Returns false if limit ran out first.
    bool WaitUntilIdle(std::chrono::nanoseconds limit) noexcept;
    void WaitUntilIdle() noexcept;

    // Pulses given since construction (merged ones included).
    std::uint64_t PulseCount() const noexcept;
    // Deadline passed with the latest pulse, in clock nanoseconds.
    std::int64_t LastDeadlineNs() const noexcept;

private:
    bool IdleLocked() const noexcept { return Left || (!Signalled && !Busy); }

    mutable std::mutex Lock;
    std::condition_variable Changed;
    bool Signalled = false;
    bool Busy = false;
    bool Left = false;
    std::uint64_t Pulses = 0;
    std::int64_t LastDeadline = 0;
    static constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();
    std::int64_t Announced = kNone;
    std::int64_t Delivered = kNone;
};

}  // namespace platform
