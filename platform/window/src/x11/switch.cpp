// Full screen on the display: the same X window leaves its parent for the
// root and comes back. Each step is a request whose notification is awaited,
// because under a window manager the picture is there only after the Expose
// that follows the window manager's resize.

#include <cstring>

#include "peer.h"

namespace platform::x11 {

namespace {

SIZE SizeOf(const RECT& r) { return SIZE{r.right - r.left, r.bottom - r.top}; }

}  // namespace

DWORD Peer::SwitchFullScreen(const WindowPeerState& state) {
    Resize(SizeOf(state.Rect));
    IsTopLevel.store(state.Parent == 0, std::memory_order_release);
    if (!Id || !X->Live()) return ERROR_SUCCESS;  // without a display it is the layer's change alone
    if (state.FullScreen) Switched.store(true, std::memory_order_release);
    const bool done = state.FullScreen ? Enter(state, true) : Leave(state, true);
    if (!X->Live()) return ERROR_SUCCESS;
    if (!done) {
        // The layer puts its state back and tells us with Update: send it all.
        Sent.Unknown = true;
        Switched.store(!state.FullScreen, std::memory_order_release);
        return ERROR_TIMEOUT;
    }
    if (!state.FullScreen) Switched.store(false, std::memory_order_release);
    return ERROR_SUCCESS;
}

bool Peer::Withdraw(bool wait) {
    // A window manager that framed the window gives it back to the root once
    // it is withdrawn: unmapped, and told so with a synthetic UnmapNotify.
    const bool framed = ParentNow() != Sent.Parent;
    const bool wasMapped = Sent.Mapped;
    const std::uint32_t unmapped = Map(false);
    if (framed) {
        xcb_unmap_notify_event_t notice{};
        notice.response_type = XCB_UNMAP_NOTIFY;
        notice.event = X->Root();
        notice.window = Id;
        char event[32] = {};
        std::memcpy(event, &notice, sizeof notice);
        xcb_send_event(X->Raw(), 0, X->Root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY, event);
    }
    X->Flush();
    if (!wait) return true;
    const xcb_window_t parent = Sent.Parent;
    return X->WaitSeen(
        [&] { return (!wasMapped || After(Heard.Unmap, unmapped)) && (!framed || Heard.Parent == parent); },
        X->StepLimit());
}

bool Peer::Enter(const WindowPeerState& state, bool wait) {
    const bool manager = X->WindowManagerDoesFullScreen();
    const xcb_window_t root = X->Root();
    const SIZE screen = X->ScreenSize();
    // Off the screen first: override-redirect counts only from the next map.
    if (!Withdraw(wait)) return false;
    SetOverrideRedirect(!manager);
    if (ParentNow() != root || Sent.Parent != root) {
        const std::uint32_t reparented = Reparent(root, 0, 0);
        X->Flush();
        if (wait &&
            !X->WaitSeen([&] { return After(Heard.Reparent, reparented) && Heard.Parent == root; }, X->StepLimit()))
            return false;
    }
    SetWmFullScreen(manager);
    Configure(RECT{0, 0, screen.cx, screen.cy}, true);
    const std::uint32_t mapped = Map(state.Visible);
    X->Flush();
    if (!wait || !state.Visible) return true;
    // Mapped, at the screen's size, and exposed at that size: only then does
    // the picture show.
    return X->WaitSeen(
        [&] {
            return After(Heard.Map, mapped) && Heard.Width == screen.cx && Heard.Height == screen.cy &&
                   After(Heard.Expose, mapped) && Heard.ExposedSize == PackSize(screen.cx, screen.cy);
        },
        X->StepLimit());
}

bool Peer::Leave(const WindowPeerState& state, bool wait) {
    const xcb_window_t target = TargetParent(state);
    if (!Withdraw(wait)) return false;
    SetWmFullScreen(false);
    SetOverrideRedirect(false);
    if (ParentNow() != target || Sent.Parent != target) {
        const std::uint32_t reparented = Reparent(target, state.Rect.left, state.Rect.top);
        X->Flush();
        if (wait &&
            !X->WaitSeen([&] { return After(Heard.Reparent, reparented) && Heard.Parent == target; }, X->StepLimit()))
            return false;
    }
    Configure(state.Rect, false);
    Restack(state);
    const SIZE size = SizeOf(state.Rect);
    if (!state.Visible || size.cx <= 0 || size.cy <= 0) {
        X->Flush();
        return true;
    }
    const std::uint32_t mapped = Map(true);
    X->Flush();
    return !wait || X->WaitSeen([&] { return After(Heard.Map, mapped); }, X->StepLimit());
}

}  // namespace platform::x11
