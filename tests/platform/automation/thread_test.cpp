// Threads around a control: events fired from the control's notification
// thread, calls from other threads carried over to the control's thread, and
// two threads sending to each other at once.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fixture.h"
#include "platform/automation/winthread.h"
#include "sample/SampleCtl.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;

constexpr auto kPatience = 20s;  // generous: only a hang runs into it

struct Seen {
    std::mutex Lock;
    std::vector<SeenEvent> Events;
    void Add(const EventInfo& event, std::span<Variant> args) {
        SeenEvent seen{event.Name, {}, GetCurrentThreadId()};
        for (const Variant& arg : args) seen.Args.push_back(arg.ToDisplayString());
        std::lock_guard guard(Lock);
        Events.push_back(std::move(seen));
    }
    std::size_t Count(const std::string& name) {
        std::lock_guard guard(Lock);
        std::size_t n = 0;
        for (const auto& e : Events) n += e.Name == name;
        return n;
    }
    std::vector<SeenEvent> Copy() {
        std::lock_guard guard(Lock);
        return Events;
    }
};

TEST_F(SampleTest, EventsFiredOnTheNotificationThreadArriveThereInOrder) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    Seen seen;
    DWORD cookie;
    ASSERT_EQ(control->Connect([&](const EventInfo& e, std::span<Variant> a) { seen.Add(e, a); }, cookie), S_OK);
    auto args = std::vector<Variant>{Variant(200)};
    Variant started;
    ASSERT_EQ(control->Call("StartTicks", args, &started, nullptr), S_OK);
    ASSERT_EQ(started, Variant(true));
    ASSERT_TRUE(PumpMessagesUntil([&] { return seen.Count("Tick") == 200; }, kPatience));
    auto events = seen.Copy();
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].Args[0], std::to_string(i));
        EXPECT_NE(events[i].Thread, GetCurrentThreadId()) << "ticks come from the control's own thread";
        EXPECT_EQ(events[i].Thread, events[0].Thread);
    }
}

TEST_F(SampleTest, CallsFromAnotherThreadRunOnTheControlsThreadWhileBothSendToEachOther) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    const DWORD hostThread = GetCurrentThreadId();
    Seen seen;
    std::atomic<int> failedCalls{0};
    DWORD cookie;
    HostedControl* raw = control.get();
    ASSERT_EQ(control->Connect(
                  [&](const EventInfo& event, std::span<Variant> args) {
                      seen.Add(event, args);
                      if (event.Name != "Tick") return;
                      // On the notification thread: call back into the control.
                      std::vector<Variant> value{Variant(args[0].Long())};
                      if (raw->Call("Notify", value, nullptr, nullptr) != S_OK) failedCalls.fetch_add(1);
                  },
                  cookie),
              S_OK);
    constexpr int kTicks = 100;
    auto args = std::vector<Variant>{Variant(kTicks)};
    ASSERT_EQ(control->Call("StartTicks", args, nullptr, nullptr), S_OK);
    // Meanwhile the host's thread keeps sending to the notification thread.
    int pings = 0;
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (seen.Count("Changed") < kTicks && std::chrono::steady_clock::now() < deadline) {
        std::vector<Variant> ping{Variant(pings)};
        Variant answer;
        ASSERT_EQ(control->Call("Ping", ping, &answer, nullptr), S_OK);
        ASSERT_EQ(answer, Variant(pings + 1));
        ++pings;
        PumpMessages(1ms);
    }
    ASSERT_EQ(seen.Count("Changed"), static_cast<std::size_t>(kTicks));
    EXPECT_EQ(failedCalls.load(), 0);
    for (const auto& event : seen.Copy()) {
        if (event.Name == "Changed") {
            EXPECT_EQ(event.Thread, hostThread) << "the carried-over call ran on the control's thread";
        }
    }
    EXPECT_GT(pings, 0);
}

TEST_F(SampleTest, ACallFromAnotherThreadFailsCleanlyOnceTheControlsThreadIsGone) {
    std::unique_ptr<HostedControl> control;
    ComPtr<IControl> object;
    std::thread owner([&] {
        control = CreateSample();
        object = ComPtr<IControl>::Share(control->Control());
        // The owner lets go of its host wrapper; `object` keeps the control.
        control.reset();
    });
    owner.join();
    ASSERT_TRUE(object);
    Variant result;
    DispatchError error;
    auto args = std::vector<Variant>{Variant(1), Variant(2)};
    EXPECT_EQ(object->Invoke(5, InvokeKind::Method, args, &result, &error), RPC_E_WRONG_THREAD);
    EXPECT_FALSE(error.Description.empty());
    object.Reset();  // ends the control here, its thread being gone
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
}

// The control's thread is stuck (not handling messages) while another thread
// calls in: the call gives up within the time-out and never runs; once taken,
// a call runs to its end however long it takes.
TEST_F(SampleTest, ACallIntoAStuckControlThreadTimesOutWithoutRunning) {
    SetCrossThreadCallTimeout(200ms);
    std::mutex lock;
    std::condition_variable changed;
    ComPtr<IControl> object;
    bool stuck = true, done = false;
    std::atomic<int> notified{0};
    std::thread owner([&] {
        auto control = CreateSample();
        DWORD cookie = 0;
        control->Connect(
            [&](const EventInfo& event, std::span<Variant>) {
                if (event.Name != "Changed") return;
                notified.fetch_add(1);
                std::this_thread::sleep_for(400ms);  // a slow handler: longer than the time-out
            },
            cookie);
        std::unique_lock guard(lock);
        object = ComPtr<IControl>::Share(control->Control());
        changed.notify_all();
        changed.wait(guard, [&] { return !stuck; });
        guard.unlock();
        PumpMessagesUntil(
            [&] {
                std::lock_guard check(lock);
                return done;
            },
            kPatience);
        control.reset();
    });
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, kPatience, [&] { return object.Get() != nullptr; }));
    }
    DISPID notify = 0;
    ASSERT_EQ(object->GetIDOfName("Notify", notify), S_OK);
    std::vector<Variant> args{Variant(7)};
    DispatchError error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(object->Invoke(notify, InvokeKind::Method, args, nullptr, &error), RPC_E_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(error.Code, RPC_E_TIMEOUT);
    EXPECT_NE(error.Description.find("200 ms"), std::string::npos) << error.Description;
    {
        std::lock_guard guard(lock);
        stuck = false;
    }
    changed.notify_all();
    Variant result;
    EXPECT_EQ(object->Invoke(notify, InvokeKind::Method, args, &result, &error), S_OK) << error.Description;
    EXPECT_EQ(notified.load(), 1) << "the call that timed out never ran; the one taken ran to its end";
    object.Reset();
    {
        std::lock_guard guard(lock);
        done = true;
    }
    owner.join();
    SetCrossThreadCallTimeout(kDefaultCrossThreadCallTimeout);
}

TEST_F(SampleTest, TheLastReleaseFromAnotherThreadEndsTheControlOnItsOwnThread) {
    auto control = CreateSample();
    ASSERT_TRUE(control);
    ComPtr<IControl> object = ComPtr<IControl>::Share(control->Control());
    control.reset();
    std::atomic<bool> released{false};
    std::thread other([&] {
        object.Reset();
        released.store(true);
    });
    ASSERT_TRUE(PumpMessagesUntil([&] { return released.load(); }, kPatience));
    other.join();
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
}

TEST_F(SampleTest, DestroyingOneControlLeavesAnothersEventsWorking) {
    auto first = CreateSample();
    auto second = CreateSample();
    ASSERT_TRUE(first && second);
    Seen seen;
    DWORD cookie;
    ASSERT_EQ(second->Connect([&](const EventInfo& e, std::span<Variant> a) { seen.Add(e, a); }, cookie), S_OK);
    first.reset();
    auto args = std::vector<Variant>{Variant(5)};
    Variant started;
    ASSERT_EQ(second->Call("StartTicks", args, &started, nullptr), S_OK);
    ASSERT_EQ(started, Variant(true)) << "the second control's notification window exists";
    ASSERT_TRUE(PumpMessagesUntil([&] { return seen.Count("Tick") == 5; }, kPatience));
}

TEST_F(SampleTest, ControlsMadeAndEndedOnSeveralThreadsAtOnceAllGetTheirWindows) {
    // Each control's classes, and the notification window class the sample
    // module's controls share, come and go with the controls on every thread.
    constexpr int kThreads = 3;
    constexpr int kRounds = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            const HWND container = CreateContainerWindow(120, 80, "container");
            for (int i = 0; i < kRounds; ++i) {
                std::string error;
                auto control = HostedControl::Create("SAMPLE.SampleCtrl.1", &error);
                std::vector<Variant> ping{Variant(i)};
                Variant answer;
                const bool worked = control && control->Activate(container, RECT{0, 0, 40, 20}) == S_OK &&
                                    control->Window() != 0 && control->Call("Ping", ping, &answer, nullptr) == S_OK &&
                                    answer == Variant(i + 1);
                if (!worked) failures.fetch_add(1);
            }
            DestroyWindow(container);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(AfxBeginThread, RunsTheFunctionWithItsParameterAndKeepsItsResult) {
    struct Shared {
        std::atomic<DWORD> Thread{0};
        int Value = 0;
    } shared;
    shared.Value = 41;
    auto thread = AfxBeginThread(
        [](void* parameter) -> UINT {
            auto* s = static_cast<Shared*>(parameter);
            s->Thread.store(GetCurrentThreadId());
            return static_cast<UINT>(s->Value + 1);
        },
        &shared);
    ASSERT_TRUE(thread);
    ASSERT_TRUE(thread->Join(kWorkerJoinLimit));
    EXPECT_TRUE(thread->Finished());
    EXPECT_EQ(thread->ExitCode(), 42u);
    EXPECT_EQ(thread->ThreadId(), shared.Thread.load());
    EXPECT_NE(shared.Thread.load(), GetCurrentThreadId());
    EXPECT_FALSE(AfxBeginThread(nullptr, nullptr));
    EXPECT_FALSE(AfxBeginThread([](void*) -> UINT { return 0; }, nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED))
        << "a suspended start cannot be honoured and is refused";
}

}  // namespace
