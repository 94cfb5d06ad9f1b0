#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>

#include "platform/window/window.h"

// The boundary between the window layer and what shows its windows. The
// window layer keeps everything about windows (handles, the tree, queues,
// geometry, painting order, capture and activation); a backend only gives each
// window a surface to draw into, presents what was drawn, and reads pictures
// back. The headless backend (the default) keeps every window in an image
// surface; the X11 backend (platform/window/x11.h) maps every window onto a
// real X window and feeds the display's input back through the calls at the
// end of this header.
namespace platform {

// What the window layer tells a backend about one window.
struct WindowPeerState {
    HWND Window = 0;
    HWND Parent = 0;          // 0 for a top-level window
    HWND Above = 0;           // the sibling just above this one, 0 when it is the topmost
    RECT Rect{};              // in the parent's client coordinates, or the screen's
    bool Visible = false;     // the window's own WS_VISIBLE (ancestors not considered)
    bool FullScreen = false;  // covering the screen through SetWindowFullScreen
    bool Restacked = false;   // Update only: it moved in its siblings' order
    DWORD Style = 0;
    // Only in CreatePeer: the native window another program owns that this
    // window stands for (host::AttachForeignWindow), or 0; and the window's
    // name, valid during the call.
    std::uint64_t Foreign = 0;
    const char* Name = nullptr;
};

// One window's presence in a backend. Created and driven on the window's owner
// thread, except Snapshot and NativeId. The last reference may be dropped on
// another thread (one that was reading a picture), so the destructor must not
// care which.
class WindowPeer {
public:
    virtual ~WindowPeer() = default;

    // Geometry, parent, stacking or visibility changed. A size change may drop
    // the pixels; the window layer invalidates the window afterwards. Never
    // waits for the display.
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

    // The window entered (state.FullScreen) or left full screen: state is
    // where it is now. Unlike Update this may wait for the display to confirm
    // each step, each wait bounded. ERROR_SUCCESS, or the error the layer
    // reports (ERROR_TIMEOUT, ERROR_ACCESS_DENIED); on an error the layer puts
    // its own state back and calls Update with it.
    virtual DWORD SwitchFullScreen(const WindowPeerState& state) {
        Update(state);
        return ERROR_SUCCESS;
    }

    // The native window's id (an X window id), 0 when there is none. Any thread.
    virtual std::uint64_t NativeId() const noexcept { return 0; }
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

    // The screen: what the display shows, or, without one, every visible
    // top-level window at its place on black.
    virtual Image CaptureScreen() = 0;

    // The window's area as the display shows it now (its children and what
    // covers it included); without a display the same as Capture. Any thread.
    virtual Image CaptureFromScreen(HWND window) { return Capture(window); }

    virtual SIZE ScreenSize() const = 0;
    // False when the backend's screen cannot be resized.
    virtual bool SetScreenSize(SIZE size) = 0;

    // Whether id names a native window another program may own that windows
    // can be made inside, and its size. From here on the backend watches it
    // for the peer CreatePeer makes with state.Foreign = id. ERROR_SUCCESS;
    // ERROR_INVALID_WINDOW_HANDLE for an id that is no window;
    // ERROR_NOT_SUPPORTED without a display.
    virtual DWORD QueryForeignWindow(std::uint64_t id, SIZE& size) {
        (void)id;
        (void)size;
        return ERROR_NOT_SUPPORTED;
    }

    // The mouse capture went to window (0: released), on that window's owner
    // thread (or the releasing thread).
    virtual void CaptureChanged(HWND window) { (void)window; }
};

// For backends that compose pictures themselves from their peers' snapshots
// (the headless one does): window and its visible descendants, in z-order,
// each clipped to its parent. Empty for a bad handle or an empty window.
Image ComposeWindowFromPeers(HWND window) noexcept;

// The same for every visible top-level window on a screen-sized picture.
Image ComposeScreenFromPeers(SIZE screen) noexcept;

// The headless backend: image surfaces, a screen of 1280 x 1024 by default.
std::unique_ptr<WindowBackend> MakeHeadlessBackend();

// What a backend's event thread hands to the window layer. Both only post and
// never wait, so the thread never waits for a window's owner.

// Mouse input the display delivered to window at (x, y) in its client
// coordinates: posted to the window holding the capture if one does, else to
// window itself (or its nearest enabled ancestor), with the point in the
// target's client coordinates (screen coordinates for WM_MOUSEWHEEL). FALSE
// when the window is gone or its queue is full.
BOOL DeliverMouse(HWND window, UINT message, int x, int y, WPARAM keys) noexcept;

// Work the layer does on the window's owner thread, in order with its other
// messages, when that thread next dispatches. The message carrying it never
// reaches a window procedure.
enum class PeerRequest : WPARAM {
    ResizeAsUser = 1,  // as host::ResizeWindowAsUser(width, height)
    Resize,            // SetWindowPos to width x height, limits not asked
    Destroy,           // DestroyWindow
    Focus,             // SetFocus(window)
    Unfocus,           // SetFocus(0) if window has the focus
    Activate,          // SetActiveWindow(window)
    Deactivate,        // SetActiveWindow(0) if window is the active one
};
BOOL PostPeerRequest(HWND window, PeerRequest request, int width = 0, int height = 0) noexcept;

}  // namespace platform
