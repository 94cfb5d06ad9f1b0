// Full screen: a window leaves its parent for the whole screen and comes back
// to the same parent, place, size and style.

#include <algorithm>

#include "internal.h"

namespace platform {

using namespace detail;

namespace {

// What the window was before a switch, to tell it what changed or to put it
// back when the backend could not follow.
struct Before {
    HWND Parent = 0;
    RECT Rect{};
    DWORD Style = 0;
    std::optional<Window::Placement> Windowed;
    std::size_t Index = 0;  // among its siblings, bottom first
};

// Moves w under parent (0: top level) at index among its new siblings (npos: on top); TreeLock held.
void RelinkLocked(Globals& g, Window& w, HWND parent, std::size_t index) {
    auto& old = SiblingsLocked(g, w);
    old.erase(std::remove(old.begin(), old.end(), w.Handle), old.end());
    w.Parent = parent;
    auto& siblings = SiblingsLocked(g, w);
    siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(std::min(index, siblings.size())), w.Handle);
}

DWORD SwitchHere(HWND window, bool on) {
    Globals& g = G();
    WindowPtr w;
    Before before;
    WindowPeerState state;
    std::shared_ptr<WindowPeer> peer;
    {
        std::unique_lock lock(g.TreeLock);
        w = LookupWindowLocked(window);
        if (!w) return ERROR_INVALID_WINDOW_HANDLE;
        if (w->Foreign != 0) return ERROR_ACCESS_DENIED;
        if (on == w->Windowed.has_value()) return ERROR_SUCCESS;
        const auto& siblings = SiblingsLocked(g, *w);
        before =
            Before{w->Parent, w->Rect, w->Style, w->Windowed,
                   static_cast<std::size_t>(std::find(siblings.begin(), siblings.end(), window) - siblings.begin())};
        if (on) {
            const SIZE screen = g.Backend->ScreenSize();
            w->Windowed = Window::Placement{w->Parent, w->Rect, w->Style};
            RelinkLocked(g, *w, 0, std::size_t(-1));
            w->Rect = RECT{0, 0, screen.cx, screen.cy};
            w->Style = (w->Style & ~WS_CHILD) | WS_POPUP | WS_VISIBLE;
        } else {
            const Window::Placement back = *w->Windowed;
            w->Windowed.reset();
            const bool parentLives = back.Parent == 0 || LookupWindowLocked(back.Parent) != nullptr;
            RelinkLocked(g, *w, parentLives ? back.Parent : 0, std::size_t(-1));
            w->Rect = back.Rect;
            w->Style = back.Style;
        }
        state = PeerStateLocked(*w);
        peer = w->Peer;
    }
    DWORD error = ERROR_SUCCESS;
    if (peer) {
        try {
            error = peer->SwitchFullScreen(state);
        } catch (...) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (error != ERROR_SUCCESS) {
        {
            std::unique_lock lock(g.TreeLock);
            if (!w->Alive) return error;
            const bool parentLives = before.Parent == 0 || LookupWindowLocked(before.Parent) != nullptr;
            RelinkLocked(g, *w, parentLives ? before.Parent : 0, before.Index);
            w->Rect = before.Rect;
            w->Style = before.Style;
            w->Windowed = before.Windowed;
            state = PeerStateLocked(*w);
            state.Restacked = true;
        }
        if (peer) peer->Update(state);
        return error;
    }
    const bool wasVisible = (before.Style & WS_VISIBLE) != 0;
    if (wasVisible != state.Visible) CallProcedure(w, WM_SHOWWINDOW, state.Visible ? TRUE : FALSE, 0);
    const RECT& r = state.Rect;
    if (r.left != before.Rect.left || r.top != before.Rect.top)
        CallProcedure(
            w, WM_MOVE, 0,
            MAKELPARAM(LOWORD(static_cast<std::uintptr_t>(r.left)), LOWORD(static_cast<std::uintptr_t>(r.top))));
    if (r.right - r.left != before.Rect.right - before.Rect.left ||
        r.bottom - r.top != before.Rect.bottom - before.Rect.top)
        CallProcedure(w, WM_SIZE, SIZE_RESTORED,
                      MAKELPARAM(static_cast<WORD>(r.right - r.left), static_cast<WORD>(r.bottom - r.top)));
    InvalidateRect(window, nullptr, TRUE);
    return ERROR_SUCCESS;
}

}  // namespace

BOOL SetWindowFullScreen(HWND window, BOOL on) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return FALSE;
    bool idle = false;
    if (!w->Switching.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    // The error comes back as the result: the owner's last error is its own.
    const LRESULT error = RunOnOwner(
        window, [window, on] { return static_cast<LRESULT>(SwitchHere(window, on != FALSE)); },
        static_cast<LRESULT>(ERROR_INVALID_WINDOW_HANDLE));
    w->Switching.store(false, std::memory_order_release);
    SetLastError(static_cast<DWORD>(error));
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL IsWindowFullScreen(HWND window) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    return w && w->Windowed ? TRUE : FALSE;
}

}  // namespace platform
