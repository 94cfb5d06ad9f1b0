#pragma once

#include <cairo.h>

#include <functional>

#include "platform/gdi/gdi.h"

// What the text drawing in text.cpp needs from the context tables in gdi.cpp.
namespace platform {

// Calls draw with a Cairo context on dc's surface (origin, clip and aliased
// drawing applied; a throwaway one-pixel surface when dc has nothing to draw
// into, so text can still be measured), the font selected into dc and its
// text colour, serialised with all other drawing. draw must not call back
// into the gdi functions. FALSE for a bad dc or when draw throws.
BOOL DrawTextWithCairo(HDC dc, const std::function<void(cairo_t*, const LOGFONT&, COLORREF)>& draw) noexcept;

}  // namespace platform
