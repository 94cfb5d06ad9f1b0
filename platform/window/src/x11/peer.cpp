// A window of the layer as a real X window: creating it, keeping its
// geometry, stacking, parent and mapping in step with the layer, and copying
// presented pictures to it. A stand-in for a foreign window is at the end.

#include "peer.h"

#include <cairo-xcb.h>
#include <errno.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace platform::x11 {

namespace {

constexpr std::uint32_t kEventMask = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS |
                                     XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION |
                                     XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE;

SIZE SizeOf(const RECT& r) { return SIZE{r.right - r.left, r.bottom - r.top}; }

// X keeps positions in 16 bits and sizes of at least 1.
std::int16_t Position(LONG v) { return static_cast<std::int16_t>(std::clamp<LONG>(v, -32768, 32767)); }
std::uint16_t Extent(LONG v) { return static_cast<std::uint16_t>(std::clamp<LONG>(v, 1, 32767)); }

bool Shows(const WindowPeerState& state) {
    const SIZE size = SizeOf(state.Rect);
    return state.Visible && size.cx > 0 && size.cy > 0;
}

void SetText(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type, const std::string& text) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, type, 8, static_cast<std::uint32_t>(text.size()),
                        text.data());
}

// What a window manager reads about a new top-level window: its names, the
// close button's protocol, and that its place and size are the program's.
void DescribeTopLevel(Connection& x, xcb_window_t window, const WindowPeerState& state) {
    xcb_connection_t* c = x.Raw();
    const std::string title = state.Name ? state.Name : "";
    SetText(c, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, title);
    SetText(c, window, x.Atom().NetWmName, x.Atom().Utf8String, title);
    const std::string program = program_invocation_short_name;
    const std::string wmClass = program + '\0' + program + '\0';
    SetText(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);
    const xcb_atom_t protocols[] = {x.Atom().WmDeleteWindow};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, x.Atom().WmProtocols, XCB_ATOM_ATOM, 32, 1, protocols);
    std::uint32_t hints[18] = {};
    hints[0] = 1 | 2 | 4 | 8;  // USPosition, USSize, PPosition, PSize
    hints[1] = static_cast<std::uint32_t>(state.Rect.left);
    hints[2] = static_cast<std::uint32_t>(state.Rect.top);
    hints[3] = Extent(state.Rect.right - state.Rect.left);
    hints[4] = Extent(state.Rect.bottom - state.Rect.top);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18,
                        hints);
}

}  // namespace

Peer::Peer(std::shared_ptr<Connection> connection, const WindowPeerState& state)
    : X(std::move(connection)), Window(state.Window), Buffer(SizeOf(state.Rect)) {
    IsTopLevel.store(state.Parent == 0, std::memory_order_release);
    if (!X->Live()) return;  // the display is gone: a window with pixels only
    xcb_connection_t* c = X->Raw();
    Id = xcb_generate_id(c);
    const xcb_window_t parent = TargetParent(state);
    // No background: exposed areas are copied from the picture, without a
    // flash of background first. North-west gravity keeps what a resize keeps.
    const std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, 0, XCB_GRAVITY_NORTH_WEST, kEventMask, X->Colormap()};
    const auto created = xcb_create_window(
        c, X->Depth(), Id, parent, Position(state.Rect.left), Position(state.Rect.top),
        Extent(state.Rect.right - state.Rect.left), Extent(state.Rect.bottom - state.Rect.top), 0,
        XCB_WINDOW_CLASS_INPUT_OUTPUT, X->Visual()->visual_id,
        XCB_CW_BACK_PIXMAP | XCB_CW_BORDER_PIXEL | XCB_CW_BIT_GRAVITY | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP, values);
    if (state.Parent == 0) DescribeTopLevel(*X, Id, state);
    {
        std::lock_guard lock(X->SeenLock());
        Heard.Parent = parent;
        Heard.Width = Extent(state.Rect.right - state.Rect.left);
        Heard.Height = Extent(state.Rect.bottom - state.Rect.top);
    }
    X->Register(Id, Window, this);
    Surface.reset(cairo_xcb_surface_create(c, Id, X->Visual(), Extent(state.Rect.right - state.Rect.left),
                                           Extent(state.Rect.bottom - state.Rect.top)));
    if (cairo_surface_status(Surface.get()) != CAIRO_STATUS_SUCCESS)
        Surface.reset();
    else
        X->KeepDevice(Surface.get());
    Sent.Parent = parent;
    Sent.Rect = state.Rect;
    ConfigureSequence.store(created.sequence, std::memory_order_release);
    RequestedSize.store(
        PackSize(Extent(state.Rect.right - state.Rect.left), Extent(state.Rect.bottom - state.Rect.top)),
        std::memory_order_release);
    if (Shows(state)) Map(true);
    X->Flush();
}

Peer::~Peer() {
    if (!Id) return;
    X->Unregister(Id, Window);
    Buffer.Read([this](const Image&) { Surface.reset(); });
    if (X->Live()) {
        xcb_destroy_window(X->Raw(), Id);
        X->Flush();
    }
}

xcb_window_t Peer::TargetParent(const WindowPeerState& state) const {
    if (state.Parent == 0) return X->Root();
    const xcb_window_t parent = X->IdOf(state.Parent);
    return parent ? parent : X->Root();
}

xcb_window_t Peer::ParentNow() {
    std::lock_guard lock(X->SeenLock());
    return Heard.Parent;
}

void Peer::Resize(SIZE size) {
    Buffer.Resize(size);
    if (!Surface) return;
    Buffer.Read([&](const Image&) {
        if (Surface) cairo_xcb_surface_set_size(Surface.get(), Extent(size.cx), Extent(size.cy));
    });
}

std::uint32_t Peer::Configure(const RECT& rect, bool raise) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(static_cast<std::int32_t>(Position(rect.left))),
                                    static_cast<std::uint32_t>(static_cast<std::int32_t>(Position(rect.top))),
                                    Extent(rect.right - rect.left), Extent(rect.bottom - rect.top),
                                    XCB_STACK_MODE_ABOVE};
    std::uint16_t mask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
    if (raise) mask |= XCB_CONFIG_WINDOW_STACK_MODE;
    const auto cookie = xcb_configure_window(X->Raw(), Id, mask, values);
    Sent.Rect = rect;
    RequestedSize.store(PackSize(Extent(rect.right - rect.left), Extent(rect.bottom - rect.top)),
                        std::memory_order_release);
    ConfigureSequence.store(cookie.sequence, std::memory_order_release);
    return cookie.sequence;
}

std::uint32_t Peer::Map(bool map) {
    Sent.Mapped = map;
    return (map ? xcb_map_window(X->Raw(), Id) : xcb_unmap_window(X->Raw(), Id)).sequence;
}

std::uint32_t Peer::Reparent(xcb_window_t parent, int x, int y) {
    Sent.Parent = parent;
    const LONG width = Sent.Rect.right - Sent.Rect.left, height = Sent.Rect.bottom - Sent.Rect.top;
    Sent.Rect = RECT{x, y, x + width, y + height};
    return xcb_reparent_window(X->Raw(), Id, parent, Position(x), Position(y)).sequence;
}

void Peer::SetOverrideRedirect(bool on) {
    const std::uint32_t value = on ? 1 : 0;
    xcb_change_window_attributes(X->Raw(), Id, XCB_CW_OVERRIDE_REDIRECT, &value);
    Sent.OverrideRedirect = on;
}

void Peer::SetWmFullScreen(bool on) {
    if (on) {
        const xcb_atom_t state = X->Atom().NetWmStateFullscreen;
        xcb_change_property(X->Raw(), XCB_PROP_MODE_REPLACE, Id, X->Atom().NetWmState, XCB_ATOM_ATOM, 32, 1, &state);
    } else {
        xcb_delete_property(X->Raw(), Id, X->Atom().NetWmState);
    }
    Sent.WmFullScreen = on;
}

void Peer::Restack(const WindowPeerState& state) {
    if (state.Above == 0) {
        const std::uint32_t mode = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(X->Raw(), Id, XCB_CONFIG_WINDOW_STACK_MODE, &mode);
        return;
    }
    // Top-level windows are stacked by the window manager among its frames.
    if (state.Parent == 0) return;
    const xcb_window_t above = X->IdOf(state.Above);
    if (!above) return;
    const std::uint32_t values[] = {above, XCB_STACK_MODE_BELOW};
    xcb_configure_window(X->Raw(), Id, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
}

void Peer::Update(const WindowPeerState& state) {
    Resize(SizeOf(state.Rect));
    IsTopLevel.store(state.Parent == 0, std::memory_order_release);
    if (!Id || !X->Live()) return;
    if (state.FullScreen) {
        if (Sent.Unknown) {
            Sent.Unknown = false;
            Enter(state, false);
        } else {
            // It keeps covering the screen: only showing, hiding and raising apply.
            if (state.Visible != Sent.Mapped) Map(state.Visible);
            if (state.Restacked && state.Above == 0 && state.Visible) Restack(state);
        }
    } else {
        Reconcile(state);
    }
    X->Flush();
}

void Peer::Reconcile(const WindowPeerState& state) {
    const bool all = std::exchange(Sent.Unknown, false);
    const xcb_window_t parent = TargetParent(state);
    if (all) Map(false);
    if (all || Sent.OverrideRedirect) SetOverrideRedirect(false);
    if (all || Sent.WmFullScreen) SetWmFullScreen(false);
    if (all || parent != Sent.Parent) Reparent(parent, state.Rect.left, state.Rect.top);
    const SIZE size = SizeOf(state.Rect);
    // A window manager may hold a top-level window at another size than ours.
    const bool displayDiffers =
        state.Parent == 0 && DisplaySize.load(std::memory_order_acquire) != 0 &&
        DisplaySize.load(std::memory_order_acquire) != PackSize(Extent(size.cx), Extent(size.cy));
    if (all || !(state.Rect == Sent.Rect) || displayDiffers) Configure(state.Rect, false);
    if (all || state.Restacked) Restack(state);
    if (Shows(state) != Sent.Mapped) Map(Shows(state));
}

void Peer::EndDraw(const RECT& damage) {
    Buffer.EndDraw(damage, [this](const RECT& area, const Image& picture) {
        // An unmapped window shows nothing; its Expose brings the picture when it is mapped.
        if (Sent.Mapped) Upload(area, picture);
    });
}

void Peer::Expose(const RECT& area) {
    Buffer.Read([&](const Image& picture) { Upload(area, picture); });
}

void Peer::Upload(const RECT& area, const Image& picture) {
    if (!Surface || !X->Live()) return;
    cairo_t* cr = cairo_create(Surface.get());
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_surface_t* source = nullptr;
    if (picture.Empty()) {
        cairo_set_source_rgb(cr, 0, 0, 0);  // nothing painted yet
    } else {
        // Read only: the picture is borrowed for the copy.
        auto* pixels = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(picture.Row(0)));
        source = cairo_image_surface_create_for_data(pixels, CAIRO_FORMAT_RGB24, picture.Width(), picture.Height(),
                                                     picture.Width() * 4);
        cairo_set_source_surface(cr, source, 0, 0);
    }
    cairo_rectangle(cr, area.left, area.top, area.right - area.left, area.bottom - area.top);
    cairo_fill(cr);
    cairo_destroy(cr);
    if (source) cairo_surface_destroy(source);
    cairo_surface_flush(Surface.get());
    X->Flush();
}

bool Peer::ResizedByDisplay(int width, int height, std::uint32_t sequence) {
    const std::uint32_t size = PackSize(width, height);
    DisplaySize.store(size, std::memory_order_release);
    if (!IsTopLevel.load(std::memory_order_acquire) || Switched.load(std::memory_order_acquire)) return false;
    // An answer to an older request of ours: the newest one's answer follows.
    if (static_cast<std::int32_t>(sequence - ConfigureSequence.load(std::memory_order_acquire)) < 0) return false;
    return size != RequestedSize.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------

ForeignPeer::ForeignPeer(std::shared_ptr<Connection> connection, const WindowPeerState& state)
    : X(std::move(connection)),
      Id(static_cast<xcb_window_t>(state.Foreign)),
      Window(state.Window),
      Buffer(SizeOf(state.Rect)) {
    X->Register(Id, Window, nullptr);
    if (!X->Live()) return;
    // A change between the backend's first look and now reached nobody: look again.
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(X->Raw(), xcb_get_geometry(X->Raw(), Id), nullptr), &std::free);
    const SIZE size = SizeOf(state.Rect);
    if (!geometry)
        PostPeerRequest(Window, PeerRequest::Destroy);
    else if (geometry->width != size.cx || geometry->height != size.cy)
        PostPeerRequest(Window, PeerRequest::Resize, geometry->width, geometry->height);
}

ForeignPeer::~ForeignPeer() {
    X->Unregister(Id, Window);
    if (X->Live() && X->Watchers(Id) == 0) {
        const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(X->Raw(), Id, XCB_CW_EVENT_MASK, &none);
        X->Flush();
    }
}

void ForeignPeer::Update(const WindowPeerState& state) { Buffer.Resize(SizeOf(state.Rect)); }

}  // namespace platform::x11
