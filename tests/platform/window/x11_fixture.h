#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "X11TestKit.h"
#include "platform/window/backend.h"
#include "platform/window/host.h"
#include "test_window.h"

// A case on a display: its own X server (or $DISPLAY when it needs none of its
// own), the X11 backend installed on it, and the test's own connection to look
// at what the server shows. Windows made with Make are destroyed before the
// backend goes.
class OnDisplay : public ::testing::Test {
protected:
    void SetUp() override { Open(640, 480, false); }

    // ownServer: the case changes the server (pointer, focus, a window
    // manager) or reads its whole screen, so it must not share one.
    void Open(int width, int height, bool ownServer, std::chrono::milliseconds stepLimit = std::chrono::seconds(2)) {
        X11_SERVER(display, width, height, ownServer);
        Server = std::move(displayHolder);
        Display = display;
        Look = std::make_unique<x11test::Client>(Display);
        ASSERT_TRUE(Look->Ok()) << "cannot connect to " << Display;
        std::string error;
        ASSERT_TRUE(x11test::InstallBackend(Display, stepLimit, &error)) << error;
    }

    void TearDown() override {
        for (auto it = Windows.rbegin(); it != Windows.rend(); ++it)
            if (platform::IsWindow(*it)) platform::DestroyWindow(*it);
        Windows.clear();
        platform::host::InstallBackend(nullptr);
        Look.reset();
        Server.reset();
    }

    // A probe that outlives the windows (they are destroyed in TearDown).
    testwin::Probe& NewProbe() { return Probes.emplace_back(); }

    platform::HWND Make(testwin::Probe& probe, int x, int y, int width, int height, platform::HWND parent = 0,
                        platform::DWORD style = platform::WS_VISIBLE) {
        const platform::HWND window = testwin::Make(probe, x, y, width, height, parent, style);
        EXPECT_NE(window, 0u);
        Windows.push_back(window);
        return window;
    }

    static xcb_window_t Xid(platform::HWND window) {
        return static_cast<xcb_window_t>(platform::host::NativeWindowId(window));
    }

    // Waits until every window made here has painted and what the server
    // shows of window is exactly its buffer.
    ::testing::AssertionResult ServerShowsBuffer(platform::HWND window) {
        std::string difference;
        const bool same = x11test::Eventually([&] {
            for (platform::HWND w : Windows) {
                if (platform::GetUpdateRect(w, nullptr, FALSE)) {
                    difference = "windows still wait for painting";
                    return false;
                }
            }
            const platform::Image buffer = platform::host::CaptureWindow(window);
            const platform::Image shown = platform::host::CaptureWindowFromScreen(window);
            difference = buffer.Empty() ? "the buffer is empty" : x11test::Difference(buffer, shown);
            return difference.empty();
        });
        if (same) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << difference;
    }

    std::deque<testwin::Probe> Probes;  // destroyed after the windows
    std::unique_ptr<x11test::Server> Server;
    std::string Display;
    std::unique_ptr<x11test::Client> Look;
    std::vector<platform::HWND> Windows;
};

// The same on a server of the case's own.
class OnOwnDisplay : public OnDisplay {
protected:
    void SetUp() override { Open(640, 480, true); }
};
