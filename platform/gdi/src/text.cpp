// Text in a font: the face a font name stands for, line layout and drawing
// with Cairo's own text calls (no shaping: the texts drawn here are labels).

#include <cairo.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gdi_internal.h"

namespace platform {

namespace {

// The dialog face of the platform the controls come from is not installed
// here; DejaVu Sans (fonts-dejavu-core) is a plain sans serif of about its
// proportions.
constexpr const char* kStandInFace = "DejaVu Sans";

constexpr UINT kSupportedFormats = DT_CENTER | DT_RIGHT | DT_WORDBREAK | DT_SINGLELINE | DT_NOCLIP | DT_CALCRECT;

std::string FamilyOf(const LOGFONT& font) {
    if (font.lfFaceName[0] == '\0' || strcasecmp(font.lfFaceName, "MS Sans Serif") == 0) return kStandInFace;
    return font.lfFaceName;
}

struct LineMetrics {
    double Ascent = 0;  // from a line's top to its baseline, whole pixels
    int Height = 0;     // ascent plus descent, whole pixels
};

// Sets cr's font to `font`: aliased glyphs (every inked pixel is the text
// colour), fully hinted with whole-pixel advances, so a text lays out the
// same way every time.
LineMetrics SelectFont(cairo_t* cr, const LOGFONT& font, int dpiY) {
    cairo_select_font_face(cr, FamilyOf(font).c_str(),
                           font.lfItalic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           font.lfWeight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_NONE);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_FULL);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);

    double size = 0;
    if (font.lfHeight < 0) {
        size = -font.lfHeight;
    } else if (font.lfHeight == 0) {
        size = std::round(8.0 * dpiY / 72.0);
    } else {
        // A cell height: scale the em so that ascent plus descent come to it.
        cairo_set_font_size(cr, font.lfHeight);
        cairo_font_extents_t extents;
        cairo_font_extents(cr, &extents);
        const double cell = extents.ascent + extents.descent;
        size = cell > 0 ? font.lfHeight * font.lfHeight / cell : font.lfHeight;
    }
    cairo_set_font_size(cr, std::max(size, 1.0));
    cairo_font_extents_t extents;
    cairo_font_extents(cr, &extents);
    LineMetrics metrics;
    metrics.Ascent = std::ceil(extents.ascent);
    metrics.Height = static_cast<int>(metrics.Ascent + std::ceil(extents.descent));
    return metrics;
}

double WidthOf(cairo_t* cr, const std::string& text) {
    if (text.empty()) return 0;
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

struct Line {
    std::string Text;
    double Width = 0;
};

// Greedy word wrap of one paragraph: words are what the spaces separate, so
// runs of spaces inside a line stay as they were written.
void WrapParagraph(cairo_t* cr, std::string_view paragraph, double maxWidth, std::vector<Line>& lines) {
    Line current;
    bool empty = true;
    std::size_t start = 0;
    while (true) {
        const std::size_t space = paragraph.find(' ', start);
        const std::string_view word =
            paragraph.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start);
        std::string candidate = empty ? std::string(word) : current.Text + " " + std::string(word);
        const double width = WidthOf(cr, candidate);
        if (empty || width <= maxWidth) {
            current.Text = std::move(candidate);
            current.Width = width;
        } else {
            lines.push_back(std::move(current));
            current = Line{std::string(word), 0};
            current.Width = WidthOf(cr, current.Text);
        }
        empty = false;
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    lines.push_back(std::move(current));
}

std::vector<Line> Layout(cairo_t* cr, std::string_view text, UINT format, double maxWidth) {
    std::vector<Line> lines;
    if (format & DT_SINGLELINE) {
        lines.push_back(Line{std::string(text), WidthOf(cr, std::string(text))});
        return lines;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        std::string_view paragraph =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!paragraph.empty() && paragraph.back() == '\r') paragraph.remove_suffix(1);
        if (format & DT_WORDBREAK) {
            WrapParagraph(cr, paragraph, maxWidth, lines);
        } else {
            lines.push_back(Line{std::string(paragraph), WidthOf(cr, std::string(paragraph))});
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace

int DrawText(HDC dc, const char* text, int count, RECT* rect, UINT format) noexcept {
    if (!text || !rect || count < -1 || (format & ~kSupportedFormats) != 0) return 0;
    const int dpiY = GetDeviceCaps(dc, LOGPIXELSY);
    if (dpiY == 0) return 0;  // a bad dc
    // The text ends at its first NUL in any case: Cairo reads it as a C string.
    const std::string_view all(text, count < 0 ? std::strlen(text) : strnlen(text, static_cast<std::size_t>(count)));
    int height = 0;
    bool ok = false;
    const BOOL called = DrawTextWithCairo(dc, [&](cairo_t* cr, const LOGFONT& font, COLORREF colour) {
        const LineMetrics metrics = SelectFont(cr, font, dpiY);
        const double width = static_cast<double>(rect->right) - rect->left;
        const std::vector<Line> lines = Layout(cr, all, format, width);
        // Text that is not UTF-8 puts the context in error while it is measured.
        if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return;
        ok = true;
        height = static_cast<int>(lines.size()) * metrics.Height;
        if (format & DT_CALCRECT) {
            double widest = 0;
            for (const Line& line : lines) widest = std::max(widest, line.Width);
            rect->right = rect->left + static_cast<LONG>(std::ceil(widest));
            rect->bottom = rect->top + height;
            return;
        }
        if (!(format & DT_NOCLIP)) {
            cairo_rectangle(cr, rect->left, rect->top, width, static_cast<double>(rect->bottom) - rect->top);
            cairo_clip(cr);
        }
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        cairo_set_source_rgb(cr, GetRValue(colour) / 255.0, GetGValue(colour) / 255.0, GetBValue(colour) / 255.0);
        double top = rect->top;
        for (const Line& line : lines) {
            double x = rect->left;
            if (format & DT_CENTER) {
                x += std::floor((width - line.Width) / 2);
            } else if (format & DT_RIGHT) {
                x = rect->right - line.Width;
            }
            if (!line.Text.empty()) {
                cairo_move_to(cr, x, top + metrics.Ascent);
                cairo_show_text(cr, line.Text.c_str());
            }
            top += metrics.Height;
        }
    });
    return called && ok ? height : 0;
}

}  // namespace platform
