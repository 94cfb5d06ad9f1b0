// Geometry: positions, sizes, stacking, show states, maximising and the
// size limits a window asks for.

#include <algorithm>

#include "internal.h"

namespace platform {

namespace detail {

RECT ClientRectLocked(const Window& w) { return RECT{0, 0, w.Rect.right - w.Rect.left, w.Rect.bottom - w.Rect.top}; }

POINT ScreenOriginLocked(const Window& w) {
    POINT origin{w.Rect.left, w.Rect.top};
    for (HWND p = w.Parent; p != 0;) {
        const WindowPtr parent = LookupWindowLocked(p);
        if (!parent) break;
        origin.x += parent->Rect.left;
        origin.y += parent->Rect.top;
        p = parent->Parent;
    }
    return origin;
}

int ClampExtent(int v) { return std::clamp(v, 0, kMaxBitmapExtent); }
int ClampCoordinate(int v) {
    constexpr int kCoordinateLimit = 1 << 20;
    return std::clamp(v, -kCoordinateLimit, kCoordinateLimit);
}

namespace {

MINMAXINFO DefaultMinMax(const Window& w) {
    MINMAXINFO info;
    SIZE area = G().Backend->ScreenSize();
    if (w.Parent != 0) {
        if (WindowPtr parent = LookupWindowLocked(w.Parent)) {
            const RECT client = ClientRectLocked(*parent);
            area = SIZE{client.right, client.bottom};
        }
    }
    info.ptMaxSize = POINT{area.cx, area.cy};
    info.ptMaxPosition = POINT{0, 0};
    info.ptMinTrackSize = POINT{0, 0};
    info.ptMaxTrackSize = POINT{kMaxBitmapExtent, kMaxBitmapExtent};
    return info;
}

// Asks the window (on its thread) for its size limits.
MINMAXINFO QueryMinMax(HWND window) {
    MINMAXINFO info;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) return info;
        info = DefaultMinMax(*w);
    }
    SendMessage(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    return info;
}

}  // namespace

LRESULT SetWindowPosHere(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags) {
    Globals& g = G();
    WindowPtr w;
    bool moved = false;
    bool sized = false;
    bool restacked = false;
    int shown = 0;  // +1 shown, -1 hidden
    bool maximized = false;
    RECT rect{};
    WindowPeerState state;
    std::shared_ptr<WindowPeer> peer;
    {
        std::unique_lock lock(g.TreeLock);
        w = LookupWindowLocked(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        rect = w->Rect;
        if (w->Windowed) flags |= SWP_NOMOVE | SWP_NOSIZE;  // full screen keeps covering the screen
        if (!(flags & SWP_NOMOVE)) {
            const int cx = rect.right - rect.left;
            const int cy = rect.bottom - rect.top;
            rect.left = ClampCoordinate(x);
            rect.top = ClampCoordinate(y);
            rect.right = rect.left + cx;
            rect.bottom = rect.top + cy;
        }
        if (!(flags & SWP_NOSIZE)) {
            rect.right = rect.left + ClampExtent(width);
            rect.bottom = rect.top + ClampExtent(height);
        }
        moved = rect.left != w->Rect.left || rect.top != w->Rect.top;
        sized = (rect.right - rect.left) != (w->Rect.right - w->Rect.left) ||
                (rect.bottom - rect.top) != (w->Rect.bottom - w->Rect.top);
        if (!(flags & SWP_NOZORDER)) {
            auto& siblings = SiblingsLocked(g, *w);
            const auto self = std::find(siblings.begin(), siblings.end(), window);
            std::size_t before = static_cast<std::size_t>(self - siblings.begin());
            if (insertAfter == HWND_TOP || insertAfter == HWND_BOTTOM ||
                std::find(siblings.begin(), siblings.end(), insertAfter) != siblings.end()) {
                if (insertAfter != window && self != siblings.end()) {
                    siblings.erase(self);
                    if (insertAfter == HWND_TOP) {
                        siblings.push_back(window);
                    } else if (insertAfter == HWND_BOTTOM) {
                        siblings.insert(siblings.begin(), window);
                    } else {
                        // Just below insertAfter.
                        siblings.insert(std::find(siblings.begin(), siblings.end(), insertAfter), window);
                    }
                    const auto now = std::find(siblings.begin(), siblings.end(), window);
                    restacked = static_cast<std::size_t>(now - siblings.begin()) != before;
                }
            }
        }
        if ((flags & SWP_SHOWWINDOW) && !(w->Style & WS_VISIBLE)) {
            w->Style |= WS_VISIBLE;
            shown = 1;
        } else if ((flags & SWP_HIDEWINDOW) && (w->Style & WS_VISIBLE)) {
            w->Style &= ~WS_VISIBLE;
            shown = -1;
        }
        w->Rect = rect;
        maximized = w->Maximized;
        state = PeerStateLocked(*w);
        state.Restacked = restacked;
        peer = w->Peer;
    }
    if (peer && (moved || sized || restacked || shown != 0)) peer->Update(state);
    if (shown != 0) CallProcedure(w, WM_SHOWWINDOW, shown > 0 ? TRUE : FALSE, 0);
    if ((sized || shown > 0) && !(flags & SWP_NOREDRAW)) InvalidateRect(window, nullptr, TRUE);
    if (moved)
        CallProcedure(
            w, WM_MOVE, 0,
            MAKELPARAM(LOWORD(static_cast<std::uintptr_t>(rect.left)), LOWORD(static_cast<std::uintptr_t>(rect.top))));
    if (sized) {
        CallProcedure(w, WM_SIZE, maximized ? SIZE_MAXIMIZED : SIZE_RESTORED,
                      MAKELPARAM(static_cast<WORD>(rect.right - rect.left), static_cast<WORD>(rect.bottom - rect.top)));
    }
    return TRUE;
}

LRESULT ShowWindowHere(HWND window, int command) {
    bool wasVisible = false;
    bool maximized = false;
    std::optional<RECT> restore;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        wasVisible = (w->Style & WS_VISIBLE) != 0;
        maximized = w->Maximized;
        restore = w->RestoreRect;
    }
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER;
    switch (command) {
        case SW_HIDE: SetWindowPosHere(window, 0, 0, 0, 0, 0, keep | SWP_HIDEWINDOW); break;
        case SW_MAXIMIZE: {
            const MINMAXINFO info = QueryMinMax(window);
            const int cx = std::clamp(info.ptMaxSize.x, info.ptMinTrackSize.x,
                                      std::max(info.ptMinTrackSize.x, info.ptMaxTrackSize.x));
            const int cy = std::clamp(info.ptMaxSize.y, info.ptMinTrackSize.y,
                                      std::max(info.ptMinTrackSize.y, info.ptMaxTrackSize.y));
            {
                std::unique_lock lock(G().TreeLock);
                WindowPtr w = LookupWindowLocked(window);
                if (!w) return FALSE;
                if (!w->Maximized) w->RestoreRect = w->Rect;
                w->Maximized = true;
                w->Style |= WS_MAXIMIZE;
            }
            SetWindowPosHere(window, 0, info.ptMaxPosition.x, info.ptMaxPosition.y, cx, cy,
                             SWP_NOZORDER | SWP_SHOWWINDOW);
            break;
        }
        case SW_RESTORE:
        case SW_SHOWNORMAL:
            if (maximized) {
                {
                    std::unique_lock lock(G().TreeLock);
                    WindowPtr w = LookupWindowLocked(window);
                    if (!w) return FALSE;
                    w->Maximized = false;
                    w->Style &= ~WS_MAXIMIZE;
                    w->RestoreRect.reset();
                }
                const RECT r = restore.value_or(RECT{});
                SetWindowPosHere(window, 0, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                 SWP_NOZORDER | SWP_SHOWWINDOW);
                break;
            }
            [[fallthrough]];
        default: SetWindowPosHere(window, 0, 0, 0, 0, 0, keep | SWP_SHOWWINDOW); break;
    }
    return wasVisible ? TRUE : FALSE;
}

}  // namespace detail

using namespace detail;

BOOL GetClientRect(HWND window, RECT* rect) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !rect) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = ClientRectLocked(*w);
    return TRUE;
}

BOOL GetWindowRect(HWND window, RECT* rect) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !rect) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const POINT o = ScreenOriginLocked(*w);
    *rect = RECT{o.x, o.y, o.x + (w->Rect.right - w->Rect.left), o.y + (w->Rect.bottom - w->Rect.top)};
    return TRUE;
}

namespace {

// Moves point by the window's screen origin, forwards (+1) or back (-1).
BOOL ShiftByOrigin(HWND window, POINT* point, int direction) {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !point) return FALSE;
    const POINT o = ScreenOriginLocked(*w);
    point->x += direction * o.x;
    point->y += direction * o.y;
    return TRUE;
}

}  // namespace

BOOL ClientToScreen(HWND window, POINT* point) noexcept { return ShiftByOrigin(window, point, 1); }

BOOL ScreenToClient(HWND window, POINT* point) noexcept { return ShiftByOrigin(window, point, -1); }

BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags) noexcept {
    return static_cast<BOOL>(RunOnOwner(
        window, [=] { return SetWindowPosHere(window, insertAfter, x, y, width, height, flags); }, FALSE));
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) noexcept {
    return SetWindowPos(window, 0, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL ShowWindow(HWND window, int command) noexcept {
    return static_cast<BOOL>(RunOnOwner(
        window, [=] { return ShowWindowHere(window, command); }, FALSE));
}

int GetSystemMetrics(int index) noexcept {
    const SIZE screen = G().Backend->ScreenSize();
    switch (index) {
        case SM_CXSCREEN: return screen.cx;
        case SM_CYSCREEN: return screen.cy;
        default: return 0;
    }
}

}  // namespace platform
