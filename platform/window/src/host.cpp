// The host's side: backend choice, the user's mouse and resizing, pictures.

#include "platform/window/host.h"

#include <algorithm>

#include "internal.h"

namespace platform {

using namespace detail;

namespace {

struct Layer {
    std::shared_ptr<WindowPeer> Peer;
    POINT Offset{};  // of the window's client origin in the picture
    RECT Clip{};     // in the picture
};

// Gathers window and its visible descendants, bottom to top, with TreeLock held.
void GatherLocked(const Window& w, POINT offset, const RECT& clip, std::vector<Layer>& layers) {
    layers.push_back(Layer{w.Peer, offset, clip});
    for (HWND c : w.Children) {
        WindowPtr child = LookupWindowLocked(c);
        if (!child || !(child->Style & WS_VISIBLE)) continue;
        const POINT o{offset.x + child->Rect.left, offset.y + child->Rect.top};
        const RECT area{o.x, o.y, o.x + (child->Rect.right - child->Rect.left),
                        o.y + (child->Rect.bottom - child->Rect.top)};
        const RECT inner = IntersectRect(clip, area);
        if (IsRectEmpty(inner)) continue;  // its descendants are clipped away too
        GatherLocked(*child, o, inner, layers);
    }
}

void Paint(Image& picture, const std::vector<Layer>& layers) {
    for (const Layer& layer : layers) {
        if (!layer.Peer) continue;
        const Image snapshot = layer.Peer->Snapshot();
        const RECT source{layer.Offset.x, layer.Offset.y, layer.Offset.x + snapshot.Width(),
                          layer.Offset.y + snapshot.Height()};
        const RECT area =
            IntersectRect(IntersectRect(layer.Clip, source), RECT{0, 0, picture.Width(), picture.Height()});
        if (IsRectEmpty(area)) continue;
        for (int y = area.top; y < area.bottom; ++y) {
            const std::uint32_t* from = snapshot.Row(y - layer.Offset.y) + (area.left - layer.Offset.x);
            std::copy(from, from + (area.right - area.left), picture.Row(y) + area.left);
        }
    }
}

}  // namespace

Image ComposeWindowFromPeers(HWND window) noexcept {
    try {
        std::vector<Layer> layers;
        RECT client{};
        {
            std::shared_lock lock(G().TreeLock);
            WindowPtr w = LookupWindowLocked(window);
            if (!w) return Image{};
            client = ClientRectLocked(*w);
            if (IsRectEmpty(client)) return Image{};
            GatherLocked(*w, POINT{0, 0}, client, layers);
        }
        Image picture(client.right, client.bottom);
        Paint(picture, layers);
        return picture;
    } catch (...) {
        return Image{};
    }
}

Image ComposeScreenFromPeers(SIZE screen) noexcept {
    try {
        std::vector<Layer> layers;
        const RECT whole{0, 0, screen.cx, screen.cy};
        {
            std::shared_lock lock(G().TreeLock);
            for (HWND h : G().TopLevel) {
                WindowPtr w = LookupWindowLocked(h);
                if (!w || !(w->Style & WS_VISIBLE)) continue;
                const RECT clip = IntersectRect(whole, w->Rect);
                if (IsRectEmpty(clip)) continue;
                GatherLocked(*w, POINT{w->Rect.left, w->Rect.top}, clip, layers);
            }
        }
        Image picture(screen.cx, screen.cy);
        Paint(picture, layers);
        return picture;
    } catch (...) {
        return Image{};
    }
}

namespace {

std::uint16_t Coordinate(LONG v) {
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp<LONG>(v, -32768, 32767)));
}

// Posts mouse input at client point of window to target, with the point in
// the target's client coordinates (the screen's for the wheel).
BOOL PostMouse(HWND window, POINT client, HWND target, UINT message, WPARAM keys) {
    POINT screen{};
    POINT local{};
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr from = LookupWindowLocked(window);
        WindowPtr to = LookupWindowLocked(target);
        if (!from || !to) return FALSE;
        const POINT origin = ScreenOriginLocked(*from);
        screen = POINT{origin.x + client.x, origin.y + client.y};
        const POINT targetOrigin = ScreenOriginLocked(*to);
        local = message == WM_MOUSEWHEEL ? screen : POINT{screen.x - targetOrigin.x, screen.y - targetOrigin.y};
    }
    SetCursorPosition(screen);
    return PostWithPoint(target, message, keys, MAKELPARAM(Coordinate(local.x), Coordinate(local.y)), screen);
}

}  // namespace

BOOL DeliverMouse(HWND window, UINT message, int x, int y, WPARAM keys) noexcept {
    HWND target = 0;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) return FALSE;
        if (WindowPtr capture = LookupWindowLocked(G().Capture)) {
            target = capture->Handle;
        } else {
            // The display already chose the window; a disabled one passes
            // the input on to its parent, as a hit test would.
            while (w && (w->Style & WS_DISABLED) && w->Parent != 0) w = LookupWindowLocked(w->Parent);
            if (!w) return FALSE;
            target = w->Handle;
        }
    }
    return PostMouse(window, POINT{x, y}, target, message, keys);
}

BOOL PostPeerRequest(HWND window, PeerRequest request, int width, int height) noexcept {
    return PostWithPoint(window, kPeerRequestMessage, static_cast<WPARAM>(request),
                         MAKELPARAM(static_cast<WORD>(ClampExtent(width)), static_cast<WORD>(ClampExtent(height))),
                         POINT{});
}

namespace detail {

void RunPeerRequest(HWND window, WPARAM request, LPARAM size) noexcept {
    const int width = LOWORD(static_cast<std::uintptr_t>(size));
    const int height = HIWORD(static_cast<std::uintptr_t>(size));
    switch (static_cast<PeerRequest>(request)) {
        case PeerRequest::ResizeAsUser: {
            host::ResizeWindowAsUser(window, width, height);
            // The limits may have kept the window at another size than the
            // display's: the peer hears where it is and puts the display right.
            std::shared_ptr<WindowPeer> peer;
            WindowPeerState state;
            {
                std::shared_lock lock(G().TreeLock);
                WindowPtr w = LookupWindowLocked(window);
                if (!w) return;
                peer = w->Peer;
                state = PeerStateLocked(*w);
            }
            if (peer) peer->Update(state);
            break;
        }
        case PeerRequest::Resize:
            SetWindowPos(window, 0, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            break;
        case PeerRequest::Destroy: DestroyWindow(window); break;
        case PeerRequest::Focus: SetFocus(window); break;
        case PeerRequest::Unfocus:
            if (GetFocus() == window) SetFocus(0);
            break;
        case PeerRequest::Activate: SetActiveWindow(window); break;
        case PeerRequest::Deactivate:
            if (GetActiveWindow() == window) SetActiveWindow(0);
            break;
    }
}

}  // namespace detail

namespace {

LRESULT ForeignProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(window, message, wParam, lParam);
}

constexpr const char* kForeignClass = "platform.window.Foreign";

}  // namespace

namespace host {

bool InstallBackend(std::unique_ptr<WindowBackend> backend) {
    std::unique_ptr<WindowBackend> replaced;
    std::unique_lock lock(G().TreeLock);
    if (!G().Windows.empty()) return false;
    replaced = std::move(G().Backend);
    G().Backend = backend ? std::move(backend) : MakeHeadlessBackend();
    return true;
}

WindowBackend& Backend() noexcept { return *G().Backend; }

bool SetScreenSize(int width, int height) noexcept {
    if (width < 1 || height < 1 || width > kMaxBitmapExtent || height > kMaxBitmapExtent) return false;
    return G().Backend->SetScreenSize(SIZE{width, height});
}

namespace {

HWND HitTestLocked(const Window& w, POINT client) {
    for (auto it = w.Children.rbegin(); it != w.Children.rend(); ++it) {
        WindowPtr child = LookupWindowLocked(*it);
        if (!child || !(child->Style & WS_VISIBLE) || (child->Style & WS_DISABLED)) continue;
        if (PtInRect(child->Rect, client))
            return HitTestLocked(*child, POINT{client.x - child->Rect.left, client.y - child->Rect.top});
    }
    return w.Handle;
}

}  // namespace

HWND MouseTarget(HWND window, POINT client) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w) return 0;
    if (WindowPtr capture = LookupWindowLocked(G().Capture)) return capture->Handle;
    if (!PtInRect(ClientRectLocked(*w), client)) return 0;
    return HitTestLocked(*w, client);
}

BOOL InjectMouse(HWND window, UINT message, int x, int y, WPARAM keys) noexcept {
    const HWND target = MouseTarget(window, POINT{x, y});
    if (target == 0) return FALSE;
    return PostMouse(window, POINT{x, y}, target, message, keys);
}

BOOL Click(HWND window, int x, int y) noexcept {
    return InjectMouse(window, WM_LBUTTONDOWN, x, y, MK_LBUTTON) && InjectMouse(window, WM_LBUTTONUP, x, y, 0);
}

BOOL ResizeWindowAsUser(HWND window, int width, int height) noexcept {
    MINMAXINFO info;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) return FALSE;
        info.ptMinTrackSize = POINT{0, 0};
        info.ptMaxTrackSize = POINT{kMaxBitmapExtent, kMaxBitmapExtent};
        info.ptMaxSize = POINT{kMaxBitmapExtent, kMaxBitmapExtent};
    }
    SendMessage(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    const int cx = std::clamp(width, info.ptMinTrackSize.x, std::max(info.ptMinTrackSize.x, info.ptMaxTrackSize.x));
    const int cy = std::clamp(height, info.ptMinTrackSize.y, std::max(info.ptMinTrackSize.y, info.ptMaxTrackSize.y));
    return SetWindowPos(window, 0, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

Image CaptureWindow(HWND window) noexcept {
    try {
        return G().Backend->Capture(window);
    } catch (...) {
        return Image{};
    }
}

Image CaptureScreen() noexcept {
    try {
        return G().Backend->CaptureScreen();
    } catch (...) {
        return Image{};
    }
}

Image CaptureWindowFromScreen(HWND window) noexcept {
    try {
        if (!IsWindow(window)) return Image{};
        return G().Backend->CaptureFromScreen(window);
    } catch (...) {
        return Image{};
    }
}

HWND AttachForeignWindow(std::uint64_t id) noexcept {
    try {
        SIZE size{};
        const DWORD error = G().Backend->QueryForeignWindow(id, size);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return 0;
        }
        // Registered once for the process and never taken away: stand-ins may
        // be made at any time.
        static const bool registered = [] {
            WNDCLASS windowClass{};
            windowClass.lpfnWndProc = &ForeignProcedure;
            windowClass.lpszClassName = kForeignClass;
            return RegisterClass(&windowClass) != 0;
        }();
        if (!registered) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return 0;
        }
        return CreateWindowHere(0, kForeignClass, "", WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, size.cx, size.cy, 0, nullptr,
                                nullptr, nullptr, id);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

std::uint64_t NativeWindowId(HWND window) noexcept {
    std::shared_ptr<WindowPeer> peer;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) return 0;
        peer = w->Peer;
    }
    return peer ? peer->NativeId() : 0;
}

bool SaveWindowPng(HWND window, const std::string& path) noexcept { return CaptureWindow(window).SavePng(path); }

std::size_t SendsWaiting(HWND window) noexcept {
    QueuePtr owner;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) return 0;
        owner = w->Owner;
    }
    ThreadQueue& q = *owner;
    std::lock_guard lock(q.Lock);
    return static_cast<std::size_t>(std::count_if(q.Incoming.begin(), q.Incoming.end(),
                                                  [window](const SentPtr& s) { return s->Target == window; }));
}

}  // namespace host

}  // namespace platform
