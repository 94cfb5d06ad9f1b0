// The X11 backend shows what the windows painted: the server's pixels are the
// buffer's, with children clipped, through moves, resizes, restacking,
// reparenting, hiding and showing.

#include "x11_fixture.h"

using namespace platform;
using namespace testwin;
using x11test::Eventually;

namespace {

constexpr COLORREF kRed = RGB(200, 30, 30);
constexpr COLORREF kGreen = RGB(30, 200, 30);
constexpr COLORREF kBlue = RGB(30, 30, 200);

}  // namespace

using X11Painting = OnDisplay;

TEST_F(X11Painting, TheServerShowsExactlyThePaintedPixelsWithChildrenClippedToTheirParents) {
    Probe& top = NewProbe();
    Probe& child = NewProbe();
    Probe& grandchild = NewProbe();
    PaintWith(top, kRed);
    PaintWith(child, kGreen);
    PaintWith(grandchild, kBlue);
    const HWND t = Make(top, 10, 10, 200, 150);
    const HWND c = Make(child, 20, 20, 100, 60, t);
    const HWND g = Make(grandchild, 80, 40, 50, 50, c);  // sticks out of its parent at the right and bottom

    ASSERT_TRUE(ServerShowsBuffer(t));
    const Image shown = host::CaptureWindowFromScreen(t);
    EXPECT_EQ(shown.PixelAt(5, 5), kRed);
    EXPECT_EQ(shown.PixelAt(25, 25), kGreen);
    EXPECT_EQ(shown.PixelAt(110, 70), kBlue);
    EXPECT_EQ(shown.PixelAt(110, 85), kRed) << "the grandchild is clipped to its parent";
    EXPECT_EQ(shown.PixelAt(125, 70), kRed) << "the grandchild is clipped to its parent";

    EXPECT_EQ(Look->ParentOf(Xid(g)), Xid(c));
    EXPECT_EQ(Look->ParentOf(Xid(c)), Xid(t));
    EXPECT_EQ(Look->ParentOf(Xid(t)), Look->Root());
    EXPECT_EQ(Look->Geometry(Xid(c)), (RECT{20, 20, 120, 80}));
    const Image screen = host::CaptureScreen();
    EXPECT_EQ(screen.PixelAt(10 + 25, 10 + 25), kGreen) << "the screen is read from the server";
}

TEST_F(X11Painting, TheServerFollowsMovesResizesHidingAndShowing) {
    Probe& top = NewProbe();
    Probe& child = NewProbe();
    PaintWith(top, kRed);
    PaintWith(child, kGreen);
    const HWND t = Make(top, 0, 0, 300, 200);
    const HWND c = Make(child, 20, 20, 100, 60, t);
    ASSERT_TRUE(ServerShowsBuffer(t));

    struct Step {
        const char* What;
        std::function<void()> Do;
    };
    const Step steps[] = {
        {"move", [&] { SetWindowPos(c, 0, 150, 90, 0, 0, SWP_NOSIZE | SWP_NOZORDER); }},
        {"grow", [&] { SetWindowPos(c, 0, 0, 0, 140, 100, SWP_NOMOVE | SWP_NOZORDER); }},
        {"shrink", [&] { MoveWindow(c, 5, 5, 30, 20, TRUE); }},
        {"hide", [&] { ShowWindow(c, SW_HIDE); }},
        {"show", [&] { ShowWindow(c, SW_SHOW); }},
        {"resize the top-level window", [&] { SetWindowPos(t, 0, 0, 0, 250, 120, SWP_NOMOVE | SWP_NOZORDER); }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.What);
        step.Do();
        EXPECT_TRUE(ServerShowsBuffer(t));
        EXPECT_EQ(Look->Geometry(Xid(c)), RectInParent(c));
        EXPECT_EQ(Look->Viewable(Xid(c)), IsWindowVisible(c) != FALSE);
    }
    ShowWindow(t, SW_HIDE);
    EXPECT_TRUE(Eventually([&] { return !Look->Viewable(Xid(t)) && !Look->Viewable(Xid(c)); }));
}

TEST_F(X11Painting, StackingAndParentsFollowTheLayer) {
    Probe& parent = NewProbe();
    Probe& a = NewProbe();
    Probe& b = NewProbe();
    Probe& other = NewProbe();
    PaintWith(parent, RGB(255, 255, 255));
    PaintWith(a, kRed);
    PaintWith(b, kGreen);
    PaintWith(other, kBlue);
    const HWND p = Make(parent, 0, 0, 200, 200);
    const HWND wa = Make(a, 10, 10, 80, 80, p);
    const HWND wb = Make(b, 50, 50, 80, 80, p);
    const HWND o = Make(other, 300, 0, 100, 100);
    ASSERT_TRUE(ServerShowsBuffer(p));
    EXPECT_EQ(host::CaptureWindowFromScreen(p).PixelAt(60, 60), kGreen) << "the later child is on top";

    SetWindowPos(wa, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ASSERT_TRUE(ServerShowsBuffer(p));
    EXPECT_EQ(host::CaptureWindowFromScreen(p).PixelAt(60, 60), kRed);
    EXPECT_EQ(Look->ChildrenOf(Xid(p)), (std::vector<xcb_window_t>{Xid(wb), Xid(wa)})) << "bottom to top";

    SetWindowPos(wa, wb, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);  // just below b
    ASSERT_TRUE(ServerShowsBuffer(p));
    EXPECT_EQ(host::CaptureWindowFromScreen(p).PixelAt(60, 60), kGreen);

    SetParent(wb, o);
    EXPECT_TRUE(Eventually([&] { return Look->ParentOf(Xid(wb)) == Xid(o); }));
    EXPECT_TRUE(ServerShowsBuffer(p));
    EXPECT_TRUE(ServerShowsBuffer(o));
    EXPECT_EQ(host::CaptureWindowFromScreen(o).PixelAt(55, 55), kGreen);
}

TEST_F(X11Painting, ExposedAreasAreCopiedFromTheBufferWithoutWakingTheProcedure) {
    Probe& below = NewProbe();
    Probe& above = NewProbe();
    PaintWith(below, kRed);
    PaintWith(above, kBlue);
    const HWND b = Make(below, 0, 0, 200, 200);
    const HWND a = Make(above, 50, 50, 100, 100);
    ASSERT_TRUE(ServerShowsBuffer(a));
    EXPECT_EQ(host::CaptureWindowFromScreen(b).PixelAt(60, 60), kBlue) << "the screen shows what covers a window";
    below.Clear();
    // Moving the upper window away exposes the lower one, which must show its
    // picture again from the buffer alone.
    SetWindowPos(a, 0, 400, 300, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_TRUE(ServerShowsBuffer(b));
    EXPECT_EQ(below.Count(WM_PAINT), 0);
}
