#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "platform/notice/notice.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;
using namespace std::chrono_literals;

TEST(WindowLifecycle, HandlesAreNeverReusedAndDieWithTheirWindow) {
    Probe probe;
    std::set<HWND> seen;
    std::vector<HWND> dead;
    for (int i = 0; i < 100; ++i) {
        const HWND w = Make(probe, 0, 0, 10, 10);
        ASSERT_NE(w, 0u);
        EXPECT_TRUE(seen.insert(w).second) << "handle reused: " << w;
        EXPECT_TRUE(IsWindow(w));
        ASSERT_TRUE(DestroyWindow(w));
        dead.push_back(w);
    }
    for (HWND w : dead) {
        EXPECT_FALSE(IsWindow(w));
        EXPECT_FALSE(PostMessage(w, WM_APP, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_EQ(SendMessage(w, WM_APP, 0, 0), 0);
        RECT r;
        EXPECT_FALSE(GetClientRect(w, &r));
        EXPECT_FALSE(DestroyWindow(w));
    }
    EXPECT_FALSE(IsWindow(0));
}

TEST(WindowLifecycle, CreateDeliversTheParameterFirstThenPositionAndSize) {
    Probe probe;
    const HWND w = Make(probe, 5, 6, 81, 27);
    ASSERT_NE(w, 0u);
    const auto kinds = probe.Kinds();
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds[0], WM_CREATE);
    const auto messages = probe.Messages();
    const auto size =
        std::find_if(messages.begin(), messages.end(), [](const Seen& s) { return s.Message == WM_SIZE; });
    ASSERT_NE(size, messages.end());
    EXPECT_EQ(LOWORD(static_cast<std::uintptr_t>(size->LParam)), 81);
    EXPECT_EQ(HIWORD(static_cast<std::uintptr_t>(size->LParam)), 27);
    // The user data holds the whole pointer the creation parameter carried.
    EXPECT_EQ(GetWindowLongPtr(w, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&probe));
    SetWindowLongPtr(w, GWLP_USERDATA, static_cast<LONG_PTR>(0x7FFF123456789ABCLL));
    EXPECT_EQ(GetWindowLongPtr(w, GWLP_USERDATA), static_cast<LONG_PTR>(0x7FFF123456789ABCLL));
    SetWindowLongPtr(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&probe));
    DestroyWindow(w);
}

TEST(WindowLifecycle, CreateFailsWhenTheProcedureRefusesIt) {
    Probe probe;
    probe.Handler = [](HWND, UINT m, WPARAM, LPARAM, LRESULT& r) {
        if (m != WM_CREATE) return false;
        r = -1;
        return true;
    };
    EXPECT_EQ(Make(probe, 0, 0, 5, 5), 0u);
    EXPECT_EQ(probe.Count(WM_DESTROY), 1);
    EXPECT_FALSE(IsWindow(probe.Messages().front().Window));
    EXPECT_EQ(CreateWindowEx(0, "NoSuchClass", "", 0, 0, 0, 1, 1, 0, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

TEST(WindowLifecycle, DestroyTellsTheParentFirstAndFreesChildrenFirst) {
    Probe parent, child, grandchild;
    std::vector<std::pair<HWND, UINT>> order;
    auto track = [&order](HWND w, UINT m, WPARAM, LPARAM, LRESULT&) {
        if (m == WM_DESTROY || m == WM_NCDESTROY) order.emplace_back(w, m);
        return false;
    };
    parent.Handler = child.Handler = grandchild.Handler = track;
    const HWND p = Make(parent, 0, 0, 100, 100);
    const HWND c = Make(child, 10, 10, 50, 50, p);
    const HWND g = Make(grandchild, 5, 5, 10, 10, c);
    // The child can still be reached while its parent handles WM_DESTROY.
    bool childAliveDuringParentDestroy = false;
    parent.Handler = [&](HWND w, UINT m, WPARAM a, LPARAM b, LRESULT& r) {
        if (m == WM_DESTROY) childAliveDuringParentDestroy = IsWindow(c) && IsWindow(w);
        return track(w, m, a, b, r);
    };
    ASSERT_TRUE(DestroyWindow(p));
    EXPECT_TRUE(childAliveDuringParentDestroy);
    const std::vector<std::pair<HWND, UINT>> expected{{p, WM_DESTROY},   {c, WM_DESTROY},   {g, WM_DESTROY},
                                                      {g, WM_NCDESTROY}, {c, WM_NCDESTROY}, {p, WM_NCDESTROY}};
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(IsWindow(p));
    EXPECT_FALSE(IsWindow(c));
    EXPECT_FALSE(IsWindow(g));
}

TEST(WindowLifecycle, AChildDetachedDuringItsParentsDestroySurvives) {
    Probe parent, video;
    const HWND p = Make(parent, 0, 0, 100, 100);
    const HWND v = Make(video, 0, 0, 100, 100, p);
    parent.Handler = [v](HWND, UINT m, WPARAM, LPARAM, LRESULT&) {
        if (m == WM_DESTROY) {
            ShowWindow(v, SW_HIDE);
            SetWindowLongPtr(v, GWL_STYLE, static_cast<LONG_PTR>(WS_POPUP));
            SetParent(v, 0);
        }
        return false;
    };
    DestroyWindow(p);
    EXPECT_FALSE(IsWindow(p));
    ASSERT_TRUE(IsWindow(v));
    EXPECT_EQ(GetParent(v), 0u);
    EXPECT_EQ(video.Count(WM_DESTROY), 0);
    DestroyWindow(v);
}

TEST(WindowLifecycle, AnotherThreadCannotDestroyAWindowButCanAskItsOwner) {
    Probe probe;
    std::atomic<HWND> window{0};
    std::atomic<bool> done{false};
    probe.Handler = [](HWND, UINT m, WPARAM, LPARAM, LRESULT&) {
        if (m == WM_DESTROY) PostQuitMessage(0);
        return false;
    };
    std::thread owner([&] {
        window = Make(probe, 0, 0, 10, 10);
        MSG m;
        while (GetMessage(&m, 0, 0, 0) == 1) DispatchMessage(&m);
        done = true;
    });
    while (window == 0) std::this_thread::sleep_for(1ms);
    const HWND w = window;
    EXPECT_FALSE(DestroyWindow(w));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(w));
    ASSERT_TRUE(PostMessage(w, WM_CLOSE, 0, 0));  // the default handling destroys it on its thread
    owner.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(IsWindow(w));
}

TEST(WindowLifecycle, ClassesAreSharedByNameAndStayWhileTheyHaveWindows) {
    WNDCLASS c;
    c.lpfnWndProc = ProbeProc;
    c.lpszClassName = "{6F1B0C2E-0D55-4C1A-9C2B-3E0F6A7D1B42}";
    ASSERT_NE(RegisterClass(&c), 0);
    c.lpszClassName = "{6f1b0c2e-0d55-4c1a-9c2b-3e0f6a7d1b42}";
    EXPECT_EQ(RegisterClass(&c), 0);  // names compare without case
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    Probe probe;
    const HWND w =
        CreateWindowEx(0, "{6F1B0C2E-0D55-4C1A-9C2B-3E0F6A7D1B42}", "", 0, 0, 0, 0, 0, 0, nullptr, nullptr, &probe);
    ASSERT_NE(w, 0u);
    EXPECT_FALSE(UnregisterClass("{6F1B0C2E-0D55-4C1A-9C2B-3E0F6A7D1B42}", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    DestroyWindow(w);
    EXPECT_TRUE(UnregisterClass("{6F1B0C2E-0D55-4C1A-9C2B-3E0F6A7D1B42}", nullptr));
    EXPECT_FALSE(UnregisterClass("{6F1B0C2E-0D55-4C1A-9C2B-3E0F6A7D1B42}", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST(WindowLifecycle, WindowsOfAnEndedThreadAreGoneAndRefuseMessages) {
    Probe probe;
    HWND w = 0;
    std::thread([&] { w = Make(probe, 0, 0, 10, 10); }).join();
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(PostMessage(w, WM_APP, 0, 0));
    EXPECT_EQ(SendMessage(w, WM_APP, 0, 0), 0);
}

TEST(WindowLifecycle, AThrowingProcedureIsReportedAndYieldsZero) {
    NoticeCapture notices;
    Probe probe;
    const HWND w = Make(probe, 0, 0, 10, 10);
    probe.Handler = [](HWND, UINT m, WPARAM, LPARAM, LRESULT&) -> bool {
        if (m == WM_APP) throw std::runtime_error("boom");
        return false;
    };
    EXPECT_EQ(SendMessage(w, WM_APP, 0, 0), 0);
    ASSERT_EQ(notices.Count(), 1u);
    EXPECT_NE(notices.Texts()[0].find("boom"), std::string::npos);
    probe.Handler = nullptr;
    DestroyWindow(w);
}

TEST(WindowLifecycle, AChildOfAnotherThreadIsDestroyedOnItsOwnThreadWithItsParent) {
    Probe parentProbe, childProbe;
    const HWND parent = Make(parentProbe, 0, 0, 100, 100);
    std::atomic<HWND> child{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        child = Make(childProbe, 10, 10, 20, 20, parent);
        PumpMessagesUntil([&] { return stop.load(); }, 20s);
    });
    while (child == 0) std::this_thread::sleep_for(1ms);
    const DWORD childThread = GetWindowThreadProcessId(child, nullptr);
    ASSERT_TRUE(DestroyWindow(parent));
    EXPECT_FALSE(IsWindow(child));
    const auto messages = childProbe.Messages();
    const auto destroy =
        std::find_if(messages.begin(), messages.end(), [](const Seen& s) { return s.Message == WM_DESTROY; });
    ASSERT_NE(destroy, messages.end());
    EXPECT_EQ(destroy->Thread, childThread);
    stop = true;
    owner.join();
}
