#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/window/backend.h"

// The X11 backend: every window of the layer is a real X window (a top-level
// window of the screen, a child of its parent's X window, or a child of a
// foreign window, see host::AttachForeignWindow), with the same geometry,
// visibility, stacking and parent. Each window's image stays the back buffer:
// EndPaint and ReleaseDC copy the damaged area to the X window, and an Expose
// copies from the buffer again without waking the window's procedure, so
// host::CaptureWindow still reads exactly what was painted while
// host::CaptureScreen and host::CaptureWindowFromScreen read the display.
//
// The backend has one XCB connection of its own (never a host toolkit's), so
// it works in a process whose other parts use Xlib, Tk, GTK or Qt in any
// order. One reader thread waits for the display's events and only posts them
// to the windows' owner threads: buttons 1 to 3 become WM_LBUTTON*,
// WM_MBUTTON* and WM_RBUTTON* with the MK_* flags, buttons 4 and 5
// WM_MOUSEWHEEL, motion WM_MOUSEMOVE; focus changes become SetFocus and
// SetActiveWindow on the owner thread; a window manager resizing a top-level
// window resizes it as host::ResizeWindowAsUser (WM_GETMINMAXINFO applies);
// its close button posts WM_CLOSE. SetCapture grabs the pointer.
//
// Full screen (SetWindowFullScreen) moves the same X window to the root and
// back. Under a window manager that announces _NET_WM_STATE_FULLSCREEN it asks
// for that state; without one the window is override-redirect and sized to
// the screen. Each step waits for its notification, at most StepLimit.
//
// When the connection is lost (the server goes away), a notice says so once
// and every window goes on as with the headless backend; no call waits for
// the lost display.
namespace platform {

struct X11Options {
    // The display to connect to ("" or ":0", "host:1.0"...): "" uses $DISPLAY.
    std::string Display;
    // The longest wait for the display to confirm one step of a full-screen
    // change (a window manager takes a few hundred milliseconds).
    std::chrono::milliseconds StepLimit{2000};
};

// Connects to the display. nullptr, with error (when given) saying why, when
// the display cannot be opened or has no 24- or 32-bit TrueColor visual.
// Install it before any window exists:
//     std::string error;
//     auto backend = MakeX11Backend(X11Options{}, &error);
//     if (!backend || !host::InstallBackend(std::move(backend))) ... stay headless
std::unique_ptr<WindowBackend> MakeX11Backend(const X11Options& options, std::string* error = nullptr);
inline std::unique_ptr<WindowBackend> MakeX11Backend(const char* display, std::string* error = nullptr) {
    X11Options options;
    if (display) options.Display = display;
    return MakeX11Backend(options, error);
}

}  // namespace platform
