#include "platform/gdi/resource.h"

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/gdi/cairo_interop.h"

namespace platform {

namespace {

struct Bitmap {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint32_t> Pixels;  // 0x00RRGGBB, rows packed
};

struct Registry {
    std::mutex Lock;
    std::map<std::pair<HINSTANCE, int>, std::shared_ptr<const Bitmap>> Entries;
};

Registry& Resources() {
    // Never destroyed: modules unregister from their own static destructors,
    // which may run after ours.
    static Registry* registry = new Registry;
    return *registry;
}

bool Add(HINSTANCE module, int id, std::shared_ptr<const Bitmap> bitmap) {
    if (!module || !bitmap) return false;
    Registry& r = Resources();
    std::lock_guard lock(r.Lock);
    return r.Entries.emplace(std::make_pair(module, id), std::move(bitmap)).second;
}

struct PngReader {
    std::span<const std::uint8_t> Bytes;
    std::size_t At = 0;
};

cairo_status_t ReadPng(void* closure, unsigned char* data, unsigned int length) {
    auto* reader = static_cast<PngReader*>(closure);
    if (reader->Bytes.size() - reader->At < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, reader->Bytes.data() + reader->At, length);
    reader->At += length;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

HINSTANCE GetModuleInstance(const void* address) noexcept {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0 || !info.dli_fbase) return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

bool RegisterBitmapResource(HINSTANCE module, int id, std::span<const std::uint8_t> png) noexcept {
    if (!module || png.size() < 8) return false;
    try {
        PngReader reader{png};
        const SurfacePtr decoded(cairo_image_surface_create_from_png_stream(ReadPng, &reader));
        auto bitmap = std::make_shared<Bitmap>();
        const bool ok = cairo_surface_status(decoded.get()) == CAIRO_STATUS_SUCCESS &&
                        cairo_image_surface_get_width(decoded.get()) <= kMaxBitmapExtent &&
                        cairo_image_surface_get_height(decoded.get()) <= kMaxBitmapExtent;
        if (ok) {
            // Bitmaps have no transparency here: a translucent pixel keeps its
            // colour as blended over black.
            Image image = ImageFromSurface(decoded.get(), nullptr);
            bitmap->Width = image.Width();
            bitmap->Height = image.Height();
            for (int y = 0; y < image.Height(); ++y)
                bitmap->Pixels.insert(bitmap->Pixels.end(), image.Row(y), image.Row(y) + image.Width());
        }
        if (!ok || bitmap->Pixels.empty()) return false;
        return Add(module, id, std::move(bitmap));
    } catch (...) {
        return false;
    }
}

bool RegisterBitmapResource(HINSTANCE module, int id, int width, int height,
                            std::span<const std::uint32_t> pixels) noexcept {
    if (!module || width <= 0 || height <= 0 || width > kMaxBitmapExtent || height > kMaxBitmapExtent) return false;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (pixels.size() < count) return false;
    try {
        auto bitmap = std::make_shared<Bitmap>();
        bitmap->Width = width;
        bitmap->Height = height;
        bitmap->Pixels.assign(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(count));
        for (auto& p : bitmap->Pixels) p &= 0x00FFFFFFu;
        return Add(module, id, std::move(bitmap));
    } catch (...) {
        return false;
    }
}

bool UnregisterBitmapResource(HINSTANCE module, int id) noexcept {
    Registry& r = Resources();
    std::lock_guard lock(r.Lock);
    return r.Entries.erase(std::make_pair(module, id)) > 0;
}

void UnregisterBitmapResources(HINSTANCE module) noexcept {
    Registry& r = Resources();
    std::lock_guard lock(r.Lock);
    for (auto it = r.Entries.begin(); it != r.Entries.end();) {
        if (it->first.first == module)
            it = r.Entries.erase(it);
        else
            ++it;
    }
}

BitmapResource::BitmapResource(HINSTANCE module, int id, std::span<const std::uint8_t> png) noexcept
    : Module(module), Id(id), Ok(RegisterBitmapResource(module, id, png)) {}

BitmapResource::BitmapResource(HINSTANCE module, int id, int width, int height,
                               std::span<const std::uint32_t> pixels) noexcept
    : Module(module), Id(id), Ok(RegisterBitmapResource(module, id, width, height, pixels)) {}

BitmapResource::~BitmapResource() {
    if (Ok) UnregisterBitmapResource(Module, Id);
}

HBITMAP LoadBitmap(HINSTANCE module, int id) noexcept {
    std::shared_ptr<const Bitmap> bitmap;
    {
        Registry& r = Resources();
        std::lock_guard lock(r.Lock);
        const auto it = r.Entries.find(std::make_pair(module, id));
        if (it == r.Entries.end()) return nullptr;
        bitmap = it->second;
    }
    return CreateBitmap(bitmap->Width, bitmap->Height, 1, 32, bitmap->Pixels.data());
}

HBITMAP LoadBitmapA(HINSTANCE module, const char* name) noexcept {
    if (!IS_INTRESOURCE(name)) return nullptr;
    return LoadBitmap(module, static_cast<int>(reinterpret_cast<std::uintptr_t>(name)));
}

}  // namespace platform
