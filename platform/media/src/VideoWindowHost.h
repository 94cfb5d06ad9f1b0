#pragma once

#include <mutex>

#include "platform/media/media.h"

namespace platform::media::detail {

class VideoRenderer;

// The window side of a video renderer: one window of the window layer, created
// hidden and ownerless on the thread that builds the renderer, painted on that
// thread from the renderer's latest picture.
class VideoWindowHost {
public:
    explicit VideoWindowHost(VideoRenderer& renderer);
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
    HRESULT SetFullScreen(bool on);
    bool FullScreen() const;
    HRESULT Foreground();
    // The size the picture is fitted to by default.
    void ClientSize(LONG& width, LONG& height) const;
    OAHWND Handle() const;

    // A new frame or new rectangles: repaint. Any thread.
    void Invalidate() noexcept;

private:
    struct Placement {
        OAHWND Owner = 0;
        LONG Style = 0;
        LONG Left = 0, Top = 0, Width = 0, Height = 0;
        bool Visible = false;
    };

    VideoRenderer& Renderer;
    mutable std::mutex Lock;  // callers on any thread
    Placement Current;
    Placement Saved;  // where the window was before full-screen mode
    bool IsFullScreen = false;
};

}  // namespace platform::media::detail
