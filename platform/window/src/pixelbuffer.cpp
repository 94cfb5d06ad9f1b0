// A window's pixels: the surface its owner draws into and the picture
// presented from it.

#include "pixelbuffer.h"

#include <algorithm>

namespace platform::detail {

void PixelBuffer::Resize(SIZE size) {
    if (size.cx == Width && size.cy == Height && !Pending) return;
    if (Depth > 0) {
        Pending = size;
        return;
    }
    ResizeNow(size);
}

cairo_surface_t* PixelBuffer::BeginDraw() {
    ++Depth;
    if (!Back && Width > 0 && Height > 0) {
        Back.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, Width, Height));
        if (cairo_surface_status(Back.get()) != CAIRO_STATUS_SUCCESS) Back.reset();
    }
    return Back.get();
}

Image PixelBuffer::Snapshot() const {
    std::lock_guard lock(FrontLock);
    if (Front.Empty() && ShownWidth > 0 && ShownHeight > 0) return Image(ShownWidth, ShownHeight);
    return Front;
}

RECT PixelBuffer::Present(const RECT& damage) {
    const RECT area = IntersectRect(damage, RECT{0, 0, Width, Height});
    if (IsRectEmpty(area)) return RECT{};
    cairo_surface_flush(Back.get());
    const unsigned char* data = cairo_image_surface_get_data(Back.get());
    const int stride = cairo_image_surface_get_stride(Back.get());
    if (Front.Width() != Width || Front.Height() != Height) {
        Front = Image(Width, Height);
        if (Front.Empty()) return RECT{};
    }
    for (int y = area.top; y < area.bottom; ++y) {
        const auto* from = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        std::uint32_t* to = Front.Row(y);
        for (int x = area.left; x < area.right; ++x) to[x] = from[x] & 0x00FFFFFFu;
    }
    return area;
}

// A new size keeps the pixels they have in common, as a real window's
// contents stay where they are until repainted.
void PixelBuffer::ResizeNow(SIZE size) {
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

}  // namespace platform::detail
