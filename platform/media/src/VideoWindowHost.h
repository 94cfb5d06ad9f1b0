#pragma once

#include <mutex>

#include "platform/media/media.h"
#include "platform/window/shared_class.h"
#include "platform/window/window.h"

namespace platform::media::detail {

class VideoRenderer;

// The window side of a video renderer: one window of the window layer, created
// hidden and ownerless on the thread that builds the renderer, and painted on
// that thread from the renderer's latest picture, scaled from the source
// rectangle into the destination rectangle. Streaming threads only invalidate it.
class VideoWindowHost {
public:
    VideoWindowHost(VideoRenderer& renderer, LONG width, LONG height);
    ~VideoWindowHost();
    VideoWindowHost(const VideoWindowHost&) = delete;
    VideoWindowHost& operator=(const VideoWindowHost&) = delete;

    HRESULT SetVisible(bool visible);
    bool Visible() const;
    HRESULT SetOwner(OAHWND owner);
    OAHWND Owner() const;
    HRESULT SetStyle(LONG style);
    LONG Style() const;
    HRESULT SetPosition(LONG left, LONG top, LONG width, LONG height);
    void Position(LONG& left, LONG& top, LONG& width, LONG& height) const;
    // Through the window layer's full screen: the same window covers the
    // screen and comes back to its owner (on a display, each step confirmed
    // by the display). A request while one is on its way is refused with
    // HRESULT_FROM_WIN32(ERROR_BUSY); a step the display did not confirm in
    // time fails with HRESULT_FROM_WIN32(ERROR_TIMEOUT), the window as before.
    HRESULT SetFullScreen(bool on);
    bool FullScreen() const;
    HRESULT Foreground();
    // The size the picture is fitted to by default.
    void ClientSize(LONG& width, LONG& height) const;
    OAHWND Handle() const { return static_cast<OAHWND>(Window); }

    // A new frame or new rectangles: repaint. Any thread; never waits.
    void Invalidate() noexcept;
    // WM_PAINT, on the window's thread.
    void Paint();

private:
    // Where the window is put while it is not full screen.
    struct Placement {
        HWND Owner = 0;
        LONG Style = 0;
        LONG Left = 0, Top = 0, Width = 0, Height = 0;
        bool Visible = false;
    };

    void Apply(const Placement& placement);

    VideoRenderer& Renderer;
    SharedWindowClass Class;  // held while Window exists
    HWND Window = 0;
    mutable std::mutex Lock;  // callers on any thread
    Placement Current;
    bool IsFullScreen = false;  // also while a switch is on its way
    bool Switching = false;
};

}  // namespace platform::media::detail
