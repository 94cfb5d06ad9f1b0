#include "platform/clock/manualclock.h"

#include <algorithm>
#include <utility>

namespace platform {

// A periodic event of the manual clock: its next deadline and its target.
struct ManualClock::Periodic {
    std::int64_t Period = 0;
    std::int64_t NextDeadline = 0;
    std::shared_ptr<PulseEvent> Event;
};

class ManualClock::Source final : public Clock::PeriodicSource {
public:
    Source(ManualClock& owner, std::unique_ptr<Periodic> periodic) : Owner(owner), Entry(std::move(periodic)) {
        std::lock_guard guard(Owner.Lock);
        Owner.Periodics.push_back(Entry.get());
    }
    ~Source() override {
        std::lock_guard guard(Owner.Lock);
        std::erase(Owner.Periodics, Entry.get());
    }

private:
    ManualClock& Owner;
    std::unique_ptr<Periodic> Entry;
};

ManualClock::ManualClock(std::int64_t startNs) noexcept : Now(startNs) {}

ManualClock::~ManualClock() = default;

std::int64_t ManualClock::NowNs() const noexcept { return Now.load(std::memory_order_acquire); }

void ManualClock::Advance(std::chrono::nanoseconds step) {
    std::int64_t from = NowNs();
    std::int64_t to = from + std::max<std::int64_t>(0, step.count());
    {
        std::lock_guard guard(ObserverLock);
        for (auto& [id, observer] : Observers) {
            observer(from, to);
        }
    }
    std::vector<std::shared_ptr<PulseEvent>> pulsed;
    {
        std::lock_guard guard(Lock);
        Now.store(to, std::memory_order_release);
        for (Periodic* periodic : Periodics) {
            if (periodic->NextDeadline > to) {
                continue;
            }
            periodic->Event->Pulse(to);
            pulsed.push_back(periodic->Event);
            // Deadlines stay on the grid of the event's start, whatever the
            // size of the step.
            std::int64_t missed = (to - periodic->NextDeadline) / periodic->Period + 1;
            periodic->NextDeadline += missed * periodic->Period;
        }
    }
    // Waiting happens outside the lock: a tick may stop its own timer.
    for (auto& event : pulsed) {
        event->WaitUntilIdle();
    }
}

void ManualClock::RefuseResolution(bool refuse) noexcept {
    std::lock_guard guard(Lock);
    Refuse = refuse;
}

MMRESULT ManualClock::BeginPeriod(std::uint32_t periodMs) noexcept {
    {
        std::lock_guard guard(Lock);
        if (Refuse) {
            return TIMERR_NOCANDO;
        }
    }
    return Clock::BeginPeriod(periodMs);
}

int ManualClock::AddStepObserver(StepObserver observer) {
    std::lock_guard guard(ObserverLock);
    int id = NextObserverId++;
    Observers.emplace_back(id, std::move(observer));
    return id;
}

void ManualClock::RemoveStepObserver(int id) {
    std::lock_guard guard(ObserverLock);
    std::erase_if(Observers, [id](const auto& entry) { return entry.first == id; });
}

std::unique_ptr<Clock::PeriodicSource> ManualClock::StartPeriodic(std::int64_t periodNs,
                                                                  std::shared_ptr<PulseEvent> event) {
    auto periodic = std::make_unique<Periodic>();
    periodic->Period = periodNs;
    periodic->NextDeadline = NowNs() + periodNs;
    periodic->Event = std::move(event);
    return std::make_unique<Source>(*this, std::move(periodic));
}

}  // namespace platform
