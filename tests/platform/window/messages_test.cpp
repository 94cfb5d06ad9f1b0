#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "platform/window/host.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;
using namespace std::chrono_literals;

namespace {

constexpr UINT kStop = WM_APP + 100;

// A thread that owns one window and runs a message loop until told to stop.
class Owner {
public:
    explicit Owner(Probe& probe)
        : Thread([this, &probe] {
              Window = Make(probe, 0, 0, 10, 10, 0, 0);
              Id = GetCurrentThreadId();
              Ready = true;
              MSG m;
              while (GetMessage(&m, 0, 0, 0) == 1 && m.message != kStop) DispatchMessage(&m);
              DestroyWindow(Window);
          }) {
        while (!Ready) std::this_thread::sleep_for(1ms);
    }
    ~Owner() { Stop(); }
    void Stop() {
        if (!Thread.joinable()) return;
        PostMessage(Window, kStop, 0, 0);
        Thread.join();
    }

    std::atomic<HWND> Window{0};
    std::atomic<DWORD> Id{0};

private:
    std::atomic<bool> Ready{false};
    std::thread Thread;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(WindowMessages, PostsFromManyThreadsAllArriveInEachSendersOrder) {
    Probe probe;
    Owner owner(probe);
    constexpr int kThreads = 4;
    constexpr int kEach = 1000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                while (!PostMessage(owner.Window, WM_APP, static_cast<WPARAM>(t << 16 | i), 0))
                    std::this_thread::yield();  // only a full queue refuses
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(WaitFor([&] { return probe.Count(WM_APP) == kThreads * kEach; }));
    std::map<int, int> next;
    for (const Seen& s : probe.Messages()) {
        if (s.Message != WM_APP) continue;
        const int t = static_cast<int>(s.WParam >> 16);
        EXPECT_EQ(static_cast<int>(s.WParam & 0xFFFF), next[t]++);
        EXPECT_EQ(s.Thread, owner.Id.load());
    }
}

TEST(WindowMessages, AFullQueueRefusesPostsVisiblyUntilItDrains) {
    Probe probe;
    const HWND w = Make(probe, 0, 0, 10, 10, 0, 0);
    std::size_t accepted = 0;
    while (PostMessage(w, WM_APP, accepted, 0)) ++accepted;
    EXPECT_EQ(accepted, kPostedMessageLimit);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    BOOL fromOtherThread = TRUE;
    DWORD otherError = 0;
    std::thread([&] {
        fromOtherThread = PostMessage(w, WM_APP, 0, 0);
        otherError = GetLastError();
    }).join();
    EXPECT_FALSE(fromOtherThread);
    EXPECT_EQ(otherError, ERROR_NOT_ENOUGH_QUOTA);

    MSG m;
    ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_TRUE(PostMessage(w, WM_APP + 1, 0, 0));
    PumpMessages(0ms);
    EXPECT_EQ(probe.Count(WM_APP), static_cast<int>(kPostedMessageLimit) - 1);
    EXPECT_EQ(probe.Count(WM_APP + 1), 1);
    DestroyWindow(w);
}

TEST(WindowMessages, SendToAnotherThreadRunsThereAndReturnsTheResult) {
    Probe probe;
    probe.Handler = [](HWND, UINT m, WPARAM w, LPARAM l, LRESULT& r) {
        if (m != WM_APP) return false;
        r = static_cast<LRESULT>(w) + l;
        return true;
    };
    Owner owner(probe);
    EXPECT_EQ(SendMessage(owner.Window, WM_APP, 20, 22), 42);
    const auto messages = probe.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().Thread, GetWindowThreadProcessId(owner.Window, nullptr));
    EXPECT_NE(messages.back().Thread, GetCurrentThreadId());
}

TEST(WindowMessages, ThreadsSendingToEachOtherDoNotDeadlock) {
    Probe a, b;
    std::atomic<HWND> windowA{0}, windowB{0};
    // A nested round: main -> a -> b -> a again while a waits for b.
    a.Handler = [&](HWND, UINT m, WPARAM w, LPARAM, LRESULT& r) {
        if (m == WM_APP)
            r = SendMessage(windowB, WM_APP + 1, w, 0) + 1;
        else if (m == WM_APP + 2)
            r = static_cast<LRESULT>(w);
        else if (m == WM_APP + 3)
            r = SendMessage(windowB, WM_APP + 4, 0, 0);
        else if (m == WM_APP + 4)
            r = 1;
        else
            return false;
        return true;
    };
    b.Handler = [&](HWND, UINT m, WPARAM w, LPARAM, LRESULT& r) {
        if (m == WM_APP + 1)
            r = SendMessage(windowA, WM_APP + 2, w, 0) + 1;
        else if (m == WM_APP + 3)
            r = SendMessage(windowA, WM_APP + 4, 0, 0);
        else if (m == WM_APP + 4)
            r = 1;
        else
            return false;
        return true;
    };
    Owner ownerA(a), ownerB(b);
    windowA = ownerA.Window.load();
    windowB = ownerB.Window.load();
    EXPECT_EQ(SendMessage(windowA, WM_APP, 10, 0), 12);

    // Both threads send to each other at the same time, many times over.
    constexpr int kRounds = 200;
    for (int i = 0; i < kRounds; ++i) {
        PostMessage(windowA, WM_APP + 3, 0, 0);
        PostMessage(windowB, WM_APP + 3, 0, 0);
    }
    EXPECT_TRUE(WaitFor([&] { return a.Count(WM_APP + 4) == kRounds && b.Count(WM_APP + 4) == kRounds; }));
}

TEST(WindowMessages, SendToAWindowThatGoesFailsCleanly) {
    Probe probe;
    const HWND local = Make(probe, 0, 0, 1, 1, 0, 0);
    DestroyWindow(local);
    SetLastError(0);
    EXPECT_EQ(SendMessage(local, WM_APP, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    // Destroyed by its owner while the send waits in the queue.
    std::atomic<HWND> w{0};
    std::atomic<bool> go{false};
    std::thread owner([&] {
        w = Make(probe, 0, 0, 1, 1, 0, 0);
        while (!go) std::this_thread::sleep_for(1ms);
        DestroyWindow(w);
        PumpMessages(50ms);
    });
    while (w == 0) std::this_thread::sleep_for(1ms);
    LRESULT result = -1;
    DWORD error = 0;
    std::thread sender([&] {
        result = SendMessage(w, WM_APP + 7, 0, 0);
        error = GetLastError();
    });
    EXPECT_TRUE(WaitFor([&] { return host::SendsWaiting(w) == 1; })) << "the send is queued before the window goes";
    go = true;
    sender.join();
    owner.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(probe.Count(WM_APP + 7), 0);

    // The owner thread ends without ever pumping: the sender is released.
    std::atomic<bool> quit{false};
    w = 0;
    std::thread silent([&] {
        w = Make(probe, 0, 0, 1, 1, 0, 0);
        while (!quit) std::this_thread::sleep_for(1ms);
    });
    while (w == 0) std::this_thread::sleep_for(1ms);
    std::thread waiting([&] { result = SendMessage(w, WM_APP + 8, 0, 0); });
    EXPECT_TRUE(WaitFor([&] { return host::SendsWaiting(w) == 1; })) << "the send is queued before the thread ends";
    quit = true;
    silent.join();
    waiting.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(probe.Count(WM_APP + 8), 0);
}

TEST(WindowMessages, SendWithTimeOutWithdrawsTheMessageFromABusyOwner) {
    Probe probe;
    std::atomic<HWND> w{0};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        w = Make(probe, 0, 0, 1, 1, 0, 0);
        while (!release) std::this_thread::sleep_for(1ms);
        PumpMessages(30ms);
        DestroyWindow(w);
    });
    while (w == 0) std::this_thread::sleep_for(1ms);
    LRESULT result = 5;
    EXPECT_EQ(SendMessageTimeout(w, WM_APP, 0, 0, SMTO_NORMAL, 20, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(result, 5);
    release = true;
    owner.join();
    EXPECT_EQ(probe.Count(WM_APP), 0);
}

TEST(WindowMessages, QuitComesAfterThePostedMessagesWithItsExitCode) {
    Probe probe;
    const HWND w = Make(probe, 0, 0, 1, 1, 0, 0);
    PostMessage(w, WM_APP, 0, 0);
    PostQuitMessage(7);
    PostMessage(w, WM_APP + 1, 0, 0);
    PostMessage(0, WM_APP + 2, 0, 0);  // a message for the thread itself
    MSG m;
    ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);
    EXPECT_EQ(m.message, WM_APP);
    ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);
    EXPECT_EQ(m.message, WM_APP + 1);
    ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);
    EXPECT_EQ(m.message, WM_APP + 2);
    EXPECT_EQ(m.hwnd, 0u);
    EXPECT_EQ(DispatchMessage(&m), 0);
    ASSERT_EQ(GetMessage(&m, 0, 0, 0), 0);
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wParam, 7u);
    DestroyWindow(w);
    EXPECT_EQ(GetMessage(&m, w, 0, 0), -1);
}

TEST(WindowMessages, PeekAndFiltersTakeOnlyWhatTheyAskFor) {
    Probe probe;
    const HWND w = Make(probe, 0, 0, 1, 1, 0, 0);
    PostMessage(w, WM_APP, 0, 0);
    PostMessage(w, WM_USER, 0, 0);
    MSG m;
    ASSERT_TRUE(PeekMessage(&m, 0, WM_USER, WM_USER, PM_NOREMOVE));
    EXPECT_EQ(m.message, WM_USER);
    ASSERT_TRUE(PeekMessage(&m, 0, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_FALSE(PeekMessage(&m, 0, WM_USER, WM_USER, PM_REMOVE));
    ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_APP);
    EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
    DestroyWindow(w);
}

TEST(WindowMessages, PumpingEndsOnTimeOutOnQuitOrWhenTheConditionHolds) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(PumpMessages(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

    PostQuitMessage(0);
    EXPECT_FALSE(PumpMessages(10s));  // returns at the quit, not after ten seconds

    // The flag turns true after the pump's first look, and no message comes:
    // the pump has to look again by itself.
    std::atomic<bool> flag{false};
    std::atomic<int> looks{0};
    std::thread setter([&] {
        WaitFor([&] { return looks.load() > 0; });
        flag = true;
    });
    EXPECT_TRUE(PumpMessagesUntil(
        [&] {
            ++looks;
            return flag.load();
        },
        10s));
    setter.join();
    EXPECT_FALSE(PumpMessagesUntil([] { return false; }, 20ms));

    // A quit met while waiting for a condition is kept for the real loop.
    PostQuitMessage(3);
    EXPECT_FALSE(PumpMessagesUntil([] { return false; }, 10s));
    MSG m;
    EXPECT_EQ(GetMessage(&m, 0, 0, 0), 0);
    EXPECT_EQ(m.wParam, 3u);
}
