#include "platform/clock/pulse.h"

#include "monotonic.h"

namespace platform {
namespace {

// A consumer sleeps to an announced deadline only when it is this close; a
// farther one is waited for on the condition, so that other pulses (a quit)
// are never held up for long.
constexpr std::int64_t kSelfWakeWindowNs = 5000000;

}  // namespace

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

void PulseEvent::PulseDeadline(std::int64_t deadlineNs) noexcept {
    {
        std::lock_guard guard(Lock);
        if (deadlineNs <= Delivered) {
            return;
        }
        Delivered = deadlineNs;
        Signalled = true;
        ++Pulses;
        LastDeadline = deadlineNs;
    }
    Changed.notify_all();
}

void PulseEvent::Announce(std::int64_t deadlineNs) noexcept {
    {
        std::lock_guard guard(Lock);
        Announced = deadlineNs;
    }
    Changed.notify_all();
}

void PulseEvent::Withdraw() noexcept {
    {
        std::lock_guard guard(Lock);
        Announced = kNone;
    }
    Changed.notify_all();
}

void PulseEvent::Wait() noexcept {
    std::unique_lock lock(Lock);
    Busy = false;
    Changed.notify_all();
    for (;;) {
        if (Signalled) {
            Signalled = false;
            Busy = true;
            return;
        }
        if (Announced == kNone || Announced <= Delivered) {
            Changed.wait(lock);
            continue;
        }
        std::int64_t deadline = Announced;
        std::int64_t ahead = deadline - monotonic::NowNs();
        if (ahead > kSelfWakeWindowNs) {
            Changed.wait_for(lock, std::chrono::nanoseconds(ahead - kSelfWakeWindowNs));
            continue;
        }
        lock.unlock();
        monotonic::SleepUntil(deadline);
        lock.lock();
        // Still announced and not delivered: the source is alive and late,
        // or just behind; the pulse is ours.
        if (!Signalled && Announced == deadline && deadline > Delivered) {
            Delivered = deadline;
            ++Pulses;
            LastDeadline = deadline;
            Busy = true;
            return;
        }
    }
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
