// Full screen on a display and back, embedded in another program's window or
// not: with no window manager, under openbox, and under a window manager that
// never answers.

#include <algorithm>
#include <atomic>
#include <thread>

#include "x11_fixture.h"

using namespace platform;
using namespace testwin;
using x11test::Eventually;

namespace {

constexpr COLORREF kPicture = RGB(20, 40, 220);

bool Holds(const std::vector<xcb_atom_t>& atoms, xcb_atom_t atom) {
    return std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

}  // namespace

// A window inside another program's window, 200 x 150 at (10, 10) of it.
class X11FullScreen : public OnDisplay {
protected:
    void SetUp() override {}

    void Start(bool windowManager, std::chrono::milliseconds stepLimit = std::chrono::seconds(2)) {
        Open(640, 480, true, stepLimit);
        if (IsSkipped() || HasFatalFailure()) return;
        if (windowManager) {
            std::string error;
            ASSERT_TRUE(Server) << "openbox needs a server of this case's own";
            if (!Server->StartWindowManager(&error)) GTEST_SKIP() << error;
        }
        // Under a window manager the other program's window is managed, as a
        // toolkit's top-level window is.
        Foreign = Look->MakeWindow(30, 20, 300, 200, 0x808080, 0, windowManager);
        if (windowManager) {
            ASSERT_TRUE(Eventually([&] { return Look->Viewable(Foreign); }));
        }
        StandIn = host::AttachForeignWindow(Foreign);
        ASSERT_NE(StandIn, 0u);
        Windows.push_back(StandIn);
        PaintWith(VideoProbe, kPicture);
        Video = Make(VideoProbe, 10, 10, 200, 150, StandIn);
        ASSERT_TRUE(ServerShowsBuffer(Video));
    }

    void ExpectBackInside() {
        EXPECT_FALSE(IsWindowFullScreen(Video));
        EXPECT_EQ(GetParent(Video), StandIn);
        EXPECT_TRUE(Eventually([&] { return Look->ParentOf(Xid(Video)) == Foreign; }));
        EXPECT_EQ(Look->Geometry(Xid(Video)), (RECT{10, 10, 210, 160}));
        EXPECT_FALSE(Look->OverrideRedirect(Xid(Video)));
        EXPECT_FALSE(Holds(Look->Atoms(Xid(Video), "_NET_WM_STATE"), Look->Atom("_NET_WM_STATE_FULLSCREEN")));
        EXPECT_TRUE(ServerShowsBuffer(Video));
        EXPECT_TRUE(Eventually([&] { return Look->Picture(Foreign, 300, 200).PixelAt(15, 15) == kPicture; }));
    }

    void ExpectCoveringTheScreen() {
        EXPECT_TRUE(IsWindowFullScreen(Video));
        EXPECT_EQ(GetParent(Video), 0u);
        RECT client{};
        GetClientRect(Video, &client);
        EXPECT_EQ(client, (RECT{0, 0, 640, 480}));
        EXPECT_TRUE(Look->Viewable(Xid(Video)));
        EXPECT_EQ(Look->OnRoot(Xid(Video)), (POINT{0, 0}));
        const RECT shown = Look->Geometry(Xid(Video));
        EXPECT_EQ(shown.right - shown.left, 640);
        EXPECT_EQ(shown.bottom - shown.top, 480);
        EXPECT_TRUE(ServerShowsBuffer(Video));
        const Image screen = Look->Screen();
        EXPECT_EQ(screen.PixelAt(0, 0), kPicture);
        EXPECT_EQ(screen.PixelAt(639, 479), kPicture);
    }

    Probe VideoProbe;
    xcb_window_t Foreign = 0;
    HWND StandIn = 0;
    HWND Video = 0;
};

TEST_F(X11FullScreen, WithoutAWindowManagerItIsOverrideRedirectOnTheRootAndComesBack) {
    Start(false);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(SetWindowFullScreen(Video, TRUE)) << GetLastError();
    EXPECT_EQ(Look->ParentOf(Xid(Video)), Look->Root());
    EXPECT_TRUE(Look->OverrideRedirect(Xid(Video)));
    ExpectCoveringTheScreen();
    ASSERT_TRUE(SetWindowFullScreen(Video, FALSE)) << GetLastError();
    ExpectBackInside();
    EXPECT_EQ(host::NativeWindowId(Video), Xid(Video)) << "the same window all along";
}

TEST_F(X11FullScreen, UnderAWindowManagerItAsksForTheFullScreenStateAndComesBack) {
    Start(true);
    if (IsSkipped() || HasFatalFailure()) return;
    const xcb_window_t id = Xid(Video);
    ASSERT_TRUE(SetWindowFullScreen(Video, TRUE)) << GetLastError();
    EXPECT_TRUE(Holds(Look->Atoms(id, "_NET_WM_STATE"), Look->Atom("_NET_WM_STATE_FULLSCREEN")));
    EXPECT_FALSE(Look->OverrideRedirect(id)) << "the window manager places it";
    ExpectCoveringTheScreen();
    ASSERT_TRUE(SetWindowFullScreen(Video, FALSE)) << GetLastError();
    ExpectBackInside();
    EXPECT_EQ(Xid(Video), id);
}

TEST_F(X11FullScreen, AManagedTopLevelWindowComesBackToItsFrameAndSize) {
    Start(true);
    if (IsSkipped() || HasFatalFailure()) return;
    Probe& top = NewProbe();
    PaintWith(top, RGB(200, 0, 0));
    const HWND t = Make(top, 50, 40, 200, 150);
    const xcb_window_t id = Xid(t);
    ASSERT_TRUE(Eventually([&] { return Look->Viewable(id) && Look->ParentOf(id) != Look->Root(); }))
        << "openbox frames it";
    ASSERT_TRUE(SetWindowFullScreen(t, TRUE)) << GetLastError();
    EXPECT_TRUE(Eventually([&] { return Look->Screen().PixelAt(639, 479) == RGB(200, 0, 0); }));
    ASSERT_TRUE(SetWindowFullScreen(t, FALSE)) << GetLastError();
    EXPECT_TRUE(Eventually([&] { return Look->Viewable(id) && Look->ParentOf(id) != Look->Root(); }))
        << "managed again";
    const RECT shown = Look->Geometry(id);
    EXPECT_EQ(shown.right - shown.left, 200);
    EXPECT_EQ(shown.bottom - shown.top, 150);
    RECT client{};
    GetClientRect(t, &client);
    EXPECT_EQ(client, (RECT{0, 0, 200, 150}));
    EXPECT_FALSE(Holds(Look->Atoms(id, "_NET_WM_STATE"), Look->Atom("_NET_WM_STATE_FULLSCREEN")));
}

TEST_F(X11FullScreen, WhileAStepWaitsASecondRequestIsRefusedAndAnUnansweredStepFailsAndIsUndone) {
    Start(false, std::chrono::milliseconds(500));
    if (IsSkipped() || HasFatalFailure()) return;
    // The test's connection plays a window manager that announces full
    // screen, takes the root's map requests and never answers them.
    const xcb_window_t check = Look->MakeWindow(-10, -10, 1, 1, 0);
    Look->SetProperty(check, "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW, {check});
    Look->SetProperty(Look->Root(), "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW, {check});
    Look->SetProperty(Look->Root(), "_NET_SUPPORTED", XCB_ATOM_ATOM,
                      {Look->Atom("_NET_WM_STATE"), Look->Atom("_NET_WM_STATE_FULLSCREEN")});
    ASSERT_TRUE(Look->RedirectRoot());

    const xcb_window_t id = Xid(Video);
    std::atomic<bool> refused{false};
    std::thread second([&] {
        // The first request is in flight once its map request reaches the "window manager".
        if (!Look->WaitForEvent([&](const xcb_generic_event_t& e) {
                return (e.response_type & 0x7F) == XCB_MAP_REQUEST &&
                       reinterpret_cast<const xcb_map_request_event_t&>(e).window == id;
            }))
            return;
        refused = !SetWindowFullScreen(Video, FALSE) && GetLastError() == ERROR_BUSY;
    });
    const BOOL done = SetWindowFullScreen(Video, TRUE);
    const DWORD error = GetLastError();
    second.join();
    EXPECT_FALSE(done);
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_TRUE(refused) << "the second request is answered at once, without waiting";
    ExpectBackInside();
}
