#pragma once

#include <string>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/resource.h"

// Dialog templates a module carries, for its property pages: a size, a font
// and static texts. A page constructed with dialog id N shows dialog N of its
// module when it is activated, and reports the dialog's size in pixels.
//
// Coordinates are dialog units, as in a resource script: a horizontal unit is
// a quarter of the dialog font's average character width and a vertical unit
// an eighth of its line height, so a layout made for one font still holds its
// texts when they are drawn in another (see MapDialogRect).
//
//     const platform::DialogResource kPageDialog(
//         platform::ThisModuleInstance(), 200,
//         {{250, 62}, "MS Sans Serif", 8, {{{26, 25, 224, 33}, "No properties to set here yet."}}});
namespace platform {

// One static text: drawn from its rectangle's top left, broken between words
// to fit the rectangle's width and clipped to the rectangle.
struct DialogText {
    RECT Bounds;       // dialog units, in the dialog's client area
    std::string Text;  // UTF-8
};

struct DialogTemplate {
    SIZE Size;  // dialog units
    // A font name as CreateFontIndirect takes it: "MS Sans Serif" is drawn in
    // DejaVu Sans. At most LF_FACESIZE - 1 bytes are used.
    std::string FontName = "MS Sans Serif";
    int PointSize = 8;              // at the logical dots per inch (GetDeviceCaps LOGPIXELSY)
    std::vector<DialogText> Texts;  // may be empty: the dialog shows its background only
};

// What a dialog is painted with.
inline constexpr COLORREF kDialogBackground = RGB(240, 240, 240);
inline constexpr COLORREF kDialogTextColour = RGB(0, 0, 0);

// The largest dialog accepted, in dialog units a side, and its font sizes.
inline constexpr LONG kMaxDialogUnits = 4096;
inline constexpr int kMaxDialogPointSize = 144;

// Registers dialog `id` of `module` for as long as it lives; a module keeps
// one per dialog as a static object. Registered() is false (nothing is
// registered) for a null module, an id the module already has, a size outside
// 0..kMaxDialogUnits or a point size outside 1..kMaxDialogPointSize.
class DialogResource {
public:
    DialogResource(HINSTANCE module, unsigned id, DialogTemplate dialog) noexcept;
    ~DialogResource();
    DialogResource(const DialogResource&) = delete;
    DialogResource& operator=(const DialogResource&) = delete;

    bool Registered() const noexcept { return Ok; }

private:
    HINSTANCE Module;
    unsigned Id;
    bool Ok;
};

// A copy of dialog `id` of `module`; false when the module has no such dialog.
bool FindDialogResource(HINSTANCE module, unsigned id, DialogTemplate& dialog) noexcept;

// Converts rect from the dialog's units to pixels: x times the average width
// of the dialog font's letters A-Z and a-z over 4, y times its line height
// over 8, each rounded to the nearest pixel. FALSE (rect untouched) for a null
// rect or when the font cannot be measured.
BOOL MapDialogRect(const DialogTemplate& dialog, RECT* rect) noexcept;

// Paints the dialog into dc: kDialogBackground over `client`, then every text
// in the dialog's font and kDialogTextColour, placed from dc's origin. The
// context's selected objects and text colour are left as they were. FALSE for
// a bad dc.
BOOL DrawDialog(HDC dc, const DialogTemplate& dialog, const RECT& client) noexcept;

}  // namespace platform
