#include "platform/automation/container.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/automation/registration.h"
#include "platform/window/host.h"

namespace platform {

namespace {

std::mutex LoadedLock;
std::map<std::string, std::weak_ptr<LoadedModule>> LoadedModules;  // guarded by LoadedLock

class FunctionSink : public IEventSink {
public:
    explicit FunctionSink(HostedControl::EventHandler handler) : Handler(std::move(handler)) {}
    void OnEvent(const EventInfo& event, std::span<Variant> args) override { Handler(event, args); }

private:
    HostedControl::EventHandler Handler;
};

constexpr const char* kContainerClass = "platform.automation.Container";

LRESULT ContainerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(window, message, wParam, lParam);
}

}  // namespace

std::shared_ptr<LoadedModule> LoadedModule::Load(const std::string& path, std::string* error) {
    std::lock_guard guard(LoadedLock);
    if (auto it = LoadedModules.find(path); it != LoadedModules.end()) {
        if (auto existing = it->second.lock()) return existing;
    }
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        if (error) *error = "cannot load the module " + path + ": " + (why ? why : "unknown reason");
        return nullptr;
    }
    auto classObject = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    if (!classObject) {
        ::dlclose(handle);
        if (error) *error = "the module " + path + " exports no DllGetClassObject; it is not a control module";
        return nullptr;
    }
    std::shared_ptr<LoadedModule> module(new LoadedModule);
    module->File = path;
    module->Handle = handle;
    module->ClassObject = classObject;
    module->Register = reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
    module->Unregister = reinterpret_cast<DllUnregisterServerFn>(::dlsym(handle, "DllUnregisterServer"));
    module->CanUnload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    LoadedModules[path] = module;
    return module;
}

LoadedModule::~LoadedModule() {
    if (!Handle) return;
    {
        std::lock_guard guard(LoadedLock);
        if (auto it = LoadedModules.find(File); it != LoadedModules.end() && it->second.expired()) {
            LoadedModules.erase(it);
        }
    }
    // A module that still has objects (leaked by someone) stays loaded: their
    // code must not disappear under them.
    if (!CanUnload || CanUnload() == S_OK) ::dlclose(Handle);
}

HRESULT LoadedModule::RegisterServer() noexcept { return Register ? Register() : E_NOTIMPL; }

HRESULT LoadedModule::UnregisterServer() noexcept { return Unregister ? Unregister() : E_NOTIMPL; }

HRESULT LoadedModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) noexcept {
    return ClassObject ? ClassObject(clsid, iid, object) : E_NOTIMPL;
}

HRESULT LoadedModule::CanUnloadNow() noexcept { return CanUnload ? CanUnload() : S_FALSE; }

std::string DescribeResult(HRESULT code) {
    struct Known {
        HRESULT Code;
        const char* Text;
    };
    static constexpr Known kKnown[] = {
        {S_OK, "success"},
        {S_FALSE, "false"},
        {E_NOTIMPL, "not implemented"},
        {E_NOINTERFACE, "no such interface"},
        {E_POINTER, "null pointer"},
        {E_FAIL, "failed"},
        {E_UNEXPECTED, "unexpected failure"},
        {E_OUTOFMEMORY, "out of memory"},
        {E_INVALIDARG, "invalid argument"},
        {CLASS_E_NOAGGREGATION, "aggregation is not supported"},
        {CLASS_E_CLASSNOTAVAILABLE, "class not available"},
        {REGDB_E_CLASSNOTREG, "class not registered"},
        {SELFREG_E_TYPELIB, "type library registration failed"},
        {SELFREG_E_CLASS, "class registration failed"},
        {DISP_E_MEMBERNOTFOUND, "member not found"},
        {DISP_E_TYPEMISMATCH, "type mismatch"},
        {DISP_E_UNKNOWNNAME, "unknown name"},
        {DISP_E_BADVARTYPE, "bad variant type"},
        {DISP_E_EXCEPTION, "exception in the control"},
        {DISP_E_OVERFLOW, "overflow"},
        {DISP_E_BADPARAMCOUNT, "wrong number of arguments"},
        {RPC_E_WRONG_THREAD, "wrong thread"},
        {RPC_E_TIMEOUT, "the control's thread did not answer in time"},
        {OLEOBJ_E_INVALIDVERB, "invalid verb"},
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    for (const Known& known : kKnown) {
        if (known.Code == code) return std::string(hex) + " (" + known.Text + ")";
    }
    return hex;
}

HRESULT CreateRegisteredObject(const CLSID& clsid, REFIID iid, void** object, std::shared_ptr<LoadedModule>& module,
                               std::string* error) {
    if (!object) return E_POINTER;
    *object = nullptr;
    Registry registry;
    if (!ReadRegistry(registry, error)) return REGDB_E_CLASSNOTREG;
    const ClassRegistration* entry = registry.FindClass(clsid);
    if (!entry) {
        if (error) *error = "the class " + clsid.ToString() + " is not registered in " + GetRegistryPath();
        return REGDB_E_CLASSNOTREG;
    }
    auto loaded = LoadedModule::Load(entry->ModulePath, error);
    if (!loaded) return CLASS_E_CLASSNOTAVAILABLE;
    ComPtr<IClassFactory> factory;
    HRESULT hr =
        loaded->GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
    if (FAILED(hr) || !factory) {
        if (error) {
            *error = "the module " + entry->ModulePath + " does not serve the class " + clsid.ToString() + ": " +
                     DescribeResult(hr);
        }
        return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    hr = factory->CreateInstance(nullptr, iid, object);
    if (FAILED(hr)) {
        if (error) *error = "the class " + clsid.ToString() + " made no object: " + DescribeResult(hr);
        return hr;
    }
    module = std::move(loaded);
    return S_OK;
}

std::unique_ptr<HostedControl> HostedControl::Create(std::string_view progIdOrClsid, std::string* error) {
    try {
        Registry registry;
        if (!ReadRegistry(registry, error)) return nullptr;
        const ClassRegistration* entry = nullptr;
        if (auto clsid = GUID::Parse(progIdOrClsid)) {
            entry = registry.FindClass(*clsid);
        } else {
            entry = registry.FindProgId(progIdOrClsid);
        }
        if (!entry) {
            if (error) {
                *error = "no class is registered as \"" + std::string(progIdOrClsid) + "\" in " + GetRegistryPath();
            }
            return nullptr;
        }
        std::unique_ptr<HostedControl> hosted(new HostedControl);
        hosted->Registration = *entry;
        hosted->HaveTypeInfo = registry.DescribeClass(entry->Clsid, hosted->Info, nullptr);
        HRESULT hr = CreateRegisteredObject(entry->Clsid, IID_IControl,
                                            reinterpret_cast<void**>(hosted->Object.ReleaseAndGetAddressOf()),
                                            hosted->Module, error);
        if (FAILED(hr)) {
            if (hr == E_NOINTERFACE && error) {
                *error = (entry->ProgId.empty() ? entry->Clsid.ToString() : entry->ProgId) + " is not a control";
            }
            return nullptr;
        }
        hosted->Object->SetClientSite(hosted.get());
        if (FAILED(hosted->Object->InitNew())) {
            if (error) *error = "the control " + entry->ProgId + " failed to initialise";
            return nullptr;
        }
        return hosted;
    } catch (const std::exception& e) {
        if (error) *error = std::string("cannot create the control: ") + e.what();
        return nullptr;
    }
}

HostedControl::~HostedControl() {
    if (Object) {
        Object->InPlaceDeactivate();
        for (DWORD cookie : Cookies) Object->Unadvise(cookie);
        Object->SetClientSite(nullptr);
        Object.Reset();
    }
    Module.reset();
}

HRESULT HostedControl::Resolve(std::string_view name, DISPID& id) noexcept {
    if (HaveTypeInfo) {
        if (const MemberDescription* member = Info.Dispatch.FindByName(name)) {
            id = member->Id;
            return S_OK;
        }
    }
    return Object ? Object->GetIDOfName(name, id) : E_UNEXPECTED;
}

namespace {

HRESULT UnknownName(std::string_view name, DispatchError* error) {
    if (error) {
        error->Code = DISP_E_UNKNOWNNAME;
        error->ArgIndex = -1;
        try {
            error->Description = "the control has no member \"" + std::string(name) + "\"";
        } catch (...) {
        }
    }
    return DISP_E_UNKNOWNNAME;
}

}  // namespace

HRESULT HostedControl::Call(std::string_view name, std::span<Variant> args, Variant* result,
                            DispatchError* error) noexcept {
    DISPID id;
    if (FAILED(Resolve(name, id))) return UnknownName(name, error);
    return Object->Invoke(id, InvokeKind::Method, args, result, error);
}

HRESULT HostedControl::Get(std::string_view name, Variant& value, DispatchError* error) noexcept {
    DISPID id;
    if (FAILED(Resolve(name, id))) return UnknownName(name, error);
    return Object->Invoke(id, InvokeKind::PropertyGet, {}, &value, error);
}

HRESULT HostedControl::Set(std::string_view name, const Variant& value, DispatchError* error) noexcept {
    DISPID id;
    if (FAILED(Resolve(name, id))) return UnknownName(name, error);
    Variant argument = value;
    return Object->Invoke(id, InvokeKind::PropertyPut, std::span<Variant>(&argument, 1), nullptr, error);
}

HRESULT HostedControl::Connect(EventHandler handler, DWORD& cookie) noexcept {
    if (!handler) return E_POINTER;
    try {
        HRESULT hr = Object->Advise(std::make_shared<FunctionSink>(std::move(handler)), cookie);
        if (SUCCEEDED(hr)) Cookies.push_back(cookie);
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT HostedControl::Disconnect(DWORD cookie) noexcept {
    std::erase(Cookies, cookie);
    return Object->Unadvise(cookie);
}

HRESULT HostedControl::Activate(HWND parent, const RECT& position) noexcept {
    return Object->InPlaceActivate(parent, position);
}

HRESULT HostedControl::Deactivate() noexcept { return Object->InPlaceDeactivate(); }

HWND HostedControl::Window() const noexcept { return Object->GetControlWindow(); }

HRESULT HostedControl::LoadProperties(const PropertyBag& bag, std::vector<std::string>* issues) noexcept {
    return Object->Load(bag, issues);
}

HRESULT HostedControl::SaveProperties(PropertyBag& bag) noexcept { return Object->Save(bag, TRUE); }

bool HostedControl::LoadPropertiesFile(const std::string& path, std::vector<std::string>* issues,
                                       std::string* error) noexcept {
    try {
        PropertyBag bag;
        if (!PropertyBag::LoadFile(path, bag, issues, error)) return false;
        std::vector<std::string> found;
        HRESULT hr = Object->Load(bag, &found);
        if (issues) {
            for (auto& issue : found) {
                issues->push_back(issue.rfind("line ", 0) == 0 ? path + ": " + issue : issue);
            }
        }
        if (FAILED(hr)) {
            if (error) *error = "the control could not load " + path + ": " + DescribeResult(hr);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

bool HostedControl::SavePropertiesFile(const std::string& path, std::string* error) noexcept {
    try {
        PropertyBag bag;
        HRESULT hr = Object->Save(bag, TRUE);
        if (FAILED(hr)) {
            if (error) *error = "the control could not save its properties: " + DescribeResult(hr);
            return false;
        }
        std::string header =
            "properties of " + (Registration.ProgId.empty() ? Registration.Clsid.ToString() : Registration.ProgId);
        return bag.SaveFile(path, header, error);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

HRESULT HostedControl::ShowProperties(std::vector<ShownPage>* shown, std::string* error) noexcept {
    std::vector<ShownPage> pages;
    PagesShown = &pages;
    PageError.clear();
    HRESULT hr = Object->DoVerb(OLEIVERB_PROPERTIES);
    PagesShown = nullptr;
    if (FAILED(hr) && error) {
        *error = PageError.empty() ? "the properties verb failed: " + DescribeResult(hr) : PageError;
    }
    if (shown) *shown = std::move(pages);
    return hr;
}

HRESULT HostedControl::ShowPropertyFrame(IControl* control, const std::vector<CLSID>& pages) noexcept {
    try {
        if (pages.empty()) {
            PageError = "the control has no property pages";
            return E_NOTIMPL;
        }
        HWND frame = CreateContainerWindow(300, 120, "Properties");
        if (!frame) {
            PageError = "cannot make the property frame's window";
            return E_FAIL;
        }
        for (const CLSID& clsid : pages) {
            std::shared_ptr<LoadedModule> pageModule;
            ComPtr<IPropertyPage> page;
            HRESULT hr =
                CreateRegisteredObject(clsid, IID_IPropertyPage,
                                       reinterpret_cast<void**>(page.ReleaseAndGetAddressOf()), pageModule, &PageError);
            if (FAILED(hr)) {
                if (frame) DestroyWindow(frame);
                return hr;
            }
            IControl* objects[] = {control};
            ShownPage shownPage{clsid, {}, {}};
            // The frame takes each page's size, so the page fills it.
            auto fit = [&] {
                const SIZE size = shownPage.Info.Size;
                return SetWindowPos(frame, 0, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER) ? S_OK : E_FAIL;
            };
            if (FAILED(hr = page->SetObjects(objects)) || FAILED(hr = page->GetPageInfo(shownPage.Info)) ||
                FAILED(hr = fit()) ||
                FAILED(hr = page->Activate(frame, RECT{0, 0, shownPage.Info.Size.cx, shownPage.Info.Size.cy})) ||
                FAILED(hr = page->Apply())) {
                PageError = "the property page " + clsid.ToString() + " failed: " + DescribeResult(hr);
                page->Deactivate();
                page->SetObjects({});
                DestroyWindow(frame);
                return hr;
            }
            shownPage.Picture = host::CaptureWindow(frame);
            page->Deactivate();
            page->SetObjects({});
            if (PagesShown) PagesShown->push_back(std::move(shownPage));
            page.Reset();
        }
        DestroyWindow(frame);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

std::string InstalledModuleFolder() {
    const std::string self = ModulePath(GetModuleInstance(reinterpret_cast<const void*>(&InstalledModuleFolder)));
    const std::size_t slash = self.rfind('/');
    if (slash == std::string::npos) return {};
    return self.substr(0, slash + 1) + ORVALIS_CONTROL_MODULE_FOLDER;
}

std::string FindInstalledModule(std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") return {};
    const std::string folder = InstalledModuleFolder();
    if (folder.empty()) return {};
    std::string path = folder + "/" + std::string(name);
    if (!name.ends_with(".so")) path += ".so";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    return path;
}

HWND CreateContainerWindow(int width, int height, const char* title) {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASS windowClass{};
        windowClass.lpfnWndProc = &ContainerProc;
        windowClass.lpszClassName = kContainerClass;
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        RegisterClass(&windowClass);
    });
    return CreateWindowEx(0, kContainerClass, title ? title : "", WS_OVERLAPPED | WS_VISIBLE, 0, 0, width, height, 0,
                          nullptr, nullptr, nullptr);
}

}  // namespace platform
