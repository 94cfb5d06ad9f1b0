#include "midiframework/timer.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "PlaybackTestSupport.h"
#include "platform/clock/priority.h"
#include "platform/notice/notice.h"

using namespace std::chrono_literals;

namespace {

// Records the elapsed value of every tick.
class RecordingTimer : public PrecisionTimer {
public:
    explicit RecordingTimer(platform::Clock& clock, int* ok = nullptr) : PrecisionTimer(ok, &clock) {}
    ~RecordingTimer() override { EndTimerThread(); }

    void OnTick(std::uint32_t elapsedMs) override {
        std::lock_guard guard(Lock);
        Elapsed.push_back(elapsedMs);
        Policy = sched_getscheduler(0);
    }
    std::vector<std::uint32_t> Ticks() {
        std::lock_guard guard(Lock);
        return Elapsed;
    }
    int WorkerPolicy() {
        std::lock_guard guard(Lock);
        return Policy;
    }

private:
    std::mutex Lock;
    std::vector<std::uint32_t> Elapsed;
    int Policy = -1;
};

using Timer = PlaybackTest;

TEST_F(Timer, TicksWithTheElapsedTimeOfItsClockOnePerPulse) {
    int ok = 0;
    RecordingTimer timer(Clock, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(timer.StopTimer(), 0) << "stop without start";
    ASSERT_EQ(timer.StartTimer(2, 0), 1);
    EXPECT_EQ(Clock.OpenPeriodRequests(), 1);
    Clock.Advance(2ms);
    Clock.Advance(2ms);
    Clock.Advance(2ms);
    Clock.Advance(6ms);  // a late pulse: one tick, three periods later
    Clock.Advance(1ms);
    EXPECT_EQ(timer.Ticks(), (std::vector<std::uint32_t>{0, 2, 4, 10}));
    EXPECT_EQ(timer.StopTimer(), 1);
    EXPECT_EQ(timer.StopTimer(), 0);
    Clock.Advance(10ms);
    EXPECT_EQ(timer.Ticks().size(), 4u) << "no tick after the stop";
    EXPECT_EQ(Clock.ActiveEvents(), 0);
    EXPECT_EQ(Clock.OpenPeriodRequests(), 0) << "the resolution request is balanced";
}

TEST_F(Timer, ARestartCountsElapsedTimeFromItsOwnFirstPulse) {
    RecordingTimer timer(Clock);
    ASSERT_EQ(timer.StartTimer(2, 0), 1);
    for (int i = 0; i < 5; ++i) {
        Clock.Advance(2ms);
    }
    timer.StopTimer();
    Clock.Advance(100ms);
    ASSERT_EQ(timer.StartTimer(2, 0), 1);
    Clock.Advance(2ms);
    Clock.Advance(2ms);
    EXPECT_EQ(timer.Ticks(), (std::vector<std::uint32_t>{0, 2, 4, 6, 8, 0, 2}));
}

TEST_F(Timer, StartingWhileRunningRestartsInsteadOfLeavingAnEventBehind) {
    RecordingTimer timer(Clock);
    ASSERT_EQ(timer.StartTimer(2, 0), 1);
    Clock.Advance(2ms);
    ASSERT_EQ(timer.StartTimer(4, 0), 1);
    EXPECT_EQ(Clock.ActiveEvents(), 1);
    EXPECT_EQ(Clock.OpenPeriodRequests(), 1);
    Clock.Advance(2ms);
    Clock.Advance(2ms);
    EXPECT_EQ(timer.Ticks(), (std::vector<std::uint32_t>{0, 0})) << "one event, with the new period";
    EXPECT_EQ(timer.StopTimer(), 1);
    EXPECT_EQ(Clock.ActiveEvents(), 0) << "nothing keeps pulsing after the stop";
    EXPECT_EQ(Clock.OpenPeriodRequests(), 0);
}

TEST_F(Timer, AFailedStartShowsWhyAndLeavesNothingRunningOrRequested) {
    platform::NoticeCapture notices;
    RecordingTimer timer(Clock);
    Clock.RefuseResolution(true);
    EXPECT_EQ(timer.StartTimer(2, 0), 0);
    Clock.RefuseResolution(false);
    EXPECT_EQ(timer.StartTimer(0, 0), 0) << "a zero period cannot be served";
    EXPECT_EQ(notices.Texts(), (std::vector<std::string>{"timeBeginPeriod(1) failed", "timeSetEvent() failed"}));
    EXPECT_EQ(Clock.ActiveEvents(), 0);
    EXPECT_EQ(Clock.OpenPeriodRequests(), 0);
    EXPECT_EQ(timer.StopTimer(), 0);
}

TEST_F(Timer, DestroyingARunningTimerStopsItsEventFirst) {
    {
        RecordingTimer timer(Clock);
        ASSERT_EQ(timer.StartTimer(2, 0), 1);
        Clock.Advance(2ms);
    }
    EXPECT_EQ(Clock.ActiveEvents(), 0);
    EXPECT_EQ(Clock.OpenPeriodRequests(), 0);
    Clock.Advance(2ms);  // must not wait for a worker that is gone
}

// OnTick blocks until the test lets it go; it touches nothing of the timer
// after that, as the object is gone by then.
class StuckTimer : public PrecisionTimer {
public:
    struct Gate {
        std::atomic<bool> Entered{false};
        std::atomic<bool> Open{false};
        std::atomic<bool> Left{false};
    };
    StuckTimer(std::shared_ptr<Gate> gate) : PrecisionTimer(nullptr, &platform::RealClock()), G(std::move(gate)) {
        SetWorkerJoinLimit(50ms);
    }
    ~StuckTimer() override { EndTimerThread(); }
    void OnTick(std::uint32_t) override {
        std::shared_ptr<Gate> gate = G;
        gate->Entered = true;
        while (!gate->Open) {
            std::this_thread::sleep_for(1ms);
        }
        gate->Left = true;
    }

private:
    std::shared_ptr<Gate> G;
};

TEST_F(Timer, AWorkerThatDoesNotEndInTimeIsLeftRunningAndNamedInANotice) {
    platform::NoticeCapture notices;
    auto gate = std::make_shared<StuckTimer::Gate>();
    {
        StuckTimer timer(gate);
        ASSERT_EQ(timer.StartTimer(2, 0), 1);
        ASSERT_TRUE(Eventually([&] { return gate->Entered.load(); }));
    }
    EXPECT_EQ(notices.Texts(),
              (std::vector<std::string>{"The thread \"timer worker\" did not end within 50 ms and was left running"}));
    EXPECT_EQ(platform::RealClock().ActiveEvents(), 0) << "the periodic event was stopped all the same";
    gate->Open = true;
    EXPECT_TRUE(Eventually([&] { return gate->Left.load(); }));
    std::this_thread::sleep_for(20ms);  // the worker ends on its own
}

TEST_F(Timer, OnTheRealClockTicksComeNoFasterThanThePeriodAtRealTimePriority) {
    RecordingTimer timer(platform::RealClock());
    ASSERT_EQ(timer.StartTimer(2, 0), 1);
    ASSERT_TRUE(Eventually([&] { return timer.Ticks().size() >= 10; }));
    timer.StopTimer();
    auto ticks = timer.Ticks();
    // Between the first tick and the last there were at most elapsed / 2 + 1
    // deadlines (plus one for millisecond truncation); a late first tick or
    // merged pulses only make fewer ticks.
    EXPECT_LE(ticks.size(), (ticks.back() + 1) / 2 + 3u) << "more ticks than periods";
    platform::ThreadPriority allowed = platform::ThreadPriority::Unchanged;
    std::thread([&] {
        allowed = platform::RaiseThreadPriority(platform::kWorkerRealTimePriority);
        platform::ResetThreadPriority();
    }).join();
    if (allowed == platform::ThreadPriority::RealTime) {
        EXPECT_EQ(timer.WorkerPolicy(), SCHED_FIFO);
    }
}

}  // namespace
