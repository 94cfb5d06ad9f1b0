#include <algorithm>
#include <atomic>
#include <string>

#include "monotonic.h"
#include "platform/clock/clock.h"
#include "platform/clock/priority.h"
#include "platform/thread/thread.h"

namespace platform {
namespace {

// A pulse thread sleeps at most this long at a time, so a kill never waits
// for a whole long period.
constexpr std::int64_t kLongestSleepNs = 50'000'000;  // 50 ms

class SystemClock final : public Clock {
public:
    std::int64_t NowNs() const noexcept override { return monotonic::NowNs(); }

protected:
    std::unique_ptr<PeriodicSource> StartPeriodic(std::int64_t periodNs, std::shared_ptr<PulseEvent> event) override;
};

// One pulse thread per periodic event. Deadlines are absolute (start + k *
// period), so a late wake-up never shifts the ones after it; a thread that
// wakes after several deadlines pulses once for each, and the pulses merge in
// the event.
class PulseThread final : public Clock::PeriodicSource {
public:
    PulseThread(std::int64_t periodNs, std::shared_ptr<PulseEvent> event) : Period(periodNs), Event(std::move(event)) {}

    ~PulseThread() override {
        QuitFlag->store(true, std::memory_order_release);
        Thread.JoinFor(kWorkerJoinLimit);
        // After the join nothing announces again, so nothing is delivered
        // once the kill has returned.
        Event->Withdraw();
    }

    bool Start() {
        // The body owns what it touches, so a detached thread stays safe.
        auto event = Event;
        auto quit = QuitFlag;
        std::int64_t period = Period;
        std::int64_t first = monotonic::NowNs() + period;
        event->Announce(first);
        return Thread.Start("clock pulse", [event, quit, period, first] {
            RaiseThreadPriority(kPulseRealTimePriority);
            std::int64_t deadline = first;
            for (;;) {
                for (;;) {
                    if (quit->load(std::memory_order_acquire)) {
                        return;
                    }
                    std::int64_t now = monotonic::NowNs();
                    if (now >= deadline) {
                        break;
                    }
                    monotonic::SleepUntil(std::min(deadline, now + kLongestSleepNs));
                }
                event->PulseDeadline(deadline);
                deadline += period;
                event->Announce(deadline);
            }
        });
    }

private:
    std::int64_t Period;
    std::shared_ptr<PulseEvent> Event;
    // Written by the owner's thread (kill), read by the pulse thread.
    std::shared_ptr<std::atomic<bool>> QuitFlag = std::make_shared<std::atomic<bool>>(false);
    WorkerThread Thread;
};

std::unique_ptr<Clock::PeriodicSource> SystemClock::StartPeriodic(std::int64_t periodNs,
                                                                  std::shared_ptr<PulseEvent> event) {
    auto source = std::make_unique<PulseThread>(periodNs, std::move(event));
    if (!source->Start()) {
        return nullptr;
    }
    return source;
}

}  // namespace

Clock& RealClock() noexcept {
    static SystemClock clock;
    return clock;
}

}  // namespace platform
