#pragma once

#include <cairo.h>

#include <memory>

#include "platform/window/window.h"

// The boundary between the window layer and what shows its windows. The
// window layer keeps everything about windows (handles, the tree, queues,
// geometry, painting order, capture and activation); a backend only gives each
// window a surface to draw into, presents what was drawn, and reads pictures
// back. The headless backend (the default) keeps every window in an image
// surface; another backend may map windows onto a real display and feed its
// input back through platform::host (InjectMouse, ResizeWindowAsUser,
// InvalidateRect).
namespace platform {

// What the window layer tells a backend about one window.
struct WindowPeerState {
    HWND Window = 0;
    HWND Parent = 0;       // 0 for a top-level window
    RECT Rect{};           // in the parent's client coordinates, or the screen's
    bool Visible = false;  // the window's own WS_VISIBLE (ancestors not considered)
    DWORD Style = 0;
};

// One window's presence in a backend. Created and driven on the window's owner
// thread, except Snapshot. The last reference may be dropped on another thread
// (one that was reading a picture), so the destructor must not care which.
class WindowPeer {
public:
    virtual ~WindowPeer() = default;

    // Geometry, parent or visibility changed. A size change may drop the
    // pixels; the window layer invalidates the window afterwards.
    virtual void Update(const WindowPeerState& state) = 0;

    // The surface to draw the client area into (client coordinates, the size
    // of the client area), or nullptr when the area is empty or no surface can
    // be made. Calls may nest (GetDC inside WM_PAINT); each is paired with one
    // EndDraw, even when it returned nullptr. The surface stays valid until
    // the last EndDraw, also across an Update that resizes the window.
    virtual cairo_surface_t* BeginDraw() = 0;

    // Drawing into damage (client coordinates) is finished: make it visible.
    virtual void EndDraw(const RECT& damage) = 0;

    // A copy of the window's own presented pixels, without children. Any
    // thread; empty when nothing was ever presented at a non-empty size.
    virtual Image Snapshot() const = 0;
};

class WindowBackend {
public:
    virtual ~WindowBackend() = default;

    virtual const char* Name() const noexcept = 0;

    // A peer for a new window, called on its owner thread inside
    // CreateWindowEx before WM_CREATE. nullptr makes the creation fail.
    virtual std::unique_ptr<WindowPeer> CreatePeer(const WindowPeerState& state) = 0;

    // The picture of window with its visible descendants, composited in
    // z-order and clipped to each parent. Any thread.
    virtual Image Capture(HWND window) = 0;

    // The screen: every visible top-level window at its place, on black.
    virtual Image CaptureScreen() = 0;

    virtual SIZE ScreenSize() const = 0;
    // False when the backend's screen cannot be resized.
    virtual bool SetScreenSize(SIZE size) = 0;
};

// For backends that compose pictures themselves from their peers' snapshots
// (the headless one does): window and its visible descendants, in z-order,
// each clipped to its parent. Empty for a bad handle or an empty window.
Image ComposeWindowFromPeers(HWND window) noexcept;

// The same for every visible top-level window on a screen-sized picture.
Image ComposeScreenFromPeers(SIZE screen) noexcept;

// The headless backend: image surfaces, a screen of 1280 x 1024 by default.
std::unique_ptr<WindowBackend> MakeHeadlessBackend();

}  // namespace platform
