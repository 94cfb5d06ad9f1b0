#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/clock/manualclock.h"
#include "platform/clock/priority.h"
#include "platform/notice/notice.h"

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kPulseFlags = platform::TIME_PERIODIC | platform::TIME_CALLBACK_EVENT_PULSE;

// A worker that takes pulses the way the timer does and records the clock's
// time at each tick. An optional pause makes each tick take a while.
class TickRecorder {
public:
    TickRecorder(platform::Clock& clock, std::chrono::milliseconds pause = 0ms) : Clock(clock), Pause(pause) {
        Thread = std::thread([this] {
            for (;;) {
                Event->Wait();
                if (Quit.load()) {
                    Event->Leave();
                    return;
                }
                if (Pause > 0ms) {
                    std::this_thread::sleep_for(Pause);
                }
                std::lock_guard guard(Lock);
                Times.push_back(Clock.NowNs());
            }
        });
    }
    ~TickRecorder() {
        Quit = true;
        Event->Pulse();
        Thread.join();
    }
    std::vector<std::int64_t> Ticks() {
        std::lock_guard guard(Lock);
        return Times;
    }

    std::shared_ptr<platform::PulseEvent> Event = std::make_shared<platform::PulseEvent>();

private:
    platform::Clock& Clock;
    std::chrono::milliseconds Pause;
    std::atomic<bool> Quit{false};
    std::mutex Lock;
    std::vector<std::int64_t> Times;
    std::thread Thread;
};

constexpr std::int64_t Ms(std::int64_t ms) { return ms * 1000000; }

TEST(PulseEvent, PulsesThatArriveWhileTheConsumerIsBusyMergeIntoOne) {
    platform::PulseEvent event;
    event.Pulse(10);
    event.Pulse(20);
    event.Pulse(30);
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_EQ(event.LastDeadlineNs(), 30);
    EXPECT_EQ(event.PulseCount(), 3u);
    EXPECT_FALSE(event.WaitFor(1ms)) << "three pulses gave one tick";
}

TEST(PulseEvent, IsIdleOnlyWhenNothingIsPendingAndTheConsumerIsBackWaiting) {
    platform::PulseEvent event;
    EXPECT_TRUE(event.WaitUntilIdle(0ms));
    event.Pulse();
    EXPECT_FALSE(event.WaitUntilIdle(0ms)) << "a pulse is pending";
    ASSERT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.WaitUntilIdle(0ms)) << "the consumer is working on its tick";
    EXPECT_FALSE(event.WaitFor(0ms));
    EXPECT_TRUE(event.WaitUntilIdle(0ms)) << "back in Wait means the tick is done";
    event.Pulse();
    event.Leave();
    EXPECT_TRUE(event.WaitUntilIdle(0ms)) << "a consumer that left is never waited for";
}

TEST(PulseEvent, AnAnnouncedDeadlineIsDeliveredOnceByWhoeverReachesItFirst) {
    platform::PulseEvent event;
    std::int64_t deadline = platform::RealClock().NowNs() + Ms(3);
    event.Announce(deadline);
    event.Wait();  // nobody pulses: the consumer takes the deadline itself
    EXPECT_GE(platform::RealClock().NowNs(), deadline);
    EXPECT_EQ(event.LastDeadlineNs(), deadline);
    event.PulseDeadline(deadline);  // the pulse thread, late
    EXPECT_EQ(event.PulseCount(), 1u);
    EXPECT_FALSE(event.WaitFor(0ms)) << "delivered once";

    event.Announce(deadline + Ms(2));
    event.PulseDeadline(deadline + Ms(2));  // the pulse thread first this time
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_EQ(event.PulseCount(), 2u);
}

TEST(PulseEvent, AWithdrawnDeadlineIsNotDeliveredButOtherPulsesStillWake) {
    platform::PulseEvent event;
    std::atomic<bool> woke{false};
    event.Announce(platform::RealClock().NowNs() + Ms(2));
    event.Withdraw();  // the source was killed before its deadline
    std::thread consumer([&] {
        event.Wait();
        woke = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(woke.load()) << "a killed source delivered a pulse";
    event.Pulse();
    consumer.join();
    EXPECT_EQ(event.PulseCount(), 1u);

    // A far announcement does not keep a quit pulse waiting.
    event.Announce(platform::RealClock().NowNs() + 10000 * Ms(1));
    std::thread waiter([&] { event.Wait(); });
    std::this_thread::sleep_for(5ms);
    event.Pulse();
    waiter.join();
}

TEST(ManualClock, TimeMovesOnlyWhenAdvanced) {
    platform::ManualClock clock(Ms(5));
    EXPECT_EQ(clock.NowNs(), Ms(5));
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(clock.GetTime(), 5u);
    clock.Advance(2500us);
    EXPECT_EQ(clock.NowNs(), Ms(5) + 2500000);
    EXPECT_EQ(clock.GetTime(), 7u);
    clock.Advance(-1ms);
    EXPECT_EQ(clock.GetTime(), 7u) << "time never goes backwards";
}

TEST(ManualClock, AdvancingOnePeriodGivesOneTickAndReturnsWhenTheTickIsDone) {
    platform::ManualClock clock;
    TickRecorder worker(clock, 20ms);
    std::uint32_t id = clock.SetEvent(2, 0, worker.Event, kPulseFlags);
    ASSERT_NE(id, 0u);
    for (int i = 1; i <= 3; ++i) {
        clock.Advance(2ms);
        // No waiting here: the slow tick must already have been recorded.
        ASSERT_EQ(worker.Ticks().size(), static_cast<std::size_t>(i));
        EXPECT_EQ(worker.Ticks().back(), Ms(2 * i));
    }
    EXPECT_EQ(clock.KillEvent(id), platform::MMSYSERR_NOERROR);
}

TEST(ManualClock, ALargeStepIsOneLatePulseAndDeadlinesStayOnTheirGrid) {
    platform::ManualClock clock;
    TickRecorder worker(clock);
    std::uint32_t id = clock.SetEvent(2, 0, worker.Event, kPulseFlags);
    clock.Advance(1ms);
    EXPECT_TRUE(worker.Ticks().empty()) << "half a period is no pulse";
    clock.Advance(6ms);  // deadlines 2, 4 and 6 pass in one step
    ASSERT_EQ(worker.Ticks().size(), 1u);
    EXPECT_EQ(worker.Ticks()[0], Ms(7));
    EXPECT_EQ(worker.Event->PulseCount(), 1u);
    clock.Advance(1ms);  // 8 is the next deadline
    ASSERT_EQ(worker.Ticks().size(), 2u);
    EXPECT_EQ(worker.Ticks()[1], Ms(8));
    clock.KillEvent(id);
}

TEST(ManualClock, StepObserversSeeEachStepBeforeItsPulse) {
    platform::ManualClock clock;
    TickRecorder worker(clock);
    struct Step {
        std::int64_t From, To;
        std::size_t TicksSoFar;
    };
    std::vector<Step> steps;
    int observer = clock.AddStepObserver([&](std::int64_t from, std::int64_t to) {
        steps.push_back({from, to, worker.Ticks().size()});
    });
    ASSERT_NE(observer, 0);
    std::uint32_t id = clock.SetEvent(2, 0, worker.Event, kPulseFlags);
    clock.Advance(2ms);
    clock.Advance(3ms);
    clock.RemoveStepObserver(observer);
    clock.Advance(2ms);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].From, 0);
    EXPECT_EQ(steps[0].To, Ms(2));
    EXPECT_EQ(steps[0].TicksSoFar, 0u) << "the step is rendered before its tick runs";
    EXPECT_EQ(steps[1].From, Ms(2));
    EXPECT_EQ(steps[1].To, Ms(5));
    EXPECT_EQ(steps[1].TicksSoFar, 1u);
    clock.KillEvent(id);
}

TEST(ManualClock, AKilledEventIsNotPulsedAgain) {
    platform::ManualClock clock;
    TickRecorder worker(clock);
    std::uint32_t id = clock.SetEvent(2, 0, worker.Event, kPulseFlags);
    clock.Advance(2ms);
    EXPECT_EQ(clock.ActiveEvents(), 1);
    EXPECT_EQ(clock.KillEvent(id), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(clock.KillEvent(id), platform::MMSYSERR_INVALPARAM);
    EXPECT_EQ(clock.ActiveEvents(), 0);
    clock.Advance(10ms);
    EXPECT_EQ(worker.Ticks().size(), 1u);
}

TEST(ManualClock, DoesNotWaitForAConsumerThatHasLeft) {
    platform::ManualClock clock;
    auto event = std::make_shared<platform::PulseEvent>();
    event->Leave();
    std::uint32_t id = clock.SetEvent(2, 0, event, kPulseFlags);
    clock.Advance(2ms);  // would hang if it waited for a tick nobody runs
    EXPECT_EQ(event->PulseCount(), 1u);
    clock.KillEvent(id);
}

TEST(ClockResolution, RequestsMustBeBalancedAndOutOfRangeOnesAreRefused) {
    platform::ManualClock clock;
    EXPECT_EQ(clock.BeginPeriod(0), platform::TIMERR_NOCANDO);
    EXPECT_EQ(clock.EndPeriod(1), platform::TIMERR_NOCANDO) << "nothing to end";
    EXPECT_EQ(clock.BeginPeriod(1), platform::TIMERR_NOERROR);
    EXPECT_EQ(clock.BeginPeriod(1), platform::TIMERR_NOERROR);
    EXPECT_EQ(clock.OpenPeriodRequests(), 2);
    EXPECT_EQ(clock.EndPeriod(2), platform::TIMERR_NOCANDO) << "ends only what was begun";
    EXPECT_EQ(clock.EndPeriod(1), platform::TIMERR_NOERROR);
    EXPECT_EQ(clock.EndPeriod(1), platform::TIMERR_NOERROR);
    EXPECT_EQ(clock.OpenPeriodRequests(), 0);
    clock.RefuseResolution(true);
    EXPECT_EQ(clock.BeginPeriod(1), platform::TIMERR_NOCANDO);
    EXPECT_EQ(clock.OpenPeriodRequests(), 0);
}

TEST(ClockEvents, SetEventRefusesWhatItCannotServe) {
    platform::ManualClock clock;
    auto event = std::make_shared<platform::PulseEvent>();
    EXPECT_EQ(clock.SetEvent(0, 0, event, kPulseFlags), 0u);
    EXPECT_EQ(clock.SetEvent(2, 0, nullptr, kPulseFlags), 0u);
    EXPECT_EQ(clock.SetEvent(2, 0, event, platform::TIME_ONESHOT), 0u);
    EXPECT_EQ(platform::RealClock().SetEvent(0, 0, event, kPulseFlags), 0u);
    EXPECT_EQ(clock.ActiveEvents(), 0);
}

TEST(RealClock, PulsesOnAbsoluteDeadlinesAndStopsWhenKilled) {
    platform::Clock& clock = platform::RealClock();
    auto event = std::make_shared<platform::PulseEvent>();
    std::int64_t before = clock.NowNs();
    std::uint32_t id = clock.SetEvent(2, 0, event, kPulseFlags);
    std::int64_t after = clock.NowNs();
    ASSERT_NE(id, 0u);
    std::vector<std::int64_t> deadlines;
    while (deadlines.size() < 20) {
        ASSERT_TRUE(event->WaitFor(5s)) << "the pulse thread stopped pulsing";
        deadlines.push_back(event->LastDeadlineNs());
    }
    EXPECT_EQ(clock.KillEvent(id), platform::MMSYSERR_NOERROR);
    for (std::size_t i = 1; i < deadlines.size(); ++i) {
        // Relative sleeps would let lateness creep into later deadlines.
        EXPECT_EQ((deadlines[i] - deadlines[0]) % Ms(2), 0) << "deadline " << i << " is off the grid";
    }
    // One pulse per deadline passed: a thread running late catches up on the
    // deadlines it missed rather than dropping them, so counting back from
    // the last deadline lands on the first one, one period after SetEvent.
    std::uint64_t pulses = event->PulseCount();
    std::int64_t first = event->LastDeadlineNs() - static_cast<std::int64_t>(pulses - 1) * Ms(2);
    EXPECT_GE(first, before + Ms(2));
    EXPECT_LE(first, after + Ms(2));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(event->PulseCount(), pulses) << "no pulse after KillEvent returned";
}

TEST(RealClock, IsTheDefaultUntilTheHostInstallsAnother) {
    EXPECT_EQ(&platform::DefaultClock(), &platform::RealClock());
    platform::ManualClock manual;
    EXPECT_EQ(platform::SetDefaultClock(&manual), &platform::RealClock());
    EXPECT_EQ(&platform::DefaultClock(), &manual);
    EXPECT_EQ(platform::SetDefaultClock(nullptr), &manual);
    EXPECT_EQ(&platform::DefaultClock(), &platform::RealClock());
}

TEST(RealClock, RunsOnItsOwnRatherThanInSteps) {
    std::int64_t a = platform::RealClock().NowNs();
    std::this_thread::sleep_for(1ms);
    EXPECT_GT(platform::RealClock().NowNs(), a);
    EXPECT_EQ(platform::RealClock().AddStepObserver([](std::int64_t, std::int64_t) {}), 0)
        << "real time is not stepped";
}

// How the calling thread is scheduled, read back from the system.
struct Scheduling {
    int Policy = SCHED_OTHER;
    int RealTimeLevel = 0;
    int Nice = 0;
    long TimerSlackNs = 0;
};

Scheduling CallingThreadScheduling() {
    Scheduling scheduling;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &scheduling.Policy, &param);
    scheduling.RealTimeLevel = param.sched_priority;
    scheduling.Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    scheduling.TimerSlackNs = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    return scheduling;
}

// Whatever this machine allows, the answer must be what the thread got.
TEST(ThreadPriority, RaisingReportsWhatTheThreadWasGivenAndIsQuiet) {
    platform::NoticeCapture notices;
    testing::internal::CaptureStderr();
    platform::ThreadPriority granted = platform::ThreadPriority::Unchanged;
    std::thread([&] {
        Scheduling before = CallingThreadScheduling();
        granted = platform::RaiseThreadPriority(platform::kWorkerRealTimePriority);
        Scheduling after = CallingThreadScheduling();
        // The 1 ns it sets, or none at all: newer kernels give real-time threads none.
        EXPECT_LE(after.TimerSlackNs, 1) << "a thread sleeping to deadlines wants no slack";
        switch (granted) {
            case platform::ThreadPriority::RealTime:
                EXPECT_EQ(after.Policy, SCHED_FIFO);
                EXPECT_EQ(after.RealTimeLevel, platform::kWorkerRealTimePriority);
                EXPECT_TRUE(platform::ResetThreadPriority());
                EXPECT_EQ(CallingThreadScheduling().Policy, SCHED_OTHER);
                break;
            case platform::ThreadPriority::Raised:
                EXPECT_EQ(after.Policy, before.Policy);
                EXPECT_LT(after.Nice, before.Nice);
                break;
            case platform::ThreadPriority::Unchanged:
                EXPECT_EQ(after.Policy, before.Policy);
                EXPECT_EQ(after.Nice, before.Nice);
                break;
        }
    }).join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(notices.Count(), 0u);
}

TEST(ThreadPriority, AHostThatForbidsRaisingKeepsThreadsAsTheyAre) {
    platform::SetRealTimeAllowed(false);
    std::thread([] {
        Scheduling before = CallingThreadScheduling();
        EXPECT_EQ(platform::RaiseThreadPriority(platform::kWorkerRealTimePriority),
                  platform::ThreadPriority::Unchanged);
        Scheduling after = CallingThreadScheduling();
        EXPECT_EQ(after.Policy, before.Policy);
        EXPECT_EQ(after.RealTimeLevel, before.RealTimeLevel);
        EXPECT_EQ(after.Nice, before.Nice);
    }).join();
    platform::SetRealTimeAllowed(true);
}

}  // namespace
