#include "platform/clock/pulse.h"

namespace platform {

void PulseEvent::Pulse(std::int64_t deadlineNs) noexcept {
    {
        std::lock_guard guard(Lock);
        Signalled = true;
        ++Pulses;
        LastDeadline = deadlineNs;
    }
    // Consumer and idle waiters share the condition; both must see the change.
    Changed.notify_all();
}

void PulseEvent::Wait() noexcept {
    std::unique_lock lock(Lock);
    Busy = false;
    Changed.notify_all();
    Changed.wait(lock, [this] { return Signalled; });
    Signalled = false;
    Busy = true;
}

bool PulseEvent::WaitFor(std::chrono::nanoseconds limit) noexcept {
    std::unique_lock lock(Lock);
    Busy = false;
    Changed.notify_all();
    if (!Changed.wait_for(lock, limit, [this] { return Signalled; })) {
        return false;
    }
    Signalled = false;
    Busy = true;
    return true;
}

void PulseEvent::Leave() noexcept {
    {
        std::lock_guard guard(Lock);
        Left = true;
        Busy = false;
    }
    Changed.notify_all();
}

bool PulseEvent::WaitUntilIdle(std::chrono::nanoseconds limit) noexcept {
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, limit, [this] { return IdleLocked(); });
}

void PulseEvent::WaitUntilIdle() noexcept {
    std::unique_lock lock(Lock);
    Changed.wait(lock, [this] { return IdleLocked(); });
}

std::uint64_t PulseEvent::PulseCount() const noexcept {
    std::lock_guard guard(Lock);
    return Pulses;
}

std::int64_t PulseEvent::LastDeadlineNs() const noexcept {
    std::lock_guard guard(Lock);
    return LastDeadline;
}

}  // namespace platform
