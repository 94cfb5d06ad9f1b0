#include "platform/automation/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "module_internal.h"
#include "platform/automation/registration.h"

namespace platform {

namespace {

struct ModuleRecord {
    std::vector<COleObjectFactory*> Factories;
    COleControlModule* App = nullptr;
    std::vector<const TypeLibResource*> TypeLibs;
    std::vector<const std::vector<std::pair<unsigned, std::string>>*> StringTables;
    long Objects = 0;
    long Locks = 0;
    bool Initialized = false;

    bool Unused() const {
        return Factories.empty() && !App && TypeLibs.empty() && StringTables.empty() && Objects == 0 && Locks == 0;
    }
};

// Never destroyed: modules unloaded at exit still detach from it.
std::mutex& ModulesLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::map<HINSTANCE, ModuleRecord>& Modules() {
    static auto* modules = new std::map<HINSTANCE, ModuleRecord>;
    return *modules;
}

template <class Change>
void WithRecord(HINSTANCE module, Change change) {
    if (!module) return;
    std::lock_guard guard(ModulesLock());
    auto& modules = Modules();
    ModuleRecord& record = modules[module];
    change(record);
    if (record.Unused()) modules.erase(module);
}

thread_local HINSTANCE ActiveModule = nullptr;

}  // namespace

CCmdTarget::~CCmdTarget() {
    WithRecord(Owner, [](ModuleRecord& record) { --record.Objects; });
}

COleObjectFactory::COleObjectFactory(REFCLSID clsid, CRuntimeClass runtimeClass, BOOL multiInstance, const char* progId)
    : Clsid(clsid),
      Runtime(runtimeClass),
      MultiInstance(multiInstance),
      Prog(progId ? progId : ""),
      Instance(GetModuleInstance(this)) {
    WithRecord(Instance, [this](ModuleRecord& record) { record.Factories.push_back(this); });
}

COleObjectFactory::~COleObjectFactory() {
    WithRecord(Instance, [this](ModuleRecord& record) { std::erase(record.Factories, this); });
}

BOOL COleObjectFactory::UpdateRegistry(BOOL registering) {
    if (registering) {
        return AfxOleRegisterServerClass(Instance, Clsid, ProgId(), ProgId(), afxRegDefault);
    }
    return AfxOleUnregisterClass(Clsid, ProgId());
}

BOOL COleObjectFactory::UpdateRegistryAll(BOOL registering) {
    HINSTANCE module = AfxGetInstanceHandle();
    if (!module) return FALSE;
    std::vector<COleObjectFactory*> factories;
    {
        std::lock_guard guard(ModulesLock());
        auto it = Modules().find(module);
        if (it != Modules().end()) factories = it->second.Factories;
    }
    for (COleObjectFactory* factory : factories) {
        if (!factory->UpdateRegistry(registering)) return FALSE;
    }
    return TRUE;
}

HRESULT COleObjectFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG COleObjectFactory::AddRef() { return References.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG COleObjectFactory::Release() {
    ULONG left = References.load(std::memory_order_relaxed);
    // A Release without a reference is the host's mistake; the static factory
    // must not wrap around and keep its module loaded forever.
    while (left > 0 && !References.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel)) {
    }
    return left > 0 ? left - 1 : 0;
}

HRESULT COleObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!Runtime.CreateObject || !Runtime.ToUnknown) return E_UNEXPECTED;
    CCmdTarget* target = nullptr;
    try {
        target = Runtime.CreateObject();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    if (!target) return E_OUTOFMEMORY;
    target->Owner = Instance;
    target->MadeAs = Clsid;
    WithRecord(Instance, [](ModuleRecord& record) { ++record.Objects; });
    IUnknown* unknown = Runtime.ToUnknown(target);
    HRESULT hr = unknown->QueryInterface(iid, object);
    unknown->Release();  // the creation reference; a failed query destroys the object
    return hr;
}

HRESULT COleObjectFactory::LockServer(BOOL lock) {
    HRESULT result = S_OK;
    WithRecord(Instance, [lock, &result](ModuleRecord& record) {
        if (lock) {
            ++record.Locks;
        } else if (record.Locks > 0) {
            --record.Locks;
        } else {
            result = E_UNEXPECTED;  // more unlocks than locks
        }
    });
    return result;
}

COleControlModule::COleControlModule() : Module(GetModuleInstance(this)) {
    WithRecord(Module, [this](ModuleRecord& record) { record.App = this; });
}

COleControlModule::~COleControlModule() {
    WithRecord(Module, [this](ModuleRecord& record) {
        if (record.App == this) record.App = nullptr;
    });
}

BOOL COleControlModule::InitInstance() { return TRUE; }

int COleControlModule::ExitInstance() { return 0; }

StringResources::StringResources(HINSTANCE module, std::initializer_list<std::pair<unsigned, std::string_view>> strings)
    : Module(module) {
    for (const auto& [id, text] : strings) Strings.emplace_back(id, std::string(text));
    WithRecord(Module, [this](ModuleRecord& record) { record.StringTables.push_back(&Strings); });
}

StringResources::~StringResources() {
    WithRecord(Module, [this](ModuleRecord& record) { std::erase(record.StringTables, &Strings); });
}

bool AfxLoadString(HINSTANCE module, unsigned id, std::string& text) {
    std::lock_guard guard(ModulesLock());
    auto it = Modules().find(module);
    if (it == Modules().end()) return false;
    for (const auto* table : it->second.StringTables) {
        for (const auto& [key, value] : *table) {
            if (key == id) {
                text = value;
                return true;
            }
        }
    }
    return false;
}

TypeLibResource::TypeLibResource(HINSTANCE module, TypeLibDeclaration declaration)
    : Module(module), Library(std::move(declaration)) {
    WithRecord(Module, [this](ModuleRecord& record) { record.TypeLibs.push_back(this); });
}

TypeLibResource::~TypeLibResource() {
    WithRecord(Module, [this](ModuleRecord& record) { std::erase(record.TypeLibs, this); });
}

bool TypeLibResource::Describe(TypeLibraryDescription& description, std::string& problem) const {
    TypeLibraryDescription result;
    result.LibId = Library.LibId;
    result.Name = Library.Name;
    result.Major = Library.Major;
    result.Minor = Library.Minor;
    result.HelpString = Library.HelpString;
    result.HelpFile = Library.HelpFile;
    result.ModulePath = ModulePath(Module);
    if (Library.Name.empty()) {
        problem = "the type library " + Library.LibId.ToString() + " has no name";
        return false;
    }
    for (const ClassDeclaration& declared : Library.Classes) {
        if (!declared.Members) {
            problem = "the class " + declared.Name + " has no member table";
            return false;
        }
        const DispatchTable& members = declared.Members();
        if (!members.Valid()) {
            problem = declared.Dispatch.Name + ": " + members.Problem();
            return false;
        }
        result.Interfaces.push_back(
            DescribeInterface(declared.Dispatch.Iid, declared.Dispatch.Name, declared.Dispatch.HelpString, members));
        CoClassDescription coClass{declared.Clsid, declared.Name, declared.HelpString, declared.Dispatch.Iid,
                                   std::nullopt};
        if (declared.EventMembers) {
            const EventTable& events = declared.EventMembers();
            if (!events.Valid()) {
                problem = declared.Events.Name + ": " + events.Problem();
                return false;
            }
            result.Interfaces.push_back(
                DescribeInterface(declared.Events.Iid, declared.Events.Name, declared.Events.HelpString, events));
            coClass.Events = declared.Events.Iid;
        }
        result.Classes.push_back(std::move(coClass));
    }
    description = std::move(result);
    return true;
}

const TypeLibResource* FindTypeLibResource(HINSTANCE module, REFGUID libId) {
    std::lock_guard guard(ModulesLock());
    auto it = Modules().find(module);
    if (it == Modules().end()) return nullptr;
    for (const TypeLibResource* resource : it->second.TypeLibs) {
        if (resource->Declaration().LibId == libId) return resource;
    }
    return nullptr;
}

std::string ProgIdOfClass(HINSTANCE module, const CLSID& clsid) {
    std::lock_guard guard(ModulesLock());
    auto it = Modules().find(module);
    if (it == Modules().end()) return {};
    for (const COleObjectFactory* factory : it->second.Factories) {
        if (factory->ClassId() == clsid && factory->ProgId()) return factory->ProgId();
    }
    return {};
}

HINSTANCE AfxGetInstanceHandle() noexcept { return ActiveModule; }

AFX_MAINTAIN_STATE::AFX_MAINTAIN_STATE(HINSTANCE module) noexcept : Previous(ActiveModule) { ActiveModule = module; }

AFX_MAINTAIN_STATE::~AFX_MAINTAIN_STATE() { ActiveModule = Previous; }

HRESULT AfxDllGetClassObject(REFCLSID clsid, REFIID iid, void** object) noexcept {
    return ModuleGetClassObject(AfxGetInstanceHandle(), clsid, iid, object);
}

HRESULT AfxDllCanUnloadNow() noexcept { return ModuleCanUnloadNow(AfxGetInstanceHandle()); }

long ModuleObjectCount(HINSTANCE module) noexcept {
    std::lock_guard guard(ModulesLock());
    auto it = Modules().find(module);
    return it == Modules().end() ? 0 : it->second.Objects;
}

long ModuleLockCount(HINSTANCE module) noexcept {
    std::lock_guard guard(ModulesLock());
    auto it = Modules().find(module);
    return it == Modules().end() ? 0 : it->second.Locks;
}

HRESULT ModuleRegisterServer(HINSTANCE module, REFGUID libId) noexcept {
    AFX_MANAGE_STATE(module);
    if (!AfxOleRegisterTypeLib(AfxGetInstanceHandle(), libId)) return SELFREG_E_TYPELIB;
    if (!COleObjectFactory::UpdateRegistryAll(TRUE)) return SELFREG_E_CLASS;
    return S_OK;
}

HRESULT ModuleUnregisterServer(HINSTANCE module, REFGUID libId, std::uint16_t major, std::uint16_t minor) noexcept {
    AFX_MANAGE_STATE(module);
    if (!AfxOleUnregisterTypeLib(libId, major, minor, 0)) return SELFREG_E_TYPELIB;
    if (!COleObjectFactory::UpdateRegistryAll(FALSE)) return SELFREG_E_CLASS;
    return S_OK;
}

HRESULT ModuleGetClassObject(HINSTANCE module, REFCLSID clsid, REFIID iid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    AFX_MANAGE_STATE(module);
    COleControlModule* app = nullptr;
    COleObjectFactory* found = nullptr;
    {
        std::lock_guard guard(ModulesLock());
        auto it = Modules().find(module);
        if (it == Modules().end()) return CLASS_E_CLASSNOTAVAILABLE;
        ModuleRecord& record = it->second;
        for (COleObjectFactory* factory : record.Factories) {
            if (factory->ClassId() == clsid) found = factory;
        }
        if (!found) return CLASS_E_CLASSNOTAVAILABLE;
        if (!record.Initialized) {
            record.Initialized = true;
            app = record.App;
        }
    }
    // Module code runs outside the lock: it may create factories' objects or
    // load strings itself.
    HRESULT started = S_OK;
    try {
        if (app && !app->InitInstance()) started = CLASS_E_CLASSNOTAVAILABLE;
    } catch (...) {
        started = E_UNEXPECTED;
    }
    if (FAILED(started)) {
        // A module that did not start is started again by the next request,
        // rather than serving classes it never set up.
        std::lock_guard guard(ModulesLock());
        if (auto it = Modules().find(module); it != Modules().end()) it->second.Initialized = false;
        return started;
    }
    return found->QueryInterface(iid, object);
}

HRESULT ModuleCanUnloadNow(HINSTANCE module) noexcept {
    COleControlModule* app = nullptr;
    {
        std::lock_guard guard(ModulesLock());
        auto it = Modules().find(module);
        if (it == Modules().end()) return S_OK;
        ModuleRecord& record = it->second;
        if (record.Objects > 0 || record.Locks > 0) return S_FALSE;
        for (COleObjectFactory* factory : record.Factories) {
            if (factory->OutstandingReferences() > 0) return S_FALSE;
        }
        if (record.Initialized) {
            record.Initialized = false;
            app = record.App;
        }
    }
    AFX_MANAGE_STATE(module);
    try {
        if (app) app->ExitInstance();
    } catch (...) {
    }
    return S_OK;
}

std::string ModulePath(HINSTANCE module) {
    if (!module) return {};
    Dl_info info{};
    char path[PATH_MAX];
    if (::dladdr(module, &info) == 0) return {};
    // The executable itself may come without a name.
    const char* name = info.dli_fname && info.dli_fname[0] ? info.dli_fname : "/proc/self/exe";
    if (char* real = ::realpath(name, path)) return real;
    return name;
}

}  // namespace platform
