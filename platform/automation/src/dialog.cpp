// Dialog templates: the registry of a module's dialogs, dialog units and
// painting a dialog.

#include "platform/automation/dialog.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace platform {

namespace {

struct Registry {
    std::mutex Lock;
    std::map<std::pair<HINSTANCE, unsigned>, DialogTemplate> Dialogs;
};

Registry& Dialogs() {
    // Never destroyed: modules unregister from their own static destructors,
    // which may run after ours.
    static auto* registry = new Registry;
    return *registry;
}

// a * b / c rounded to the nearest integer, halves away from zero, kept far
// enough inside LONG that a rectangle's width still fits.
LONG Scale(LONG a, LONG b, LONG c) {
    constexpr double kLimit = 1 << 30;
    const double exact = std::clamp(static_cast<double>(a) * b / c, -kLimit, kLimit);
    return static_cast<LONG>(std::lround(exact));
}

// The dialog's font, created for one use and deleted after it; BaseX and
// BaseY are its dialog base units in pixels.
class DialogFont {
public:
    explicit DialogFont(const DialogTemplate& dialog) {
        HDC screen = CreateCompatibleDC(nullptr);
        if (!screen) return;
        LOGFONT font;
        font.lfHeight = -Scale(dialog.PointSize, GetDeviceCaps(screen, LOGPIXELSY), 72);
        font.lfWeight = FW_NORMAL;
        std::strncpy(font.lfFaceName, dialog.FontName.c_str(), LF_FACESIZE - 1);
        Font = CreateFontIndirect(&font);
        if (Font) {
            HGDIOBJ previous = SelectObject(screen, Font);
            RECT letters{0, 0, 0, 0};
            static constexpr const char* kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
            if (DrawText(screen, kLetters, -1, &letters, DT_SINGLELINE | DT_CALCRECT) > 0) {
                BaseX = (letters.right / 26 + 1) / 2;
                BaseY = letters.bottom;
            }
            SelectObject(screen, previous);
        }
        DeleteDC(screen);
    }
    ~DialogFont() {
        if (Font) DeleteObject(Font);
    }
    DialogFont(const DialogFont&) = delete;
    DialogFont& operator=(const DialogFont&) = delete;

    bool Ok() const { return Font && BaseX > 0 && BaseY > 0; }
    RECT ToPixels(const RECT& units) const {
        return RECT{Scale(units.left, BaseX, 4), Scale(units.top, BaseY, 8), Scale(units.right, BaseX, 4),
                    Scale(units.bottom, BaseY, 8)};
    }

    HFONT Font = nullptr;
    int BaseX = 0;
    int BaseY = 0;
};

bool Acceptable(const DialogTemplate& dialog) {
    return dialog.Size.cx >= 0 && dialog.Size.cy >= 0 && dialog.Size.cx <= kMaxDialogUnits &&
           dialog.Size.cy <= kMaxDialogUnits && dialog.PointSize >= 1 && dialog.PointSize <= kMaxDialogPointSize;
}

bool Register(HINSTANCE module, unsigned id, DialogTemplate dialog) noexcept {
    if (!module || !Acceptable(dialog)) return false;
    try {
        Registry& r = Dialogs();
        std::lock_guard lock(r.Lock);
        return r.Dialogs.emplace(std::make_pair(module, id), std::move(dialog)).second;
    } catch (...) {
        return false;
    }
}

}  // namespace

DialogResource::DialogResource(HINSTANCE module, unsigned id, DialogTemplate dialog) noexcept
    : Module(module), Id(id), Ok(Register(module, id, std::move(dialog))) {}

DialogResource::~DialogResource() {
    if (!Ok) return;
    Registry& r = Dialogs();
    std::lock_guard lock(r.Lock);
    r.Dialogs.erase(std::make_pair(Module, Id));
}

bool FindDialogResource(HINSTANCE module, unsigned id, DialogTemplate& dialog) noexcept {
    try {
        Registry& r = Dialogs();
        std::lock_guard lock(r.Lock);
        const auto it = r.Dialogs.find(std::make_pair(module, id));
        if (it == r.Dialogs.end()) return false;
        dialog = it->second;
        return true;
    } catch (...) {
        return false;
    }
}

BOOL MapDialogRect(const DialogTemplate& dialog, RECT* rect) noexcept {
    if (!rect) return FALSE;
    const DialogFont font(dialog);
    if (!font.Ok()) return FALSE;
    *rect = font.ToPixels(*rect);
    return TRUE;
}

BOOL DrawDialog(HDC dc, const DialogTemplate& dialog, const RECT& client) noexcept {
    HBRUSH background = CreateSolidBrush(kDialogBackground);
    const int filled = FillRect(dc, &client, background);
    DeleteObject(background);
    if (!filled) return FALSE;
    if (dialog.Texts.empty()) return TRUE;
    const DialogFont font(dialog);
    if (!font.Ok()) return FALSE;
    const int saved = SaveDC(dc);
    SelectObject(dc, font.Font);
    SetTextColor(dc, kDialogTextColour);
    for (const DialogText& text : dialog.Texts) {
        RECT bounds = font.ToPixels(text.Bounds);
        DrawText(dc, text.Text.c_str(), -1, &bounds, DT_LEFT | DT_WORDBREAK);
    }
    RestoreDC(dc, saved);
    return TRUE;
}

}  // namespace platform
