#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Apartment.h"
#include "platform/automation/container.h"

// One control as a script holds it: made on a Python thread and used there,
// its members reached by name, its events handed to Python handlers on that
// thread.
namespace ocx {

namespace py = pybind11;

// Where a control's events go. Its Python references are only touched with
// the GIL held, and let go when the control is closed.
struct EventTargets {
    // Written on the owner thread when the control closes, read by every
    // thread that fires.
    std::atomic<bool> Alive{true};
    platform::DWORD OwnerThread = 0;
    std::shared_ptr<Apartment> Home;
    PyObject* Self = nullptr;          // the control object itself (DispatchWithEvents), borrowed
    std::vector<py::object> Handlers;  // handler objects attached with WithEvents
};

class ControlObject {
public:
    // Makes the control on the calling thread; ControlError when it cannot
    // be made.
    explicit ControlObject(const std::string& progIdOrClsid);
    ~ControlObject();
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    // Disconnects and releases the control (GIL held). `releaseGil` lets
    // other Python threads run while the control ends.
    void Close(bool releaseGil) noexcept;
    bool Closed() const noexcept { return !Hosted; }
    platform::DWORD OwnerThread() const noexcept { return Owner; }

    // obj.Name: a property's value, or the method to call. ControlError for an
    // unknown name.
    py::object GetMember(py::handle self, const std::string& name);
    // obj.Name = value for a property. False when the control has no member
    // of that name (the caller decides what that means).
    bool SetMember(const std::string& name, py::handle value);
    py::object CallMethod(const std::string& name, const py::args& args);
    // The members' names from the type information.
    std::vector<std::string> MemberNames();
    std::string Describe() const;

    void AttachSelf(PyObject* self);
    void AttachHandler(py::object handler);

    py::object SaveProperties(const py::object& path);
    py::list LoadProperties(const py::object& source);

    // Places the control at (x, y) inside a native window of the display (a
    // Tk frame's winfo_id()); again with the same window it moves and sizes
    // it. Returns the control's window.
    platform::HWND Activate(std::uint64_t parent, int x, int y, int width, int height);
    // The control's X window id; 0 while it is not active or off screen.
    std::uint64_t NativeWindowId();
    platform::HWND ShowInWindow(int width, int height);
    void Click(int x, int y);
    void Deactivate();
    platform::HWND WindowHandle();

private:
    // ControlError unless the control is alive and this is its thread.
    void CheckUsable(std::string_view member) const;
    const platform::MemberDescription* Describe(std::string_view name, std::string_view member,
                                                platform::MemberDescription& scratch);
    void Connect();
    // Owner thread, GIL released.
    platform::HRESULT ActivateIn(platform::HWND parent, const platform::RECT& position) noexcept;

    std::unique_ptr<platform::HostedControl> Hosted;  // owner thread
    std::string Name;
    platform::DWORD Owner = 0;
    std::shared_ptr<Apartment> Home;
    std::shared_ptr<EventTargets> Targets;
    platform::DWORD Cookie = 0;
    platform::HWND Container = 0;  // a window of the host's own, from ShowInWindow
    platform::HWND Frame = 0;      // stands for the foreign window given to Activate
    std::uint64_t FrameId = 0;     // that foreign window's X id
};

// Set once the interpreter is on its way out: events are dropped from then on.
extern std::atomic<bool> Finalizing;

// Closes every control made on the calling thread (its end, or the
// interpreter's), then its apartment. GIL held.
void CloseThreadControls(bool releaseGil) noexcept;
// Closes every control still open, whatever its thread (interpreter exit).
void CloseAllControls() noexcept;

}  // namespace ocx
