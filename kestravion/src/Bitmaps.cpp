#include "Bitmaps.h"

#include <cstdlib>

#include "kestravion/KestravionIds.h"

namespace kestravion {
namespace {

constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kLight = 0xDFDFDF;
constexpr std::uint32_t kFace = 0xC0C0C0;
constexpr std::uint32_t kShadow = 0x808080;
constexpr std::uint32_t kDark = 0x404040;
constexpr std::uint32_t kGreen = 0x00B000;
constexpr std::uint32_t kYellow = 0xE0B000;
constexpr std::uint32_t kRed = 0xD00000;
constexpr std::uint32_t kDarkRed = 0x900000;

// The inner frame and the sign inside it, in a cell's coordinates.
constexpr int kFrameFirst = 5;
constexpr int kFrameLast = 21;

enum class Sign { Play, Pause, Stop };

class Canvas {
public:
    Canvas(int width, int height, std::uint32_t fill)
        : Width(width), Pixels(static_cast<std::size_t>(width) * height, fill) {}
    void Set(int x, int y, std::uint32_t colour) { Pixels[static_cast<std::size_t>(y) * Width + x] = colour; }
    void Fill(int left, int top, int right, int bottom, std::uint32_t colour) {
        for (int y = top; y <= bottom; ++y) {
            for (int x = left; x <= right; ++x) Set(x, y, colour);
        }
    }
    void Frame(int left, int top, int right, int bottom, std::uint32_t colour) {
        for (int x = left; x <= right; ++x) {
            Set(x, top, colour);
            Set(x, bottom, colour);
        }
        for (int y = top; y <= bottom; ++y) {
            Set(left, y, colour);
            Set(right, y, colour);
        }
    }
    std::vector<std::uint32_t> Take() { return std::move(Pixels); }

private:
    int Width;
    std::vector<std::uint32_t> Pixels;
};

// A two-pixel bevel: light from the top left when raised, from the bottom
// right when sunken.
void Bevel(Canvas& canvas, int left, bool sunken) {
    const int right = left + kButtonSize - 1;
    const int bottom = kButtonSize - 1;
    const std::uint32_t outerLit = sunken ? kDark : kWhite;
    const std::uint32_t innerLit = sunken ? kShadow : kLight;
    const std::uint32_t outerShade = sunken ? kWhite : kDark;
    const std::uint32_t innerShade = sunken ? kLight : kShadow;
    for (int i = 0; i < kButtonSize; ++i) {
        canvas.Set(left + i, 0, outerLit);
        canvas.Set(left, i, outerLit);
        canvas.Set(left + i, bottom, outerShade);
        canvas.Set(right, i, outerShade);
    }
    for (int i = 1; i < kButtonSize - 1; ++i) {
        canvas.Set(left + i, 1, innerLit);
        canvas.Set(left + 1, i, innerLit);
        canvas.Set(left + i, bottom - 1, innerShade);
        canvas.Set(right - 1, i, innerShade);
    }
}

void DrawButton(Canvas& canvas, int left, Sign sign, bool lit) {
    Bevel(canvas, left, lit);
    // Sunken buttons sit one pixel lower and to the right, as pressed keys do.
    const int shift = lit ? 1 : 0;
    const int frameLeft = left + kFrameFirst + shift;
    const int frameRight = left + kFrameLast + shift;
    const int frameTop = kFrameFirst + shift;
    const int frameBottom = kFrameLast + shift;
    const std::uint32_t lamp = sign == Sign::Play ? kGreen : sign == Sign::Pause ? kYellow : kRed;
    if (lit) {
        canvas.Fill(frameLeft, frameTop, frameRight, frameBottom, lamp);
    } else {
        canvas.Frame(frameLeft, frameTop, frameRight, frameBottom, kWhite);
    }
    const int x0 = frameLeft;
    const int y0 = frameTop;
    switch (sign) {
        case Sign::Play:
            // A triangle pointing right, 11 rows high.
            for (int row = 0; row <= 10; ++row) {
                const int reach = 2 * (5 - std::abs(row - 5));
                for (int x = 0; x <= reach; ++x) canvas.Set(x0 + 5 + x, y0 + 3 + row, kWhite);
            }
            break;
        case Sign::Pause:
            canvas.Fill(x0 + 4, y0 + 3, x0 + 6, y0 + 13, kWhite);
            canvas.Fill(x0 + 10, y0 + 3, x0 + 12, y0 + 13, kWhite);
            break;
        case Sign::Stop: canvas.Fill(x0 + 4, y0 + 4, x0 + 12, y0 + 12, lit ? kDarkRed : kShadow); break;
    }
}

}  // namespace

std::vector<std::uint32_t> ButtonStripPixels() {
    Canvas canvas(kStripBitmapWidth, kButtonSize, kFace);
    const Sign signs[kButtonCount] = {Sign::Play, Sign::Pause, Sign::Stop};
    for (int k = 0; k < kButtonCount; ++k) {
        DrawButton(canvas, 2 * k * kButtonSize, signs[k], false);
        DrawButton(canvas, (2 * k + 1) * kButtonSize, signs[k], true);
    }
    return canvas.Take();
}

std::vector<std::uint32_t> SourceToolboxPixels() {
    // A film strip's frame with a green play sign.
    Canvas canvas(kToolboxWidth, kToolboxHeight, kFace);
    canvas.Fill(1, 1, 14, 13, kDark);
    for (int x = 2; x <= 13; x += 3) {
        canvas.Set(x, 2, kWhite);
        canvas.Set(x, 12, kWhite);
    }
    for (int row = 0; row <= 6; ++row) {
        const int reach = 3 - std::abs(row - 3);
        for (int x = 0; x <= reach * 2; ++x) canvas.Set(6 + x, 4 + row, kGreen);
    }
    return canvas.Take();
}

std::vector<std::uint32_t> ConsumerToolboxPixels() {
    // A screen with a blue-to-black gradient on a stand.
    Canvas canvas(kToolboxWidth, kToolboxHeight, kFace);
    canvas.Frame(0, 0, 15, 11, kDark);
    for (int y = 1; y <= 10; ++y) {
        const std::uint32_t blue = static_cast<std::uint32_t>(255 - (y - 1) * 24);
        canvas.Fill(1, y, 14, y, blue);
    }
    canvas.Fill(6, 12, 9, 12, kDark);
    canvas.Fill(4, 13, 11, 14, kDark);
    return canvas.Take();
}

}  // namespace kestravion
