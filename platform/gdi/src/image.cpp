#include <cstring>

#include "platform/file/file.h"
#include "platform/gdi/cairo_interop.h"
#include "platform/gdi/gdi.h"

namespace platform {

Image::Image(int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxBitmapExtent || height > kMaxBitmapExtent) return;
    Data.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    W = width;
    H = height;
}

COLORREF Image::PixelAt(int x, int y) const noexcept {
    const std::uint32_t* row = Row(y);
    if (!row || x < 0 || x >= W) return CLR_INVALID;
    const std::uint32_t v = row[x];
    return RGB(static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v));
}

void Image::SetPixelAt(int x, int y, COLORREF colour) noexcept {
    std::uint32_t* row = Row(y);
    if (!row || x < 0 || x >= W) return;
    row[x] = (static_cast<std::uint32_t>(GetRValue(colour)) << 16) |
             (static_cast<std::uint32_t>(GetGValue(colour)) << 8) | GetBValue(colour);
}

std::uint32_t* Image::Row(int y) noexcept {
    if (y < 0 || y >= H) return nullptr;
    return Data.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(W);
}

const std::uint32_t* Image::Row(int y) const noexcept {
    if (y < 0 || y >= H) return nullptr;
    return Data.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(W);
}

bool Image::SavePng(const std::string& path, std::string* error) const noexcept {
    if (Empty()) {
        if (error) *error = "cannot write " + path + ": the picture is empty";
        return false;
    }
    try {
        // Rows of W pixels are exactly Cairo's RGB24 stride, so the surface
        // can borrow the pixels; the PNG is made in memory and written whole.
        const SurfacePtr s(cairo_image_surface_create_for_data(
            reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(Data.data())), CAIRO_FORMAT_RGB24, W, H,
            W * 4));
        std::string png;
        auto append = [](void* closure, const unsigned char* data, unsigned int length) {
            try {
                static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
                return CAIRO_STATUS_SUCCESS;
            } catch (...) {
                return CAIRO_STATUS_NO_MEMORY;
            }
        };
        if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS ||
            cairo_surface_write_to_png_stream(s.get(), append, &png) != CAIRO_STATUS_SUCCESS) {
            if (error) *error = "cannot write " + path + ": the picture could not be encoded";
            return false;
        }
        return WriteFileAtomically(path, png, error);
    } catch (...) {
        if (error) *error = "cannot write " + path + ": out of memory";
        return false;
    }
}

Image ImageFromSurface(cairo_surface_t* surface, const RECT* area) noexcept {
    if (!surface || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) return Image{};
    const cairo_format_t format = cairo_image_surface_get_format(surface);
    if (format != CAIRO_FORMAT_RGB24 && format != CAIRO_FORMAT_ARGB32) return Image{};
    const RECT whole{0, 0, cairo_image_surface_get_width(surface), cairo_image_surface_get_height(surface)};
    const RECT r = area ? IntersectRect(*area, whole) : whole;
    if (IsRectEmpty(r)) return Image{};
    try {
        Image image(r.right - r.left, r.bottom - r.top);
        cairo_surface_flush(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < image.Height(); ++y) {
            const auto* from =
                reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(r.top + y) * stride) + r.left;
            std::uint32_t* to = image.Row(y);
            for (int x = 0; x < image.Width(); ++x) to[x] = from[x] & 0x00FFFFFFu;
        }
        return image;
    } catch (...) {
        return Image{};
    }
}

}  // namespace platform
