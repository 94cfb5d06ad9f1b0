// The reader thread: takes the display's events and hands each on without
// ever waiting for a window's owner: exposed areas are copied again from the
// windows' pictures, notifications are recorded for the full-screen steps that
// wait for them, input and size changes are posted to the owner threads.

#include <cstdlib>
#include <string>

#include "connection.h"
#include "peer.h"
#include "platform/notice/notice.h"

namespace platform::x11 {

namespace {

struct EventDeleter {
    void operator()(xcb_generic_event_t* e) const noexcept { std::free(e); }
};

WPARAM KeysOf(std::uint16_t state) {
    WPARAM keys = 0;
    if (state & XCB_KEY_BUT_MASK_BUTTON_1) keys |= MK_LBUTTON;
    if (state & XCB_KEY_BUT_MASK_BUTTON_2) keys |= MK_MBUTTON;
    if (state & XCB_KEY_BUT_MASK_BUTTON_3) keys |= MK_RBUTTON;
    if (state & XCB_KEY_BUT_MASK_SHIFT) keys |= MK_SHIFT;
    if (state & XCB_KEY_BUT_MASK_CONTROL) keys |= MK_CONTROL;
    return keys;
}

}  // namespace

void Connection::Read() {
    for (;;) {
        std::unique_ptr<xcb_generic_event_t, EventDeleter> event(xcb_wait_for_event(Conn));
        if (!event) {
            if (!Stopping.load(std::memory_order_acquire) || xcb_connection_has_error(Conn)) OnLost();
            return;
        }
        const auto type = event->response_type & 0x7F;
        if (type == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event.get());
            if (message->window == WakeWindow && message->type == Names.WakeUp) return;
        }
        Dispatch(event.get());
    }
}

void Connection::OnLost() {
    Lost.store(true, std::memory_order_release);
    {
        std::lock_guard lock(SeenMutex);  // a waiter sees the loss before it sleeps or on waking
    }
    SeenWake.notify_all();
    const std::string name =
        Options.Display.empty() ? (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") : Options.Display;
    ShowNotice("The connection to the X display \"" + name + "\" was lost; windows go on without a screen.");
}

template <class Record>
void Connection::Note(xcb_window_t id, std::uint32_t sequence, Record&& record) {
    std::lock_guard registry(RegistryLock);
    Peer* peer = PeerLocked(id);
    if (!peer) return;
    {
        std::lock_guard lock(SeenMutex);
        Notification note{++Arrivals, sequence};
        record(peer->Notes(), note);
    }
    SeenWake.notify_all();
}

void Connection::Dispatch(const xcb_generic_event_t* event) {
    const std::uint32_t sequence = event->full_sequence;
    switch (event->response_type & 0x7F) {
        case 0: return;  // an error: the window it names may be gone already, which is no fault
        case XCB_EXPOSE: {
            const auto* e = reinterpret_cast<const xcb_expose_event_t*>(event);
            {
                std::lock_guard registry(RegistryLock);
                if (Peer* peer = PeerLocked(e->window))
                    peer->Expose(RECT{e->x, e->y, e->x + e->width, e->y + e->height});
            }
            Note(e->window, sequence, [](Seen& seen, const Notification& note) {
                seen.Expose = note;
                seen.ExposedSize = PackSize(seen.Width, seen.Height);
            });
            return;
        }
        case XCB_BUTTON_PRESS: OnButton(reinterpret_cast<const xcb_button_press_event_t*>(event), true); return;
        case XCB_BUTTON_RELEASE: OnButton(reinterpret_cast<const xcb_button_press_event_t*>(event), false); return;
        case XCB_MOTION_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_motion_notify_event_t*>(event);
            if (HWND window = WindowOf(e->event))
                DeliverMouse(window, WM_MOUSEMOVE, e->event_x, e->event_y, KeysOf(e->state));
            return;
        }
        case XCB_FOCUS_IN: OnFocus(reinterpret_cast<const xcb_focus_in_event_t*>(event), true); return;
        case XCB_FOCUS_OUT: OnFocus(reinterpret_cast<const xcb_focus_in_event_t*>(event), false); return;
        case XCB_CONFIGURE_NOTIFY: OnConfigure(reinterpret_cast<const xcb_configure_notify_event_t*>(event)); return;
        case XCB_MAP_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
            if (e->event == e->window)
                Note(e->window, sequence, [](Seen& seen, const Notification& note) { seen.Map = note; });
            return;
        }
        case XCB_UNMAP_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
            if (e->event == e->window)
                Note(e->window, sequence, [](Seen& seen, const Notification& note) { seen.Unmap = note; });
            return;
        }
        case XCB_REPARENT_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
            if (e->event != e->window) return;
            Note(e->window, sequence, [parent = e->parent](Seen& seen, const Notification& note) {
                seen.Reparent = note;
                seen.Parent = parent;
            });
            return;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (e->event != e->window) return;
            // A foreign window we stand for went: its stand-ins go on their own threads.
            std::vector<HWND> standIns;
            {
                std::lock_guard lock(RegistryLock);
                for (auto [it, end] = Registry.equal_range(e->window); it != end; ++it)
                    if (!it->second.Owner) standIns.push_back(it->second.Window);
            }
            for (HWND window : standIns) PostPeerRequest(window, PeerRequest::Destroy);
            return;
        }
        case XCB_CLIENT_MESSAGE: {
            const auto* e = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (e->type == Names.WmProtocols && e->format == 32 && e->data.data32[0] == Names.WmDeleteWindow) {
                if (HWND window = WindowOf(e->window)) PostMessage(window, WM_CLOSE, 0, 0);
            }
            return;
        }
        default: return;
    }
}

void Connection::OnButton(const xcb_button_press_event_t* e, bool press) {
    const HWND window = WindowOf(e->event);
    if (!window) return;
    WPARAM keys = KeysOf(e->state);  // as it was before this button changed
    UINT message = 0;
    WPARAM bit = 0;
    switch (e->detail) {
        case 1: message = press ? WM_LBUTTONDOWN : WM_LBUTTONUP, bit = MK_LBUTTON; break;
        case 2: message = press ? WM_MBUTTONDOWN : WM_MBUTTONUP, bit = MK_MBUTTON; break;
        case 3: message = press ? WM_RBUTTONDOWN : WM_RBUTTONUP, bit = MK_RBUTTON; break;
        case 4:
        case 5: {
            if (!press) return;  // a wheel notch comes as a press and a release
            const int delta = e->detail == 4 ? WHEEL_DELTA : -WHEEL_DELTA;
            DeliverMouse(window, WM_MOUSEWHEEL, e->event_x, e->event_y,
                         MAKEWPARAM(static_cast<WORD>(keys), static_cast<WORD>(static_cast<std::int16_t>(delta))));
            return;
        }
        default: return;
    }
    keys = press ? (keys | bit) : (keys & ~bit);
    DeliverMouse(window, message, e->event_x, e->event_y, keys);
}

void Connection::OnFocus(const xcb_focus_in_event_t* e, bool in) {
    if (e->mode == XCB_NOTIFY_MODE_GRAB || e->mode == XCB_NOTIFY_MODE_UNGRAB) return;  // keyboard grabs come and go
    const auto detail = e->detail;
    if (detail == XCB_NOTIFY_DETAIL_POINTER || detail == XCB_NOTIFY_DETAIL_POINTER_ROOT ||
        detail == XCB_NOTIFY_DETAIL_NONE)
        return;
    HWND window = 0;
    bool topLevel = false;
    {
        std::lock_guard lock(RegistryLock);
        const Entry* entry = OwnEntryLocked(e->event);
        if (!entry) return;
        window = entry->Window;
        topLevel = entry->Owner->TopLevel();
    }
    // The window itself gains or loses the focus for these details; for the
    // virtual ones the focus only passes through it to a descendant.
    const bool itself = detail == XCB_NOTIFY_DETAIL_ANCESTOR || detail == XCB_NOTIFY_DETAIL_INFERIOR ||
                        detail == XCB_NOTIFY_DETAIL_NONLINEAR;
    if (in) {
        if (topLevel) PostPeerRequest(window, PeerRequest::Activate);
        if (itself) PostPeerRequest(window, PeerRequest::Focus);
    } else {
        if (itself) PostPeerRequest(window, PeerRequest::Unfocus);
        // Focus going into one of its children leaves the top-level window active.
        if (topLevel && detail != XCB_NOTIFY_DETAIL_INFERIOR) PostPeerRequest(window, PeerRequest::Deactivate);
    }
}

void Connection::OnConfigure(const xcb_configure_notify_event_t* e) {
    if (e->event != e->window) return;
    const std::uint32_t sequence = reinterpret_cast<const xcb_generic_event_t*>(e)->full_sequence;
    std::vector<HWND> standIns;
    HWND resized = 0;
    {
        std::lock_guard lock(RegistryLock);
        for (auto [it, end] = Registry.equal_range(e->window); it != end; ++it) {
            if (!it->second.Owner)
                standIns.push_back(it->second.Window);
            else if (it->second.Owner->ResizedByDisplay(e->width, e->height, sequence))
                resized = it->second.Window;
        }
    }
    for (HWND window : standIns) PostPeerRequest(window, PeerRequest::Resize, e->width, e->height);
    if (resized) PostPeerRequest(resized, PeerRequest::ResizeAsUser, e->width, e->height);
    // A window manager's synthetic notice repeats the size in root coordinates
    // and follows no Expose: the full-screen steps go by the real ones only.
    if (e->response_type & 0x80) return;
    Note(e->window, sequence, [e](Seen& seen, const Notification& note) {
        seen.Configure = note;
        seen.Width = e->width;
        seen.Height = e->height;
    });
}

}  // namespace platform::x11
