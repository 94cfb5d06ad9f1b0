// Window classes shared by the objects of a module: the first holder
// registers, the last one takes the class away, and nobody in between finds it
// missing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/window/shared_class.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;
using namespace std::chrono_literals;

namespace {

LRESULT OtherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(window, message, wParam, lParam);
}

WNDCLASS Describe(const char* name) {
    WNDCLASS description{};
    description.lpfnWndProc = &ProbeProc;
    description.lpszClassName = name;
    return description;
}

HWND MakeOf(const char* name, Probe* probe = nullptr) {
    return CreateWindowEx(0, name, "", 0, 0, 0, 4, 4, 0, nullptr, nullptr, probe);
}

// No window of the class can be made.
bool Gone(const char* name) {
    if (const HWND w = MakeOf(name)) {
        DestroyWindow(w);
        return false;
    }
    return GetLastError() == ERROR_CANNOT_FIND_WND_CLASS;
}

// The name is registered (a plain registration of it is refused).
bool Taken(const char* name) {
    WNDCLASS plain = Describe(name);
    plain.lpfnWndProc = &OtherProc;
    if (RegisterClass(&plain) != 0) {
        UnregisterClass(name, nullptr);
        return false;
    }
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

TEST(SharedWindowClass, TheFirstHolderRegistersItAndTheLastTakesItAway) {
    constexpr const char* kName = "shared.FirstAndLast";
    ASSERT_TRUE(Gone(kName));
    SharedWindowClass first(Describe(kName));
    ASSERT_TRUE(first) << GetLastError();
    EXPECT_NE(first.Atom(), 0);
    SharedWindowClass second(Describe("SHARED.firstandlast"));  // names compare without case
    ASSERT_TRUE(second) << GetLastError();
    EXPECT_EQ(second.Atom(), first.Atom()) << "the second holder joins the first one's class";

    first.Release();
    EXPECT_FALSE(first);
    EXPECT_EQ(first.Atom(), 0);
    Probe probe;
    const HWND w = MakeOf(kName, &probe);
    ASSERT_NE(w, 0u) << "the second holder still has it";
    EXPECT_EQ(probe.Count(WM_CREATE), 1) << "with the first holder's procedure";
    ASSERT_TRUE(DestroyWindow(w));

    {
        SharedWindowClass moved = std::move(second);  // the hold moves; it is not doubled
        // NOLINTNEXTLINE(bugprone-use-after-move): checks what the move left
        EXPECT_FALSE(second);
        EXPECT_TRUE(moved);
        first.Release();  // holds nothing: changes nothing
        EXPECT_FALSE(Gone(kName));
    }
    EXPECT_TRUE(Gone(kName)) << "the last holder took it away";
    EXPECT_FALSE(Taken(kName)) << "and the name is free again";

    SharedWindowClass again(Describe(kName));
    EXPECT_TRUE(again) << "a later first holder registers it anew";
}

TEST(SharedWindowClass, HoldersComingAndGoingOnManyThreadsNeverFindItMissing) {
    constexpr const char* kName = "shared.ManyThreads";
    constexpr int kThreads = 4;
    constexpr int kRounds = 1000;
    std::atomic<int> refused{0};
    std::atomic<int> missing{0};
    std::atomic<int> otherFailures{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();  // start together
            for (int i = 0; i < kRounds; ++i) {
                SharedWindowClass held(Describe(kName));
                if (!held) {
                    refused.fetch_add(1);
                    continue;
                }
                std::this_thread::yield();  // let another holder end meanwhile
                const HWND w = MakeOf(kName);
                if (w == 0) {
                    (GetLastError() == ERROR_CANNOT_FIND_WND_CLASS ? missing : otherFailures).fetch_add(1);
                    continue;
                }
                DestroyWindow(w);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(missing.load(), 0) << "a holder ending took the class from one starting";
    EXPECT_EQ(otherFailures.load(), 0);
    EXPECT_TRUE(Gone(kName));
}

TEST(SharedWindowClass, AFailedAcquireIsReportedAndCountsForNothing) {
    constexpr const char* kName = "shared.Failures";
    SharedWindowClass holder;
    WNDCLASS noProcedure = Describe(kName);
    noProcedure.lpfnWndProc = nullptr;
    EXPECT_FALSE(holder.Acquire(noProcedure));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(holder);
    EXPECT_FALSE(holder.Acquire(Describe("")));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Gone(kName));

    // A name registered the plain way is neither joined nor taken away.
    WNDCLASS plain = Describe(kName);
    ASSERT_NE(RegisterClass(&plain), 0);
    {
        SharedWindowClass refused(Describe(kName));
        EXPECT_FALSE(refused);
        EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    }
    EXPECT_TRUE(UnregisterClass(kName, nullptr)) << "the plain class outlived the refused holder";

    // Another procedure under a shared name is refused and does not keep the
    // class once its real holder lets go.
    ASSERT_TRUE(holder.Acquire(Describe(kName)));
    WNDCLASS other = Describe(kName);
    other.lpfnWndProc = &OtherProc;
    SharedWindowClass stranger(other);
    EXPECT_FALSE(stranger);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    EXPECT_FALSE(Gone(kName));

    // Acquiring again lets go of what was held first, even when it fails.
    EXPECT_FALSE(holder.Acquire(noProcedure));
    EXPECT_FALSE(holder);
    EXPECT_TRUE(Gone(kName));
}

TEST(SharedWindowClass, WindowsLeftAtTheLastReleaseKeepItUntilTheLastOfThemGoes) {
    constexpr const char* kName = "shared.WindowsLeft";
    SharedWindowClass holder(Describe(kName));
    ASSERT_TRUE(holder);
    const HWND a = MakeOf(kName);
    const HWND b = MakeOf(kName);
    ASSERT_TRUE(a && b);
    holder.Release();
    EXPECT_TRUE(Taken(kName)) << "its windows keep it";
    ASSERT_TRUE(DestroyWindow(a));
    EXPECT_TRUE(Taken(kName));

    // A holder coming meanwhile keeps it past its last window.
    SharedWindowClass late(Describe(kName));
    ASSERT_TRUE(late);
    ASSERT_TRUE(DestroyWindow(b));
    EXPECT_FALSE(Gone(kName));
    late.Release();
    EXPECT_TRUE(Gone(kName));

    // A window another thread has not closed yet: the class goes when that
    // thread ends and its windows with it.
    ASSERT_TRUE(holder.Acquire(Describe(kName)));
    std::atomic<HWND> left{0};
    std::atomic<bool> made{false};
    std::atomic<bool> quit{false};
    std::thread owner([&] {
        left = MakeOf(kName);
        made = true;
        while (!quit) std::this_thread::sleep_for(1ms);
    });
    while (!made) std::this_thread::sleep_for(1ms);
    EXPECT_NE(left.load(), 0u);
    holder.Release();
    EXPECT_TRUE(Taken(kName));
    quit = true;
    owner.join();
    EXPECT_FALSE(IsWindow(left));
    EXPECT_TRUE(Gone(kName));
}
