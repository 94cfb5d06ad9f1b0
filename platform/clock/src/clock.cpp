#include "platform/clock/clock.h"

#include <atomic>
#include <utility>

namespace platform {

Clock::~Clock() = default;

std::uint32_t Clock::GetTime() const noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(NowNs() / 1000000));
}

MMRESULT Clock::BeginPeriod(std::uint32_t periodMs) noexcept {
    if (periodMs < kMinTimerPeriodMs || periodMs > kMaxTimerPeriodMs) {
        return TIMERR_NOCANDO;
    }
    std::lock_guard guard(Lock);
    ++PeriodRequests[periodMs];
    return TIMERR_NOERROR;
}

MMRESULT Clock::EndPeriod(std::uint32_t periodMs) noexcept {
    std::lock_guard guard(Lock);
    auto it = PeriodRequests.find(periodMs);
    if (it == PeriodRequests.end()) {
        return TIMERR_NOCANDO;
    }
    if (--it->second == 0) {
        PeriodRequests.erase(it);
    }
    return TIMERR_NOERROR;
}

int Clock::OpenPeriodRequests() const noexcept {
    std::lock_guard guard(Lock);
    int open = 0;
    for (const auto& [period, count] : PeriodRequests) {
        open += count;
    }
    return open;
}

std::uint32_t Clock::SetEvent(std::uint32_t periodMs, std::uint32_t /*resolutionMs*/, std::shared_ptr<PulseEvent> event,
                              std::uint32_t flags) noexcept {
    if (!event || periodMs < kMinTimerPeriodMs || periodMs > kMaxTimerPeriodMs ||
        flags != (TIME_PERIODIC | TIME_CALLBACK_EVENT_PULSE)) {
        return 0;
    }
    try {
        auto source = StartPeriodic(static_cast<std::int64_t>(periodMs) * 1000000, std::move(event));
        if (!source) {
            return 0;
        }
        std::lock_guard guard(Lock);
        std::uint32_t id = NextEventId++;
        if (NextEventId == 0) {
            NextEventId = 1;
        }
        Events.emplace(id, std::move(source));
        return id;
    } catch (...) {
        return 0;
    }
}

MMRESULT Clock::KillEvent(std::uint32_t id) noexcept {
    std::unique_ptr<PeriodicSource> source;
    {
        std::lock_guard guard(Lock);
        auto it = Events.find(id);
        if (it == Events.end()) {
            return MMSYSERR_INVALPARAM;
        }
        source = std::move(it->second);
        Events.erase(it);
    }
    // Destroying the source ends its pulses; the real clock joins its pulse
    // thread here, so this is done outside the lock.
    source.reset();
    return MMSYSERR_NOERROR;
}

int Clock::ActiveEvents() const noexcept {
    std::lock_guard guard(Lock);
    return static_cast<int>(Events.size());
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): by value, as the manual clock keeps it
int Clock::AddStepObserver(StepObserver /*observer*/) { return 0; }

void Clock::RemoveStepObserver(int /*id*/) {}

namespace {
// Written by the host (SetDefaultClock), read by any thread creating a timer
// or opening a device.
std::atomic<Clock*> TheDefaultClock{nullptr};
}  // namespace

Clock& DefaultClock() noexcept {
    Clock* clock = TheDefaultClock.load(std::memory_order_acquire);
    return clock ? *clock : RealClock();
}

Clock* SetDefaultClock(Clock* clock) noexcept {
    Clock* previous = TheDefaultClock.exchange(clock, std::memory_order_acq_rel);
    return previous ? previous : &RealClock();
}

}  // namespace platform
