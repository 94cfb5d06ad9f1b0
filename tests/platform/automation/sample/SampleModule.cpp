// The sample control module: the module object, the two factories, the
// resources and the four exports, as a real control module has them.
#include <atomic>

#include "SampleCtl.h"
#include "platform/automation/dialog.h"
#include "platform/automation/registration.h"

namespace sample {

namespace {

std::atomic<int> InitCount{0};
std::atomic<int> ExitCount{0};

class CSampleApp : public COleControlModule {
public:
    BOOL InitInstance() override {
        InitCount.fetch_add(1);
        return COleControlModule::InitInstance();
    }
    int ExitInstance() override {
        ExitCount.fetch_add(1);
        return COleControlModule::ExitInstance();
    }
};

class CSampleCtrlFactory : public COleObjectFactory {
public:
    CSampleCtrlFactory() : COleObjectFactory(CLSID_SampleCtrl, RUNTIME_CLASS(CSampleCtrl), FALSE, kSampleProgId) {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), ProgId());
        return AfxOleRegisterControlClass(Module(), ClassId(), ProgId(), 1, 1, afxRegApartmentThreading,
                                          kSampleMiscStatus, LIBID_SampleLib, 1, 0);
    }
};

class CSamplePageFactory : public COleObjectFactory {
public:
    CSamplePageFactory()
        : COleObjectFactory(CLSID_SamplePropPage, RUNTIME_CLASS(CSamplePropPage), FALSE, "SAMPLE.SamplePropPage.1") {}

    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), nullptr);
        return AfxOleRegisterPropertyPageClass(Module(), ClassId(), 2);
    }
};

CSampleApp theApp;
CSampleCtrlFactory theCtrlFactory;
CSamplePageFactory thePageFactory;

const StringResources kStrings(ThisModuleInstance(),
                               {{1, "Sample Control"}, {2, "Sample Property Page"}, {300, "General"}});

// The property page's dialog: one line of text, no controls.
const DialogResource kPageDialog(ThisModuleInstance(), 300,
                                 {{250, 62}, "MS Sans Serif", 8, {{kSamplePageTextBounds, kSamplePageText}}});

const TypeLibResource kTypeLib(
    ThisModuleInstance(),
    TypeLibDeclaration{
        LIBID_SampleLib,
        "SAMPLELib",
        1,
        0,
        "sample control module",
        "sample.hlp",
        {ClassDeclaration{
            "Sample", CLSID_SampleCtrl, "Sample Control",
            InterfaceDeclaration{"_DSample", IID_DSample, "Dispatch interface for Sample Control"},
            &CSampleCtrl::DispatchMap,
            InterfaceDeclaration{"_DSampleEvents", IID_DSampleEvents, "Event interface for Sample Control"},
            &CSampleCtrl::EventMap}}});

}  // namespace

}  // namespace sample

OCX_MODULE_EXPORTS(sample::LIBID_SampleLib, 1, 0)

// For the tests: how often the module object was started and stopped.
extern "C" __attribute__((visibility("default"))) int SampleModuleInitCount() { return sample::InitCount.load(); }
extern "C" __attribute__((visibility("default"))) int SampleModuleExitCount() { return sample::ExitCount.load(); }
