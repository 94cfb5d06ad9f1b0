// The X11 backend: peers on one connection, pictures read back from the
// display, stand-ins for foreign windows and the pointer grab.

#include <cstdlib>
#include <memory>

#include "connection.h"
#include "peer.h"

namespace platform {

namespace {

class X11Backend final : public WindowBackend {
public:
    explicit X11Backend(std::shared_ptr<x11::Connection> connection) : X(std::move(connection)) {}
    ~X11Backend() override { X->Stop(); }

    const char* Name() const noexcept override { return "x11"; }

    std::unique_ptr<WindowPeer> CreatePeer(const WindowPeerState& state) override {
        if (state.Foreign) return std::make_unique<x11::ForeignPeer>(X, state);
        return std::make_unique<x11::Peer>(X, state);
    }

    Image Capture(HWND window) override { return ComposeWindowFromPeers(window); }

    Image CaptureScreen() override {
        if (!X->Live()) return ComposeScreenFromPeers(ScreenSize());
        return X->GetImage(X->Root(), 0, 0, ScreenSize().cx, ScreenSize().cy);
    }

    Image CaptureFromScreen(HWND window) override {
        if (!X->Live()) return Capture(window);
        RECT client{};
        const xcb_window_t id = X->IdOf(window);
        if (!id || !GetClientRect(window, &client)) return Image{};
        return X->GetScreenArea(id, client.right, client.bottom);
    }

    SIZE ScreenSize() const override { return X->ScreenSize(); }
    bool SetScreenSize(SIZE) override { return false; }

    DWORD QueryForeignWindow(std::uint64_t id, SIZE& size) override {
        if (!X->Live()) return ERROR_NOT_SUPPORTED;
        // Ids are 29 bits; our own windows are not foreign to us.
        if (id == 0 || id > 0x1FFFFFFFu || X->IsOurs(static_cast<xcb_window_t>(id))) return ERROR_INVALID_WINDOW_HANDLE;
        const auto window = static_cast<xcb_window_t>(id);
        // Watching its size and its end is open to every client (only one
        // may take its button presses, so a control always has a window of
        // its own inside it).
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(
            xcb_request_check(X->Raw(),
                              xcb_change_window_attributes_checked(X->Raw(), window, XCB_CW_EVENT_MASK, &mask)),
            &std::free);
        if (error) return ERROR_INVALID_WINDOW_HANDLE;
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
            xcb_get_geometry_reply(X->Raw(), xcb_get_geometry(X->Raw(), window), nullptr), &std::free);
        if (!geometry) return ERROR_INVALID_WINDOW_HANDLE;
        size = SIZE{geometry->width, geometry->height};
        return ERROR_SUCCESS;
    }

    void CaptureChanged(HWND window) override {
        if (!X->Live()) return;
        if (window == 0) {
            xcb_ungrab_pointer(X->Raw(), XCB_CURRENT_TIME);
        } else if (const xcb_window_t id = X->IdOf(window)) {
            // Reported relative to the capturing window wherever the pointer goes.
            const auto cookie = xcb_grab_pointer(
                X->Raw(), 0, id,
                XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION,
                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
            xcb_discard_reply(X->Raw(), cookie.sequence);
        }
        X->Flush();
    }

private:
    std::shared_ptr<x11::Connection> X;
};

}  // namespace

std::unique_ptr<WindowBackend> MakeX11Backend(const X11Options& options, std::string* error) {
    try {
        auto connection = x11::Connection::Open(options, error);
        if (!connection) return nullptr;
        return std::make_unique<X11Backend>(std::move(connection));
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return nullptr;
    }
}

}  // namespace platform
