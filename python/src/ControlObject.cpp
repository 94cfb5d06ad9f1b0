#include "ControlObject.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "Display.h"
#include "Events.h"
#include "Values.h"
#include "platform/automation/propexchange.h"
#include "platform/window/host.h"

using namespace platform;

namespace ocx {

std::atomic<bool> Finalizing{false};

namespace {

// Every control not yet closed; touched with the GIL held only.
std::set<ControlObject*>& Open() {
    static auto* open = new std::set<ControlObject*>();
    return *open;
}

// Releases the hosted control and its window on the owner thread.
void Destroy(HostedControl* hosted, HWND container, HWND frame) noexcept {
    delete hosted;
    if (container) DestroyWindow(container);
    if (frame) DestroyWindow(frame);  // the stand-in only: the foreign window stays
}

std::string MemberText(const DispatchError& error, HRESULT code) {
    return error.Description.empty() ? DescribeResult(code) : error.Description;
}

// Closes the thread's controls when its Python thread state is cleared: on
// that thread, with the GIL, as the thread ends.
void CloseAtThreadEnd() {
    PyObject* dict = PyThreadState_GetDict();  // borrowed
    if (!dict || PyDict_GetItemString(dict, "ocx.apartment")) return;
    PyObject* capsule = PyCapsule_New(reinterpret_cast<void*>(&Finalizing), "ocx.apartment",
                                      [](PyObject*) { CloseThreadControls(false); });
    if (!capsule) throw py::error_already_set();
    const int stored = PyDict_SetItemString(dict, "ocx.apartment", capsule);
    Py_DECREF(capsule);
    if (stored != 0) throw py::error_already_set();
}

}  // namespace

ControlObject::ControlObject(const std::string& progIdOrClsid) : Name(progIdOrClsid) {
    Home = Apartment::Current();
    if (!Home) RaiseControlError(E_FAIL, "this thread cannot receive events (no window for it)", progIdOrClsid);
    Owner = GetCurrentThreadId();
    CloseAtThreadEnd();
    std::string error;
    {
        py::gil_scoped_release unlocked;
        Hosted = HostedControl::Create(progIdOrClsid, &error);
    }
    if (!Hosted) RaiseControlError(REGDB_E_CLASSNOTREG, error, progIdOrClsid);
    if (!Hosted->Class().ProgId.empty()) Name = Hosted->Class().ProgId;
    Open().insert(this);
    Connect();
}

ControlObject::~ControlObject() { Close(true); }

void ControlObject::Connect() {
    Targets = std::make_shared<EventTargets>();
    Targets->OwnerThread = Owner;
    Targets->Home = Home;
    HRESULT hr = S_OK;
    {
        py::gil_scoped_release unlocked;
        hr = Hosted->Connect(MakeEventHandler(Targets), Cookie);
    }
    if (FAILED(hr)) {
        Close(true);
        RaiseControlError(hr, "cannot listen to the control's events", Name);
    }
}

void ControlObject::Close(bool releaseGil) noexcept {
    if (!Hosted) return;
    Open().erase(this);
    if (Targets) {
        Targets->Alive.store(false, std::memory_order_release);
        Targets->Self = nullptr;
        std::vector<py::object> handlers;
        handlers.swap(Targets->Handlers);
        handlers.clear();  // dropped here, with the GIL
    }
    HostedControl* hosted = Hosted.release();
    const HWND container = std::exchange(Container, 0);
    const HWND frame = std::exchange(Frame, 0);
    const DWORD cookie = Cookie;
    auto finish = [&] {
        hosted->Disconnect(cookie);
        if (GetCurrentThreadId() == Owner && !InsideDirectDelivery()) {
            Destroy(hosted, container, frame);
        } else if (!Home || !Home->RunOnOwner([hosted, container, frame] { Destroy(hosted, container, frame); })) {
            // Its thread is gone and with it the windows the control had:
            // ending it here, on a thread it does not belong to, is not safe.
        }
    };
    if (releaseGil && PyGILState_Check()) {
        // Released through the interpreter itself: pybind11's guard may throw
        // while it looks up its own state, and nothing may leave Close.
        PyThreadState* const state = PyEval_SaveThread();
        finish();
        PyEval_RestoreThread(state);
    } else {
        finish();
    }
}

void ControlObject::CheckUsable(std::string_view member) const {
    if (!Hosted) {
        RaiseControlError(RPC_E_DISCONNECTED, "the control has been released", member);
    }
    if (GetCurrentThreadId() != Owner) {
        RaiseControlError(RPC_E_WRONG_THREAD, "the control belongs to the thread that made it", member);
    }
}

const MemberDescription* ControlObject::Describe(std::string_view name, std::string_view member,
                                                 MemberDescription& scratch) {
    DISPID id = 0;
    HRESULT resolved = S_OK;
    {
        py::gil_scoped_release unlocked;
        resolved = Hosted->Resolve(name, id);
    }
    if (FAILED(resolved)) {
        RaiseControlError(DISP_E_UNKNOWNNAME, "the control has no member \"" + std::string(name) + "\"", member);
    }
    if (const ClassTypeInfo* info = Hosted->TypeInfo()) {
        if (const MemberDescription* found = info->Dispatch.FindById(id)) return found;
    }
    const DispatchMember* own = Hosted->Control()->GetDispatchTable().FindById(id);
    if (!own) RaiseControlError(DISP_E_MEMBERNOTFOUND, "the control has no member with that id", member);
    scratch = MemberDescription{own->MemberId, own->Name, own->Kind, own->Params, own->Result, own->Help};
    return &scratch;
}

py::object ControlObject::GetMember(py::handle self, const std::string& name) {
    CheckUsable(name);
    MemberDescription scratch;
    const MemberDescription* member = Describe(name, name, scratch);
    if (member->Kind == MemberKind::Method) {
        return MakeBoundMethod(py::reinterpret_borrow<py::object>(self), member->Name);
    }
    Variant value;
    DispatchError error;
    HRESULT hr = S_OK;
    {
        py::gil_scoped_release unlocked;
        hr = Hosted->Get(member->Name, value, &error);
    }
    if (FAILED(hr)) RaiseControlError(hr, MemberText(error, hr), member->Name);
    return FromVariant(value);
}

bool ControlObject::SetMember(const std::string& name, py::handle value) {
    CheckUsable(name);
    DISPID id = 0;
    HRESULT resolved = S_OK;
    {
        py::gil_scoped_release unlocked;
        resolved = Hosted->Resolve(name, id);
    }
    if (FAILED(resolved)) return false;
    MemberDescription scratch;
    const MemberDescription* member = Describe(name, name, scratch);
    if (member->Kind != MemberKind::Property) {
        RaiseControlError(DISP_E_MEMBERNOTFOUND, "is a method, not a property: call it", member->Name);
    }
    Variant typed;
    HRESULT code = S_OK;
    std::string why;
    if (!ToVariant(value, member->Result, typed, code, why)) RaiseControlError(code, "the value " + why, member->Name);
    DispatchError error;
    HRESULT hr = S_OK;
    {
        py::gil_scoped_release unlocked;
        hr = Hosted->Set(member->Name, typed, &error);
    }
    if (FAILED(hr)) RaiseControlError(hr, MemberText(error, hr), member->Name);
    return true;
}

py::object ControlObject::CallMethod(const std::string& name, const py::args& args) {
    CheckUsable(name);
    MemberDescription scratch;
    const MemberDescription* member = Describe(name, name, scratch);
    if (member->Kind != MemberKind::Method) {
        RaiseControlError(DISP_E_MEMBERNOTFOUND, "is a property, not a method", member->Name);
    }
    const auto& params = member->Params;
    // Trailing by-reference parameters are outputs a script may leave out.
    std::size_t required = params.size();
    while (required > 0 && (params[required - 1].Type & VT_BYREF)) --required;
    const std::size_t given = args.size();
    if (given < required || given > params.size()) {
        const std::string wanted = required == params.size()
                                       ? std::to_string(required)
                                       : std::to_string(required) + " to " + std::to_string(params.size());
        RaiseControlError(
            DISP_E_BADPARAMCOUNT,
            "takes " + wanted + " argument" + (params.size() == 1 ? "" : "s") + ", " + std::to_string(given) + " given",
            member->Name);
    }
    References refs;
    std::vector<Variant> values;
    values.reserve(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const VARTYPE type = params[i].Type;
        Variant value;
        if (i < given) {
            HRESULT code = S_OK;
            std::string why;
            if (!ToVariant(args[i], type & VT_TYPEMASK, value, code, why)) {
                RaiseControlError(code, "argument " + std::to_string(i + 1) + " (" + params[i].Name + ") " + why,
                                  member->Name);
            }
        }
        values.push_back((type & VT_BYREF) ? refs.Make(type, value) : value);
    }
    Variant result;
    DispatchError error;
    HRESULT hr = S_OK;
    {
        py::gil_scoped_release unlocked;
        hr = Hosted->Call(member->Name, values, &result, &error);
    }
    if (FAILED(hr)) RaiseControlError(hr, MemberText(error, hr), member->Name);

    std::vector<py::object> outputs;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].Type & VT_BYREF) outputs.push_back(FromVariant(values[i]));
    }
    if (outputs.empty()) return FromVariant(result);
    // As other scripting hosts give them: the result, then each output in order.
    py::list all;
    if (member->Result != VT_EMPTY) all.append(FromVariant(result));
    for (auto& output : outputs) all.append(output);
    if (all.size() == 1) return all[0];
    return py::tuple(all);
}

std::vector<std::string> ControlObject::MemberNames() {
    std::vector<std::string> names;
    if (!Hosted) return names;
    if (const ClassTypeInfo* info = Hosted->TypeInfo()) {
        for (const auto& member : info->Dispatch.Members) names.push_back(member.Name);
    } else {
        for (const auto& member : Hosted->Control()->GetDispatchTable().Members()) names.push_back(member.Name);
    }
    return names;
}

std::string ControlObject::Describe() const { return Name + (Hosted ? "" : " (released)"); }

void ControlObject::AttachSelf(PyObject* self) {
    if (Targets) Targets->Self = self;
}

void ControlObject::AttachHandler(py::object handler) {
    CheckUsable("WithEvents");
    Targets->Handlers.push_back(std::move(handler));
}

py::object ControlObject::SaveProperties(const py::object& path) {
    CheckUsable("SaveProperties");
    if (!path.is_none()) {
        const std::string file = py::str(path);
        std::string error;
        bool saved = false;
        {
            py::gil_scoped_release unlocked;
            saved = Hosted->SavePropertiesFile(file, &error);
        }
        if (!saved) RaiseControlError(STG_E_CANTSAVE, error, "SaveProperties");
        return py::none();
    }
    PropertyBag bag;
    HRESULT hr = S_OK;
    {
        py::gil_scoped_release unlocked;
        hr = Hosted->SaveProperties(bag);
    }
    if (FAILED(hr)) RaiseControlError(hr, DescribeResult(hr), "SaveProperties");
    py::dict saved;
    for (const std::string& name : bag.Names()) saved[py::str(name)] = py::str(*bag.Find(name));
    return saved;
}

py::list ControlObject::LoadProperties(const py::object& source) {
    CheckUsable("LoadProperties");
    std::vector<std::string> issues;
    if (py::isinstance<py::dict>(source)) {
        PropertyBag bag;
        for (auto [key, value] : py::cast<py::dict>(source)) {
            const std::string name = py::str(key);
            bool written = false;
            if (PyUnicode_Check(value.ptr())) {
                written = bag.Write(name, py::cast<std::string>(value), true);
            } else if (PyBool_Check(value.ptr())) {
                written = bag.Write(name, value.ptr() == Py_True ? "true" : "false");
            } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
                written = bag.Write(name, py::str(value));
            } else {
                RaiseControlError(DISP_E_TYPEMISMATCH, "the value of \"" + name + "\" is not bool, int, float or str",
                                  "LoadProperties");
            }
            if (!written) {
                RaiseControlError(E_INVALIDARG, "\"" + name + "\" cannot be a property name", "LoadProperties");
            }
        }
        HRESULT hr = S_OK;
        {
            py::gil_scoped_release unlocked;
            hr = Hosted->LoadProperties(bag, &issues);
        }
        if (FAILED(hr)) RaiseControlError(hr, DescribeResult(hr), "LoadProperties");
    } else {
        const std::string file = py::str(source);
        std::string error;
        bool loaded = false;
        {
            py::gil_scoped_release unlocked;
            loaded = Hosted->LoadPropertiesFile(file, &issues, &error);
        }
        if (!loaded) RaiseControlError(STG_E_FILENOTFOUND, error, "LoadProperties");
    }
    py::list out;
    for (const auto& issue : issues) out.append(py::str(issue));
    return out;
}

HWND ControlObject::Activate(std::uint64_t parent, int x, int y, int width, int height) {
    CheckUsable("Activate");
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096) {
        RaiseControlError(E_INVALIDARG, "the size must be 1 to 4096 pixels each way", "Activate");
    }
    // X keeps a window's place in 16 bits.
    if (x < -32768 || x > 32767 || y < -32768 || y > 32767) {
        RaiseControlError(E_INVALIDARG, "the place must be -32768 to 32767 each way", "Activate");
    }
    if (!DisplayInUse()) {
        RaiseControlError(E_UNEXPECTED, "no display: call ocx.UseDisplay() before the first control is made",
                          "Activate");
    }
    HRESULT hr = S_OK;
    HWND window = 0;
    DWORD attachError = 0;
    {
        py::gil_scoped_release unlocked;
        // Another foreign window, or the stand-in went with its window: the
        // control's window is made again under the new one. The same one only
        // moves it.
        if (!Frame || FrameId != parent || !IsWindow(Frame)) {
            const HWND frame = host::AttachForeignWindow(parent);
            if (!frame) {
                attachError = GetLastError();
            } else {
                if (Frame) DestroyWindow(Frame);  // only lets go of the foreign window
                Frame = frame;
                FrameId = parent;
            }
        }
        if (!attachError) {
            hr = ActivateIn(Frame, RECT{x, y, x + width, y + height});
            window = Hosted->Window();
        }
    }
    if (attachError == ERROR_NOT_SUPPORTED) {
        RaiseControlError(E_UNEXPECTED, "the display has gone away", "Activate");
    }
    if (attachError) {
        char id[32];
        std::snprintf(id, sizeof id, "0x%llx", static_cast<unsigned long long>(parent));
        RaiseControlError(E_INVALIDARG, std::string(id) + " is not a window of the display", "Activate");
    }
    if (FAILED(hr)) RaiseControlError(hr, "the control cannot be placed in that window", "Activate");
    return window;
}

HRESULT ControlObject::ActivateIn(HWND parent, const RECT& position) noexcept {
    // An active control only moves within its parent: under another one its
    // window is made again.
    const HWND window = Hosted->Window();
    if (window && GetParent(window) != parent) Hosted->Deactivate();
    return Hosted->Activate(parent, position);
}

std::uint64_t ControlObject::NativeWindowId() {
    CheckUsable("NativeWindowId");
    return host::NativeWindowId(Hosted->Window());
}

HWND ControlObject::ShowInWindow(int width, int height) {
    CheckUsable("ShowInWindow");
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096) {
        RaiseControlError(E_INVALIDARG, "the size must be 1 to 4096 pixels each way", "ShowInWindow");
    }
    HRESULT hr = S_OK;
    HWND window = 0;
    {
        py::gil_scoped_release unlocked;
        if (!Container) Container = CreateContainerWindow(width, height, Name.c_str());
        if (!Container) {
            hr = E_FAIL;
        } else {
            SetWindowPos(Container, 0, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
            hr = ActivateIn(Container, RECT{0, 0, width, height});
            window = Hosted->Window();
        }
    }
    if (FAILED(hr)) RaiseControlError(hr, "the control cannot be shown in a window", "ShowInWindow");
    return window;
}

void ControlObject::Click(int x, int y) {
    CheckUsable("Click");
    const HWND window = Hosted->Window();
    if (!window) RaiseControlError(E_UNEXPECTED, "the control has no window: show it first", "Click");
    if (!host::Click(window, x, y)) RaiseControlError(E_FAIL, "the click could not be delivered", "Click");
}

void ControlObject::Deactivate() {
    CheckUsable("Deactivate");
    py::gil_scoped_release unlocked;
    Hosted->Deactivate();
}

HWND ControlObject::WindowHandle() {
    CheckUsable("WindowHandle");
    return Hosted->Window();
}

void CloseThreadControls(bool releaseGil) noexcept {
    // The apartment goes first: a control's thread waiting there for an
    // answer is let go at once, so the controls below end without delay.
    if (auto apartment = Apartment::CurrentIfAny()) apartment->Close();
    const DWORD self = GetCurrentThreadId();
    std::vector<ControlObject*> mine;
    for (ControlObject* control : Open()) {
        if (control->OwnerThread() == self) mine.push_back(control);
    }
    for (ControlObject* control : mine) control->Close(releaseGil);
}

void CloseAllControls() noexcept {
    Finalizing.store(true, std::memory_order_release);
    CloseThreadControls(false);
    std::vector<ControlObject*> rest(Open().begin(), Open().end());
    for (ControlObject* control : rest) control->Close(false);
}

}  // namespace ocx
