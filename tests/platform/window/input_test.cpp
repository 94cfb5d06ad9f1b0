#include <gtest/gtest.h>

#include <thread>

#include "platform/window/host.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;
using namespace std::chrono_literals;

namespace {

struct Point {
    int x;
    int y;
    friend bool operator==(const Point&, const Point&) = default;
};

std::vector<Point> Clicks(const Probe& p, UINT message) {
    std::vector<Point> out;
    for (const Seen& s : p.Messages())
        if (s.Message == message) out.push_back(Point{GET_X_LPARAM(s.LParam), GET_Y_LPARAM(s.LParam)});
    return out;
}

}  // namespace

TEST(WindowInput, MouseInputReachesTheTopmostVisibleChildInItsOwnCoordinates) {
    Probe container, control, hidden;
    const HWND top = Make(container, 0, 0, 300, 200);
    const HWND child = Make(control, 100, 50, 81, 27, top);
    Make(hidden, 100, 50, 81, 27, top, 0);
    ASSERT_TRUE(host::Click(top, 130, 60));
    EXPECT_EQ(host::MouseTarget(top, POINT{130, 60}), child);
    PumpMessages(0ms);
    EXPECT_EQ(Clicks(control, WM_LBUTTONDOWN), (std::vector<Point>{{30, 10}}));
    EXPECT_EQ(Clicks(control, WM_LBUTTONUP), (std::vector<Point>{{30, 10}}));
    EXPECT_EQ(control.Messages().back().Thread, GetCurrentThreadId());
    EXPECT_TRUE(hidden.Count(WM_LBUTTONDOWN) == 0);

    ASSERT_TRUE(host::InjectMouse(top, WM_LBUTTONDOWN, 5, 5, MK_LBUTTON));
    PumpMessages(0ms);
    EXPECT_EQ(Clicks(container, WM_LBUTTONDOWN), (std::vector<Point>{{5, 5}}));
    EXPECT_FALSE(host::InjectMouse(top, WM_LBUTTONDOWN, 300, 5));  // nothing is under the pointer
    DestroyWindow(top);
}

TEST(WindowInput, CaptureRoutesAllMouseInputToItsWindowUntilReleased) {
    Probe container, control;
    const HWND top = Make(container, 0, 0, 300, 200);
    const HWND child = Make(control, 100, 50, 81, 27, top);
    control.Handler = [](HWND w, UINT m, WPARAM, LPARAM, LRESULT&) {
        if (m == WM_LBUTTONDOWN) SetCapture(w);
        if (m == WM_LBUTTONUP && GetCapture() == w) ReleaseCapture();
        return false;
    };
    host::InjectMouse(top, WM_LBUTTONDOWN, 110, 60, MK_LBUTTON);
    PumpMessages(0ms);
    EXPECT_EQ(GetCapture(), child);
    HWND seenFromElsewhere = 1;
    std::thread([&] { seenFromElsewhere = GetCapture(); }).join();
    EXPECT_EQ(seenFromElsewhere, 0u);

    // Released far outside the control, even outside the container.
    host::InjectMouse(top, WM_MOUSEMOVE, 20, 10, MK_LBUTTON);
    host::InjectMouse(top, WM_LBUTTONUP, 400, 5);
    PumpMessages(0ms);
    EXPECT_EQ(Clicks(control, WM_MOUSEMOVE), (std::vector<Point>{{-80, -40}}));
    EXPECT_EQ(Clicks(control, WM_LBUTTONUP), (std::vector<Point>{{300, -45}}));
    EXPECT_TRUE(Clicks(container, WM_LBUTTONUP).empty());
    EXPECT_EQ(control.Count(WM_CAPTURECHANGED), 1);
    EXPECT_EQ(GetCapture(), 0u);
    EXPECT_FALSE(ReleaseCapture());

    // A window that goes takes its capture with it.
    SetCapture(child);
    DestroyWindow(child);
    EXPECT_EQ(GetCapture(), 0u);
    EXPECT_EQ(host::MouseTarget(top, POINT{400, 5}), 0u);
    DestroyWindow(top);
}

TEST(WindowInput, ActivationTellsTheOldWindowFirstEachOnItsOwnThread) {
    Probe local, remote;
    const HWND a = Make(local, 0, 0, 10, 10);
    std::atomic<HWND> b{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        b = Make(remote, 0, 0, 10, 10);
        PumpMessagesUntil([&] { return stop.load(); }, 20s);
        DestroyWindow(b);
    });
    while (b == 0) std::this_thread::sleep_for(1ms);

    EXPECT_EQ(SetActiveWindow(a), 0u);
    EXPECT_EQ(GetActiveWindow(), a);
    EXPECT_EQ(SetActiveWindow(b), a);
    EXPECT_EQ(SetActiveWindow(b), b);  // already active: nothing is sent
    SetActiveWindow(0);

    const auto of = [](const Probe& p) {
        std::vector<Seen> out;
        for (const Seen& s : p.Messages())
            if (s.Message == WM_ACTIVATE) out.push_back(s);
        return out;
    };
    const auto la = of(local);
    ASSERT_EQ(la.size(), 2u);
    EXPECT_EQ(LOWORD(la[0].WParam), WA_ACTIVE);
    EXPECT_EQ(la[0].LParam, 0);
    EXPECT_EQ(LOWORD(la[1].WParam), WA_INACTIVE);
    EXPECT_EQ(static_cast<HWND>(la[1].LParam), b.load());
    const auto lb = of(remote);
    ASSERT_EQ(lb.size(), 2u);
    EXPECT_EQ(LOWORD(lb[0].WParam), WA_ACTIVE);
    EXPECT_EQ(static_cast<HWND>(lb[0].LParam), a);
    EXPECT_EQ(LOWORD(lb[1].WParam), WA_INACTIVE);
    EXPECT_EQ(lb[0].Thread, GetWindowThreadProcessId(b, nullptr));

    SetFocus(a);
    SetFocus(b);
    EXPECT_EQ(local.Count(WM_SETFOCUS), 1);
    EXPECT_EQ(local.Count(WM_KILLFOCUS), 1);
    EXPECT_EQ(remote.Count(WM_SETFOCUS), 1);
    EXPECT_EQ(GetFocus(), b.load());
    EXPECT_EQ(SetActiveWindow(0x7FFFFFF0u), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    stop = true;
    owner.join();
    EXPECT_EQ(GetFocus(), 0u);
    DestroyWindow(a);
}
