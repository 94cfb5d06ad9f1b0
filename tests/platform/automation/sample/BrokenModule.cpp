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
                               TypeLibDeclaration{LIBID_BrokenLib, "BROKENLib", 1, 0, "", "",
                                                  {ClassDeclaration{"Broken", CLSID_BrokenCtrl, "",
                                                                    InterfaceDeclaration{"_DBroken", IID_DBroken, ""},
                                                                    &CBrokenCtrl::DispatchMap,
                                                                    {},
                                                                    nullptr}}});

}  // namespace broken

OCX_MODULE_EXPORTS(broken::LIBID_BrokenLib, 1, 0)
