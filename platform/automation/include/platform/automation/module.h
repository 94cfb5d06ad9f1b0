#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation/typeinfo.h"
#include "platform/com/com.h"
#include "platform/gdi/resource.h"

// A control module's shell: its class factories, its module object, the
// resources it carries (strings, the type library), the count of its live
// objects and locks, and the four exports a host calls.
//
// A module is identified by its instance handle (its load address, see
// platform/gdi/resource.h). Factories, the module object and resources are
// static objects of the module; each attaches itself to the module whose
// memory holds it, so no registration call is needed. A short module:
//
//     CMyApp theApp;                                  // : COleControlModule
//     CMyCtrlFactory theCtrlFactory;                  // : COleObjectFactory
//     const StringResources kStrings(ThisModuleInstance(), {{1, "My Control"}});
//     const TypeLibResource kTypeLib(ThisModuleInstance(), {...});
//     OCX_MODULE_EXPORTS(kLibId, 1, 0)
namespace platform {

using LCID = std::uint32_t;
using REFGUID = const GUID&;

inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IClassFactory : IUnknown {
    // A new object, asked for by interface. CLASS_E_NOAGGREGATION when
    // outer is not null; E_OUTOFMEMORY; E_NOINTERFACE.
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    // TRUE keeps the module loaded (DllCanUnloadNow says S_FALSE) until a
    // matching FALSE.
    virtual HRESULT LockServer(BOOL lock) = 0;
};

// Counts itself among its module's live objects from the moment its factory
// hands it out until it is destroyed, so that DllCanUnloadNow can tell.
class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget();

    // The module whose factory made the object (null for one made directly)
    // and the class id it was made as.
    HINSTANCE OwnerModule() const noexcept { return Owner; }
    const CLSID& ObjectClassId() const noexcept { return MadeAs; }

private:
    friend class COleObjectFactory;
    HINSTANCE Owner = nullptr;
    CLSID MadeAs;
};

// How a factory makes its objects: RUNTIME_CLASS(CMyCtrl).
struct CRuntimeClass {
    const char* ClassName = nullptr;
    CCmdTarget* (*CreateObject)() = nullptr;
    IUnknown* (*ToUnknown)(CCmdTarget*) = nullptr;
};

template <class T>
CRuntimeClass RuntimeClassOf(const char* name) {
    return CRuntimeClass{name, []() -> CCmdTarget* { return new T; },
                         [](CCmdTarget* object) -> IUnknown* { return static_cast<T*>(object); }};
}

#define RUNTIME_CLASS(T) (::platform::RuntimeClassOf<T>(#T))

// Registration flags for AfxOleRegisterControlClass.
inline constexpr int afxRegDefault = 0x0000;
inline constexpr int afxRegInsertable = 0x0001;
inline constexpr int afxRegApartmentThreading = 0x0002;
inline constexpr int afxRegFreeThreading = 0x0004;

// One class a module serves. Make one static object per class; override
// UpdateRegistry to register it the way the class needs (the default writes
// a plain object class with the ProgID).
class COleObjectFactory : public IClassFactory {
public:
    COleObjectFactory(REFCLSID clsid, CRuntimeClass runtimeClass, BOOL multiInstance, const char* progId);
    ~COleObjectFactory() override;
    COleObjectFactory(const COleObjectFactory&) = delete;
    COleObjectFactory& operator=(const COleObjectFactory&) = delete;

    // Writes (TRUE) or removes (FALSE) this class's registration.
    virtual BOOL UpdateRegistry(BOOL registering);
    // UpdateRegistry of every factory of the active module (see
    // AFX_MANAGE_STATE); FALSE when one fails or no module is active.
    static BOOL UpdateRegistryAll(BOOL registering);

    const CLSID& ClassId() const noexcept { return Clsid; }
    // nullptr when the class has no ProgID.
    const char* ProgId() const noexcept { return Prog.empty() ? nullptr : Prog.c_str(); }
    HINSTANCE Module() const noexcept { return Instance; }
    BOOL IsMultiInstance() const noexcept { return MultiInstance; }
    // References the host holds on this class object.
    ULONG OutstandingReferences() const noexcept { return References.load(std::memory_order_acquire); }

    // IUnknown. The factory is a static object: references only keep its
    // module loaded, they never delete it.
    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // IClassFactory
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT LockServer(BOOL lock) override;

private:
    CLSID Clsid;
    CRuntimeClass Runtime;
    BOOL MultiInstance;
    std::string Prog;
    HINSTANCE Instance;
    std::atomic<ULONG> References{0};  // handed-out references; any thread
};

// The module object, one static instance per module. InitInstance runs before
// the module's first class object is handed out, ExitInstance when the host
// is told the module may be unloaded.
class COleControlModule {
public:
    COleControlModule();
    virtual ~COleControlModule();
    COleControlModule(const COleControlModule&) = delete;
    COleControlModule& operator=(const COleControlModule&) = delete;

    virtual BOOL InitInstance();
    virtual int ExitInstance();

    HINSTANCE Instance() const noexcept { return Module; }

private:
    HINSTANCE Module;
};

// String resources by id, registered for as long as the object lives.
class StringResources {
public:
    StringResources(HINSTANCE module, std::initializer_list<std::pair<unsigned, std::string_view>> strings);
    ~StringResources();
    StringResources(const StringResources&) = delete;
    StringResources& operator=(const StringResources&) = delete;

private:
    HINSTANCE Module;
    std::vector<std::pair<unsigned, std::string>> Strings;
};

// The string `id` of `module`; false when the module has no such string.
bool AfxLoadString(HINSTANCE module, unsigned id, std::string& text);

// A module's type library: its identity and, per class, the two interfaces
// with the tables that describe them.
struct InterfaceDeclaration {
    std::string Name;
    IID Iid;
    std::string HelpString;
};

struct ClassDeclaration {
    std::string Name;  // the coclass name
    CLSID Clsid;
    std::string HelpString;
    InterfaceDeclaration Dispatch;
    const DispatchTable& (*Members)() = nullptr;
    InterfaceDeclaration Events;
    const EventTable& (*EventMembers)() = nullptr;  // null: the class fires no events
};

struct TypeLibDeclaration {
    GUID LibId;
    std::string Name;
    std::uint16_t Major = 1;
    std::uint16_t Minor = 0;
    std::string HelpString;
    std::string HelpFile;
    std::vector<ClassDeclaration> Classes;
};

// Registered with the module for as long as the object lives.
class TypeLibResource {
public:
    TypeLibResource(HINSTANCE module, TypeLibDeclaration declaration);
    ~TypeLibResource();
    TypeLibResource(const TypeLibResource&) = delete;
    TypeLibResource& operator=(const TypeLibResource&) = delete;

    const TypeLibDeclaration& Declaration() const noexcept { return Library; }
    // The description the registry stores; false with `problem` set when a
    // table is invalid or missing.
    bool Describe(TypeLibraryDescription& description, std::string& problem) const;

private:
    HINSTANCE Module;
    TypeLibDeclaration Library;
};

// The module whose state is active on this thread: set by AFX_MANAGE_STATE
// for the rest of the scope. nullptr when none is.
HINSTANCE AfxGetInstanceHandle() noexcept;

class AFX_MAINTAIN_STATE {
public:
    explicit AFX_MAINTAIN_STATE(HINSTANCE module) noexcept;
    ~AFX_MAINTAIN_STATE();
    AFX_MAINTAIN_STATE(const AFX_MAINTAIN_STATE&) = delete;
    AFX_MAINTAIN_STATE& operator=(const AFX_MAINTAIN_STATE&) = delete;

private:
    HINSTANCE Previous;
};

namespace {
// The calling module's state, for AFX_MANAGE_STATE; internal linkage so that
// each module resolves to itself.
[[maybe_unused]] HINSTANCE AfxGetStaticModuleState() noexcept { return ThisModuleInstance(); }
}  // namespace

#define AFX_MANAGE_STATE(module) ::platform::AFX_MAINTAIN_STATE afxManageStateScope_(module)

// The class object for clsid among the active module's factories.
// CLASS_E_CLASSNOTAVAILABLE when the module serves no such class.
HRESULT AfxDllGetClassObject(REFCLSID clsid, REFIID iid, void** object) noexcept;
// S_OK when the active module has no live objects, locks or handed-out class
// objects (ExitInstance then runs), else S_FALSE.
HRESULT AfxDllCanUnloadNow() noexcept;

// Live objects and locks of a module, for hosts and tests.
long ModuleObjectCount(HINSTANCE module) noexcept;
long ModuleLockCount(HINSTANCE module) noexcept;

// The usual bodies of the four exports.
HRESULT ModuleRegisterServer(HINSTANCE module, REFGUID libId) noexcept;
HRESULT ModuleUnregisterServer(HINSTANCE module, REFGUID libId, std::uint16_t major, std::uint16_t minor) noexcept;
HRESULT ModuleGetClassObject(HINSTANCE module, REFCLSID clsid, REFIID iid, void** object) noexcept;
HRESULT ModuleCanUnloadNow(HINSTANCE module) noexcept;

// The exports' names and types, for hosts that look them up with dlsym.
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT (*)();

}  // namespace platform

// Defines the four exports of a control module in one line.
#define OCX_MODULE_EXPORTS(libId, major, minor)                                                           \
    extern "C" __attribute__((visibility("default"))) ::platform::HRESULT DllRegisterServer() {           \
        return ::platform::ModuleRegisterServer(::platform::ThisModuleInstance(), libId);                 \
    }                                                                                                     \
    extern "C" __attribute__((visibility("default"))) ::platform::HRESULT DllUnregisterServer() {         \
        return ::platform::ModuleUnregisterServer(::platform::ThisModuleInstance(), libId, major, minor); \
    }                                                                                                     \
    extern "C" __attribute__((visibility("default"))) ::platform::HRESULT DllGetClassObject(              \
        ::platform::REFCLSID clsid, ::platform::REFIID iid, void** object) {                              \
        return ::platform::ModuleGetClassObject(::platform::ThisModuleInstance(), clsid, iid, object);    \
    }                                                                                                     \
    extern "C" __attribute__((visibility("default"))) ::platform::HRESULT DllCanUnloadNow() {             \
        return ::platform::ModuleCanUnloadNow(::platform::ThisModuleInstance());                          \
    }
