// The kestravion module: its module object, the factories of the two
// controls and their property pages, their registration, the resources and
// the four exports.

#include "Bitmaps.h"
#include "VideoConsumerCtl.h"
#include "VideoConsumerPpg.h"
#include "VideoSourceCtl.h"
#include "VideoSourcePpg.h"
#include "kestravion/KestravionIds.h"
#include "platform/automation/dialog.h"
#include "platform/automation/registration.h"
#include "platform/gdi/resource.h"

namespace kestravion {

namespace {

constexpr unsigned kSourceTypeName = 1;
constexpr unsigned kSourcePageTypeName = 2;
constexpr unsigned kConsumerTypeName = 3;
constexpr unsigned kConsumerPageTypeName = 4;
constexpr int kSourceToolboxBitmap = 1;
constexpr int kConsumerToolboxBitmap = 2;

// Set client site first, activate when visible (both controls need their
// window as soon as they show), inside-out, no links inside, recompose on
// resize.
constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                              OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 0x20191);

class CKestravionApp : public COleControlModule {};

class CVideoSourceCtrlFactory : public COleObjectFactory {
public:
    CVideoSourceCtrlFactory()
        : COleObjectFactory(CLSID_VideoSourceCtrl, RUNTIME_CLASS(CVideoSourceCtrl), FALSE, kVideoSourceProgId) {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), ProgId());
        return AfxOleRegisterControlClass(Module(), ClassId(), ProgId(), kSourceTypeName, kSourceToolboxBitmap,
                                          afxRegApartmentThreading, kMiscStatus, LIBID_KESTRAVIONLib, 1, 0);
    }
};

class CVideoConsumerCtrlFactory : public COleObjectFactory {
public:
    CVideoConsumerCtrlFactory()
        : COleObjectFactory(CLSID_VideoConsumerCtrl, RUNTIME_CLASS(CVideoConsumerCtrl), FALSE, kVideoConsumerProgId) {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), ProgId());
        return AfxOleRegisterControlClass(Module(), ClassId(), ProgId(), kConsumerTypeName, kConsumerToolboxBitmap,
                                          afxRegApartmentThreading, kMiscStatus, LIBID_KESTRAVIONLib, 1, 0);
    }
};

// A property page class: registered with its type name and no ProgID.
class CPropPageFactory : public COleObjectFactory {
public:
    CPropPageFactory(const CLSID& clsid, CRuntimeClass runtimeClass, const char* progId, unsigned typeName)
        : COleObjectFactory(clsid, runtimeClass, FALSE, progId), TypeName(typeName) {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), nullptr);
        return AfxOleRegisterPropertyPageClass(Module(), ClassId(), TypeName);
    }

private:
    unsigned TypeName;
};

CKestravionApp theApp;
CVideoSourceCtrlFactory theSourceFactory;
CVideoConsumerCtrlFactory theConsumerFactory;
CPropPageFactory theSourcePageFactory(CLSID_VideoSourcePropPage, RUNTIME_CLASS(CVideoSourcePropPage),
                                      kVideoSourcePageProgId, kSourcePageTypeName);
CPropPageFactory theConsumerPageFactory(CLSID_VideoConsumerPropPage, RUNTIME_CLASS(CVideoConsumerPropPage),
                                        kVideoConsumerPageProgId, kConsumerPageTypeName);

const StringResources kStrings(ThisModuleInstance(), {{kSourceTypeName, "VideoSource Control"},
                                                      {kSourcePageTypeName, "VideoSource Property Page"},
                                                      {kConsumerTypeName, "VideoConsumer Control"},
                                                      {kConsumerPageTypeName, "VideoConsumer Property Page"},
                                                      {CVideoSourcePropPage::kCaptionId, "General"},
                                                      {CVideoConsumerPropPage::kCaptionId, "General"}});

const BitmapResource kSourceToolbox(ThisModuleInstance(), kSourceToolboxBitmap, kToolboxWidth, kToolboxHeight,
                                    SourceToolboxPixels());
const BitmapResource kConsumerToolbox(ThisModuleInstance(), kConsumerToolboxBitmap, kToolboxWidth, kToolboxHeight,
                                      ConsumerToolboxPixels());
const BitmapResource kButtonStrip(ThisModuleInstance(), kStripBitmapId, kStripBitmapWidth, kButtonSize,
                                  ButtonStripPixels());

// The pages have nothing to set yet: their dialogs are empty.
constexpr SIZE kPageSize{250, 62};
const DialogResource kSourcePageDialog(ThisModuleInstance(), CVideoSourcePropPage::kDialogId,
                                       {kPageSize, "MS Sans Serif", 8, {}});
const DialogResource kConsumerPageDialog(ThisModuleInstance(), CVideoConsumerPropPage::kDialogId,
                                         {kPageSize, "MS Sans Serif", 8, {}});

const TypeLibResource kTypeLib(
    ThisModuleInstance(),
    TypeLibDeclaration{LIBID_KESTRAVIONLib,
                       "KESTRAVIONLib",
                       1,
                       0,
                       "Kestravion video controls",
                       "Kestravion.hlp",
                       {ClassDeclaration{"VideoSource", CLSID_VideoSourceCtrl, "VideoSource Control",
                                         InterfaceDeclaration{"_DVideoSource", IID_DVideoSource,
                                                              "Dispatch interface for VideoSource Control"},
                                         &CVideoSourceCtrl::DispatchMap,
                                         InterfaceDeclaration{"_DVideoSourceEvents", IID_DVideoSourceEvents,
                                                              "Event interface for VideoSource Control"},
                                         &CVideoSourceCtrl::EventMap},
                        ClassDeclaration{"VideoConsumer", CLSID_VideoConsumerCtrl, "VideoConsumer Control",
                                         InterfaceDeclaration{"_DVideoConsumer", IID_DVideoConsumer,
                                                              "Dispatch interface for VideoConsumer Control"},
                                         &CVideoConsumerCtrl::DispatchMap,
                                         InterfaceDeclaration{"_DVideoConsumerEvents", IID_DVideoConsumerEvents,
                                                              "Event interface for VideoConsumer Control"},
                                         &CVideoConsumerCtrl::EventMap}}});

}  // namespace

}  // namespace kestravion

OCX_MODULE_EXPORTS(kestravion::LIBID_KESTRAVIONLib, 1, 0)
