#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/control.h"
#include "platform/automation/registry.h"

// The host side: loading control modules, creating controls by ProgID or
// class id through the registry, and driving them (calls by name, events,
// activation in a window, persistence, the properties verb).
namespace platform {

// A control module loaded with dlopen. Shared by every object made from it;
// unloaded when the last holder lets go and the module says it may be.
class LoadedModule {
public:
    // Loads the module at `path` (one instance per file in the process).
    // nullptr with `error` set when the file cannot be loaded or lacks
    // DllGetClassObject.
    static std::shared_ptr<LoadedModule> Load(const std::string& path, std::string* error);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    const std::string& Path() const noexcept { return File; }

    // The module's exports; E_NOTIMPL for one it lacks.
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) noexcept;
    HRESULT CanUnloadNow() noexcept;

private:
    LoadedModule() = default;
    std::string File;
    void* Handle = nullptr;
    DllRegisterServerFn Register = nullptr;
    DllUnregisterServerFn Unregister = nullptr;
    DllGetClassObjectFn ClassObject = nullptr;
    DllCanUnloadNowFn CanUnload = nullptr;
};

// Where `cmake --install` puts control modules: the folder "ocx" beside the
// platform libraries, found from the file this library was loaded from
// (<prefix>/<libdir>/ocx for an installed host). "" when that is unknown.
std::string InstalledModuleFolder();

// The absolute path of the installed module called `name` ("orvalis" or
// "orvalis.so": <name>.so in InstalledModuleFolder()); "" when there is no such
// file or `name` is empty or holds a '/'.
std::string FindInstalledModule(std::string_view name);

// "0x80020006 (unknown name)": a result code for people.
std::string DescribeResult(HRESULT code);

// Creates an object of a registered class: the registry names the module,
// which is loaded, asked for its class object and for a new instance.
// `module` receives the module, which must outlive the object. On failure the
// code is returned and `error` says why.
HRESULT CreateRegisteredObject(const CLSID& clsid, REFIID iid, void** object, std::shared_ptr<LoadedModule>& module,
                               std::string* error);

// A page shown for the properties verb, as the host saw it.
struct ShownPage {
    CLSID Clsid;
    PropPageInfo Info;
    Image Picture;  // the page as it was shown, Info.Size pixels
};

// One control held by a host, on the host's thread.
class HostedControl : private IControlSite {
public:
    using EventHandler = std::function<void(const EventInfo& event, std::span<Variant> args)>;

    // Creates a control by ProgID ("ORVALIS.OrvalisCtrl.1", any case) or by
    // class id ("{...}") and initialises it with its defaults. nullptr with
    // `error` set when the class is unknown, its module cannot be loaded, or
    // the object is not a control.
    static std::unique_ptr<HostedControl> Create(std::string_view progIdOrClsid, std::string* error);
    // Deactivates and disconnects the control, releases it, then lets its
    // module go.
    ~HostedControl() override;
    HostedControl(const HostedControl&) = delete;
    HostedControl& operator=(const HostedControl&) = delete;

    const ClassRegistration& Class() const noexcept { return Registration; }
    // The registered type information; null when the class registered none.
    const ClassTypeInfo* TypeInfo() const noexcept { return HaveTypeInfo ? &Info : nullptr; }
    IControl* Control() const noexcept { return Object.Get(); }

    // A member's id: the type information's names first, then the control's
    // own name table (alternate names). DISP_E_UNKNOWNNAME.
    HRESULT Resolve(std::string_view name, DISPID& id) noexcept;
    // Calls a method, reads or writes a property by name. `error` (may be
    // null) receives the reason of a failure.
    HRESULT Call(std::string_view name, std::span<Variant> args, Variant* result, DispatchError* error) noexcept;
    HRESULT Get(std::string_view name, Variant& value, DispatchError* error) noexcept;
    HRESULT Set(std::string_view name, const Variant& value, DispatchError* error) noexcept;

    // The handler runs on whatever thread fires the event.
    HRESULT Connect(EventHandler handler, DWORD& cookie) noexcept;
    HRESULT Disconnect(DWORD cookie) noexcept;

    // In-place activation under `parent` at `position` (parent's client
    // coordinates).
    HRESULT Activate(HWND parent, const RECT& position) noexcept;
    HRESULT Deactivate() noexcept;
    HWND Window() const noexcept;

    HRESULT LoadProperties(const PropertyBag& bag, std::vector<std::string>* issues) noexcept;
    HRESULT SaveProperties(PropertyBag& bag) noexcept;
    // The same through a file in the bag's text form; false with `error` set
    // when the file cannot be read or written (bad entries only go to issues).
    bool LoadPropertiesFile(const std::string& path, std::vector<std::string>* issues, std::string* error) noexcept;
    bool SavePropertiesFile(const std::string& path, std::string* error) noexcept;

    // Carries out the properties verb: every page the control lists is made,
    // shown under a frame window of its size, applied and closed. `shown`
    // receives them with their pictures.
    HRESULT ShowProperties(std::vector<ShownPage>* shown, std::string* error) noexcept;

private:
    HostedControl() = default;
    HRESULT ShowPropertyFrame(IControl* control, const std::vector<CLSID>& pages) noexcept override;

    ClassRegistration Registration;
    ClassTypeInfo Info;
    bool HaveTypeInfo = false;
    std::shared_ptr<LoadedModule> Module;  // outlives Object
    ComPtr<IControl> Object;
    std::vector<DWORD> Cookies;
    std::vector<ShownPage>* PagesShown = nullptr;
    std::string PageError;
};

// A plain top-level window for a host to activate controls in (white, no
// procedure of its own). 0 when it cannot be made.
HWND CreateContainerWindow(int width, int height, const char* title);

}  // namespace platform
