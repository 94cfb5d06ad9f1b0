#pragma once

#include <atomic>
#include <memory>

#include "connection.h"
#include "pixelbuffer.h"

namespace platform::x11 {

// One window of the layer as a real X window. The picture buffer stays the
// truth: what is presented is copied to the window, and exposed areas are
// copied again from the buffer on the reader thread.
class Peer final : public WindowPeer {
public:
    Peer(std::shared_ptr<Connection> connection, const WindowPeerState& state);
    ~Peer() override;

    void Update(const WindowPeerState& state) override;
    cairo_surface_t* BeginDraw() override { return Buffer.BeginDraw(); }
    void EndDraw(const RECT& damage) override;
    Image Snapshot() const override { return Buffer.Snapshot(); }
    DWORD SwitchFullScreen(const WindowPeerState& state) override;
    std::uint64_t NativeId() const noexcept override { return Id; }

    // Reader thread: copies area of the picture to the window again.
    void Expose(const RECT& area);
    // Reader thread, SeenLock held.
    Seen& Notes() noexcept { return Heard; }
    // Reader thread: whether a ConfigureNotify with this size, sent after the
    // server handled request `sequence`, is the display's own resize of a
    // top-level window (a window manager or its user), to pass on.
    bool ResizedByDisplay(int width, int height, std::uint32_t sequence);
    bool TopLevel() const noexcept { return IsTopLevel.load(std::memory_order_acquire); }

private:
    // What was last asked of the display (owner thread only).
    struct Requested {
        xcb_window_t Parent = 0;
        RECT Rect{};  // sizes at least 1, as X wants them
        bool Mapped = false;
        bool OverrideRedirect = false;
        bool WmFullScreen = false;  // _NET_WM_STATE holds the full-screen state
        bool Unknown = false;       // a switch failed: send everything again
    };

    void Reconcile(const WindowPeerState& state);
    // Copies area of picture to the window; the buffer's lock held.
    void Upload(const RECT& area, const Image& picture);
    void Resize(SIZE size);
    std::uint32_t Configure(const RECT& rect, bool raise);
    std::uint32_t Map(bool map);
    std::uint32_t Reparent(xcb_window_t parent, int x, int y);
    void SetOverrideRedirect(bool on);
    void SetWmFullScreen(bool on);
    void Restack(const WindowPeerState& state);
    xcb_window_t TargetParent(const WindowPeerState& state) const;
    xcb_window_t ParentNow();  // as the display last said

    // The steps of a switch; with wait, each waits for the display to confirm
    // it (false when it did not in time), without, they are only sent.
    bool Enter(const WindowPeerState& state, bool wait);
    bool Leave(const WindowPeerState& state, bool wait);
    bool Withdraw(bool wait);

    std::shared_ptr<Connection> X;
    xcb_window_t Id = 0;
    const HWND Window;
    detail::PixelBuffer Buffer;
    SurfacePtr Surface;  // the X window's cairo surface; used under the buffer's lock
    Requested Sent;
    Seen Heard;  // guarded by X->SeenLock()

    // Written by the owner thread, read by the reader.
    std::atomic<bool> IsTopLevel{false};
    std::atomic<bool> Switched{false};                // full screen, or on the way
    std::atomic<std::uint32_t> ConfigureSequence{0};  // of the last size we asked for
    std::atomic<std::uint32_t> RequestedSize{0};      // width << 16 | height
    // Written by the reader, read by the owner.
    std::atomic<std::uint32_t> DisplaySize{0};  // width << 16 | height
};

// A window of the layer that stands for a foreign X window: children are made
// inside the foreign window; the foreign window itself is only watched.
class ForeignPeer final : public WindowPeer {
public:
    ForeignPeer(std::shared_ptr<Connection> connection, const WindowPeerState& state);
    ~ForeignPeer() override;

    void Update(const WindowPeerState& state) override;
    cairo_surface_t* BeginDraw() override { return Buffer.BeginDraw(); }
    void EndDraw(const RECT& damage) override { Buffer.EndDraw(damage); }
    Image Snapshot() const override { return Buffer.Snapshot(); }
    DWORD SwitchFullScreen(const WindowPeerState&) override { return ERROR_ACCESS_DENIED; }
    std::uint64_t NativeId() const noexcept override { return Id; }

private:
    std::shared_ptr<Connection> X;
    const xcb_window_t Id;
    const HWND Window;
    detail::PixelBuffer Buffer;  // what the layer draws into it stays ours
};

}  // namespace platform::x11
