#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/clock/clock.h"
#include "platform/clock/pulse.h"
#include "platform/thread/thread.h"

// Turns a periodic event of the clock into steady calls of OnTick on a worker
// thread of its own, running at real-time priority when the system grants it
// (otherwise as high as it allows). The clock only pulses the worker's event;
// pulses that come while OnTick runs merge, so a slow OnTick skips periods and
// a derived class must take time from the elapsed value, never count calls.
//
// StartTimer, StopTimer and destruction belong to the owner's thread; OnTick
// runs on the worker.
class PrecisionTimer {
public:
    // Creates the pulse event and the worker. *success (if given) receives 1,
    // or 0 when either could not be created (then no OnTick ever comes).
    // clock: the clock to run on; null takes platform::DefaultClock().
    explicit PrecisionTimer(int* success = nullptr, platform::Clock* clock = nullptr) noexcept;
    virtual ~PrecisionTimer();
    PrecisionTimer(const PrecisionTimer&) = delete;
    PrecisionTimer& operator=(const PrecisionTimer&) = delete;

    // Raises the clock's resolution to 1 ms and starts a periodic event of
    // periodMs. Returns 1 when running, 0 on failure: a notice says
    // "timeBeginPeriod(1) failed" or "timeSetEvent() failed" and nothing is
    // left running or requested. A timer that is running is restarted.
    int StartTimer(std::uint32_t periodMs, std::uint32_t resolutionMs) noexcept;

    // Stops the periodic event and ends the resolution request. Returns 1,
    // or 0 when the timer was not running. A tick already under way finishes;
    // one more may follow from a pulse given just before.
    int StopTimer() noexcept;

    // Called on the worker with the milliseconds elapsed since the first
    // pulse after StartTimer (0 on that pulse; wraps at 2^32).
    virtual void OnTick(std::uint32_t elapsedMs) = 0;

protected:
    // Stops the timer and ends the worker, waiting at most the join limit
    // (10 000 ms); a worker that does not end in time is left running and a
    // notice says so. A derived class calls this first in its destructor, so
    // that OnTick never runs on a half-destroyed object. Safe to call twice.
    void EndTimerThread() noexcept;

    // Shortens the wait of EndTimerThread (tests).
    void SetWorkerJoinLimit(std::chrono::milliseconds limit) noexcept { JoinLimit = limit; }

    platform::Clock& TimerClock() const noexcept { return *Clock; }

private:
    // What the worker reads after OnTick returns lives in this block, shared
    // with the worker, so a worker left running never touches freed memory.
    struct WorkerState {
        std::shared_ptr<platform::PulseEvent> PulseEvent;
        // Written by the worker only.
        std::uint32_t StartTime = 0;
        // Written by the owner's thread (destruction), read by the worker.
        std::atomic<int> QuitRequested{0};
        // Set by StartTimer (owner's thread), cleared by the worker.
        std::atomic<int> FirstPulse{1};
    };

    static void WorkerLoop(PrecisionTimer* self, const std::shared_ptr<WorkerState>& state,
                           platform::Clock* clock) noexcept;

    // Written by StartTimer and StopTimer on the owner's thread only.
    std::uint32_t TimerId = 0;
    platform::WorkerThread TimerThread;
    std::shared_ptr<WorkerState> Worker;
    int Running = 0;
    platform::Clock* Clock;
    std::chrono::milliseconds JoinLimit = platform::kWorkerJoinLimit;
};
