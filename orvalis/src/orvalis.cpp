// The orvalis module: its module object, the factories of the control and of
// its property page, their registration, the resources and the four exports.

#include <array>
#include <cstdint>

#include "OrvalisCtl.h"
#include "OrvalisPpg.h"
#include "platform/automation/dialog.h"
#include "platform/automation/registration.h"
#include "platform/gdi/resource.h"

namespace orvalis {

namespace {

constexpr unsigned kControlTypeName = 1;
constexpr unsigned kPageTypeName = 2;
constexpr unsigned kToolboxBitmapId = 1;

// Set client site first, invisible at run time, inside-out, no links inside,
// recompose on resize; not "activate when visible": the control has nothing
// to show a user.
constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_INSIDEOUT |
                              OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 0x20491);

class COrvalisApp : public COleControlModule {};

class COrvalisCtrlFactory : public COleObjectFactory {
public:
    COrvalisCtrlFactory()
        : COleObjectFactory(CLSID_OrvalisCtrl, RUNTIME_CLASS(COrvalisCtrl), FALSE, kOrvalisCtrlProgId) {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), ProgId());
        return AfxOleRegisterControlClass(Module(), ClassId(), ProgId(), kControlTypeName, kToolboxBitmapId,
                                          afxRegApartmentThreading, kMiscStatus, LIBID_ORVALISLib, 1, 0);
    }
};

class COrvalisPropPageFactory : public COleObjectFactory {
public:
    COrvalisPropPageFactory()
        : COleObjectFactory(CLSID_OrvalisPropPage, RUNTIME_CLASS(COrvalisPropPage), FALSE, kOrvalisPropPageProgId) {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), nullptr);
        return AfxOleRegisterPropertyPageClass(Module(), ClassId(), kPageTypeName);
    }
};

// The toolbox picture, 16 x 15: an eighth note on the toolbox's grey.
constexpr int kToolboxWidth = 16;
constexpr int kToolboxHeight = 15;
constexpr std::size_t kToolboxPixelCount = static_cast<std::size_t>(kToolboxWidth) * kToolboxHeight;
constexpr std::array<std::uint32_t, kToolboxPixelCount> ToolboxPixels() {
    constexpr const char* kRows[kToolboxHeight] = {
        "................", ".........##.....", ".........#.#....", ".........#..#...", ".........#...#..",
        ".........#...#..", ".........#......", ".........#......", ".........#......", ".........#......",
        ".....#####......", "....######......", "....#####.......", ".....###........", "................",
    };
    std::array<std::uint32_t, kToolboxPixelCount> pixels{};
    for (int y = 0; y < kToolboxHeight; ++y) {
        for (int x = 0; x < kToolboxWidth; ++x) {
            pixels[y * kToolboxWidth + x] = kRows[y][x] == '#' ? 0x00000000u : 0x00C0C0C0u;
        }
    }
    return pixels;
}
constexpr auto kToolboxPixels = ToolboxPixels();

COrvalisApp theApp;
COrvalisCtrlFactory theCtrlFactory;
COrvalisPropPageFactory thePropPageFactory;

const StringResources kStrings(ThisModuleInstance(), {{kControlTypeName, "Orvalis Control"},
                                                      {kPageTypeName, "Orvalis Property Page"},
                                                      {COrvalisPropPage::kCaptionId, "General"}});

// The property page's dialog: a placeholder line, no controls.
const DialogResource kPageDialog(ThisModuleInstance(), COrvalisPropPage::kDialogId,
                                 {{250, 62},
                                  "MS Sans Serif",
                                  8,
                                  {{{26, 25, 224, 41}, "The Orvalis Control has no properties to set on this page."}}});

const BitmapResource kToolboxBitmap(ThisModuleInstance(), kToolboxBitmapId, kToolboxWidth, kToolboxHeight,
                                    kToolboxPixels);

const TypeLibResource kTypeLib(
    ThisModuleInstance(),
    TypeLibDeclaration{
        LIBID_ORVALISLib,
        "ORVALISLib",
        1,
        0,
        "orvalis ActiveX Control module",
        "orvalis.hlp",
        {ClassDeclaration{
            "Orvalis", CLSID_OrvalisCtrl, "Orvalis Control",
            InterfaceDeclaration{"_DOrvalis", IID_DOrvalis, "Dispatch interface for Orvalis Control"},
            &COrvalisCtrl::DispatchMap,
            InterfaceDeclaration{"_DOrvalisEvents", IID_DOrvalisEvents, "Event interface for Orvalis Control"},
            &COrvalisCtrl::EventMap}}});

}  // namespace

}  // namespace orvalis

OCX_MODULE_EXPORTS(orvalis::LIBID_ORVALISLib, 1, 0)
