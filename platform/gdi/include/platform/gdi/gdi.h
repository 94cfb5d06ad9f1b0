#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/com.h"

// Device contexts and drawing objects over Cairo, with the shapes the controls
// draw with: solid and stock brushes, pens, an ellipse, text in a font,
// memory contexts with bitmaps selected into them, saved context states and
// plain copies between contexts. Drawing is aliased, as on the platform the
// controls come from, text included, so every pixel is exact and tests can
// compare colours.
//
// Every handle is checked before use: a stale, deleted or invented handle makes
// the call fail with its documented failure value, never touch freed memory.
// Handle values are never reused while the process runs.
//
// All functions may be called from any thread; drawing is serialised inside.
// A window's device context is handed out by the window layer
// (platform/window) and drawn into on the window's own thread.
namespace platform {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;

// 0x00BBGGRR: red in the low byte.
using COLORREF = std::uint32_t;

inline constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
inline constexpr BYTE GetRValue(COLORREF c) { return static_cast<BYTE>(c & 0xFF); }
inline constexpr BYTE GetGValue(COLORREF c) { return static_cast<BYTE>((c >> 8) & 0xFF); }
inline constexpr BYTE GetBValue(COLORREF c) { return static_cast<BYTE>((c >> 16) & 0xFF); }

// What GetPixel returns for a point it cannot read.
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;

struct POINT {
    LONG x = 0;
    LONG y = 0;
    friend bool operator==(const POINT&, const POINT&) = default;
};

struct SIZE {
    LONG cx = 0;
    LONG cy = 0;
    friend bool operator==(const SIZE&, const SIZE&) = default;
};

// Right and bottom are exclusive: {0, 0, 2, 2} covers four pixels.
struct RECT {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;
    LONG bottom = 0;
    friend bool operator==(const RECT&, const RECT&) = default;
};

// True when the rectangle covers no pixel (zero or negative width or height).
inline constexpr bool IsRectEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }
inline constexpr bool PtInRect(const RECT& r, POINT p) {
    return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom;
}
inline constexpr RECT OffsetRect(RECT r, LONG dx, LONG dy) {
    return RECT{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}
// The common part; an empty {0,0,0,0} when the two do not overlap.
RECT IntersectRect(const RECT& a, const RECT& b) noexcept;
// The smallest rectangle holding both; an empty operand is ignored.
RECT UnionRect(const RECT& a, const RECT& b) noexcept;

// Handles. Each kind points to a type of its own that is never defined, so
// handles of different kinds do not mix. HGDIOBJ is untyped, as on the
// platform: the typed handles convert to it implicitly and a SelectObject
// result is cast back with static_cast.
using HDC = struct HdcTag*;
using HBRUSH = struct HbrushTag*;
using HPEN = struct HpenTag*;
using HBITMAP = struct HbitmapTag*;
using HFONT = struct HfontTag*;
using HGDIOBJ = void*;

// Stock objects (GetStockObject). They are never deleted; DeleteObject on
// them succeeds and does nothing.
inline constexpr int WHITE_BRUSH = 0;
inline constexpr int LTGRAY_BRUSH = 1;
inline constexpr int GRAY_BRUSH = 2;
inline constexpr int DKGRAY_BRUSH = 3;
inline constexpr int BLACK_BRUSH = 4;
inline constexpr int NULL_BRUSH = 5;
inline constexpr int HOLLOW_BRUSH = NULL_BRUSH;
inline constexpr int WHITE_PEN = 6;
inline constexpr int BLACK_PEN = 7;
inline constexpr int NULL_PEN = 8;
// The font every context starts with: "MS Sans Serif" (see CreateFontIndirect)
// at 8 points.
inline constexpr int DEFAULT_GUI_FONT = 17;

// Pen styles (CreatePen).
inline constexpr int PS_SOLID = 0;
inline constexpr int PS_NULL = 5;

// Raster operations: only the plain copy is supported.
inline constexpr DWORD SRCCOPY = 0x00CC0020u;

// GetDeviceCaps indexes.
inline constexpr int HORZRES = 8;
inline constexpr int VERTRES = 10;
inline constexpr int BITSPIXEL = 12;
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;

// GetObject on a bitmap.
struct BITMAP {
    LONG bmType = 0;
    LONG bmWidth = 0;
    LONG bmHeight = 0;
    LONG bmWidthBytes = 0;
    WORD bmPlanes = 1;
    WORD bmBitsPixel = 32;
    void* bmBits = nullptr;  // never exposed; always null
};

// A font to create (CreateFontIndirect): the few fields drawing here honours.
inline constexpr int LF_FACESIZE = 32;
inline constexpr LONG FW_NORMAL = 400;
inline constexpr LONG FW_BOLD = 700;
struct LOGFONT {
    // Negative: the character height (the em) in pixels; positive: the cell
    // height (ascent plus descent); 0: 8 points at the logical dots per inch.
    LONG lfHeight = 0;
    LONG lfWeight = 0;  // 0 or FW_NORMAL; 600 and above draw bold
    BYTE lfItalic = 0;
    char lfFaceName[LF_FACESIZE] = {};  // up to the first NUL, at most LF_FACESIZE - 1 bytes
};

// DrawText formats. DT_LEFT and DT_TOP are the defaults.
inline constexpr UINT DT_LEFT = 0x0;
inline constexpr UINT DT_TOP = 0x0;
inline constexpr UINT DT_CENTER = 0x1;
inline constexpr UINT DT_RIGHT = 0x2;
inline constexpr UINT DT_WORDBREAK = 0x10;
inline constexpr UINT DT_SINGLELINE = 0x20;
inline constexpr UINT DT_NOCLIP = 0x100;
inline constexpr UINT DT_CALCRECT = 0x400;

// ---------------------------------------------------------------------------
// Objects

// A solid brush of colour's red, green and blue bytes; the high byte is
// ignored. nullptr when out of memory. Delete with DeleteObject.
HBRUSH CreateSolidBrush(COLORREF colour) noexcept;

// A pen of the given style (PS_SOLID or PS_NULL), width in pixels (0 counts
// as 1) and colour. nullptr for another style or a negative width.
HPEN CreatePen(int style, int width, COLORREF colour) noexcept;

// A bitmap of width x height pixels, 32 bits a pixel, compatible with dc
// (which may be nullptr: compatible with the screen). Its pixels start black.
// nullptr for a bad dc, a size that is not positive or above
// kMaxBitmapExtent, or when out of memory.
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) noexcept;

// A bitmap from 32-bit pixels, 0x00RRGGBB each (the high byte is ignored),
// rows of width pixels packed top to bottom. planes must be 1 and
// bitsPerPixel 32; bits may be nullptr (black). nullptr otherwise.
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits) noexcept;

// The largest width or height a bitmap or window surface may have, in pixels.
inline constexpr int kMaxBitmapExtent = 16384;

// A font, drawn with Cairo's fonts through fontconfig. Face names are
// fontconfig family names, except that "MS Sans Serif" (any case) and an
// empty name stand for "DejaVu Sans" (Debian's fonts-dejavu-core), the
// installed face closest to it; an unknown family gets fontconfig's nearest
// match. nullptr for a null font, a height beyond kMaxBitmapExtent, or when out
// of memory. Delete with DeleteObject.
HFONT CreateFontIndirect(const LOGFONT* font) noexcept;

// A stock object (see the constants above), or nullptr for an unknown index.
HGDIOBJ GetStockObject(int index) noexcept;

// Deletes a brush, pen, font or bitmap. FALSE for a handle that is not a live
// object, and for an object currently selected into a device context (it stays
// usable). TRUE for stock objects, which are not deleted.
BOOL DeleteObject(HGDIOBJ object) noexcept;

// Fills info with a bitmap's size. Returns the number of bytes written
// (sizeof(BITMAP)), 0 for anything but a live bitmap or a null info.
int GetObject(HBITMAP bitmap, int size, BITMAP* info) noexcept;

// ---------------------------------------------------------------------------
// Device contexts

// A memory device context compatible with dc (nullptr: with the screen). It
// starts with a 1 x 1 stock bitmap, the black pen and the white brush
// selected. nullptr for a bad dc. Delete with DeleteDC.
HDC CreateCompatibleDC(HDC dc) noexcept;

// Deletes a memory device context; what was selected into it is released.
// FALSE for a bad handle or for a window's context (those go back through
// ReleaseDC or EndPaint).
BOOL DeleteDC(HDC dc) noexcept;

// Selects a brush, pen, font or bitmap into dc and returns the object of the same
// kind it replaces. nullptr (and nothing changes) for a bad dc or object, for
// a bitmap already selected into another context, and for a bitmap given to
// a window's context (only memory contexts hold bitmaps).
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) noexcept;

// Saves the selected objects, text colour, viewport origin and clip. Returns the saved
// level (1 for the first save), 0 for a bad dc.
int SaveDC(HDC dc) noexcept;

// Restores the state saved at level (positive), or |level| saves back
// (negative), dropping the saves above it. FALSE for a bad dc or level.
BOOL RestoreDC(HDC dc, int level) noexcept;

// Moves the logical origin to (x, y) device pixels; old (may be nullptr)
// receives the previous origin. FALSE for a bad dc.
BOOL SetViewportOrgEx(HDC dc, int x, int y, POINT* old) noexcept;
BOOL GetViewportOrgEx(HDC dc, POINT* origin) noexcept;

// Narrows the clip to the given logical rectangle. Returns 1 while something
// is left to draw into, 0 when the clip is empty, -1 for a bad dc.
int IntersectClipRect(HDC dc, int left, int top, int right, int bottom) noexcept;

// Fills rect (right and bottom exclusive) with brush; the dc's own brush is
// neither used nor changed. An empty or inverted rectangle draws nothing and
// succeeds. Returns nonzero on success, 0 for a bad dc or brush.
int FillRect(HDC dc, const RECT* rect, HBRUSH brush) noexcept;

// Draws the ellipse inscribed in left..right-1, top..bottom-1: filled with the
// selected brush and outlined with the selected pen, the outline kept inside
// the rectangle. FALSE for a bad dc; an empty rectangle draws nothing.
BOOL Ellipse(HDC dc, int left, int top, int right, int bottom) noexcept;

// The colour text is drawn in (black in a new context); returns the previous
// one, CLR_INVALID for a bad dc. The high byte is ignored.
COLORREF SetTextColor(HDC dc, COLORREF colour) noexcept;

// Draws UTF-8 text (count bytes, or up to its NUL when count is -1) into rect
// with the selected font and text colour. Lines end at "\n" ("\r\n" too) or,
// with DT_WORDBREAK, between words where the next word would pass rect's right
// edge (a word wider than rect keeps a line of its own); DT_SINGLELINE keeps
// everything on one line. Lines stack from rect's top, aligned left, centred
// (DT_CENTER) or right (DT_RIGHT), and are clipped to rect unless DT_NOCLIP.
// Only the glyphs' ink is drawn, in the text colour and aliased: the pixels
// between glyphs keep what was there. DT_CALCRECT draws nothing and sets rect's
// right and bottom to the extent of the laid-out lines. Returns the height of
// the lines (one empty line for empty text), 0 for a bad dc, text or rect, an
// unsupported format bit, or text that is not valid UTF-8.
int DrawText(HDC dc, const char* text, int count, RECT* rect, UINT format) noexcept;

// Copies a width x height block from (xSrc, ySrc) of src to (x, y) of dst.
// Only SRCCOPY is supported. Source pixels outside the source surface copy as
// black. Overlapping copies inside one context are safe. FALSE for a bad
// context or another operation.
BOOL BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int xSrc, int ySrc, DWORD rop) noexcept;

// Like BitBlt, scaling the source block to the destination block (bilinear).
// FALSE when either block is empty.
BOOL StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int xSrc, int ySrc, int srcWidth, int srcHeight,
                DWORD rop) noexcept;

// A borrowed block of 32-bit pixels, 0x00RRGGBB (or premultiplied
// 0xAARRGGBB, drawn as opaque), stride in bytes between rows.
struct PixelView {
    const std::uint32_t* Pixels = nullptr;
    int Width = 0;
    int Height = 0;
    int Stride = 0;
};

// Draws the srcRect part of source scaled into dest (logical coordinates),
// bilinear, replacing what was there. For renderers that paint decoded
// frames. FALSE for a bad dc, an empty source or destination, a srcRect not
// wholly inside the source, or a stride below Width * 4 or not a multiple of 4.
BOOL DrawPixels(HDC dc, const RECT& dest, const PixelView& source, const RECT& srcRect) noexcept;

// The colour at logical (x, y), or CLR_INVALID for a bad dc or a point
// outside its surface or clip.
COLORREF GetPixel(HDC dc, int x, int y) noexcept;

// LOGPIXELSX/LOGPIXELSY: logical pixels per inch (96 unless the host set
// another value); HORZRES/VERTRES: the surface's size in pixels; BITSPIXEL: 32.
// 0 for a bad dc or an unknown index.
int GetDeviceCaps(HDC dc, int index) noexcept;

// Host setting: the logical pixels per inch every context reports. Values
// outside 1..9600 are refused (false) and the setting stays as it was.
bool SetLogicalDpi(int x, int y) noexcept;

// ---------------------------------------------------------------------------
// Pixels read back

// An owned, opaque picture: pixels 0x00RRGGBB, rows packed top to bottom.
// What a host or a test reads back from a window, a context or a bitmap.
class Image {
public:
    Image() = default;
    // A black picture; an empty one when either size is not positive.
    Image(int width, int height);

    int Width() const noexcept { return W; }
    int Height() const noexcept { return H; }
    bool Empty() const noexcept { return W <= 0 || H <= 0; }

    // The pixel at (x, y) as a COLORREF (compare with RGB(...)), or
    // CLR_INVALID outside the picture.
    COLORREF PixelAt(int x, int y) const noexcept;
    void SetPixelAt(int x, int y, COLORREF colour) noexcept;

    // Row y, Width() pixels of 0x00RRGGBB; nullptr outside the picture.
    std::uint32_t* Row(int y) noexcept;
    const std::uint32_t* Row(int y) const noexcept;

    // Writes a PNG file, whole or not at all (see platform/file). False, with
    // error set when given, when the picture is empty or the file cannot be
    // written; an earlier file at path is then left as it was.
    bool SavePng(const std::string& path, std::string* error = nullptr) const noexcept;

private:
    int W = 0;
    int H = 0;
    std::vector<std::uint32_t> Data;
};

// The pixels of a bitmap; an empty Image for a bad handle.
Image GetBitmapImage(HBITMAP bitmap) noexcept;

// The pixels of the surface a context draws into (the selected bitmap of a
// memory context; the window's drawing surface without its children for a
// window context); an empty Image for a bad dc.
Image GetDCImage(HDC dc) noexcept;

}  // namespace platform
