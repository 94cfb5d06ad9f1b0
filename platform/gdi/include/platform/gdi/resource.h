#pragma once

#include <cstdint>
#include <span>

#include "platform/gdi/gdi.h"

// Module instance handles and the bitmaps a module carries in itself.
//
// A module's instance handle is the load address of the executable or shared
// object it names, so it is the same value for every piece of code in that
// module and differs between modules. A module registers its bitmaps at load
// time, usually with a static BitmapResource, and LoadBitmap finds them by
// (instance, id):
//
//   static const platform::BitmapResource kButtonStrip(
//       platform::ThisModuleInstance(), 201, std::span(kButtonStripPng));
//   ...
//   HBITMAP strip = platform::LoadBitmap(platform::ThisModuleInstance(), 201);
namespace platform {

using HINSTANCE = struct HinstanceTag*;
using HMODULE = HINSTANCE;

// The instance of the module whose code or data holds address; nullptr when
// the address lies in no loaded module.
HINSTANCE GetModuleInstance(const void* address) noexcept;

namespace {
// Internal linkage on purpose: every module that includes this header gets its
// own copy, so the copy's address lies in the module that calls it.
[[maybe_unused]] HINSTANCE ThisModuleInstance() noexcept {
    return GetModuleInstance(reinterpret_cast<const void*>(&ThisModuleInstance));
}
}  // namespace

// Registers a bitmap under (module, id) from the bytes of a PNG file (copied).
// False when module is null, the id is already taken in that module, or the
// bytes are not a PNG of at most kMaxBitmapExtent pixels a side.
bool RegisterBitmapResource(HINSTANCE module, int id, std::span<const std::uint8_t> png) noexcept;

// The same from 32-bit pixels 0x00RRGGBB, rows of width pixels packed (copied).
// False also when pixels holds fewer than width x height values.
bool RegisterBitmapResource(HINSTANCE module, int id, int width, int height,
                            std::span<const std::uint32_t> pixels) noexcept;

// Drops one resource (false when it was not registered) or all of a module's.
bool UnregisterBitmapResource(HINSTANCE module, int id) noexcept;
void UnregisterBitmapResources(HINSTANCE module) noexcept;

// Registers for as long as it lives: a module keeps one per bitmap as a static
// object, so the registration goes when the module is unloaded. Registered()
// says whether the registration was accepted.
class BitmapResource {
public:
    BitmapResource(HINSTANCE module, int id, std::span<const std::uint8_t> png) noexcept;
    BitmapResource(HINSTANCE module, int id, int width, int height, std::span<const std::uint32_t> pixels) noexcept;
    ~BitmapResource();
    BitmapResource(const BitmapResource&) = delete;
    BitmapResource& operator=(const BitmapResource&) = delete;

    bool Registered() const noexcept { return Ok; }

private:
    HINSTANCE Module;
    int Id;
    bool Ok;
};

// Resource names as on the platform: a small integer passed as a pointer.
inline const char* MAKEINTRESOURCEA(int id) {
    return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(static_cast<std::uint16_t>(id)));
}
inline const char* MAKEINTRESOURCE(int id) { return MAKEINTRESOURCEA(id); }
inline bool IS_INTRESOURCE(const char* name) { return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0; }

// A new bitmap holding a copy of the registered resource (the caller deletes
// it with DeleteObject), or nullptr when (module, id) is not registered or out
// of memory.
HBITMAP LoadBitmap(HINSTANCE module, int id) noexcept;

// The same with the id given through MAKEINTRESOURCE; named resources are not
// supported and give nullptr.
HBITMAP LoadBitmapA(HINSTANCE module, const char* name) noexcept;

}  // namespace platform
