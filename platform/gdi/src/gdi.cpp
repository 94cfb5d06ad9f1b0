#include "platform/gdi/gdi.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "gdi_internal.h"
#include "platform/gdi/cairo_interop.h"

namespace platform {

RECT IntersectRect(const RECT& a, const RECT& b) noexcept {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    if (IsRectEmpty(r)) return RECT{};
    return r;
}

RECT UnionRect(const RECT& a, const RECT& b) noexcept {
    if (IsRectEmpty(a)) return IsRectEmpty(b) ? RECT{} : b;
    if (IsRectEmpty(b)) return a;
    return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

namespace {

// The low bits of a handle value say what it names, so a brush handle given
// where a bitmap is expected fails at once; the rest is a serial number that
// only grows, so handles are never reused.
enum class Kind : std::uintptr_t { Brush = 1, Pen = 2, Bitmap = 3, Dc = 4, Font = 5 };
constexpr std::uintptr_t kKindBits = 4;
constexpr std::uintptr_t kKindMask = (1u << kKindBits) - 1;

struct ContextDeleter {
    void operator()(cairo_t* c) const noexcept { cairo_destroy(c); }
};
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

struct Object {
    Kind What = Kind::Brush;
    bool Stock = false;
    bool Null = false;  // the null brush or pen: draws nothing
    COLORREF Colour = 0;
    int PenWidth = 1;
    SurfacePtr Surface;     // bitmaps
    LOGFONT Font;           // fonts
    int SelectedCount = 0;  // how many contexts hold it as their current object
    std::uintptr_t Handle = 0;
};
using ObjectPtr = std::shared_ptr<Object>;

struct DcState {
    ObjectPtr Pen;
    ObjectPtr Brush;
    ObjectPtr Bitmap;
    ObjectPtr Font;
    COLORREF TextColour = 0;
    POINT Origin{};            // viewport origin, device pixels
    std::optional<RECT> Clip;  // device pixels
};

struct Dc {
    bool SurfaceDc = false;
    cairo_surface_t* Borrowed = nullptr;  // surface contexts
    RECT BaseClip{};                      // surface contexts, device pixels
    POINT BaseOrigin{};                   // surface contexts
    DcState Current;
    std::vector<DcState> Saved;

    cairo_surface_t* Target() const {
        if (SurfaceDc) return Borrowed;
        return Current.Bitmap ? Current.Bitmap->Surface.get() : nullptr;
    }
    POINT DeviceOrigin() const { return POINT{BaseOrigin.x + Current.Origin.x, BaseOrigin.y + Current.Origin.y}; }
    RECT DeviceClip() const {
        cairo_surface_t* s = Target();
        RECT whole{};
        if (s) whole = RECT{0, 0, cairo_image_surface_get_width(s), cairo_image_surface_get_height(s)};
        RECT clip = SurfaceDc ? IntersectRect(whole, BaseClip) : whole;
        if (Current.Clip) clip = IntersectRect(clip, *Current.Clip);
        return clip;
    }
};

constexpr int kStockFontSlot = NULL_PEN + 1;

// One lock for every table and every drawing call: drawing is cheap next to
// the hand-over between threads, and one lock cannot be taken in two orders.
struct Tables {
    std::mutex Lock;
    std::uintptr_t NextSerial = 1;
    std::unordered_map<std::uintptr_t, ObjectPtr> Objects;
    std::unordered_map<std::uintptr_t, std::unique_ptr<Dc>> Dcs;
    // The stock objects by index, DEFAULT_GUI_FONT in the last slot.
    std::uintptr_t Stock[kStockFontSlot + 1] = {};
    ObjectPtr DefaultBitmap;
};

Tables& State() {
    // Never destroyed: contexts may be released by other libraries' static
    // destructors after ours have run.
    static Tables* tables = new Tables;
    return *tables;
}

std::atomic<int> DpiX{96};
std::atomic<int> DpiY{96};

std::uintptr_t NewHandle(Tables& t, Kind kind) {
    return (t.NextSerial++ << kKindBits) | static_cast<std::uintptr_t>(kind);
}

SurfacePtr NewSurface(int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxBitmapExtent || height > kMaxBitmapExtent) return nullptr;
    SurfacePtr s(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    // A new image surface is zero-filled: black, as the platform's new bitmaps.
    return s;
}

ObjectPtr MakeBrush(COLORREF colour, bool null) {
    auto o = std::make_shared<Object>();
    o->What = Kind::Brush;
    o->Colour = colour & 0x00FFFFFFu;
    o->Null = null;
    return o;
}

ObjectPtr MakePen(COLORREF colour, int width, bool null) {
    auto o = std::make_shared<Object>();
    o->What = Kind::Pen;
    o->Colour = colour & 0x00FFFFFFu;
    o->PenWidth = width <= 0 ? 1 : width;
    o->Null = null;
    return o;
}

ObjectPtr MakeFont(const LOGFONT& font) {
    auto o = std::make_shared<Object>();
    o->What = Kind::Font;
    o->Font = font;
    o->Font.lfFaceName[LF_FACESIZE - 1] = '\0';  // the caller's name may lack its terminator
    return o;
}

// Builds the stock objects on first use. Called with the lock held.
void EnsureStock(Tables& t) {
    if (t.Stock[0] != 0) return;
    LOGFONT dialogFont;
    std::strcpy(dialogFont.lfFaceName, "MS Sans Serif");
    const ObjectPtr objects[kStockFontSlot + 1] = {MakeBrush(RGB(255, 255, 255), false),
                                                   MakeBrush(RGB(192, 192, 192), false),
                                                   MakeBrush(RGB(128, 128, 128), false),
                                                   MakeBrush(RGB(64, 64, 64), false),
                                                   MakeBrush(RGB(0, 0, 0), false),
                                                   MakeBrush(0, true),
                                                   MakePen(RGB(255, 255, 255), 1, false),
                                                   MakePen(RGB(0, 0, 0), 1, false),
                                                   MakePen(0, 1, true),
                                                   MakeFont(dialogFont)};
    for (int i = 0; i <= kStockFontSlot; ++i) {
        objects[i]->Stock = true;
        const std::uintptr_t h = NewHandle(t, objects[i]->What);
        objects[i]->Handle = h;
        t.Objects.emplace(h, objects[i]);
        t.Stock[i] = h;
    }
    t.DefaultBitmap = std::make_shared<Object>();
    t.DefaultBitmap->What = Kind::Bitmap;
    t.DefaultBitmap->Stock = true;
    t.DefaultBitmap->Surface = NewSurface(1, 1);
    t.DefaultBitmap->Handle = NewHandle(t, Kind::Bitmap);
    t.Objects.emplace(t.DefaultBitmap->Handle, t.DefaultBitmap);
}

std::uintptr_t HandleOf(const void* h) { return reinterpret_cast<std::uintptr_t>(h); }

ObjectPtr FindObject(Tables& t, const void* handle, std::optional<Kind> kind = std::nullopt) {
    const std::uintptr_t h = HandleOf(handle);
    const auto k = static_cast<Kind>(h & kKindMask);
    if (k == Kind::Dc || (kind && k != *kind)) return nullptr;
    const auto it = t.Objects.find(h);
    return it == t.Objects.end() ? nullptr : it->second;
}

Dc* FindDc(Tables& t, HDC handle) {
    const std::uintptr_t h = HandleOf(handle);
    if (static_cast<Kind>(h & kKindMask) != Kind::Dc) return nullptr;
    const auto it = t.Dcs.find(h);
    return it == t.Dcs.end() ? nullptr : it->second.get();
}

void Hold(const ObjectPtr& o) {
    if (o) ++o->SelectedCount;
}
void Drop(const ObjectPtr& o) {
    if (o) --o->SelectedCount;
}
// Every object a state selects.
void HoldAll(const DcState& s) {
    for (const ObjectPtr* o : {&s.Pen, &s.Brush, &s.Bitmap, &s.Font}) Hold(*o);
}
void DropAll(const DcState& s) {
    for (const ObjectPtr* o : {&s.Pen, &s.Brush, &s.Bitmap, &s.Font}) Drop(*o);
}

// Swaps one context state for another, keeping the selection counts right.
void ReplaceState(Dc& dc, DcState next) {
    HoldAll(next);
    DropAll(dc.Current);
    dc.Current = std::move(next);
}

Dc& NewDc(Tables& t, std::uintptr_t& handle) {
    EnsureStock(t);
    auto dc = std::make_unique<Dc>();
    DcState initial;
    initial.Pen = FindObject(t, reinterpret_cast<void*>(t.Stock[BLACK_PEN]));
    initial.Brush = FindObject(t, reinterpret_cast<void*>(t.Stock[WHITE_BRUSH]));
    initial.Font = FindObject(t, reinterpret_cast<void*>(t.Stock[kStockFontSlot]));
    HoldAll(initial);
    dc->Current = std::move(initial);
    handle = NewHandle(t, Kind::Dc);
    Dc& ref = *dc;
    t.Dcs.emplace(handle, std::move(dc));
    return ref;
}

// A Cairo context for drawing through dc: device clip, viewport origin and
// aliased rendering, as the platform draws. nullptr when there is nothing to
// draw into.
ContextPtr OpenContext(const Dc& dc) {
    cairo_surface_t* target = dc.Target();
    if (!target) return nullptr;
    ContextPtr cr(cairo_create(target));
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    const RECT clip = dc.DeviceClip();
    cairo_rectangle(cr.get(), clip.left, clip.top, clip.right - clip.left, clip.bottom - clip.top);
    cairo_clip(cr.get());
    const POINT origin = dc.DeviceOrigin();
    cairo_translate(cr.get(), origin.x, origin.y);
    cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    return cr;
}

void SetColour(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
}

// A copy of part of a surface, for copies whose source and target are the same.
SurfacePtr CopyRegion(cairo_surface_t* source, int x, int y, int width, int height) {
    SurfacePtr copy = NewSurface(width, height);
    if (!copy) return nullptr;
    ContextPtr cr(cairo_create(copy.get()));
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr.get(), source, -x, -y);
    cairo_paint(cr.get());
    return copy;
}

// Paints the block (sx, sy, sw, sh) of source into (x, y, w, h) of dst.
BOOL CopyBlock(Dc& dst, int x, int y, int w, int h, cairo_surface_t* source, double sx, double sy, double sw,
               double sh) {
    ContextPtr cr = OpenContext(dst);
    if (!cr) return TRUE;
    cairo_rectangle(cr.get(), x, y, w, h);
    cairo_clip(cr.get());
    cairo_translate(cr.get(), x, y);
    cairo_scale(cr.get(), w / sw, h / sh);
    cairo_set_source_surface(cr.get(), source, -sx, -sy);
    const bool scaled = w != sw || h != sh;
    cairo_pattern_set_filter(cairo_get_source(cr.get()), scaled ? CAIRO_FILTER_BILINEAR : CAIRO_FILTER_NEAREST);
    // Outside the source the copy is black, as the platform's copy from beyond
    // a bitmap's edge; the pad keeps bilinear edges from fading to black.
    cairo_pattern_set_extend(cairo_get_source(cr.get()), scaled ? CAIRO_EXTEND_PAD : CAIRO_EXTEND_NONE);
    cairo_paint(cr.get());
    return TRUE;
}

BOOL Blit(HDC dstHandle, int x, int y, int w, int h, HDC srcHandle, int xs, int ys, int sw, int sh, DWORD rop) {
    if (rop != SRCCOPY) return FALSE;
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* dst = FindDc(t, dstHandle);
    Dc* src = FindDc(t, srcHandle);
    if (!dst || !src) return FALSE;
    if (w <= 0 || h <= 0 || sw <= 0 || sh <= 0) return TRUE;
    cairo_surface_t* source = src->Target();
    if (!source) return TRUE;
    cairo_surface_flush(source);
    const POINT so = src->DeviceOrigin();
    double sx = xs + so.x;
    double sy = ys + so.y;
    SurfacePtr copy;
    if (source == dst->Target()) {
        // Cairo does not read and write one surface in one paint: copy first.
        copy = CopyRegion(source, static_cast<int>(sx), static_cast<int>(sy), sw, sh);
        if (!copy) return FALSE;
        source = copy.get();
        sx = 0;
        sy = 0;
    }
    const BOOL ok = CopyBlock(*dst, x, y, w, h, source, sx, sy, sw, sh);
    cairo_surface_flush(dst->Target() ? dst->Target() : source);
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// Objects

namespace {
// Gives a new object its handle and puts it in the table; 0 when out of memory.
std::uintptr_t AddObject(Tables& t, ObjectPtr o) {
    try {
        const std::uintptr_t handle = NewHandle(t, o->What);
        o->Handle = handle;
        t.Objects.emplace(handle, std::move(o));
        return handle;
    } catch (...) {
        return 0;
    }
}

std::uintptr_t AddObject(ObjectPtr o) {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    return AddObject(t, std::move(o));
}

HBITMAP AddBitmap(Tables& t, SurfacePtr surface) {
    auto o = std::make_shared<Object>();
    o->What = Kind::Bitmap;
    o->Surface = std::move(surface);
    return reinterpret_cast<HBITMAP>(AddObject(t, std::move(o)));
}
}  // namespace

HBRUSH CreateSolidBrush(COLORREF colour) noexcept {
    try {
        return reinterpret_cast<HBRUSH>(AddObject(MakeBrush(colour, false)));
    } catch (...) {
        return nullptr;
    }
}

HPEN CreatePen(int style, int width, COLORREF colour) noexcept {
    if ((style != PS_SOLID && style != PS_NULL) || width < 0 || width > kMaxBitmapExtent) return nullptr;
    try {
        return reinterpret_cast<HPEN>(AddObject(MakePen(colour, width, style == PS_NULL)));
    } catch (...) {
        return nullptr;
    }
}

HFONT CreateFontIndirect(const LOGFONT* font) noexcept {
    if (!font || font->lfHeight < -kMaxBitmapExtent || font->lfHeight > kMaxBitmapExtent) return nullptr;
    try {
        return reinterpret_cast<HFONT>(AddObject(MakeFont(*font)));
    } catch (...) {
        return nullptr;
    }
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) noexcept {
    try {
        Tables& t = State();
        std::lock_guard lock(t.Lock);
        if (dc && !FindDc(t, dc)) return nullptr;
        SurfacePtr s = NewSurface(width, height);
        if (!s) return nullptr;
        return AddBitmap(t, std::move(s));
    } catch (...) {
        return nullptr;
    }
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits) noexcept {
    if (planes != 1 || bitsPerPixel != 32) return nullptr;
    try {
        SurfacePtr s = NewSurface(width, height);
        if (!s) return nullptr;
        if (bits) {
            auto* data = cairo_image_surface_get_data(s.get());
            const int stride = cairo_image_surface_get_stride(s.get());
            const auto* from = static_cast<const std::uint8_t*>(bits);
            for (int y = 0; y < height; ++y)
                std::memcpy(data + static_cast<std::ptrdiff_t>(y) * stride,
                            from + static_cast<std::ptrdiff_t>(y) * width * 4, static_cast<std::size_t>(width) * 4);
            cairo_surface_mark_dirty(s.get());
        }
        Tables& t = State();
        std::lock_guard lock(t.Lock);
        return AddBitmap(t, std::move(s));
    } catch (...) {
        return nullptr;
    }
}

HGDIOBJ GetStockObject(int index) noexcept {
    if ((index < 0 || index > NULL_PEN) && index != DEFAULT_GUI_FONT) return nullptr;
    try {
        Tables& t = State();
        std::lock_guard lock(t.Lock);
        EnsureStock(t);
        return reinterpret_cast<HGDIOBJ>(t.Stock[index == DEFAULT_GUI_FONT ? kStockFontSlot : index]);
    } catch (...) {
        return nullptr;
    }
}

BOOL DeleteObject(HGDIOBJ object) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    const ObjectPtr o = FindObject(t, object);
    if (!o) return FALSE;
    if (o->Stock) return TRUE;
    if (o->SelectedCount > 0) return FALSE;
    t.Objects.erase(HandleOf(object));
    return TRUE;
}

int GetObject(HBITMAP bitmap, int size, BITMAP* info) noexcept {
    if (!info || size < static_cast<int>(sizeof(BITMAP))) return 0;
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    const ObjectPtr o = FindObject(t, bitmap, Kind::Bitmap);
    if (!o || !o->Surface) return 0;
    *info = BITMAP{};
    info->bmWidth = cairo_image_surface_get_width(o->Surface.get());
    info->bmHeight = cairo_image_surface_get_height(o->Surface.get());
    info->bmWidthBytes = info->bmWidth * 4;
    return static_cast<int>(sizeof(BITMAP));
}

// ---------------------------------------------------------------------------
// Device contexts

HDC CreateCompatibleDC(HDC dc) noexcept {
    try {
        Tables& t = State();
        std::lock_guard lock(t.Lock);
        if (dc && !FindDc(t, dc)) return nullptr;
        std::uintptr_t h = 0;
        Dc& created = NewDc(t, h);
        created.Current.Bitmap = t.DefaultBitmap;
        Hold(created.Current.Bitmap);
        return reinterpret_cast<HDC>(h);
    } catch (...) {
        return nullptr;
    }
}

namespace {
void ReleaseDcObjects(Dc& dc) {
    DropAll(dc.Current);
    dc.Current = DcState{};
    dc.Saved.clear();
}
}  // namespace

BOOL DeleteDC(HDC dc) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d || d->SurfaceDc) return FALSE;
    ReleaseDcObjects(*d);
    t.Dcs.erase(HandleOf(dc));
    return TRUE;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    ObjectPtr o = FindObject(t, object);
    if (!d || !o) return nullptr;
    if (o->What == Kind::Bitmap) {
        if (d->SurfaceDc) return nullptr;
        // A bitmap lives in one context at a time; the stock bitmap is shared.
        if (!o->Stock && o->SelectedCount > 0 && d->Current.Bitmap != o) return nullptr;
    }
    ObjectPtr& slot = o->What == Kind::Brush  ? d->Current.Brush
                      : o->What == Kind::Pen  ? d->Current.Pen
                      : o->What == Kind::Font ? d->Current.Font
                                              : d->Current.Bitmap;
    ObjectPtr previous = slot;
    if (previous == o) return object;
    Hold(o);
    Drop(previous);
    slot = std::move(o);
    return previous ? reinterpret_cast<HGDIOBJ>(previous->Handle) : nullptr;
}

int SaveDC(HDC dc) noexcept {
    try {
        Tables& t = State();
        std::lock_guard lock(t.Lock);
        Dc* d = FindDc(t, dc);
        if (!d) return 0;
        d->Saved.push_back(d->Current);
        return static_cast<int>(d->Saved.size());
    } catch (...) {
        return 0;
    }
}

BOOL RestoreDC(HDC dc, int level) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return FALSE;
    const int depth = static_cast<int>(d->Saved.size());
    const int target = level < 0 ? depth + level + 1 : level;
    if (level == 0 || target < 1 || target > depth) return FALSE;
    DcState restored = d->Saved[static_cast<std::size_t>(target - 1)];
    d->Saved.resize(static_cast<std::size_t>(target - 1));
    ReplaceState(*d, std::move(restored));
    return TRUE;
}

BOOL SetViewportOrgEx(HDC dc, int x, int y, POINT* old) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return FALSE;
    if (old) *old = d->Current.Origin;
    d->Current.Origin = POINT{x, y};
    return TRUE;
}

BOOL GetViewportOrgEx(HDC dc, POINT* origin) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d || !origin) return FALSE;
    *origin = d->Current.Origin;
    return TRUE;
}

int IntersectClipRect(HDC dc, int left, int top, int right, int bottom) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return -1;
    const POINT o = d->DeviceOrigin();
    RECT device{left + o.x, top + o.y, right + o.x, bottom + o.y};
    d->Current.Clip =
        d->Current.Clip ? IntersectRect(*d->Current.Clip, device) : (IsRectEmpty(device) ? RECT{} : device);
    return IsRectEmpty(d->DeviceClip()) ? 0 : 1;
}

COLORREF SetTextColor(HDC dc, COLORREF colour) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return CLR_INVALID;
    const COLORREF previous = d->Current.TextColour;
    d->Current.TextColour = colour & 0x00FFFFFFu;
    return previous;
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    const ObjectPtr b = FindObject(t, brush, Kind::Brush);
    if (!d || !b || !rect) return 0;
    if (IsRectEmpty(*rect) || b->Null) return 1;
    ContextPtr cr = OpenContext(*d);
    if (!cr) return 1;
    SetColour(cr.get(), b->Colour);
    cairo_rectangle(cr.get(), rect->left, rect->top, static_cast<double>(rect->right) - rect->left,
                    static_cast<double>(rect->bottom) - rect->top);
    cairo_fill(cr.get());
    cr.reset();
    cairo_surface_flush(d->Target());
    return 1;
}

BOOL Ellipse(HDC dc, int left, int top, int right, int bottom) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return FALSE;
    if (right - left < 1 || bottom - top < 1) return TRUE;
    ContextPtr cr = OpenContext(*d);
    if (!cr) return TRUE;
    const ObjectPtr& pen = d->Current.Pen;
    const ObjectPtr& brush = d->Current.Brush;
    const double penWidth = (pen && !pen->Null) ? pen->PenWidth : 0.0;
    // The outline runs along an ellipse inset by half the pen, so the pen's
    // outer edge touches the rectangle's edges and never leaves it.
    const double cx = (left + right) / 2.0;
    const double cy = (top + bottom) / 2.0;
    const double rx = (right - left) / 2.0 - penWidth / 2.0;
    const double ry = (bottom - top) / 2.0 - penWidth / 2.0;
    auto path = [&](double ex, double ey) {
        cairo_new_path(cr.get());
        cairo_save(cr.get());
        cairo_translate(cr.get(), cx, cy);
        cairo_scale(cr.get(), ex, ey);
        cairo_arc(cr.get(), 0, 0, 1, 0, 2 * 3.14159265358979323846);
        cairo_restore(cr.get());
    };
    if (brush && !brush->Null) {
        const double fx = std::max(rx, 0.25);
        const double fy = std::max(ry, 0.25);
        path(fx, fy);
        SetColour(cr.get(), brush->Colour);
        cairo_fill(cr.get());
    }
    if (penWidth > 0) {
        if (rx <= 0 || ry <= 0) {
            // Too small for an outline around anything: the pen covers it all.
            cairo_rectangle(cr.get(), left, top, right - left, bottom - top);
            SetColour(cr.get(), pen->Colour);
            cairo_fill(cr.get());
        } else {
            path(rx, ry);
            cairo_set_line_width(cr.get(), penWidth);
            SetColour(cr.get(), pen->Colour);
            cairo_stroke(cr.get());
        }
    }
    cr.reset();
    cairo_surface_flush(d->Target());
    return TRUE;
}

BOOL BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int xSrc, int ySrc, DWORD rop) noexcept {
    try {
        return Blit(dst, x, y, width, height, src, xSrc, ySrc, width, height, rop);
    } catch (...) {
        return FALSE;
    }
}

BOOL StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int xSrc, int ySrc, int srcWidth, int srcHeight,
                DWORD rop) noexcept {
    if (width <= 0 || height <= 0 || srcWidth <= 0 || srcHeight <= 0) return FALSE;
    try {
        return Blit(dst, x, y, width, height, src, xSrc, ySrc, srcWidth, srcHeight, rop);
    } catch (...) {
        return FALSE;
    }
}

BOOL DrawPixels(HDC dc, const RECT& dest, const PixelView& source, const RECT& srcRect) noexcept {
    if (!source.Pixels || source.Width <= 0 || source.Height <= 0 || source.Width > kMaxBitmapExtent ||
        source.Height > kMaxBitmapExtent || source.Stride < source.Width * 4 || source.Stride % 4 != 0)
        return FALSE;
    const RECT within = IntersectRect(srcRect, RECT{0, 0, source.Width, source.Height});
    if (IsRectEmpty(within) || within != srcRect || IsRectEmpty(dest)) return FALSE;
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return FALSE;
    // Cairo only reads this surface; it never writes through the pointer.
    SurfacePtr view(
        cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(source.Pixels)),
                                            CAIRO_FORMAT_RGB24, source.Width, source.Height, source.Stride));
    if (cairo_surface_status(view.get()) != CAIRO_STATUS_SUCCESS) return FALSE;
    const BOOL ok = CopyBlock(*d, dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top, view.get(),
                              srcRect.left, srcRect.top, srcRect.right - srcRect.left, srcRect.bottom - srcRect.top);
    view.reset();
    if (d->Target()) cairo_surface_flush(d->Target());
    return ok;
}

COLORREF GetPixel(HDC dc, int x, int y) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return CLR_INVALID;
    cairo_surface_t* s = d->Target();
    if (!s) return CLR_INVALID;
    const POINT o = d->DeviceOrigin();
    const POINT p{x + o.x, y + o.y};
    if (!PtInRect(d->DeviceClip(), p)) return CLR_INVALID;
    cairo_surface_flush(s);
    const auto* row = reinterpret_cast<const std::uint32_t*>(
        cairo_image_surface_get_data(s) + static_cast<std::ptrdiff_t>(p.y) * cairo_image_surface_get_stride(s));
    const std::uint32_t v = row[p.x];
    return RGB(static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v));
}

int GetDeviceCaps(HDC dc, int index) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return 0;
    cairo_surface_t* s = d->Target();
    switch (index) {
        case LOGPIXELSX: return DpiX.load(std::memory_order_relaxed);
        case LOGPIXELSY: return DpiY.load(std::memory_order_relaxed);
        case HORZRES: return s ? cairo_image_surface_get_width(s) : 0;
        case VERTRES: return s ? cairo_image_surface_get_height(s) : 0;
        case BITSPIXEL: return 32;
        default: return 0;
    }
}

bool SetLogicalDpi(int x, int y) noexcept {
    if (x < 1 || x > 9600 || y < 1 || y > 9600) return false;
    DpiX.store(x, std::memory_order_relaxed);
    DpiY.store(y, std::memory_order_relaxed);
    return true;
}

Image GetBitmapImage(HBITMAP bitmap) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    const ObjectPtr o = FindObject(t, bitmap, Kind::Bitmap);
    if (!o || !o->Surface) return Image{};
    return ImageFromSurface(o->Surface.get(), nullptr);
}

Image GetDCImage(HDC dc) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d || !d->Target()) return Image{};
    return ImageFromSurface(d->Target(), nullptr);
}

// ---------------------------------------------------------------------------
// Surface contexts

HDC CreateSurfaceDC(cairo_surface_t* surface, const RECT& clip, bool originAtClip) noexcept {
    if (!surface || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) return nullptr;
    try {
        Tables& t = State();
        std::lock_guard lock(t.Lock);
        std::uintptr_t h = 0;
        Dc& created = NewDc(t, h);
        created.SurfaceDc = true;
        created.Borrowed = surface;
        created.BaseClip = clip;
        if (originAtClip) created.BaseOrigin = POINT{clip.left, clip.top};
        return reinterpret_cast<HDC>(h);
    } catch (...) {
        return nullptr;
    }
}

BOOL DestroySurfaceDC(HDC dc) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d || !d->SurfaceDc) return FALSE;
    cairo_surface_flush(d->Borrowed);
    ReleaseDcObjects(*d);
    t.Dcs.erase(HandleOf(dc));
    return TRUE;
}

bool IsSurfaceDC(HDC dc) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    return d && d->SurfaceDc;
}

namespace {
// Runs draw(cr, dc) under the lock on a context drawing through dc. Without
// anything to draw into, draw gets a throwaway one-pixel surface when
// `measure` is set and is not called otherwise.
template <class Draw>
BOOL DrawThrough(HDC dc, bool measure, Draw draw) noexcept {
    Tables& t = State();
    std::lock_guard lock(t.Lock);
    Dc* d = FindDc(t, dc);
    if (!d) return FALSE;
    ContextPtr cr = OpenContext(*d);
    SurfacePtr scratch;
    if (!cr && !measure) return TRUE;
    if (!cr) {
        if (!(scratch = NewSurface(1, 1))) return FALSE;
        cr.reset(cairo_create(scratch.get()));
    }
    try {
        draw(cr.get(), *d);
    } catch (...) {
        return FALSE;
    }
    cr.reset();
    if (!scratch) cairo_surface_flush(d->Target());
    return TRUE;
}
}  // namespace

BOOL DrawWithCairo(HDC dc, const std::function<void(cairo_t*)>& draw) noexcept {
    if (!draw) return FALSE;
    return DrawThrough(dc, false, [&](cairo_t* cr, const Dc&) { draw(cr); });
}

BOOL DrawTextWithCairo(HDC dc, const std::function<void(cairo_t*, const LOGFONT&, COLORREF)>& draw) noexcept {
    if (!draw) return FALSE;
    return DrawThrough(dc, true, [&](cairo_t* cr, const Dc& d) {
        draw(cr, d.Current.Font ? d.Current.Font->Font : LOGFONT{}, d.Current.TextColour);
    });
}

}  // namespace platform
