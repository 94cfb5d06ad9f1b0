// The headless backend: every window draws into an image surface of its own
// and shows (in captures) a copy taken at the end of each drawing.

#include <atomic>

#include "pixelbuffer.h"
#include "platform/window/backend.h"

namespace platform {

namespace {

SIZE SizeOf(const RECT& r) { return SIZE{r.right - r.left, r.bottom - r.top}; }

class HeadlessPeer final : public WindowPeer {
public:
    explicit HeadlessPeer(const WindowPeerState& state) : Buffer(SizeOf(state.Rect)) {}

    void Update(const WindowPeerState& state) override { Buffer.Resize(SizeOf(state.Rect)); }
    cairo_surface_t* BeginDraw() override { return Buffer.BeginDraw(); }
    void EndDraw(const RECT& damage) override { Buffer.EndDraw(damage); }
    Image Snapshot() const override { return Buffer.Snapshot(); }

private:
    detail::PixelBuffer Buffer;
};

class HeadlessBackend final : public WindowBackend {
public:
    const char* Name() const noexcept override { return "headless"; }

    std::unique_ptr<WindowPeer> CreatePeer(const WindowPeerState& state) override {
        return std::make_unique<HeadlessPeer>(state);
    }

    Image Capture(HWND window) override { return ComposeWindowFromPeers(window); }

    Image CaptureScreen() override { return ComposeScreenFromPeers(ScreenSize()); }

    SIZE ScreenSize() const override {
        const std::uint64_t v = Screen.load(std::memory_order_relaxed);
        return SIZE{static_cast<LONG>(v >> 32), static_cast<LONG>(v & 0xFFFFFFFF)};
    }

    bool SetScreenSize(SIZE size) override {
        Screen.store((static_cast<std::uint64_t>(size.cx) << 32) | static_cast<std::uint32_t>(size.cy),
                     std::memory_order_relaxed);
        return true;
    }

private:
    // Written by the host's thread, read by any.
    std::atomic<std::uint64_t> Screen{(std::uint64_t{1280} << 32) | 1024};
};

}  // namespace

std::unique_ptr<WindowBackend> MakeHeadlessBackend() { return std::make_unique<HeadlessBackend>(); }

}  // namespace platform
