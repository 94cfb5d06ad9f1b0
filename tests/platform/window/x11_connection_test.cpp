// Opening the display, and losing it: the loss is told once, and the windows
// go on as headless ones without any call waiting for the lost server.

#include "platform/notice/notice.h"
#include "platform/window/x11.h"
#include "x11_fixture.h"

using namespace platform;
using namespace testwin;
using x11test::Eventually;

TEST(X11Display, ADisplayThatCannotBeOpenedIsRefusedWithTheReason) {
    X11Options options;
    options.Display = ":4711";
    std::string error;
    EXPECT_EQ(MakeX11Backend(options, &error), nullptr);
    EXPECT_NE(error.find(":4711"), std::string::npos) << error;
}

using X11Lost = OnOwnDisplay;

TEST_F(X11Lost, ALostServerIsToldOnceAndTheWindowsGoOnHeadless) {
    ASSERT_TRUE(Server) << "the case ends its own server";
    Probe& probe = NewProbe();
    COLORREF colour = RGB(10, 200, 10);
    probe.Handler = [&colour](HWND w, UINT m, WPARAM, LPARAM, LRESULT& r) {
        if (m != WM_PAINT) return false;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        HBRUSH brush = CreateSolidBrush(colour);
        RECT client;
        GetClientRect(w, &client);
        FillRect(dc, &client, brush);
        DeleteObject(brush);
        EndPaint(w, &ps);
        r = 0;
        return true;
    };
    const HWND w = Make(probe, 0, 0, 120, 80);
    Probe& child = NewProbe();
    const HWND c = Make(child, 10, 10, 40, 40, w);
    ASSERT_TRUE(ServerShowsBuffer(w));

    NoticeCapture notices;
    Server->Kill();
    ASSERT_TRUE(Eventually([&] { return notices.Count() == 1; }));
    EXPECT_NE(notices.Texts()[0].find("lost"), std::string::npos) << notices.Texts()[0];

    // Painting, geometry, full screen and new windows all go on.
    colour = RGB(200, 10, 10);
    InvalidateRect(w, nullptr, TRUE);
    EXPECT_TRUE(Eventually([&] { return host::CaptureWindow(w).PixelAt(100, 70) == RGB(200, 10, 10); }));
    EXPECT_TRUE(SetWindowPos(c, 0, 50, 20, 60, 50, SWP_NOZORDER));
    EXPECT_TRUE(SetWindowFullScreen(c, TRUE)) << GetLastError();
    EXPECT_TRUE(SetWindowFullScreen(c, FALSE)) << GetLastError();
    Probe& late = NewProbe();
    PaintWith(late, RGB(1, 2, 3));
    const HWND l = Make(late, 0, 0, 30, 30);
    ASSERT_NE(l, 0u);
    EXPECT_TRUE(Eventually([&] { return host::CaptureWindow(l).PixelAt(5, 5) == RGB(1, 2, 3); }));
    EXPECT_EQ(host::CaptureWindowFromScreen(w).PixelAt(100, 70), RGB(200, 10, 10)) << "read from the buffer now";
    EXPECT_EQ(host::CaptureScreen().Width(), 640) << "the screen is composed from the windows now";
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_EQ(notices.Count(), 1u) << "told once";
}
