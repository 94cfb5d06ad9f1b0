// The headless backend: every window draws into an image surface of its own
// and shows (in captures) a copy taken at the end of each drawing.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/gdi/cairo_interop.h"
#include "platform/window/backend.h"

namespace platform {

namespace {

class HeadlessPeer final : public WindowPeer {
public:
    explicit HeadlessPeer(const WindowPeerState& state)
        : Width(state.Rect.right - state.Rect.left), Height(state.Rect.bottom - state.Rect.top) {}

    void Update(const WindowPeerState& state) override {
        const SIZE size{state.Rect.right - state.Rect.left, state.Rect.bottom - state.Rect.top};
        if (size.cx == Width && size.cy == Height && !Pending) return;
        // A context may still be drawing into the surface: keep it until the
        // drawing ends.
        if (Depth > 0) {
            Pending = size;
            return;
        }
        Resize(size);
    }

    cairo_surface_t* BeginDraw() override {
        ++Depth;
        if (!Back && Width > 0 && Height > 0) {
            Back.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, Width, Height));
            if (cairo_surface_status(Back.get()) != CAIRO_STATUS_SUCCESS) Back.reset();
        }
        return Back.get();
    }

    void EndDraw(const RECT& damage) override {
        if (Back) Present(damage);
        if (Depth > 0 && --Depth == 0 && Pending) {
            const SIZE size = *Pending;
            Pending.reset();
            Resize(size);
        }
    }

    Image Snapshot() const override {
        std::lock_guard lock(FrontLock);
        if (Front.Empty() && ShownWidth > 0 && ShownHeight > 0) return Image(ShownWidth, ShownHeight);
        return Front;
    }

private:
    // Copies the drawn area into the picture others read.
    void Present(const RECT& damage) {
        const RECT area = IntersectRect(damage, RECT{0, 0, Width, Height});
        if (IsRectEmpty(area)) return;
        cairo_surface_flush(Back.get());
        const unsigned char* data = cairo_image_surface_get_data(Back.get());
        const int stride = cairo_image_surface_get_stride(Back.get());
        std::lock_guard lock(FrontLock);
        if (Front.Width() != Width || Front.Height() != Height) {
            Front = Image(Width, Height);
            if (Front.Empty()) return;
        }
        for (int y = area.top; y < area.bottom; ++y) {
            const auto* from = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
            std::uint32_t* to = Front.Row(y);
            for (int x = area.left; x < area.right; ++x) to[x] = from[x] & 0x00FFFFFFu;
        }
    }

    // A new size keeps the pixels they have in common, as a real window's
    // contents stay where they are until repainted.
    void Resize(SIZE size) {
        SurfacePtr next;
        if (Back && size.cx > 0 && size.cy > 0) {
            next.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, size.cx, size.cy));
            if (cairo_surface_status(next.get()) == CAIRO_STATUS_SUCCESS) {
                cairo_t* cr = cairo_create(next.get());
                cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
                cairo_set_source_surface(cr, Back.get(), 0, 0);
                cairo_paint(cr);
                cairo_destroy(cr);
            } else {
                next.reset();
            }
        }
        Back = std::move(next);
        Width = size.cx;
        Height = size.cy;
        std::lock_guard lock(FrontLock);
        ShownWidth = size.cx;
        ShownHeight = size.cy;
        if (Front.Empty()) return;
        Image resized(size.cx, size.cy);
        for (int y = 0; y < std::min(resized.Height(), Front.Height()); ++y)
            std::copy(Front.Row(y), Front.Row(y) + std::min(resized.Width(), Front.Width()), resized.Row(y));
        Front = std::move(resized);
    }

    // Owner thread only.
    SurfacePtr Back;
    int Width;
    int Height;
    int Depth = 0;
    std::optional<SIZE> Pending;

    // Read by any thread.
    mutable std::mutex FrontLock;
    Image Front;
    int ShownWidth = Width;
    int ShownHeight = Height;
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
