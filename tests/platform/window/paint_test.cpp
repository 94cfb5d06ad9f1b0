#include <gtest/gtest.h>

#include <cairo.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/gdi/cairo_interop.h"
#include "platform/window/host.h"
#include "test_window.h"

using namespace platform;
using namespace testwin;
using namespace std::chrono_literals;

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

COLORREF Pixel(HWND w, int x, int y) { return host::CaptureWindow(w).PixelAt(x, y); }

void Settle() { PumpMessages(0ms); }

}  // namespace

TEST(WindowPaint, EraseFillsTheInvalidAreaWithTheClassBackgroundAndWithoutItPixelsStay) {
    Probe probe;
    PaintWith(probe, kRed);
    const HWND w = Make(probe, 0, 0, 20, 20);
    Settle();
    ASSERT_EQ(Pixel(w, 0, 0), kRed);
    ASSERT_EQ(Pixel(w, 19, 19), kRed);

    // Now a procedure that paints nothing of its own.
    PAINTSTRUCT seen{};
    probe.Handler = [&](HWND h, UINT m, WPARAM, LPARAM, LRESULT& r) {
        if (m != WM_PAINT) return false;
        BeginPaint(h, &seen);
        EndPaint(h, &seen);
        r = 0;
        return true;
    };
    probe.Clear();
    const RECT corner{0, 0, 5, 5};
    InvalidateRect(w, &corner, FALSE);
    Settle();
    EXPECT_EQ(probe.Count(WM_ERASEBKGND), 0);
    EXPECT_EQ(seen.rcPaint, corner);
    EXPECT_EQ(Pixel(w, 0, 0), kRed);

    probe.Clear();
    InvalidateRect(w, &corner, TRUE);
    Settle();
    EXPECT_EQ(probe.Count(WM_ERASEBKGND), 1);
    EXPECT_FALSE(seen.fErase);  // the default handling erased it
    EXPECT_EQ(Pixel(w, 0, 0), kWhite);
    EXPECT_EQ(Pixel(w, 4, 4), kWhite);
    EXPECT_EQ(Pixel(w, 5, 5), kRed);
    DestroyWindow(w);
}

TEST(WindowPaint, InvalidAreasMergeAndPaintingIsClippedToThem) {
    Probe probe;
    PaintWith(probe, kRed);
    const HWND w = Make(probe, 0, 0, 20, 20);
    Settle();
    PaintWith(probe, kBlue);
    const RECT a{2, 2, 4, 4};
    const RECT b{6, 3, 8, 5};
    InvalidateRect(w, &a, FALSE);
    InvalidateRect(w, &b, FALSE);
    RECT update;
    ASSERT_TRUE(GetUpdateRect(w, &update, FALSE));
    EXPECT_EQ(update, (RECT{2, 2, 8, 5}));
    const RECT left{0, 0, 5, 20};
    ValidateRect(w, &left);  // covers the whole height: the left side shrinks
    GetUpdateRect(w, &update, FALSE);
    EXPECT_EQ(update, (RECT{5, 2, 8, 5}));
    Settle();
    EXPECT_FALSE(GetUpdateRect(w, &update, FALSE));
    EXPECT_EQ(Pixel(w, 5, 2), kBlue);
    EXPECT_EQ(Pixel(w, 7, 4), kBlue);
    EXPECT_EQ(Pixel(w, 3, 3), kRed);  // validated before painting
    EXPECT_EQ(Pixel(w, 8, 4), kRed);
    DestroyWindow(w);
}

TEST(WindowPaint, InvalidationFromAnotherThreadWakesTheOwnerToPaint) {
    Probe probe;
    PaintWith(probe, kGreen);
    std::atomic<HWND> window{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        window = Make(probe, 0, 0, 8, 8, 0, 0);
        MSG m;
        while (!stop && GetMessage(&m, 0, 0, 0) == 1) DispatchMessage(&m);
        DestroyWindow(window);
    });
    while (window == 0) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(InvalidateRect(window, nullptr, TRUE));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Pixel(window, 4, 4) != kGreen && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(Pixel(window, 4, 4), kGreen);
    EXPECT_EQ(GetDC(window), nullptr);  // only the owner draws outside WM_PAINT
    stop = true;
    PostMessage(window, WM_NULL, 0, 0);
    owner.join();
}

TEST(WindowPaint, AProcedureIgnoringPaintIsNotAskedForever) {
    Probe probe;
    probe.Handler = [](HWND, UINT m, WPARAM, LPARAM, LRESULT& r) {
        if (m != WM_PAINT) return false;
        r = 0;
        return true;
    };
    const HWND w = Make(probe, 0, 0, 8, 8);
    PumpMessages(30ms);
    EXPECT_EQ(probe.Count(WM_PAINT), 1);
    DestroyWindow(w);
}

TEST(WindowPaint, WindowContextsShowAtReleaseAndDieWithTheirWindow) {
    Probe probe;
    const HWND w = Make(probe, 0, 0, 10, 10, 0, 0);
    HDC dc = GetDC(w);
    ASSERT_NE(dc, nullptr);
    HBRUSH red = CreateSolidBrush(kRed);
    const RECT all{0, 0, 10, 10};
    FillRect(dc, &all, red);
    EXPECT_NE(Pixel(w, 5, 5), kRed);  // not shown before it is released
    EXPECT_EQ(ReleaseDC(w, dc), 1);
    EXPECT_EQ(Pixel(w, 5, 5), kRed);
    EXPECT_EQ(ReleaseDC(w, dc), 0);
    EXPECT_FALSE(DeleteDC(GetDC(0)));  // the screen's context goes back through ReleaseDC

    // Resized while a context is open: drawing stays safe.
    dc = GetDC(w);
    SetWindowPos(w, 0, 0, 0, 40, 30, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_NE(FillRect(dc, &all, red), 0);
    ReleaseDC(w, dc);
    EXPECT_EQ(host::CaptureWindow(w).Width(), 40);

    // Destroyed while a context is open: the context dies with it.
    dc = GetDC(w);
    DestroyWindow(w);
    EXPECT_EQ(FillRect(dc, &all, red), 0);
    EXPECT_EQ(ReleaseDC(w, dc), 0);
    DeleteObject(red);
}

TEST(WindowPaint, CapturesCompositeVisibleChildrenInOrderClippedToTheirParents) {
    Probe parentProbe, childProbe, grandProbe, hiddenProbe;
    PaintWith(parentProbe, kRed);
    PaintWith(childProbe, kBlue);
    PaintWith(grandProbe, kGreen);
    PaintWith(hiddenProbe, kWhite);
    const HWND parent = Make(parentProbe, 0, 0, 60, 40);
    const HWND child = Make(childProbe, 10, 10, 20, 20, parent);
    Make(grandProbe, 15, 15, 10, 10, child);  // reaches past the child's edge
    const HWND hidden = Make(hiddenProbe, 0, 0, 60, 40, parent, 0);
    Settle();
    const Image picture = host::CaptureWindow(parent);
    ASSERT_EQ(picture.Width(), 60);
    ASSERT_EQ(picture.Height(), 40);
    EXPECT_EQ(picture.PixelAt(5, 5), kRed);
    EXPECT_EQ(picture.PixelAt(10, 10), kBlue);
    EXPECT_EQ(picture.PixelAt(24, 24), kBlue);
    EXPECT_EQ(picture.PixelAt(25, 25), kGreen);
    EXPECT_EQ(picture.PixelAt(29, 29), kGreen);
    EXPECT_EQ(picture.PixelAt(30, 30), kRed);  // the grandchild is clipped to the child
    EXPECT_EQ(picture.PixelAt(35, 25), kRed);

    ShowWindow(hidden, SW_SHOW);
    Settle();
    EXPECT_EQ(Pixel(parent, 5, 5), kWhite);  // the newest child is on top
    EXPECT_EQ(Pixel(parent, 15, 15), kWhite);

    const std::string path =
        (std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + "-window.png")).string();
    ASSERT_TRUE(host::SaveWindowPng(child, path));
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    const Image saved = ImageFromSurface(png);
    cairo_surface_destroy(png);
    std::filesystem::remove(path);
    EXPECT_EQ(saved.Width(), 20);
    EXPECT_EQ(saved.PixelAt(0, 0), kBlue);
    EXPECT_EQ(saved.PixelAt(19, 19), kGreen);

    DestroyWindow(parent);
    EXPECT_TRUE(host::CaptureWindow(parent).Empty());
    EXPECT_FALSE(host::SaveWindowPng(parent, path));
}

TEST(WindowPaint, TheScreenShowsTopLevelWindowsWhereTheyAre) {
    ASSERT_TRUE(host::SetScreenSize(100, 80));
    Probe fullProbe, smallProbe;
    PaintWith(fullProbe, kBlue);
    PaintWith(smallProbe, kGreen);
    const HWND full = Make(fullProbe, 0, 0, 10, 10);
    const HWND small = Make(smallProbe, 90, 70, 30, 30);  // partly off the screen
    SetWindowPos(full, HWND_BOTTOM, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), 0);
    Settle();
    const Image screen = host::CaptureScreen();
    ASSERT_EQ(screen.Width(), 100);
    ASSERT_EQ(screen.Height(), 80);
    EXPECT_EQ(screen.PixelAt(0, 0), kBlue);
    EXPECT_EQ(screen.PixelAt(89, 69), kBlue);
    EXPECT_EQ(screen.PixelAt(95, 75), kGreen);
    DestroyWindow(full);
    DestroyWindow(small);
    host::SetScreenSize(1280, 1024);
}
