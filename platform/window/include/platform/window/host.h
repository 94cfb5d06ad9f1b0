#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/window/window.h"

// What a host (a container, a player tool) or a test does from outside the
// windows: choose the backend, size the screen, act as the user (mouse,
// resizing, activation through SetActiveWindow), read pictures back and see
// who is waiting on a window's thread.
namespace platform {
class WindowBackend;
}

namespace platform::host {

// Replaces the backend. Refused (false) while any window exists. nullptr
// brings back the headless backend. A real display:
//     host::InstallBackend(platform::MakeX11Backend(nullptr));  // $DISPLAY (platform/window/x11.h)
bool InstallBackend(std::unique_ptr<WindowBackend> backend);

// The backend in use (the headless one unless another was installed).
WindowBackend& Backend() noexcept;

// The screen's size in pixels: 1280 x 1024 unless set. False for a size
// outside 1..kMaxBitmapExtent or a backend that cannot resize its screen.
bool SetScreenSize(int width, int height) noexcept;

// The window that mouse input at (x, y) in window's client coordinates would
// reach: the capture window while one is set, else the topmost visible,
// enabled descendant of window under the point, else window itself when the
// point lies inside it; 0 when the point is outside and nothing holds the
// capture, or for a bad handle.
HWND MouseTarget(HWND window, POINT client) noexcept;

// Posts a mouse message (WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, ...) as
// the user's pointer would produce it at (x, y) in window's client
// coordinates: to MouseTarget, with lParam the point in the target's client
// coordinates (negative outside it) and wParam keys. The target's thread
// handles it from its message loop. FALSE when there is no target or its queue
// is full.
BOOL InjectMouse(HWND window, UINT message, int x, int y, WPARAM keys = 0) noexcept;

// A left click at (x, y): button down (MK_LBUTTON) then button up.
BOOL Click(HWND window, int x, int y) noexcept;

// Resizes as a user dragging the window's frame would: the size is limited by
// the window's WM_GETMINMAXINFO tracking sizes, then applied like SetWindowPos
// without moving or restacking. FALSE for a bad handle.
BOOL ResizeWindowAsUser(HWND window, int width, int height) noexcept;

// The window's picture with its visible children composited (what was painted
// up to the last EndPaint/ReleaseDC of each). Pump the owner threads first
// when painting is due. Empty for a bad handle or an empty window. Any thread.
Image CaptureWindow(HWND window) noexcept;

// The whole screen. Headless: visible top-level windows at their places (a
// full-screen window covers it). On a display: what the display shows, read
// back from it (other programs' windows included).
Image CaptureScreen() noexcept;

// The window's area as the screen shows it: on a display, read back from the
// display's screen where the window is (what covers it included, parts off
// the screen black), so a test can hold it against CaptureWindow; headless,
// the same as CaptureWindow. Empty for a bad handle or a window the display
// does not show.
Image CaptureWindowFromScreen(HWND window) noexcept;

// A window that stands for a native window another program or toolkit owns
// (an X window id: a Tk frame's winfo_id(), a GTK widget's X window, a Qt
// widget's winId()), in this process or another. It is a top-level window of
// the calling thread at (0, 0) with the foreign window's size; windows made
// with it as their parent (CreateWindowEx, HostedControl::Activate) are
// native children of the foreign window. Its client rectangle follows the
// foreign window's size (WM_SIZE, on its thread); when the foreign window is
// destroyed, the stand-in is destroyed on its thread, its children first
// receiving WM_DESTROY as with DestroyWindow. A host that wants its windows to
// follow the size sets its own procedure on it (SetWindowLongPtr with
// GWLP_WNDPROC; pass what it does not handle on to DefWindowProc). The
// foreign window itself is never moved, shown, hidden or destroyed by us, and
// DestroyWindow on the stand-in only lets go of it. 0 with
// ERROR_NOT_SUPPORTED without a display, ERROR_INVALID_WINDOW_HANDLE when id
// is not a window of the display.
//     HWND frame = host::AttachForeignWindow(std::stoull(argv[1], nullptr, 0));
HWND AttachForeignWindow(std::uint64_t id) noexcept;

// The native window id (an X window id) of a window, for handing to another
// program or toolkit; the foreign id for a window from AttachForeignWindow.
// 0 without a display or for a bad handle.
std::uint64_t NativeWindowId(HWND window) noexcept;

// Saves CaptureWindow as a PNG file. False for a bad handle, an empty window
// or a file that cannot be written.
bool SaveWindowPng(HWND window, const std::string& path) noexcept;

// How many sends from other threads to window wait for its thread to take
// them: SendMessage and SendMessageTimeout calls, and the changes other
// threads make through the owner (SetWindowPos, ShowWindow...). The caller of
// each is blocked meanwhile. 0 for a bad handle. Any thread.
std::size_t SendsWaiting(HWND window) noexcept;

}  // namespace platform::host
