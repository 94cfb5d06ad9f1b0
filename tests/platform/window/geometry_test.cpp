#include <gtest/gtest.h>

#include <thread>

#include "platform/window/host.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;
using namespace std::chrono_literals;

namespace {

std::vector<Seen> Of(const Probe& p, UINT message) {
    std::vector<Seen> out;
    for (const Seen& s : p.Messages())
        if (s.Message == message) out.push_back(s);
    return out;
}

SIZE SizeOf(LPARAM l) { return SIZE{LOWORD(static_cast<std::uintptr_t>(l)), HIWORD(static_cast<std::uintptr_t>(l))}; }

}  // namespace

TEST(WindowGeometry, SetWindowPosHonoursItsFlagsAndReportsOnlyRealChanges) {
    Probe parentProbe, probe;
    const HWND parent = Make(parentProbe, 0, 0, 400, 300);
    const HWND w = Make(probe, 10, 20, 100, 50, parent);
    probe.Clear();

    // The consumer's zoom: size only, position and stacking kept (0x206).
    ASSERT_TRUE(SetWindowPos(w, 0, 0, 0, 480, 360, SWP_NOMOVE | SWP_NOZORDER | SWP_NOOWNERZORDER));
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r, (RECT{10, 20, 490, 380}));
    GetClientRect(w, &r);
    EXPECT_EQ(r, (RECT{0, 0, 480, 360}));
    ASSERT_EQ(Of(probe, WM_SIZE).size(), 1u);
    EXPECT_EQ(SizeOf(Of(probe, WM_SIZE)[0].LParam), (SIZE{480, 360}));
    EXPECT_EQ(Of(probe, WM_SIZE)[0].WParam, SIZE_RESTORED);
    EXPECT_TRUE(Of(probe, WM_MOVE).empty());

    probe.Clear();
    SetWindowPos(w, 0, 30, 40, 1, 1, SWP_NOSIZE | SWP_NOZORDER);
    GetWindowRect(w, &r);
    EXPECT_EQ(r, (RECT{30, 40, 510, 400}));
    EXPECT_EQ(Of(probe, WM_MOVE).size(), 1u);
    EXPECT_TRUE(Of(probe, WM_SIZE).empty());

    probe.Clear();
    SetWindowPos(w, 0, 30, 40, 480, 360, SWP_NOZORDER);  // nothing changes
    EXPECT_TRUE(Of(probe, WM_MOVE).empty());
    EXPECT_TRUE(Of(probe, WM_SIZE).empty());

    SetWindowPos(w, 0, 0, 0, -5, 1 << 30, SWP_NOMOVE | SWP_NOZORDER);  // sizes are clamped
    GetClientRect(w, &r);
    EXPECT_EQ(r, (RECT{0, 0, 0, kMaxBitmapExtent}));
    EXPECT_FALSE(SetWindowPos(0x7FFFFFF0u, 0, 0, 0, 1, 1, 0));
    DestroyWindow(parent);
}

TEST(WindowGeometry, AWindowThatSnapsBackInItsSizeHandlerKeepsItsPlace) {
    Probe probe;
    probe.Handler = [](HWND w, UINT m, WPARAM, LPARAM l, LRESULT&) {
        if (m == WM_SIZE &&
            (LOWORD(static_cast<std::uintptr_t>(l)) != 81 || HIWORD(static_cast<std::uintptr_t>(l)) != 27))
            SetWindowPos(w, 0, 0, 0, 81, 27, SWP_NOMOVE | SWP_NOZORDER);
        return false;
    };
    const HWND w = Make(probe, 7, 9, 200, 100);  // snaps already at creation
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r, (RECT{7, 9, 88, 36}));
    SetWindowPos(w, 0, 7, 9, 200, 100, SWP_NOZORDER);
    GetWindowRect(w, &r);
    EXPECT_EQ(r, (RECT{7, 9, 88, 36}));
    DestroyWindow(w);
}

TEST(WindowGeometry, StackingFollowsInsertAfter) {
    Probe p, a, b, c;
    const HWND parent = Make(p, 0, 0, 100, 100);
    const HWND wa = Make(a, 0, 0, 10, 10, parent);
    const HWND wb = Make(b, 0, 0, 10, 10, parent);
    const HWND wc = Make(c, 0, 0, 10, 10, parent);
    auto order = [&] {
        std::vector<HWND> top;
        for (HWND h = GetWindow(parent, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) top.push_back(h);
        return top;
    };
    EXPECT_EQ(order(), (std::vector<HWND>{wc, wb, wa}));  // the newest on top
    SetWindowPos(wa, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(order(), (std::vector<HWND>{wa, wc, wb}));
    SetWindowPos(wa, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(order(), (std::vector<HWND>{wc, wb, wa}));
    SetWindowPos(wc, wb, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);  // just below wb
    EXPECT_EQ(order(), (std::vector<HWND>{wb, wc, wa}));
    SetWindowPos(wb, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_EQ(order(), (std::vector<HWND>{wb, wc, wa}));
    DestroyWindow(parent);
}

TEST(WindowGeometry, ChangesFromAnotherThreadRunOnTheOwnerThread) {
    Probe probe;
    std::atomic<HWND> window{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        window = Make(probe, 0, 0, 10, 10);
        PumpMessagesUntil([&] { return stop.load(); }, 20s);
        DestroyWindow(window);
    });
    while (window == 0) std::this_thread::sleep_for(1ms);
    const HWND w = window;
    probe.Clear();
    ASSERT_TRUE(SetWindowPos(w, 0, 0, 0, 64, 48, SWP_NOMOVE | SWP_NOZORDER));
    EXPECT_TRUE(ShowWindow(w, SW_HIDE));  // it was visible
    EXPECT_FALSE(IsWindowVisible(w));
    RECT r;
    GetClientRect(w, &r);
    EXPECT_EQ(r, (RECT{0, 0, 64, 48}));
    const auto sizes = Of(probe, WM_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].Thread, GetWindowThreadProcessId(w, nullptr));
    stop = true;
    owner.join();
}

TEST(WindowGeometry, MaximiseAsksForMinMaxInfoAndRestoreGoesBack) {
    Probe probe;
    probe.Handler = [](HWND, UINT m, WPARAM, LPARAM l, LRESULT&) {
        if (m != WM_GETMINMAXINFO) return false;
        auto* info = reinterpret_cast<MINMAXINFO*>(l);
        info->ptMaxSize = POINT{81, 27};
        info->ptMaxPosition = POINT{81, 27};
        info->ptMinTrackSize = POINT{81, 27};
        info->ptMaxTrackSize = POINT{81, 27};
        return false;
    };
    const HWND w = Make(probe, 5, 5, 40, 20);
    ShowWindow(w, SW_MAXIMIZE);
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r, (RECT{81, 27, 162, 54}));
    ASSERT_FALSE(Of(probe, WM_SIZE).empty());
    EXPECT_EQ(Of(probe, WM_SIZE).back().WParam, SIZE_MAXIMIZED);
    ShowWindow(w, SW_RESTORE);
    GetWindowRect(w, &r);
    EXPECT_EQ(r, (RECT{5, 5, 45, 25}));

    // A user dragging the frame is held to the tracking sizes; code is not.
    EXPECT_TRUE(host::ResizeWindowAsUser(w, 200, 100));
    GetClientRect(w, &r);
    EXPECT_EQ(r, (RECT{0, 0, 81, 27}));
    SetWindowPos(w, 0, 0, 0, 200, 100, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(w, &r);
    EXPECT_EQ(r, (RECT{0, 0, 200, 100}));
    DestroyWindow(w);
}

TEST(WindowGeometry, DefaultMaximisedSizeIsTheScreenOrTheParentsClientArea) {
    Probe p, c;
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1024);
    ASSERT_TRUE(host::SetScreenSize(640, 480));
    EXPECT_FALSE(host::SetScreenSize(0, 480));
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 640);
    const HWND top = Make(p, 10, 10, 100, 100);
    const HWND child = Make(c, 1, 1, 10, 10, top);
    ShowWindow(top, SW_MAXIMIZE);
    ShowWindow(child, SW_MAXIMIZE);
    RECT r;
    GetWindowRect(top, &r);
    EXPECT_EQ(r, (RECT{0, 0, 640, 480}));
    GetClientRect(child, &r);
    EXPECT_EQ(r, (RECT{0, 0, 640, 480}));
    DestroyWindow(top);
    host::SetScreenSize(1280, 1024);
}

TEST(WindowGeometry, ReparentingKeepsRelativePlaceAndRefusesCycles) {
    Probe a, b, c;
    const HWND first = Make(a, 100, 100, 200, 200);
    const HWND second = Make(b, 300, 300, 200, 200);
    const HWND child = Make(c, 10, 10, 20, 20, first);
    EXPECT_EQ(GetParent(child), first);
    EXPECT_EQ(SetParent(child, second), first);
    EXPECT_EQ(GetParent(child), second);
    POINT p{0, 0};
    ClientToScreen(child, &p);
    EXPECT_EQ(p, (POINT{310, 310}));
    ScreenToClient(child, &p);
    EXPECT_EQ(p, (POINT{0, 0}));
    EXPECT_EQ(SetParent(second, child), 0u);  // a window cannot go under its own child
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetParent(child, 0), second);
    EXPECT_EQ(GetParent(child), 0u);
    DestroyWindow(first);
    DestroyWindow(second);
    EXPECT_TRUE(IsWindow(child));
    DestroyWindow(child);
}
