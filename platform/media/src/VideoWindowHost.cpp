#include "VideoWindowHost.h"

#include <gst/video/video.h>

#include <limits>
#include <map>

#include "Filters.h"

namespace platform::media::detail {

LRESULT VideoWindowHostProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr const char* kClassName = "PlatformMediaVideoWindow";
// Styles a video window cannot take.
constexpr LONG kRefusedStyles = static_cast<LONG>(WS_DISABLED | WS_MINIMIZE | WS_MAXIMIZE);

// The live hosts by window. A window procedure finds its host here, under the
// lock, so a host going away on another thread never leaves the procedure
// with a dangling pointer.
std::mutex HostsLock;
std::map<HWND, VideoWindowHost*>& Hosts() {
    static auto* hosts = new std::map<HWND, VideoWindowHost*>();
    return *hosts;
}

// Each host holds the class while it has a window, so a module unloaded with
// this library never leaves a class behind whose procedure is gone.
WNDCLASS VideoWindowClass() {
    WNDCLASS windowClass;
    windowClass.lpfnWndProc = &VideoWindowHostProcedure;
    windowClass.lpszClassName = kClassName;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    return windowClass;
}

bool ToWindow(OAHWND value, HWND& window) {
    if (value < 0 || static_cast<std::uintmax_t>(value) > std::numeric_limits<HWND>::max()) return false;
    window = static_cast<HWND>(value);
    return window == 0 || IsWindow(window);
}

}  // namespace

VideoWindowHost::VideoWindowHost(VideoRenderer& renderer, LONG width, LONG height) : Renderer(renderer) {
    Current.Style = static_cast<LONG>(WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    Current.Width = width > 0 ? width : 320;
    Current.Height = height > 0 ? height : 240;
    if (!Class.Acquire(VideoWindowClass())) return;
    std::lock_guard guard(HostsLock);
    Window = CreateWindowEx(0, kClassName, "Video Renderer", static_cast<DWORD>(Current.Style), 0, 0, Current.Width,
                            Current.Height, 0, nullptr, nullptr, nullptr);
    if (Window) {
        Hosts()[Window] = this;
    } else {
        Class.Release();
    }
}

VideoWindowHost::~VideoWindowHost() {
    if (!Window) return;
    std::lock_guard guard(HostsLock);
    Hosts().erase(Window);
    // Only the owner thread may destroy a window; from elsewhere it is asked
    // to, and the class stays until it has.
    if (!DestroyWindow(Window)) PostMessage(Window, WM_CLOSE, 0, 0);
}

LRESULT VideoWindowHostProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ERASEBKGND: return 1;  // the picture and its borders cover everything
        case WM_PAINT: {
            std::lock_guard guard(HostsLock);
            auto found = Hosts().find(window);
            if (found != Hosts().end()) {
                found->second->Paint();
                return 0;
            }
            break;
        }
        default: break;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

void VideoWindowHost::Paint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Window, &paint);
    if (!dc) return;
    RECT client;
    GetClientRect(Window, &client);
    VideoRenderer::Picture picture;
    const bool havePicture = Renderer.CurrentPicture(picture, client.right, client.bottom);
    const RECT dest = havePicture ? RECT{picture.DestLeft, picture.DestTop, picture.DestLeft + picture.DestWidth,
                                         picture.DestTop + picture.DestHeight}
                                  : RECT{};
    // Black around the picture (all of it before the first frame).
    auto* black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    const RECT bands[4] = {{0, 0, client.right, dest.top},
                           {0, dest.bottom, client.right, client.bottom},
                           {0, dest.top, dest.left, dest.bottom},
                           {dest.right, dest.top, client.right, dest.bottom}};
    if (!havePicture) {
        FillRect(dc, &client, black);
    } else {
        for (const RECT& band : bands) FillRect(dc, &band, black);
        GstVideoInfo info;
        GstVideoFrame frame;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(picture.Sample.get())) &&
            gst_video_frame_map(&frame, &info, gst_sample_get_buffer(picture.Sample.get()), GST_MAP_READ)) {
            PixelView view;
            view.Pixels = static_cast<const std::uint32_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
            view.Width = GST_VIDEO_FRAME_WIDTH(&frame);
            view.Height = GST_VIDEO_FRAME_HEIGHT(&frame);
            view.Stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
            const RECT source{picture.SourceLeft, picture.SourceTop, picture.SourceLeft + picture.SourceWidth,
                              picture.SourceTop + picture.SourceHeight};
            DrawPixels(dc, dest, view, source);
            gst_video_frame_unmap(&frame);
        }
    }
    EndPaint(Window, &paint);
}

void VideoWindowHost::Invalidate() noexcept {
    if (Window) InvalidateRect(Window, nullptr, FALSE);
}

void VideoWindowHost::Apply(const Placement& placement) {
    if (!Window) return;
    SetParent(Window, placement.Owner);
    const LONG style =
        (placement.Style & ~static_cast<LONG>(WS_VISIBLE)) | (placement.Visible ? static_cast<LONG>(WS_VISIBLE) : 0);
    SetWindowLongPtr(Window, GWL_STYLE, style);
    SetWindowPos(Window, HWND_TOP, placement.Left, placement.Top, placement.Width, placement.Height, SWP_NOACTIVATE);
    Invalidate();
}

HRESULT VideoWindowHost::SetVisible(bool visible) {
    std::lock_guard guard(Lock);
    Current.Visible = visible;
    if (!IsFullScreen && Window) {
        ShowWindow(Window, visible ? SW_SHOWNA : SW_HIDE);
        if (visible) Invalidate();
    }
    return S_OK;
}

bool VideoWindowHost::Visible() const {
    std::lock_guard guard(Lock);
    return IsFullScreen || Current.Visible;
}

HRESULT VideoWindowHost::SetOwner(OAHWND owner) {
    HWND window = 0;
    if (!ToWindow(owner, window)) return E_INVALIDARG;
    std::lock_guard guard(Lock);
    Current.Owner = window;
    if (!IsFullScreen && Window) {
        SetParent(Window, window);
        Invalidate();
    }
    return S_OK;
}

OAHWND VideoWindowHost::Owner() const {
    std::lock_guard guard(Lock);
    return static_cast<OAHWND>(Current.Owner);
}

HRESULT VideoWindowHost::SetStyle(LONG style) {
    if (style & kRefusedStyles) return E_INVALIDARG;
    std::lock_guard guard(Lock);
    // Visibility belongs to put_Visible; the style keeps whatever it is.
    Current.Style = style & ~static_cast<LONG>(WS_VISIBLE);
    if (!IsFullScreen && Window) {
        SetWindowLongPtr(Window, GWL_STYLE, Current.Style | (Current.Visible ? static_cast<LONG>(WS_VISIBLE) : 0));
    }
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
    if (!IsFullScreen && Window) {
        SetWindowPos(Window, HWND_TOP, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
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
    {
        std::lock_guard guard(Lock);
        if (!Window) return E_FAIL;
        if (Switching) return HRESULT_FROM_WIN32(ERROR_BUSY);
        if (on == IsFullScreen) return S_OK;
        Switching = true;
        // From here until the window is back, placements asked for are only
        // kept, and come back afterwards.
        IsFullScreen = true;
    }
    // Without the lock: on a display each step waits for the display to
    // confirm it, and other calls on the renderer go on meanwhile.
    const BOOL done = SetWindowFullScreen(Window, on ? TRUE : FALSE);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    std::lock_guard guard(Lock);
    Switching = false;
    if (!done) {
        IsFullScreen = !on;
        return HRESULT_FROM_WIN32(error);
    }
    if (!on) {
        IsFullScreen = false;
        Apply(Current);
    }
    return S_OK;
}

bool VideoWindowHost::FullScreen() const {
    std::lock_guard guard(Lock);
    return IsFullScreen;
}

HRESULT VideoWindowHost::Foreground() {
    if (!Window) return E_FAIL;
    SetWindowPos(Window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return S_OK;
}

void VideoWindowHost::ClientSize(LONG& width, LONG& height) const {
    RECT client;
    if (Window && GetClientRect(Window, &client)) {
        width = client.right;
        height = client.bottom;
        return;
    }
    std::lock_guard guard(Lock);
    width = Current.Width;
    height = Current.Height;
}

}  // namespace platform::media::detail
