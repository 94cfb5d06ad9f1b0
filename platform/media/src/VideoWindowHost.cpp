#include "VideoWindowHost.h"

namespace platform::media::detail {

// Without a window layer the window is only its placement; the picture is
// read back through IVideoFrameProbe.
VideoWindowHost::VideoWindowHost(VideoRenderer& renderer) : Renderer(renderer) {
    Current.Width = 240;
    Current.Height = 180;
}

VideoWindowHost::~VideoWindowHost() = default;

HRESULT VideoWindowHost::SetVisible(bool visible) {
    std::lock_guard guard(Lock);
    Current.Visible = visible;
    return S_OK;
}

bool VideoWindowHost::Visible() const {
    std::lock_guard guard(Lock);
    return Current.Visible;
}

HRESULT VideoWindowHost::SetOwner(OAHWND owner) {
    std::lock_guard guard(Lock);
    Current.Owner = owner;
    return S_OK;
}

OAHWND VideoWindowHost::Owner() const {
    std::lock_guard guard(Lock);
    return Current.Owner;
}

HRESULT VideoWindowHost::SetStyle(LONG style) {
    std::lock_guard guard(Lock);
    Current.Style = style;
    return S_OK;
}

LONG VideoWindowHost::Style() const {
    std::lock_guard guard(Lock);
    return Current.Style;
}

HRESULT VideoWindowHost::SetPosition(LONG left, LONG top, LONG width, LONG height) {
    if (width < 0 || height < 0) return E_INVALIDARG;
    std::lock_guard guard(Lock);
    Current.Left = left;
    Current.Top = top;
    Current.Width = width;
    Current.Height = height;
    return S_OK;
}

void VideoWindowHost::Position(LONG& left, LONG& top, LONG& width, LONG& height) const {
    std::lock_guard guard(Lock);
    left = Current.Left;
    top = Current.Top;
    width = Current.Width;
    height = Current.Height;
}

HRESULT VideoWindowHost::SetFullScreen(bool on) {
    std::lock_guard guard(Lock);
    if (on == IsFullScreen) return S_OK;
    if (on) {
        Saved = Current;
    } else {
        Current = Saved;
    }
    IsFullScreen = on;
    return S_OK;
}

bool VideoWindowHost::FullScreen() const {
    std::lock_guard guard(Lock);
    return IsFullScreen;
}

HRESULT VideoWindowHost::Foreground() { return S_OK; }

void VideoWindowHost::ClientSize(LONG& width, LONG& height) const {
    std::lock_guard guard(Lock);
    width = Current.Width;
    height = Current.Height;
}

OAHWND VideoWindowHost::Handle() const { return 0; }

void VideoWindowHost::Invalidate() noexcept {}

}  // namespace platform::media::detail
