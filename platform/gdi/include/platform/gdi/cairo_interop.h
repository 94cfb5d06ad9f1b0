#pragma once

#include <cairo.h>

#include <functional>
#include <memory>

#include "platform/gdi/gdi.h"

// For the window layer, its backends and renderers that need more than the
// device-context calls: contexts over surfaces they own, and direct Cairo
// drawing through a context with its origin and clip applied.
namespace platform {

// Owns one reference to a Cairo surface.
struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const noexcept { cairo_surface_destroy(surface); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// A context drawing into surface (borrowed: it must outlive the context),
// clipped to clip in surface pixels, with the origin at (clip.left, clip.top)
// when originAtClip is true, else at the surface's origin. Such a context
// cannot hold bitmaps and is not deleted by DeleteDC. nullptr for a null
// surface. Destroy with DestroySurfaceDC.
HDC CreateSurfaceDC(cairo_surface_t* surface, const RECT& clip, bool originAtClip = false) noexcept;

// Destroys a context made by CreateSurfaceDC (after flushing its surface).
// FALSE for any other handle.
BOOL DestroySurfaceDC(HDC dc) noexcept;

// True when dc was made by CreateSurfaceDC.
bool IsSurfaceDC(HDC dc) noexcept;

// Calls draw with a Cairo context on dc's surface, its viewport origin and clip
// applied and aliased drawing set, serialised with all other drawing. draw
// must not call back into the gdi functions. FALSE for a bad dc (draw is not
// called).
BOOL DrawWithCairo(HDC dc, const std::function<void(cairo_t*)>& draw) noexcept;

// A copy of surface's pixels (area: part of it, nullptr: all of it), flushed
// first. Empty for a null or non-image surface or an area outside it.
Image ImageFromSurface(cairo_surface_t* surface, const RECT* area = nullptr) noexcept;

}  // namespace platform
