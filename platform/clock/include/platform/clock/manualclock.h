#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock/clock.h"

namespace platform {

// A clock whose time moves only when its owner advances it: for tests and for
// rendering faster than real time. One manual clock drives the timer's pulses,
// the capture device's time stamps and the synthesizer's file rendering
// together, so a whole playback is deterministic.
class ManualClock final : public Clock {
public:
    explicit ManualClock(std::int64_t startNs = 0) noexcept;
    ~ManualClock() override;

    std::int64_t NowNs() const noexcept override;

    // Moves time forward by step (a negative step counts as 0). First every
    // step observer gets [now, now + step) (the synthesizer renders that much
    // audio); then the time becomes now + step; then each periodic event with
    // a deadline in the step is pulsed once, however many periods the step
    // covered (a late pulse); finally Advance waits until every pulsed
    // consumer has finished that tick. Must not be called from a tick.
    void Advance(std::chrono::nanoseconds step);

    // For tests: while set, BeginPeriod answers TIMERR_NOCANDO.
    void RefuseResolution(bool refuse) noexcept;

    MMRESULT BeginPeriod(std::uint32_t periodMs) noexcept override;
    int AddStepObserver(StepObserver observer) override;
    void RemoveStepObserver(int id) override;

protected:
    std::unique_ptr<PeriodicSource> StartPeriodic(std::int64_t periodNs, std::shared_ptr<PulseEvent> event) override;

private:
    struct Periodic;
    class Source;

    mutable std::mutex Lock;
    // Written by Advance under Lock; read without it, so that a sender
    // stamping a message never waits for the owner.
    std::atomic<std::int64_t> Now;
    bool Refuse = false;
    std::vector<Periodic*> Periodics;

    // Observers are called without Lock held so that they may read the time.
    std::mutex ObserverLock;
    std::vector<std::pair<int, StepObserver>> Observers;
    int NextObserverId = 1;
};

}  // namespace platform
