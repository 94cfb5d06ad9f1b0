// The ocx module: controls made by ProgID, called by name, heard through
// handler objects, on the Python thread that made them.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <optional>

#include "ControlObject.h"
#include "Display.h"
#include "Events.h"
#include "Values.h"
#include "platform/automation/registration.h"
#include "platform/automation/registry.h"

namespace py = pybind11;
using namespace platform;
using namespace ocx;
using namespace pybind11::literals;

namespace {

// A long pump wakes this often to let Ctrl-C and other threads' changes in.
constexpr std::chrono::milliseconds kSlice{50};

const char* const kPythonSide = R"py(
class ControlError(Exception):
    """A call a control refused: `code` is the result code, `text` says why,
    `member` names the member."""

    def __init__(self, code, text, member=""):
        Exception.__init__(self, code, text, member)
        self.code = code
        self.text = text
        self.member = member

    def __str__(self):
        where = f"{self.member}: " if self.member else ""
        return f"{where}{self.text} (0x{self.code:08X})"


class UnknownNameError(ControlError, AttributeError):
    """A name the control does not have; an AttributeError too, so that
    hasattr() and getattr() with a default work."""


class Ref:
    """A by-reference event parameter: a handler reads and sets `.value`."""

    __slots__ = ("value",)

    def __init__(self, value=None):
        self.value = value

    def __repr__(self):
        return f"Ref({self.value!r})"


class BoundMethod:
    """A control's method, ready to call."""

    __slots__ = ("_owner", "_name")

    def __init__(self, owner, name):
        self._owner = owner
        self._name = name

    def __call__(self, *args):
        return self._owner.Invoke(self._name, *args)

    def __repr__(self):
        return f"<method {self._name} of {self._owner!r}>"
)py";

std::optional<std::chrono::milliseconds> Limit(const py::object& timeout) {
    if (timeout.is_none()) return std::nullopt;
    const double seconds = py::cast<double>(timeout);
    if (!(seconds >= 0) || !std::isfinite(seconds)) throw py::value_error("timeout must be a number of seconds >= 0");
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

// Handles the calling thread's waiting messages; true when WM_QUIT was taken.
bool PumpWaiting() {
    py::gil_scoped_release unlocked;
    MSG msg{};
    // Bounded, so that a flood of posted messages cannot keep the caller here.
    for (int i = 0; i < 100000 && PeekMessage(&msg, 0, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT) return true;
        DispatchMessage(&msg);
    }
    return false;
}

using Clock = std::chrono::steady_clock;

// Pumps until done() (GIL held while it runs) or the limit; the result is
// done()'s last value. Python errors raised by done() or signals end it.
bool PumpUntil(const std::function<bool()>& done, std::optional<std::chrono::milliseconds> limit) {
    const auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    for (;;) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (done()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        const auto slice = std::min<Clock::duration>(kSlice, deadline - now);
        std::optional<py::error_already_set> failure;
        bool quit = false;
        {
            py::gil_scoped_release unlocked;
            PumpMessagesUntil(
                [&] {
                    py::gil_scoped_acquire locked;
                    try {
                        return done();
                    } catch (py::error_already_set& error) {
                        failure.emplace(std::move(error));
                        return true;
                    }
                },
                std::chrono::duration_cast<std::chrono::milliseconds>(slice));
            MSG msg{};
            quit = PeekMessage(&msg, 0, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
        }
        if (failure) throw std::move(*failure);
        if (quit) return done();
    }
}

ControlObject& Native(py::handle self) { return py::cast<ControlObject&>(self); }

bool IsPlainControl(py::handle self) { return !py::hasattr(self, "__dict__"); }

py::object ObjectSetattr() { return py::module_::import("builtins").attr("object").attr("__setattr__"); }

void AttachEvents(py::handle self, ControlObject& native) { native.AttachSelf(self.ptr()); }

std::string ModuleFile(const std::string& path) {
    // A bare name ("orvalis") stands for an installed module of that name.
    if (path.find('/') == std::string::npos) {
        std::string installed = FindInstalledModule(path);
        if (!installed.empty()) return installed;
    }
    return path;
}

void Register(const std::string& path, bool unregister) {
    const std::string file = ModuleFile(path);
    std::string error;
    HRESULT hr = S_OK;
    {
        py::gil_scoped_release unlocked;
        auto module = LoadedModule::Load(file, &error);
        if (!module) {
            hr = E_FAIL;
        } else {
            hr = unregister ? module->UnregisterServer() : module->RegisterServer();
            if (FAILED(hr)) error = AfxOleRegistrationError();
        }
    }
    const char* member = unregister ? "UnregisterModule" : "RegisterModule";
    if (FAILED(hr)) RaiseControlError(hr, error.empty() ? DescribeResult(hr) : error, member);
}

}  // namespace

PYBIND11_MODULE(ocx, m) {
    m.doc() = "Controls made by ProgID, called by name, and heard through handler objects.";
    py::dict scope = m.attr("__dict__");
    py::exec(kPythonSide, scope);
    Types().ControlError = m.attr("ControlError");
    Types().UnknownNameError = m.attr("UnknownNameError");
    Types().Ref = m.attr("Ref");
    Types().BoundMethod = m.attr("BoundMethod");
    m.attr("ControlError").attr("__module__") = "ocx";
    m.attr("UnknownNameError").attr("__module__") = "ocx";
    m.attr("Ref").attr("__module__") = "ocx";
    m.attr("BoundMethod").attr("__module__") = "ocx";

    py::class_<ControlObject> controlClass(m, "Control", "A control, made on this thread and used from it.");
    controlClass.def(py::init([](const std::string& progId, const py::object& properties) {
                         auto made = std::make_unique<ControlObject>(progId);
                         if (!properties.is_none()) made->LoadProperties(properties);
                         return made;
                     }),
                     py::arg("progid_or_clsid"), py::arg("properties") = py::none());
    controlClass.def("__getattr__", [](py::handle self, const std::string& name) -> py::object {
        if (name.empty() || name[0] == '_') {
            throw py::attribute_error("'" + std::string(py::str(py::type::handle_of(self).attr("__name__"))) +
                                      "' object has no attribute '" + name + "'");
        }
        return Native(self).GetMember(self, name);
    });
    controlClass.def("__setattr__", [](py::handle self, const std::string& name, const py::object& value) {
        if (name.empty() || name[0] == '_') {
            ObjectSetattr()(self, name, value);
            return;
        }
        ControlObject& native = Native(self);
        if (!IsPlainControl(self)) {
            // A handler object's own attributes stay Python's unless the
            // control has a property of that name.
            if (native.Closed() || !native.SetMember(name, value)) ObjectSetattr()(self, name, value);
            return;
        }
        if (!native.SetMember(name, value)) {
            RaiseControlError(DISP_E_UNKNOWNNAME, "the control has no member \"" + name + "\"", name);
        }
    });
    controlClass.def("__dir__", [](py::handle self) {
        py::list names = py::module_::import("builtins").attr("object").attr("__dir__")(self);
        for (const auto& name : Native(self).MemberNames()) names.append(py::str(name));
        return names;
    });
    controlClass.def("__repr__", [](py::handle self) { return "<ocx.Control " + Native(self).Describe() + ">"; });
    controlClass.def(
        "Invoke",
        [](ControlObject& self, const std::string& name, const py::args& args) { return self.CallMethod(name, args); },
        py::arg("name"), "Calls a method by name (also one that a host method here hides).");
    controlClass.def(
        "GetProperty", [](py::handle self, const std::string& name) { return Native(self).GetMember(self, name); },
        py::arg("name"));
    controlClass.def(
        "SetProperty",
        [](ControlObject& self, const std::string& name, const py::object& value) {
            if (!self.SetMember(name, value)) {
                RaiseControlError(DISP_E_UNKNOWNNAME, "the control has no member \"" + name + "\"", name);
            }
        },
        py::arg("name"), py::arg("value"));
    controlClass.def("SaveProperties", &ControlObject::SaveProperties, py::arg("path") = py::none(),
                     "The properties as a dict of their saved text, or written to a file when a path is given.");
    controlClass.def("LoadProperties", &ControlObject::LoadProperties, py::arg("source"),
                     "Loads a dict from SaveProperties() or a saved file; returns the problems met.");
    controlClass.def("Activate", &ControlObject::Activate, py::arg("parent"), py::arg("x"), py::arg("y"),
                     py::arg("width"), py::arg("height"),
                     "Places the control inside a native window of the display (a Tk frame's winfo_id()); "
                     "returns the control's window. Needs ocx.UseDisplay().");
    controlClass.def("ShowInWindow", &ControlObject::ShowInWindow, py::arg("width"), py::arg("height"),
                     "Activates the control in a window of the host's own; returns the control's window.");
    controlClass.def("Click", &ControlObject::Click, py::arg("x"), py::arg("y"),
                     "A left click at (x, y) in the control's window, handled while the thread pumps.");
    controlClass.def("Deactivate", &ControlObject::Deactivate);
    controlClass.def_property_readonly("WindowHandle", &ControlObject::WindowHandle);
    controlClass.def_property_readonly("NativeWindowId", &ControlObject::NativeWindowId,
                                       "The control's X window id; 0 while it is not active or off screen.");

    m.def(
        "Dispatch",
        [](const py::object& progId, const py::object& properties) {
            return py::module_::import("ocx").attr("Control")(progId, properties);
        },
        py::arg("progid_or_clsid"), py::arg("properties") = py::none(),
        "Makes a control by ProgID or class id on this thread.");
    m.def(
        "DispatchWithEvents",
        [](const py::object& progId, const py::object& handler) {
            py::object builtins = py::module_::import("builtins");
            py::object base = py::module_::import("ocx").attr("Control");
            py::object combined = builtins.attr("type")(handler.attr("__name__"), py::make_tuple(base, handler),
                                                        py::dict("__module__"_a = handler.attr("__module__")));
            py::object made = combined(progId);
            AttachEvents(made, Native(made));
            py::object init = handler.attr("__init__");
            if (!init.is(builtins.attr("object").attr("__init__"))) init(made);
            return made;
        },
        py::arg("progid_or_clsid"), py::arg("handler_class"),
        "Makes a control that is also an instance of handler_class, whose On<Event> methods hear its events.");
    m.def(
        "WithEvents",
        [](const py::object& control, const py::object& handler) {
            py::object instance = handler;
            if (py::isinstance<py::type>(handler)) instance = handler();
            Native(control).AttachHandler(instance);
            return instance;
        },
        py::arg("control"), py::arg("handler"),
        "Attaches a handler (a class is instantiated) to a control's events; returns the handler object.");

    m.def(
        "PumpWaitingMessages", [] { return PumpWaiting() ? 1 : 0; },
        "Handles the messages waiting for this thread; 1 when a quit message was taken, else 0.");
    m.def(
        "PumpMessages",
        [](const py::object& timeout) {
            bool quit = false;
            PumpUntil(
                [&] {
                    MSG msg{};
                    quit = PeekMessage(&msg, 0, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
                    return quit;
                },
                Limit(timeout));
            if (quit) {
                MSG msg{};
                PeekMessage(&msg, 0, WM_QUIT, WM_QUIT, PM_REMOVE);
            }
            return !quit;
        },
        py::arg("timeout") = py::none(),
        "Handles messages for timeout seconds (None: until a quit message); False when a quit message ended it.");
    m.def(
        "PumpMessagesUntil",
        [](const py::object& predicate, const py::object& timeout) {
            return PumpUntil([&] { return py::bool_(predicate()).cast<bool>(); }, Limit(timeout));
        },
        py::arg("predicate"), py::arg("timeout") = py::none(),
        "Handles messages until predicate() is true or timeout seconds have passed; predicate()'s last value.");

    m.def(
        "RegisterModule", [](const std::string& path) { Register(path, false); }, py::arg("path"),
        "Registers a control module (a path, or the name of an installed one) in the registry in use.");
    m.def(
        "UnregisterModule", [](const std::string& path) { Register(path, true); }, py::arg("path"));
    m.def(
        "SetRegistryPath", [](const std::string& path) { SetRegistryPath(path); }, py::arg("path"),
        "Uses another registry file from now on; \"\" goes back to the default.");
    m.def("GetRegistryPath", [] { return GetRegistryPath(); });

    m.def("UseDisplay", &UseDisplay, py::arg("name") = py::none(),
          "Shows this process's windows on an X display (None: $DISPLAY); before the first control.");
    m.def("DisplayInUse", &DisplayInUse, "True once UseDisplay has connected.");

    // Controls end before the interpreter does: their threads may fire until
    // they are released, and nothing may reach Python after finalisation.
    m.def("_close_all", [] { CloseAllControls(); });
    py::module_::import("atexit").attr("register")(m.attr("_close_all"));
}
