// The X11 backend's connection: opening the display, the windows the reader
// routes events to, waiting for notifications, and reading pictures back.

#include "connection.h"

#include <cairo-xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "peer.h"

namespace platform::x11 {

namespace {

// Frees what XCB allocated for a reply.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t Intern(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The first 32-bit value of a window property of the given type, or 0.
std::uint32_t WindowProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return 0;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
}

int Shift(std::uint32_t mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

}  // namespace

std::shared_ptr<Connection> Connection::Open(const X11Options& options, std::string* error) {
    std::shared_ptr<Connection> connection(new Connection);
    if (!connection->Setup(options, error)) return nullptr;
    connection->Reader = std::thread([raw = connection.get()] { raw->Read(); });
    return connection;
}

bool Connection::Setup(const X11Options& options, std::string* error) {
    Options = options;
    const char* name = options.Display.empty() ? nullptr : options.Display.c_str();
    const char* shown = name ? name : std::getenv("DISPLAY");
    const std::string display = shown ? shown : "";
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!name && display.empty()) return fail("no display: DISPLAY is not set");
    int screenNumber = 0;
    Conn = xcb_connect(name, &screenNumber);
    if (xcb_connection_has_error(Conn)) return fail("cannot open the display \"" + display + "\"");
    const xcb_setup_t* setup = xcb_get_setup(Conn);
    ImageByteOrder = setup->image_byte_order;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return fail("the display \"" + display + "\" has no such screen");
    const xcb_screen_t* screen = screens.data;
    RootWindow = screen->root;
    RootDepth = screen->root_depth;
    DefaultColormap = screen->default_colormap;
    Screen = SIZE{screen->width_in_pixels, screen->height_in_pixels};
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        if (depths.data->depth != RootDepth) continue;
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen->root_visual) VisualType = visuals.data;
        }
    }
    if (!VisualType || VisualType->_class != XCB_VISUAL_CLASS_TRUE_COLOR || (RootDepth != 24 && RootDepth != 32))
        return fail("the display \"" + display + "\" has no 24-bit TrueColor screen");
    bool pixels32 = false;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem; xcb_format_next(&formats))
        if (formats.data->depth == RootDepth) pixels32 = formats.data->bits_per_pixel == 32;
    if (!pixels32) return fail("the display \"" + display + "\" does not keep 32 bits per pixel");

    Names.WmProtocols = Intern(Conn, "WM_PROTOCOLS");
    Names.WmDeleteWindow = Intern(Conn, "WM_DELETE_WINDOW");
    Names.NetWmName = Intern(Conn, "_NET_WM_NAME");
    Names.Utf8String = Intern(Conn, "UTF8_STRING");
    Names.NetWmState = Intern(Conn, "_NET_WM_STATE");
    Names.NetWmStateFullscreen = Intern(Conn, "_NET_WM_STATE_FULLSCREEN");
    Names.NetSupported = Intern(Conn, "_NET_SUPPORTED");
    Names.NetSupportingWmCheck = Intern(Conn, "_NET_SUPPORTING_WM_CHECK");
    Names.WakeUp = Intern(Conn, "_PLATFORM_WINDOW_WAKE_UP");

    // A window nobody sees, for sending ourselves the event that ends the reader.
    WakeWindow = xcb_generate_id(Conn);
    xcb_create_window(Conn, XCB_COPY_FROM_PARENT, WakeWindow, RootWindow, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    if (!Flush()) return fail("the display \"" + display + "\" closed the connection");
    return true;
}

Connection::~Connection() {
    Stop();
    {
        std::lock_guard lock(DeviceLock);
        if (Device) {
            cairo_device_finish(Device);
            cairo_device_destroy(Device);
            Device = nullptr;
        }
    }
    if (Conn) xcb_disconnect(Conn);
}

void Connection::Stop() {
    if (!Reader.joinable()) return;
    Stopping.store(true, std::memory_order_release);
    if (Live()) {
        xcb_client_message_event_t wake{};
        wake.response_type = XCB_CLIENT_MESSAGE;
        wake.format = 32;
        wake.window = WakeWindow;
        wake.type = Names.WakeUp;
        xcb_send_event(Conn, 0, WakeWindow, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&wake));
        xcb_destroy_window(Conn, WakeWindow);
        Flush();
    }
    Reader.join();
}

bool Connection::Flush() {
    if (!Live()) return false;
    return xcb_flush(Conn) > 0;
}

bool Connection::WindowManagerDoesFullScreen() {
    if (!Live()) return false;
    // A window manager that went away may leave its check window named on the
    // root: it counts only while the window still names itself.
    const xcb_window_t check = WindowProperty(Conn, RootWindow, Names.NetSupportingWmCheck);
    if (check == 0 || WindowProperty(Conn, check, Names.NetSupportingWmCheck) != check) return false;
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        Conn, xcb_get_property(Conn, 0, RootWindow, Names.NetSupported, XCB_ATOM_ATOM, 0, 4096), nullptr));
    if (!reply || reply->format != 32) return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    const auto* end = atoms + count;
    return std::find(atoms, end, Names.NetWmState) != end && std::find(atoms, end, Names.NetWmStateFullscreen) != end;
}

void Connection::Register(xcb_window_t id, HWND window, Peer* peer) {
    std::lock_guard lock(RegistryLock);
    Registry.emplace(id, Entry{window, peer});
    IdsByWindow[window] = id;
}

void Connection::Unregister(xcb_window_t id, HWND window) {
    std::lock_guard lock(RegistryLock);
    for (auto [it, end] = Registry.equal_range(id); it != end; ++it) {
        if (it->second.Window == window) {
            Registry.erase(it);
            break;
        }
    }
    IdsByWindow.erase(window);
}

xcb_window_t Connection::IdOf(HWND window) const {
    std::lock_guard lock(RegistryLock);
    const auto it = IdsByWindow.find(window);
    return it == IdsByWindow.end() ? 0 : it->second;
}

bool Connection::IsOurs(xcb_window_t id) const {
    std::lock_guard lock(RegistryLock);
    return PeerLocked(id) != nullptr;
}

int Connection::Watchers(xcb_window_t id) const {
    std::lock_guard lock(RegistryLock);
    int n = 0;
    for (auto [it, end] = Registry.equal_range(id); it != end; ++it) n += it->second.Owner == nullptr;
    return n;
}

const Connection::Entry* Connection::OwnEntryLocked(xcb_window_t id) const {
    for (auto [it, end] = Registry.equal_range(id); it != end; ++it)
        if (it->second.Owner) return &it->second;
    return nullptr;
}

Peer* Connection::PeerLocked(xcb_window_t id) const {
    const Entry* entry = OwnEntryLocked(id);
    return entry ? entry->Owner : nullptr;
}

HWND Connection::WindowOf(xcb_window_t id) const {
    std::lock_guard lock(RegistryLock);
    const Entry* entry = OwnEntryLocked(id);
    return entry ? entry->Window : 0;
}

bool Connection::WaitSeen(const std::function<bool()>& seen, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(SeenMutex);
    while (!seen()) {
        if (!Live()) return false;
        if (SeenWake.wait_until(lock, deadline) == std::cv_status::timeout) return seen();
    }
    return true;
}

void Connection::KeepDevice(cairo_surface_t* surface) {
    std::lock_guard lock(DeviceLock);
    if (Device || !surface) return;
    if (cairo_device_t* device = cairo_surface_get_device(surface)) Device = cairo_device_reference(device);
}

Image Connection::GetScreenArea(xcb_window_t window, int width, int height) {
    if (!Live() || width <= 0 || height <= 0) return Image{};
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(Conn, xcb_get_window_attributes(Conn, window), nullptr));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return Image{};
    Reply<xcb_translate_coordinates_reply_t> origin(
        xcb_translate_coordinates_reply(Conn, xcb_translate_coordinates(Conn, window, RootWindow, 0, 0), nullptr));
    if (!origin) return Image{};
    const RECT wanted{origin->dst_x, origin->dst_y, origin->dst_x + width, origin->dst_y + height};
    const RECT shown = IntersectRect(wanted, RECT{0, 0, Screen.cx, Screen.cy});
    Image picture(width, height);
    if (IsRectEmpty(shown) || picture.Empty()) return picture;
    const Image part = GetImage(RootWindow, shown.left, shown.top, shown.right - shown.left, shown.bottom - shown.top);
    if (part.Empty()) return Image{};
    for (int y = 0; y < part.Height(); ++y)
        std::copy(part.Row(y), part.Row(y) + part.Width(),
                  picture.Row(y + shown.top - wanted.top) + (shown.left - wanted.left));
    return picture;
}

Image Connection::GetImage(xcb_drawable_t drawable, int x, int y, int width, int height) {
    if (!Live() || width <= 0 || height <= 0) return Image{};
    width = std::min(width, 0xFFFF);
    height = std::min(height, 0xFFFF);
    Reply<xcb_get_image_reply_t> reply(
        xcb_get_image_reply(Conn,
                            xcb_get_image(Conn, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(x),
                                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                                          static_cast<std::uint16_t>(height), ~0u),
                            nullptr));
    if (!reply) return Image{};
    const std::uint8_t* data = xcb_get_image_data(reply.get());
    const int length = xcb_get_image_data_length(reply.get());
    const int stride = width * 4;  // 32 bits per pixel, rows padded to 32 bits
    if (length < stride * height) return Image{};
    Image picture(width, height);
    if (picture.Empty()) return picture;
    const std::uint32_t red = VisualType->red_mask, green = VisualType->green_mask, blue = VisualType->blue_mask;
    const int rs = Shift(red), gs = Shift(green), bs = Shift(blue);
    const bool lsb = ImageByteOrder == XCB_IMAGE_ORDER_LSB_FIRST;
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* from = data + static_cast<std::ptrdiff_t>(row) * stride;
        std::uint32_t* out = picture.Row(row);
        for (int column = 0; column < width; ++column) {
            const std::uint8_t* p = from + static_cast<std::ptrdiff_t>(column) * 4;
            const std::uint32_t v =
                lsb ? (p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24))
                    : (p[3] | (p[2] << 8) | (p[1] << 16) | (static_cast<std::uint32_t>(p[0]) << 24));
            out[column] =
                (((v & red) >> rs) & 0xFF) << 16 | (((v & green) >> gs) & 0xFF) << 8 | (((v & blue) >> bs) & 0xFF);
        }
    }
    return picture;
}

}  // namespace platform::x11
