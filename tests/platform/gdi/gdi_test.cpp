#include <gtest/gtest.h>

#include <cairo.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "platform/gdi/cairo_interop.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/resource.h"

using namespace platform;

namespace {

// A memory context with a bitmap of its own, filled with one colour.
struct Canvas {
    HDC Dc = nullptr;
    HBITMAP Bitmap = nullptr;
    HGDIOBJ Previous = nullptr;

    Canvas(int width, int height, COLORREF fill = RGB(0, 0, 0)) {
        Dc = CreateCompatibleDC(nullptr);
        Bitmap = CreateCompatibleBitmap(Dc, width, height);
        Previous = SelectObject(Dc, Bitmap);
        HBRUSH brush = CreateSolidBrush(fill);
        const RECT all{0, 0, width, height};
        FillRect(Dc, &all, brush);
        DeleteObject(brush);
    }
    ~Canvas() {
        SelectObject(Dc, Previous);
        DeleteObject(Bitmap);
        DeleteDC(Dc);
    }
    COLORREF At(int x, int y) const { return GetPixel(Dc, x, y); }
};

void Fill(HDC dc, RECT r, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

// Where a picture differs from its background: the bounds of the ink, and
// whether every changed pixel is exactly the ink colour.
struct Ink {
    RECT Bounds{};
    int Pixels = 0;
    bool OnlyInkColour = true;
};

Ink FindInk(const Canvas& c, int width, int height, COLORREF background, COLORREF ink) {
    Ink found;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const COLORREF p = c.At(x, y);
            if (p == background) continue;
            if (p != ink) found.OnlyInkColour = false;
            found.Bounds =
                found.Pixels++ == 0 ? RECT{x, y, x + 1, y + 1} : UnionRect(found.Bounds, RECT{x, y, x + 1, y + 1});
        }
    }
    return found;
}

bool Within(const RECT& inner, const RECT& outer) { return IntersectRect(inner, outer) == inner; }

// The extent DrawText lays text out in, starting from `rect`.
RECT Extent(HDC dc, const char* text, RECT rect, UINT format = 0) {
    DrawText(dc, text, -1, &rect, format | DT_CALCRECT);
    return rect;
}

LOGFONT Face(const char* name, LONG height) {
    LOGFONT font;
    font.lfHeight = height;
    std::snprintf(font.lfFaceName, sizeof font.lfFaceName, "%s", name);
    return font;
}

std::string TempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + "-" + name)).string();
}

}  // namespace

TEST(GdiFill, FillsExactlyTheRectangleWithRightAndBottomExclusive) {
    Canvas c(10, 10);
    Fill(c.Dc, RECT{2, 3, 5, 7}, RGB(10, 200, 30));
    EXPECT_EQ(c.At(2, 3), RGB(10, 200, 30));
    EXPECT_EQ(c.At(4, 6), RGB(10, 200, 30));
    EXPECT_EQ(c.At(5, 6), RGB(0, 0, 0));
    EXPECT_EQ(c.At(4, 7), RGB(0, 0, 0));
    EXPECT_EQ(c.At(1, 3), RGB(0, 0, 0));
}

TEST(GdiFill, EmptyAndInvertedRectanglesDrawNothingAndSucceed) {
    Canvas c(8, 8);
    HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    const RECT empty{3, 3, 3, 6};
    const RECT inverted{6, 6, 2, 2};
    EXPECT_NE(FillRect(c.Dc, &empty, white), 0);
    EXPECT_NE(FillRect(c.Dc, &inverted, white), 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ASSERT_EQ(c.At(x, y), RGB(0, 0, 0));
}

TEST(GdiFill, StockWhiteBrushAndSystemColourHighByteIgnored) {
    Canvas c(4, 1);
    const RECT left{0, 0, 2, 1};
    FillRect(c.Dc, &left, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    Fill(c.Dc, RECT{2, 0, 4, 1}, 0x8000000Fu);
    EXPECT_EQ(c.At(0, 0), RGB(255, 255, 255));
    EXPECT_EQ(c.At(3, 0), RGB(0x0F, 0, 0));
}

TEST(GdiEllipse, DefaultPenAndBrushGiveBlackOutlineWhiteInsideCornersUntouched) {
    Canvas c(41, 21, RGB(0, 0, 255));
    ASSERT_TRUE(Ellipse(c.Dc, 0, 0, 41, 21));
    EXPECT_EQ(c.At(20, 10), RGB(255, 255, 255));  // centre: the white stock brush
    EXPECT_EQ(c.At(0, 10), RGB(0, 0, 0));         // leftmost edge: the black stock pen
    EXPECT_EQ(c.At(40, 10), RGB(0, 0, 0));        // rightmost pixel inside the bounds
    EXPECT_EQ(c.At(20, 0), RGB(0, 0, 0));
    EXPECT_EQ(c.At(20, 20), RGB(0, 0, 0));
    EXPECT_EQ(c.At(0, 0), RGB(0, 0, 255));  // corners lie outside the ellipse
    EXPECT_EQ(c.At(40, 20), RGB(0, 0, 255));
    EXPECT_EQ(c.At(2, 1), RGB(0, 0, 255));
}

TEST(GdiEllipse, UsesTheSelectedPenAndBrushAndNullPenLeavesNoOutline) {
    Canvas c(21, 21, RGB(0, 0, 0));
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    HGDIOBJ oldBrush = SelectObject(c.Dc, red);
    HGDIOBJ oldPen = SelectObject(c.Dc, GetStockObject(NULL_PEN));
    Ellipse(c.Dc, 0, 0, 21, 21);
    EXPECT_EQ(c.At(10, 10), RGB(255, 0, 0));
    EXPECT_EQ(c.At(0, 10), RGB(255, 0, 0));  // no outline: the brush reaches the edge
    EXPECT_EQ(static_cast<HBRUSH>(SelectObject(c.Dc, oldBrush)), red);
    SelectObject(c.Dc, oldPen);
    EXPECT_TRUE(DeleteObject(red));
}

TEST(GdiBlit, CopiesACellFromASelectedBitmapAtTheGivenOffsets) {
    // A strip of three 4x4 cells in three colours, like a button strip.
    std::vector<std::uint32_t> pixels(12 * 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 12; ++x) pixels[y * 12 + x] = x < 4 ? 0xFF0000 : x < 8 ? 0x00FF00 : 0x0000FF;
    HBITMAP strip = CreateBitmap(12, 4, 1, 32, pixels.data());
    ASSERT_NE(strip, nullptr);

    Canvas target(8, 4, RGB(9, 9, 9));
    HDC memory = CreateCompatibleDC(target.Dc);
    HGDIOBJ old = SelectObject(memory, strip);
    ASSERT_TRUE(BitBlt(target.Dc, 4, 0, 4, 4, memory, 8, 0, SRCCOPY));
    EXPECT_EQ(target.At(3, 0), RGB(9, 9, 9));
    EXPECT_EQ(target.At(4, 0), RGB(0, 0, 255));
    EXPECT_EQ(target.At(7, 3), RGB(0, 0, 255));
    EXPECT_FALSE(BitBlt(target.Dc, 0, 0, 4, 4, memory, 0, 0, 0x00EE0086u));  // not a plain copy

    // Beyond the source's edge the copy is black.
    ASSERT_TRUE(BitBlt(target.Dc, 0, 0, 4, 4, memory, 10, 0, SRCCOPY));
    EXPECT_EQ(target.At(1, 0), RGB(0, 0, 255));
    EXPECT_EQ(target.At(2, 0), RGB(0, 0, 0));

    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(strip);
}

TEST(GdiBlit, OverlappingCopyWithinOneContextMovesThePixels) {
    Canvas c(6, 1);
    for (int x = 0; x < 6; ++x) Fill(c.Dc, RECT{x, 0, x + 1, 1}, RGB(static_cast<BYTE>(x * 10), 0, 0));
    ASSERT_TRUE(BitBlt(c.Dc, 1, 0, 4, 1, c.Dc, 0, 0, SRCCOPY));
    EXPECT_EQ(c.At(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(c.At(1, 0), RGB(0, 0, 0));
    EXPECT_EQ(c.At(2, 0), RGB(10, 0, 0));
    EXPECT_EQ(c.At(4, 0), RGB(30, 0, 0));
    EXPECT_EQ(c.At(5, 0), RGB(50, 0, 0));
}

TEST(GdiState, RestoreDcBringsBackTheSelectedObjectsAndOrigin) {
    Canvas c(4, 4);
    HBITMAP other = CreateCompatibleBitmap(c.Dc, 2, 2);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    const int level = SaveDC(c.Dc);
    EXPECT_EQ(level, 1);
    SelectObject(c.Dc, other);
    SelectObject(c.Dc, red);
    SetViewportOrgEx(c.Dc, 1, 1, nullptr);
    EXPECT_EQ(SaveDC(c.Dc), 2);
    ASSERT_TRUE(RestoreDC(c.Dc, -1));  // back to level 1's state: the pushes above go
    ASSERT_TRUE(RestoreDC(c.Dc, 1));
    EXPECT_FALSE(RestoreDC(c.Dc, 1));  // that level is gone now
    EXPECT_FALSE(RestoreDC(c.Dc, 0));
    POINT origin{7, 7};
    GetViewportOrgEx(c.Dc, &origin);
    EXPECT_EQ(origin, (POINT{0, 0}));
    // The canvas's own bitmap is selected again, so the other one is free.
    EXPECT_TRUE(DeleteObject(other));
    EXPECT_TRUE(DeleteObject(red));
    Ellipse(c.Dc, 0, 0, 4, 4);
    EXPECT_EQ(c.At(0, 0), RGB(0, 0, 0));
}

TEST(GdiState, ViewportOriginAndClipApplyToDrawing) {
    Canvas c(10, 10);
    SetViewportOrgEx(c.Dc, 5, 5, nullptr);
    Fill(c.Dc, RECT{0, 0, 2, 2}, RGB(1, 2, 3));
    EXPECT_EQ(c.At(0, 0), RGB(1, 2, 3));  // logical (0,0) is device (5,5)
    EXPECT_EQ(GetPixel(c.Dc, -5, -5), RGB(0, 0, 0));
    SetViewportOrgEx(c.Dc, 0, 0, nullptr);
    EXPECT_EQ(IntersectClipRect(c.Dc, 0, 0, 3, 3), 1);
    Fill(c.Dc, RECT{0, 0, 10, 10}, RGB(200, 0, 0));
    EXPECT_EQ(c.At(2, 2), RGB(200, 0, 0));
    EXPECT_EQ(GetPixel(c.Dc, 3, 3), CLR_INVALID);  // outside the clip
}

TEST(GdiHandles, StaleSelectedAndForeignHandlesFailCleanly) {
    Canvas c(2, 2);
    HBRUSH brush = CreateSolidBrush(RGB(1, 1, 1));
    ASSERT_TRUE(DeleteObject(brush));
    EXPECT_FALSE(DeleteObject(brush));
    const RECT r{0, 0, 1, 1};
    EXPECT_EQ(FillRect(c.Dc, &r, brush), 0);
    EXPECT_EQ(SelectObject(c.Dc, brush), nullptr);

    // A selected bitmap cannot be deleted, nor selected into a second context.
    EXPECT_FALSE(DeleteObject(c.Bitmap));
    HDC second = CreateCompatibleDC(nullptr);
    EXPECT_EQ(SelectObject(second, c.Bitmap), nullptr);
    DeleteDC(second);
    EXPECT_FALSE(DeleteDC(second));
    EXPECT_EQ(GetPixel(second, 0, 0), CLR_INVALID);
    EXPECT_EQ(GetDeviceCaps(second, LOGPIXELSX), 0);

    // Stock objects survive deletion; invented handles are refused.
    HGDIOBJ white = GetStockObject(WHITE_BRUSH);
    EXPECT_TRUE(DeleteObject(white));
    EXPECT_NE(FillRect(c.Dc, &r, static_cast<HBRUSH>(white)), 0);
    EXPECT_FALSE(DeleteObject(reinterpret_cast<HGDIOBJ>(std::uintptr_t{0x12345})));
    EXPECT_FALSE(DeleteDC(reinterpret_cast<HDC>(c.Bitmap)));
    EXPECT_EQ(GetStockObject(99), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(nullptr, 0, 5), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(nullptr, kMaxBitmapExtent + 1, 1), nullptr);
}

TEST(GdiHandles, HandleValuesAreNeverReused) {
    std::set<HGDIOBJ> seen;
    for (int i = 0; i < 200; ++i) {
        HBRUSH b = CreateSolidBrush(RGB(1, 2, 3));
        EXPECT_TRUE(seen.insert(b).second);
        DeleteObject(b);
    }
}

TEST(GdiDeviceCaps, LogicalPixelsPerInchDefaultTo96AndFollowTheHost) {
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 96);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 96);
    // 320 x 240 pixels at 96 dpi are 4800 x 3600 twips.
    EXPECT_EQ(320 * 1440 / GetDeviceCaps(dc, LOGPIXELSX), 4800);
    ASSERT_TRUE(SetLogicalDpi(120, 144));
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 120);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 144);
    EXPECT_FALSE(SetLogicalDpi(0, 96));
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 120);
    SetLogicalDpi(96, 96);
    DeleteDC(dc);
}

TEST(GdiPixels, DrawPixelsScalesAFrameIntoTheDestinationOnly) {
    std::vector<std::uint32_t> frame(4 * 2, 0x00336699u);
    Canvas c(12, 12);
    const PixelView view{frame.data(), 4, 2, 16};
    ASSERT_TRUE(DrawPixels(c.Dc, RECT{2, 2, 10, 6}, view, RECT{0, 0, 4, 2}));
    EXPECT_EQ(c.At(2, 2), RGB(0x33, 0x66, 0x99));
    EXPECT_EQ(c.At(9, 5), RGB(0x33, 0x66, 0x99));
    EXPECT_EQ(c.At(10, 5), RGB(0, 0, 0));
    EXPECT_EQ(c.At(9, 6), RGB(0, 0, 0));
    EXPECT_FALSE(DrawPixels(c.Dc, RECT{0, 0, 4, 4}, PixelView{frame.data(), 4, 2, 8}, RECT{0, 0, 4, 2}));
    EXPECT_FALSE(DrawPixels(c.Dc, RECT{0, 0, 4, 4}, view, RECT{0, 0, 5, 2}));  // beyond the frame
}

TEST(GdiPixels, ImageSavesAPngThatReadsBackTheSame) {
    Image image(3, 2);
    image.SetPixelAt(0, 0, RGB(255, 0, 0));
    image.SetPixelAt(2, 1, RGB(0, 0, 255));
    const std::string path = TempPath("image.png");
    ASSERT_TRUE(image.SavePng(path));
    cairo_surface_t* read = cairo_image_surface_create_from_png(path.c_str());
    const Image back = ImageFromSurface(read);
    cairo_surface_destroy(read);
    std::remove(path.c_str());
    ASSERT_EQ(back.Width(), 3);
    ASSERT_EQ(back.Height(), 2);
    EXPECT_EQ(back.PixelAt(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(back.PixelAt(2, 1), RGB(0, 0, 255));
    EXPECT_EQ(back.PixelAt(3, 0), CLR_INVALID);
    EXPECT_FALSE(Image().SavePng(path));
    EXPECT_FALSE(image.SavePng("/nonexistent-folder/x.png"));
}

TEST(GdiResources, BitmapsRegisteredByAModuleLoadAsCopies) {
    HINSTANCE self = ThisModuleInstance();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self, GetModuleInstance(reinterpret_cast<const void*>(&TempPath)));
    EXPECT_NE(self, GetModuleInstance(reinterpret_cast<const void*>(&cairo_create)));

    const std::array<std::uint32_t, 6> pixels{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x808080};
    {
        BitmapResource strip(self, 201, 3, 2, pixels);
        ASSERT_TRUE(strip.Registered());
        EXPECT_FALSE(RegisterBitmapResource(self, 201, 3, 2, pixels));  // the id is taken

        HBITMAP a = LoadBitmapA(self, MAKEINTRESOURCE(201));
        HBITMAP b = LoadBitmap(self, 201);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
        BITMAP info;
        ASSERT_EQ(GetObject(a, sizeof info, &info), static_cast<int>(sizeof info));
        EXPECT_EQ(info.bmWidth, 3);
        EXPECT_EQ(info.bmHeight, 2);
        const Image image = GetBitmapImage(a);
        EXPECT_EQ(image.PixelAt(0, 0), RGB(255, 0, 0));
        EXPECT_EQ(image.PixelAt(2, 1), RGB(128, 128, 128));
        DeleteObject(a);
        DeleteObject(b);
        EXPECT_EQ(LoadBitmap(self, 202), nullptr);
        EXPECT_EQ(LoadBitmap(nullptr, 201), nullptr);
    }
    EXPECT_EQ(LoadBitmap(self, 201), nullptr);  // the registration went with its owner
    EXPECT_FALSE(RegisterBitmapResource(self, 203, 3, 2, std::span(pixels).first(5)));
}

TEST(GdiResources, PngBytesRegisterAndGarbageIsRefused) {
    Image source(4, 3);
    source.SetPixelAt(3, 2, RGB(1, 2, 3));
    const std::string path = TempPath("resource.png");
    ASSERT_TRUE(source.SavePng(path));
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> png{std::istreambuf_iterator<char>(in), {}};
    std::remove(path.c_str());

    HINSTANCE self = ThisModuleInstance();
    BitmapResource resource(self, 300, png);
    ASSERT_TRUE(resource.Registered());
    HBITMAP loaded = LoadBitmap(self, 300);
    EXPECT_EQ(GetBitmapImage(loaded).PixelAt(3, 2), RGB(1, 2, 3));
    DeleteObject(loaded);

    std::vector<std::uint8_t> truncated(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2));
    EXPECT_FALSE(RegisterBitmapResource(self, 301, truncated));
    const std::vector<std::uint8_t> garbage(64, 0x42);
    EXPECT_FALSE(RegisterBitmapResource(self, 302, garbage));
}

TEST(GdiText, InkIsTheTextColourOnlyAndStaysInsideTheRectangle) {
    Canvas c(200, 60, RGB(255, 255, 255));
    EXPECT_EQ(SetTextColor(c.Dc, RGB(200, 0, 0)), RGB(0, 0, 0)) << "new contexts draw black text";
    RECT box{20, 10, 180, 50};
    const int height = DrawText(c.Dc, "Hello, page", -1, &box, DT_LEFT);
    ASSERT_GT(height, 8);
    const Ink ink = FindInk(c, 200, 60, RGB(255, 255, 255), RGB(200, 0, 0));
    EXPECT_GT(ink.Pixels, 40);
    EXPECT_TRUE(ink.OnlyInkColour) << "text is aliased: no blended pixels";
    EXPECT_TRUE(Within(ink.Bounds, Extent(c.Dc, "Hello, page", box))) << "the ink lies in the laid-out extent";
    EXPECT_LE(ink.Bounds.bottom, box.top + height);

    // A text wider than its rectangle is cut at the rectangle, unless told not to be.
    Canvas narrow(200, 60, RGB(255, 255, 255));
    RECT small{10, 10, 40, 50};
    ASSERT_GT(DrawText(narrow.Dc, "Overflowing", -1, &small, 0), 0);
    EXPECT_TRUE(Within(FindInk(narrow, 200, 60, RGB(255, 255, 255), 0).Bounds, small));
    ASSERT_GT(DrawText(narrow.Dc, "Overflowing", -1, &small, DT_NOCLIP), 0);
    EXPECT_GT(FindInk(narrow, 200, 60, RGB(255, 255, 255), 0).Bounds.right, small.right);
}

TEST(GdiText, LinesBreakAtNewlinesAndBetweenWordsAndAlign) {
    Canvas c(300, 200, RGB(255, 255, 255));
    const RECT wide{0, 0, 300, 200};
    const int line = Extent(c.Dc, "one", wide).bottom;
    ASSERT_GT(line, 8);
    EXPECT_EQ(Extent(c.Dc, "one two three", wide, DT_WORDBREAK).bottom, line) << "it fits on one line";
    EXPECT_EQ(Extent(c.Dc, "one\ntwo\r\nthree", wide).bottom, 3 * line);
    EXPECT_EQ(Extent(c.Dc, "one\ntwo", wide, DT_SINGLELINE).bottom, line);
    EXPECT_EQ(Extent(c.Dc, "", wide).bottom, line) << "empty text is one empty line";

    const int word = Extent(c.Dc, "one two", wide).right;
    const RECT column{0, 0, word + 2, 200};
    const RECT wrapped = Extent(c.Dc, "one two three", column, DT_WORDBREAK);
    EXPECT_EQ(wrapped.bottom, 2 * line) << "\"one two\" and \"three\"";
    EXPECT_LE(wrapped.right, column.right);
    EXPECT_EQ(Extent(c.Dc, "one two three", column).bottom, line) << "no wrapping without DT_WORDBREAK";
    EXPECT_EQ(Extent(c.Dc, "unbreakable", RECT{0, 0, 5, 200}, DT_WORDBREAK).bottom, line)
        << "a word wider than the rectangle keeps its own line";

    RECT right{0, 0, 300, 40};
    DrawText(c.Dc, "end", -1, &right, DT_RIGHT);
    const Ink atRight = FindInk(c, 300, 200, RGB(255, 255, 255), 0);
    EXPECT_GE(atRight.Bounds.right, 300 - 3);
    EXPECT_GE(atRight.Bounds.left, 300 - Extent(c.Dc, "end", wide).right);
}

TEST(GdiText, FontsFollowTheirHeightAndSelectRestoreAndDeleteLikeObjects) {
    Canvas c(10, 10);
    const RECT wide{0, 0, 1000, 1000};
    const LOGFONT small = Face("MS Sans Serif", -11);
    const LOGFONT large = Face("DejaVu Sans", -30);
    HFONT smallFont = CreateFontIndirect(&small);
    HFONT largeFont = CreateFontIndirect(&large);
    ASSERT_TRUE(smallFont && largeFont);
    const RECT byDefault = Extent(c.Dc, "Sample text", wide);

    HGDIOBJ previous = SelectObject(c.Dc, smallFont);
    EXPECT_EQ(previous, GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_EQ(Extent(c.Dc, "Sample text", wide), byDefault) << "the stock font is MS Sans Serif at 8 points";
    const LOGFONT standIn = Face("DejaVu Sans", -11);
    HFONT standInFont = CreateFontIndirect(&standIn);
    SelectObject(c.Dc, standInFont);
    EXPECT_EQ(Extent(c.Dc, "Sample text", wide), byDefault) << "MS Sans Serif is drawn in DejaVu Sans";

    const int level = SaveDC(c.Dc);
    SelectObject(c.Dc, largeFont);
    SetTextColor(c.Dc, RGB(1, 2, 3));
    const RECT big = Extent(c.Dc, "Sample text", wide);
    EXPECT_GT(big.bottom, 2 * byDefault.bottom);
    EXPECT_GT(big.right, 2 * byDefault.right);
    EXPECT_FALSE(DeleteObject(largeFont)) << "a selected font stays";
    ASSERT_TRUE(RestoreDC(c.Dc, level));
    EXPECT_EQ(Extent(c.Dc, "Sample text", wide), byDefault);
    EXPECT_EQ(SetTextColor(c.Dc, 0), RGB(0, 0, 0)) << "the text colour is restored with the font";
    EXPECT_TRUE(DeleteObject(largeFont));

    // A positive height is the cell: the line is that tall.
    const LOGFONT cell = Face("", 20);
    HFONT cellFont = CreateFontIndirect(&cell);
    SelectObject(c.Dc, cellFont);
    EXPECT_NEAR(Extent(c.Dc, "Sample text", wide).bottom, 20, 1);
    SelectObject(c.Dc, previous);
    EXPECT_TRUE(DeleteObject(cellFont));
    EXPECT_TRUE(DeleteObject(smallFont));
    EXPECT_TRUE(DeleteObject(standInFont));

    const LOGFONT huge = Face("DejaVu Sans", -(kMaxBitmapExtent + 1));
    EXPECT_EQ(CreateFontIndirect(&huge), nullptr);
    EXPECT_EQ(CreateFontIndirect(nullptr), nullptr);
}

TEST(GdiText, BadTextFormatsAndHandlesDrawNothingAndReturnZero) {
    Canvas c(100, 30, RGB(255, 255, 255));
    RECT box{0, 0, 100, 30};
    EXPECT_EQ(DrawText(c.Dc, "caf\xC3", -1, &box, 0), 0) << "a cut UTF-8 sequence";
    EXPECT_EQ(DrawText(c.Dc, "\xFF\xFE text", -1, &box, 0), 0);
    EXPECT_EQ(DrawText(c.Dc, "text", -1, &box, 0x4), 0) << "vertical centring is not supported";
    EXPECT_EQ(DrawText(c.Dc, nullptr, -1, &box, 0), 0);
    EXPECT_EQ(DrawText(c.Dc, "text", -1, nullptr, 0), 0);
    EXPECT_EQ(DrawText(c.Dc, "text", -2, &box, 0), 0);
    HDC gone = CreateCompatibleDC(nullptr);
    DeleteDC(gone);
    EXPECT_EQ(DrawText(gone, "text", -1, &box, 0), 0);
    EXPECT_EQ(SetTextColor(gone, 0), CLR_INVALID);
    EXPECT_EQ(FindInk(c, 100, 30, RGB(255, 255, 255), 0).Pixels, 0);

    // A count takes that many bytes; UTF-8 text of any script draws.
    EXPECT_LT(Extent(c.Dc, "Hel", box).right, Extent(c.Dc, "Hello", box).right);
    RECT counted = box;
    DrawText(c.Dc, "Hello", 3, &counted, DT_CALCRECT);
    EXPECT_EQ(counted.right, Extent(c.Dc, "Hel", box).right);
    EXPECT_GT(DrawText(c.Dc, "Größe ½", -1, &box, 0), 0);
    EXPECT_GT(FindInk(c, 100, 30, RGB(255, 255, 255), 0).Pixels, 0);
}

TEST(GdiThreads, ContextsOnSeveralThreadsDrawIndependently) {
    std::vector<std::thread> threads;
    std::array<bool, 4> ok{};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &ok] {
            const COLORREF colour = RGB(static_cast<BYTE>(t * 50), 0, 0);
            Canvas c(16, 16);
            bool good = true;
            for (int i = 0; i < 200; ++i) {
                Fill(c.Dc, RECT{0, 0, 16, 16}, colour);
                Ellipse(c.Dc, 0, 0, 16, 16);
                good = good && c.At(0, 0) == colour;
            }
            ok[static_cast<std::size_t>(t)] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (bool b : ok) EXPECT_TRUE(b);
}
