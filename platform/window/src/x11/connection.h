#pragma once

#include <cairo.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/window/backend.h"
#include "platform/window/x11.h"

namespace platform::x11 {

using Clock = std::chrono::steady_clock;

class Peer;

struct Atoms {
    xcb_atom_t WmProtocols = 0;
    xcb_atom_t WmDeleteWindow = 0;
    xcb_atom_t NetWmName = 0;
    xcb_atom_t Utf8String = 0;
    xcb_atom_t NetWmState = 0;
    xcb_atom_t NetWmStateFullscreen = 0;
    xcb_atom_t NetSupported = 0;
    xcb_atom_t NetSupportingWmCheck = 0;
    xcb_atom_t WakeUp = 0;  // our own: ends the reader
};

// One notification the display sent about a window: when it arrived (in the
// order of all events) and the last request of ours the server had handled.
struct Notification {
    std::uint64_t Arrival = 0;  // 0: never
    std::uint32_t Sequence = 0;
};

// What the display last said about one of our windows; guarded by the
// connection's SeenLock, written by the reader thread.
struct Seen {
    Notification Map, Unmap, Reparent, Configure, Expose;
    xcb_window_t Parent = 0;
    int Width = 0;
    int Height = 0;
    std::uint32_t ExposedSize = 0;  // the size it had at its last Expose (PackSize)
};

inline std::uint32_t PackSize(int width, int height) {
    return (static_cast<std::uint32_t>(width & 0xFFFF) << 16) | static_cast<std::uint32_t>(height & 0xFFFF);
}

// True when the server had handled the request with sequence `request` when it
// sent notification (so the notification came from that request or later).
inline bool After(const Notification& notification, std::uint32_t request) {
    return notification.Arrival != 0 && static_cast<std::int32_t>(notification.Sequence - request) >= 0;
}

// The backend's one connection to the display, shared by the backend and its
// peers, with the reader thread that takes the display's events. Requests are
// made by whichever thread needs them (XCB is thread-safe); the reader only
// records notifications, repaints exposed areas from the windows' pictures and
// posts input and requests to the windows' owner threads.
class Connection {
public:
    // nullptr with error set when the display cannot be used.
    static std::shared_ptr<Connection> Open(const X11Options& options, std::string* error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Ends the reader thread. Called once, by the backend as it goes.
    void Stop();

    // False once the connection is lost: from then on nothing is sent.
    bool Live() const noexcept { return !Lost.load(std::memory_order_acquire); }

    xcb_connection_t* Raw() const noexcept { return Conn; }
    xcb_window_t Root() const noexcept { return RootWindow; }
    xcb_visualtype_t* Visual() const noexcept { return VisualType; }
    std::uint8_t Depth() const noexcept { return RootDepth; }
    xcb_colormap_t Colormap() const noexcept { return DefaultColormap; }
    SIZE ScreenSize() const noexcept { return Screen; }
    const Atoms& Atom() const noexcept { return Names; }
    std::chrono::milliseconds StepLimit() const noexcept { return Options.StepLimit; }

    // Whether a window manager runs that announces full-screen windows. Asks
    // the display (a few round trips).
    bool WindowManagerDoesFullScreen();

    // The windows the reader routes events to. A peer registers its window
    // (peer not null) and unregisters it before it goes; a stand-in registers
    // the foreign window it watches (peer null).
    void Register(xcb_window_t id, HWND window, Peer* peer);
    void Unregister(xcb_window_t id, HWND window);
    // The X window of a layer window (its own or the foreign one), 0 if none.
    xcb_window_t IdOf(HWND window) const;
    // True when id is one of our own windows.
    bool IsOurs(xcb_window_t id) const;
    // How many stand-ins watch the foreign window id.
    int Watchers(xcb_window_t id) const;

    // Waits until seen() holds (it is called with SeenLock held), the limit
    // passes or the connection is lost. Returns seen()'s last value.
    bool WaitSeen(const std::function<bool()>& seen, std::chrono::milliseconds limit);
    std::mutex& SeenLock() noexcept { return SeenMutex; }

    // Keeps cairo's device for the connection, to finish it before the
    // connection closes (cairo caches per connection).
    void KeepDevice(cairo_surface_t* surface);

    // Sends what is buffered. False when the connection is lost.
    bool Flush();

    // A picture of drawable's area (x, y, width, height) from the display;
    // empty when it cannot be read.
    Image GetImage(xcb_drawable_t drawable, int x, int y, int width, int height);
    // What the screen shows where window is, its size (parts off the screen
    // black); empty when it is not viewable.
    Image GetScreenArea(xcb_window_t window, int width, int height);

private:
    Connection() = default;
    bool Setup(const X11Options& options, std::string* error);

    // Reader thread.
    void Read();
    void Dispatch(const xcb_generic_event_t* event);
    void OnButton(const xcb_button_press_event_t* event, bool press);
    void OnFocus(const xcb_focus_in_event_t* event, bool in);
    void OnConfigure(const xcb_configure_notify_event_t* event);
    void OnLost();
    // Records a notification for our window id (SeenLock taken here).
    template <class Record>
    void Note(xcb_window_t id, std::uint32_t sequence, Record&& record);

    struct Entry {
        HWND Window = 0;
        Peer* Owner = nullptr;  // null for a watched foreign window
    };
    // Our own window id with RegistryLock held; nullptr for none.
    const Entry* OwnEntryLocked(xcb_window_t id) const;
    Peer* PeerLocked(xcb_window_t id) const;
    HWND WindowOf(xcb_window_t id) const;

    X11Options Options;
    xcb_connection_t* Conn = nullptr;
    xcb_window_t RootWindow = 0;
    xcb_visualtype_t* VisualType = nullptr;
    std::uint8_t RootDepth = 0;
    xcb_colormap_t DefaultColormap = 0;
    SIZE Screen{};
    Atoms Names;
    xcb_window_t WakeWindow = 0;
    std::uint32_t ImageByteOrder = XCB_IMAGE_ORDER_LSB_FIRST;

    mutable std::mutex RegistryLock;
    std::multimap<xcb_window_t, Entry> Registry;         // guarded by RegistryLock
    std::unordered_map<HWND, xcb_window_t> IdsByWindow;  // guarded by RegistryLock

    std::mutex SeenMutex;
    std::condition_variable SeenWake;
    std::uint64_t Arrivals = 0;  // guarded by SeenMutex; written by the reader

    std::mutex DeviceLock;
    cairo_device_t* Device = nullptr;  // guarded by DeviceLock

    // Written by the reader (lost) and the stopping thread, read by all.
    std::atomic<bool> Lost{false};
    std::atomic<bool> Stopping{false};
    std::thread Reader;
};

}  // namespace platform::x11
