#include "midiframework/timer.h"

#include "platform/clock/priority.h"
#include "platform/notice/notice.h"

namespace {
constexpr std::uint32_t kResolutionMs = 1;
}  // namespace

PrecisionTimer::PrecisionTimer(int* success, platform::Clock* clock) noexcept
    : Clock(clock ? clock : &platform::DefaultClock()) {
    int ok = 0;
    try {
        Worker = std::make_shared<WorkerState>();
        Worker->PulseEvent = std::make_shared<platform::PulseEvent>();
    } catch (...) {
        Worker.reset();
    }
    if (Worker) {
        ok = TimerThread.Start("timer worker", [this, state = Worker, c = Clock] { WorkerLoop(this, state, c); }) ? 1
                                                                                                                  : 0;
        if (!ok) {
            // Nobody will take the pulses: a manual clock must not wait for
            // ticks that never come.
            Worker->PulseEvent->Leave();
        }
    }
    if (success) {
        *success = ok;
    }
}

PrecisionTimer::~PrecisionTimer() { EndTimerThread(); }

void PrecisionTimer::WorkerLoop(PrecisionTimer* self, const std::shared_ptr<WorkerState>& state,
                                platform::Clock* clock) noexcept {
    platform::RaiseThreadPriority(platform::kWorkerRealTimePriority);
    for (;;) {
        state->PulseEvent->Wait();
        if (state->QuitRequested.load(std::memory_order_acquire)) {
            state->PulseEvent->Leave();
            return;
        }
        if (state->FirstPulse.exchange(0, std::memory_order_acq_rel)) {
            state->StartTime = clock->GetTime();
        }
        self->OnTick(clock->GetTime() - state->StartTime);
    }
}

int PrecisionTimer::StartTimer(std::uint32_t periodMs, std::uint32_t resolutionMs) noexcept {
    // A second periodic event would run on with nobody to kill it; a start
    // while running restarts instead.
    if (Running) {
        StopTimer();
    }
    if (Clock->BeginPeriod(kResolutionMs) != platform::TIMERR_NOERROR) {
        platform::ShowNotice("timeBeginPeriod(1) failed");
        return 0;
    }
    std::shared_ptr<platform::PulseEvent> event;
    if (Worker) {
        Worker->FirstPulse.store(1, std::memory_order_release);
        event = Worker->PulseEvent;
    }
    TimerId =
        Clock->SetEvent(periodMs, resolutionMs, event, platform::TIME_PERIODIC | platform::TIME_CALLBACK_EVENT_PULSE);
    if (TimerId == 0) {
        platform::ShowNotice("timeSetEvent() failed");
        Clock->EndPeriod(kResolutionMs);
        return 0;
    }
    Running = 1;
    return 1;
}

int PrecisionTimer::StopTimer() noexcept {
    if (!Running) {
        return 0;
    }
    Clock->KillEvent(TimerId);
    Clock->EndPeriod(kResolutionMs);
    TimerId = 0;
    Running = 0;
    return 1;
}

void PrecisionTimer::EndTimerThread() noexcept {
    if (Running) {
        StopTimer();
    }
    if (!Worker || !TimerThread.Running()) {
        return;
    }
    Worker->QuitRequested.store(1, std::memory_order_release);
    Worker->PulseEvent->Pulse();
    // From inside OnTick this lets the worker go; it ends when the tick returns.
    TimerThread.JoinFor(JoinLimit);
}
