// The display's input reaches the windows as their messages, on their own
// threads: buttons, the wheel, motion, the capture, the focus, the window
// manager's resize and close.

#include <atomic>
#include <thread>

#include "x11_fixture.h"

using namespace platform;
using namespace testwin;
using x11test::Eventually;

namespace {

std::vector<Seen> Of(const Probe& probe, UINT message) {
    std::vector<Seen> found;
    for (const Seen& s : probe.Messages())
        if (s.Message == message) found.push_back(s);
    return found;
}

POINT PointOf(const Seen& s) { return POINT{GET_X_LPARAM(s.LParam), GET_Y_LPARAM(s.LParam)}; }

bool Viewable(x11test::Client& look, HWND window) {
    return Eventually([&] { return look.Viewable(static_cast<xcb_window_t>(host::NativeWindowId(window))); });
}

}  // namespace

using X11Input = OnOwnDisplay;

TEST_F(X11Input, AClickArrivesAsButtonDownAndUpAtTheClientPointOnTheOwnerThread) {
    Probe& top = NewProbe();
    Probe& child = NewProbe();
    std::atomic<HWND> made{0};
    std::atomic<bool> stop{false};
    std::atomic<DWORD> ownerThread{0};
    std::thread owner([&] {
        ownerThread = GetCurrentThreadId();
        const HWND t = testwin::Make(top, 0, 0, 200, 150);
        made = testwin::Make(child, 40, 30, 100, 80, t);
        PumpMessagesUntil([&] { return stop.load(); }, std::chrono::seconds(30));
        DestroyWindow(t);
    });
    ASSERT_TRUE(Eventually([&] { return made.load() != 0; }));
    const HWND c = made;
    ASSERT_TRUE(Viewable(*Look, c));

    Look->Click(Xid(c), 10, 15);
    ASSERT_TRUE(Eventually([&] { return child.Count(WM_LBUTTONUP) == 1; }));
    const auto downs = Of(child, WM_LBUTTONDOWN);
    const auto ups = Of(child, WM_LBUTTONUP);
    ASSERT_EQ(downs.size(), 1u);
    EXPECT_EQ(PointOf(downs[0]), (POINT{10, 15}));
    EXPECT_EQ(downs[0].WParam, MK_LBUTTON);
    EXPECT_EQ(PointOf(ups[0]), (POINT{10, 15}));
    EXPECT_EQ(ups[0].WParam, 0u) << "the button is no longer held";
    EXPECT_EQ(downs[0].Thread, ownerThread.load());
    EXPECT_EQ(ups[0].Thread, ownerThread.load());
    EXPECT_EQ(top.Count(WM_LBUTTONDOWN), 0) << "the child under the pointer takes the click";
    stop = true;
    owner.join();
}

TEST_F(X11Input, TheOtherButtonsTheWheelAndMotionCarryTheirKeys) {
    Probe& probe = NewProbe();
    const HWND w = Make(probe, 0, 0, 200, 150);
    ASSERT_TRUE(Viewable(*Look, w));
    Look->MoveTo(50, 60);
    ASSERT_TRUE(Eventually([&] { return !Of(probe, WM_MOUSEMOVE).empty(); }));
    EXPECT_EQ(PointOf(Of(probe, WM_MOUSEMOVE).back()), (POINT{50, 60}));

    struct Press {
        int Button;
        UINT Down;
        UINT Up;
        WPARAM Key;
    };
    for (const Press& p :
         {Press{3, WM_RBUTTONDOWN, WM_RBUTTONUP, MK_RBUTTON}, Press{2, WM_MBUTTONDOWN, WM_MBUTTONUP, MK_MBUTTON}}) {
        SCOPED_TRACE(p.Button);
        probe.Clear();
        Look->Press(p.Button);
        Look->MoveTo(55, 65);
        Look->Release(p.Button);
        ASSERT_TRUE(Eventually([&] { return probe.Count(p.Up) == 1; }));
        EXPECT_EQ(Of(probe, p.Down).at(0).WParam, p.Key);
        const auto moves = Of(probe, WM_MOUSEMOVE);
        ASSERT_FALSE(moves.empty());
        EXPECT_EQ(moves.back().WParam, p.Key) << "a move with the button held says so";
        EXPECT_EQ(PointOf(Of(probe, p.Up).at(0)), (POINT{55, 65}));
        Look->MoveTo(50, 60);
        ASSERT_TRUE(Eventually([&] { return PointOf(Of(probe, WM_MOUSEMOVE).back()) == POINT{50, 60}; }));
    }

    probe.Clear();
    Look->Press(4);
    Look->Release(4);
    Look->Press(5);
    Look->Release(5);
    ASSERT_TRUE(Eventually([&] { return probe.Count(WM_MOUSEWHEEL) == 2; }));
    const auto wheel = Of(probe, WM_MOUSEWHEEL);
    EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(wheel[0].WParam), WHEEL_DELTA) << "away from the user";
    EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(wheel[1].WParam), -WHEEL_DELTA);
    EXPECT_EQ(PointOf(wheel[0]), (POINT{50, 60})) << "the wheel says where on the screen";
}

TEST_F(X11Input, TheCaptureKeepsTheButtonUpReleasedOutsideAndTheMovesUntilReleased) {
    Probe& parent = NewProbe();
    Probe& capturing = NewProbe();
    Probe& other = NewProbe();
    capturing.Handler = [](HWND w, UINT m, WPARAM, LPARAM, LRESULT&) {
        if (m == WM_LBUTTONDOWN) SetCapture(w);
        return false;
    };
    const HWND p = Make(parent, 0, 0, 400, 200);
    const HWND a = Make(capturing, 10, 10, 100, 100, p);
    const HWND b = Make(other, 200, 10, 100, 100, p);
    ASSERT_TRUE(Viewable(*Look, b));

    Look->MoveTo(20, 20);
    Look->Press(1);
    ASSERT_TRUE(Eventually([&] { return GetCapture() == a; }));
    Look->MoveTo(250, 50);
    Look->Release(1);
    ASSERT_TRUE(Eventually([&] { return capturing.Count(WM_LBUTTONUP) == 1; }));
    EXPECT_EQ(PointOf(Of(capturing, WM_LBUTTONUP)[0]), (POINT{240, 40})) << "in the capturing window's coordinates";
    EXPECT_EQ(other.Count(WM_LBUTTONUP), 0);

    other.Clear();
    capturing.Clear();
    Look->MoveTo(260, 60);
    ASSERT_TRUE(Eventually([&] { return !Of(capturing, WM_MOUSEMOVE).empty(); }));
    EXPECT_EQ(PointOf(Of(capturing, WM_MOUSEMOVE).back()), (POINT{250, 50}));
    EXPECT_EQ(other.Count(WM_MOUSEMOVE), 0) << "the capture holds the moves without a button too";

    ReleaseCapture();
    Look->MoveTo(270, 70);
    EXPECT_TRUE(Eventually([&] { return !Of(other, WM_MOUSEMOVE).empty(); }));
    EXPECT_EQ(PointOf(Of(other, WM_MOUSEMOVE).back()), (POINT{70, 60}));
}

TEST_F(X11Input, TheFocusAndActivationFollowTheDisplaysFocus) {
    Probe& first = NewProbe();
    Probe& second = NewProbe();
    Probe& inner = NewProbe();
    const HWND a = Make(first, 0, 0, 100, 100);
    const HWND b = Make(second, 200, 0, 100, 100);
    const HWND c = Make(inner, 10, 10, 50, 50, b);
    ASSERT_TRUE(Viewable(*Look, c));

    Look->Focus(Xid(a));
    ASSERT_TRUE(Eventually([&] { return GetFocus() == a && GetActiveWindow() == a; }));
    EXPECT_EQ(first.Count(WM_SETFOCUS), 1);
    ASSERT_EQ(Of(first, WM_ACTIVATE).size(), 1u);
    EXPECT_EQ(LOWORD(Of(first, WM_ACTIVATE)[0].WParam), WA_ACTIVE);

    Look->Focus(Xid(b));
    ASSERT_TRUE(Eventually([&] { return GetFocus() == b && GetActiveWindow() == b; }));
    EXPECT_EQ(first.Count(WM_KILLFOCUS), 1);
    EXPECT_EQ(LOWORD(Of(first, WM_ACTIVATE).back().WParam), WA_INACTIVE);
    EXPECT_EQ(second.Count(WM_SETFOCUS), 1);

    second.Clear();
    Look->Focus(Xid(c));
    ASSERT_TRUE(Eventually([&] { return GetFocus() == c; }));
    EXPECT_EQ(GetActiveWindow(), b) << "the focus went into a child of the active window";
    EXPECT_EQ(second.Count(WM_KILLFOCUS), 1);
    EXPECT_EQ(second.Count(WM_ACTIVATE), 0);
    EXPECT_EQ(inner.Count(WM_SETFOCUS), 1);
}

TEST_F(X11Input, AResizeByTheDisplayIsAUserResizeWithinTheWindowsLimits) {
    Probe& probe = NewProbe();
    probe.Handler = [](HWND, UINT m, WPARAM, LPARAM l, LRESULT&) {
        if (m == WM_GETMINMAXINFO) reinterpret_cast<MINMAXINFO*>(l)->ptMaxTrackSize = POINT{300, 200};
        return false;
    };
    const HWND w = Make(probe, 0, 0, 120, 100);
    ASSERT_TRUE(Viewable(*Look, w));

    Look->Resize(Xid(w), 250, 150);  // as a window manager would
    ASSERT_TRUE(Eventually([&] {
        RECT r{};
        GetClientRect(w, &r);
        return r.right == 250 && r.bottom == 150;
    }));
    EXPECT_GE(probe.Count(WM_GETMINMAXINFO), 1);
    EXPECT_EQ(probe.Count(WM_SIZE), 2) << "the size at creation and the display's";

    Look->Resize(Xid(w), 500, 400);
    EXPECT_TRUE(Eventually([&] {
        return Look->Geometry(Xid(w)) == RECT{0, 0, 300, 200};
    })) << "the display is put back to the largest size the window takes";
    RECT r{};
    GetClientRect(w, &r);
    EXPECT_EQ(r, (RECT{0, 0, 300, 200}));
}

TEST_F(X11Input, TheWindowManagersCloseIsWmClose) {
    Probe& probe = NewProbe();
    const HWND w = Make(probe, 0, 0, 100, 100);
    const xcb_window_t id = Xid(w);
    Look->Close(id);
    EXPECT_TRUE(Eventually([&] { return !IsWindow(w); })) << "DefWindowProc destroys it on WM_CLOSE";
    EXPECT_EQ(probe.Count(WM_CLOSE), 1);
    EXPECT_TRUE(Eventually([&] { return !Look->Exists(id); }));
}
