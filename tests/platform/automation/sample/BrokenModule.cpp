// A module whose type library cannot be registered (its member table names
// one member twice): registration must fail with the type-library code and
// leave its class unregistered.
#include "platform/automation/control.h"
#include "platform/automation/registration.h"

namespace broken {

using namespace platform;

inline constexpr CLSID CLSID_BrokenCtrl{0x7E4C0A91, 0x13B2, 0x4F55, {0x9D, 0x20, 0x44, 0x01, 0xBE, 0x6A, 0x70, 0x01}};
inline constexpr IID IID_DBroken{0x7E4C0A91, 0x13B2, 0x4F55, {0x9D, 0x20, 0x44, 0x01, 0xBE, 0x6A, 0x70, 0x02}};
inline constexpr GUID LIBID_BrokenLib{0x7E4C0A91, 0x13B2, 0x4F55, {0x9D, 0x20, 0x44, 0x01, 0xBE, 0x6A, 0x70, 0x03}};

class CBrokenCtrl : public COleControl {
public:
    static const DispatchTable& DispatchMap() {
        static const DispatchTable table{
            Method<VT_I4>("Value", &CBrokenCtrl::Value),
            Method<VT_I4>("value", &CBrokenCtrl::Value),
        };
        return table;
    }
    const DispatchTable& GetDispatchTable() const override { return DispatchMap(); }
    std::int32_t Value() { return 1; }
};

class CBrokenFactory : public COleObjectFactory {
public:
    CBrokenFactory() : COleObjectFactory(CLSID_BrokenCtrl, RUNTIME_CLASS(CBrokenCtrl), FALSE, "BROKEN.BrokenCtrl.1") {}
    BOOL UpdateRegistry(BOOL registering) override {
        if (!registering) return AfxOleUnregisterClass(ClassId(), ProgId());
        return AfxOleRegisterControlClass(Module(), ClassId(), ProgId(), 1, 0, afxRegApartmentThreading, 0,
                                          LIBID_BrokenLib, 1, 0);
    }
};

COleControlModule theApp;
CBrokenFactory theFactory;
const StringResources kStrings(ThisModuleInstance(), {{1, "Broken Control"}});
const TypeLibResource kTypeLib(ThisModuleInstance(),
                               TypeLibDeclaration{LIBID_BrokenLib,
                                                  "BROKENLib",
                                                  1,
                                                  0,
                                                  "",
                                                  "",
                                                  {ClassDeclaration{"Broken",
                                                                    CLSID_BrokenCtrl,
                                                                    "",
                                                                    InterfaceDeclaration{"_DBroken", IID_DBroken, ""},
                                                                    &CBrokenCtrl::DispatchMap,
                                                                    {},
                                                                    nullptr}}});

}  // namespace broken

// The exports written out with the building blocks, as a module that needs
// to do more than the one-line form would.
extern "C" __attribute__((visibility("default"))) platform::HRESULT DllRegisterServer() {
    AFX_MANAGE_STATE(platform::AfxGetStaticModuleState());
    if (!platform::AfxOleRegisterTypeLib(platform::AfxGetInstanceHandle(), broken::LIBID_BrokenLib)) {
        return platform::SELFREG_E_TYPELIB;
    }
    if (!platform::COleObjectFactory::UpdateRegistryAll(TRUE)) return platform::SELFREG_E_CLASS;
    return platform::S_OK;
}

extern "C" __attribute__((visibility("default"))) platform::HRESULT DllUnregisterServer() {
    AFX_MANAGE_STATE(platform::AfxGetStaticModuleState());
    if (!platform::AfxOleUnregisterTypeLib(broken::LIBID_BrokenLib, 1, 0, 0)) return platform::SELFREG_E_TYPELIB;
    if (!platform::COleObjectFactory::UpdateRegistryAll(FALSE)) return platform::SELFREG_E_CLASS;
    return platform::S_OK;
}

extern "C" __attribute__((visibility("default"))) platform::HRESULT DllGetClassObject(platform::REFCLSID clsid,
                                                                                      platform::REFIID iid,
                                                                                      void** object) {
    AFX_MANAGE_STATE(platform::AfxGetStaticModuleState());
    return platform::AfxDllGetClassObject(clsid, iid, object);
}

extern "C" __attribute__((visibility("default"))) platform::HRESULT DllCanUnloadNow() {
    AFX_MANAGE_STATE(platform::AfxGetStaticModuleState());
    return platform::AfxDllCanUnloadNow();
}
