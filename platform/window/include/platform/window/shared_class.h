#pragma once

#include <memory>

#include "platform/window/window.h"

namespace platform {

namespace detail {
struct WindowClass;
}

// A window class shared by the objects of a module that make windows of it:
// controls, their notification threads, renderers. Each such object holds a
// SharedWindowClass for as long as it may create windows of the class. The
// first holder registers the class, the last one takes it away again, and
// both happen under the window layer's own lock, so an object ending on one
// thread never takes the class from one starting on another.
//
//     WNDCLASS description{};
//     description.lpfnWndProc = &NotifyProc;
//     description.lpszClassName = "{3D1B7A40-52C6-4E0B-8F11-6A2C905E13FF}";
//     SharedWindowClass notifyClass(description);
//     if (!notifyClass) return GetLastError();  // nothing is held
//     HWND window = CreateWindowEx(0, description.lpszClassName, ...);
//     ...
//     DestroyWindow(window);
//     // notifyClass lets go when it leaves scope (or at Release()).
//
// The first holder's description is the class's; later holders join it when
// they name the same procedure. A holder that fails holds nothing and counts
// for nothing: the class is left as it was.
//
// Windows of the class still alive when the last holder lets go (one whose
// thread was asked to close it and has not yet) keep the class: it goes with
// the last of them, unless a new holder has come meanwhile.
//
// Do not pass a shared class's name to UnregisterClass: it belongs to its
// holders.
//
// Any thread. Moving a holder moves its hold; copying is not possible.
class SharedWindowClass {
public:
    SharedWindowClass() noexcept = default;
    // Acquire(description); test the result with Held() or operator bool.
    explicit SharedWindowClass(const WNDCLASS& description) noexcept;
    ~SharedWindowClass();

    SharedWindowClass(SharedWindowClass&& other) noexcept;
    SharedWindowClass& operator=(SharedWindowClass&& other) noexcept;
    SharedWindowClass(const SharedWindowClass&) = delete;
    SharedWindowClass& operator=(const SharedWindowClass&) = delete;

    // Lets go of what was held, then registers the class or joins its
    // holders. False, holding nothing, with the last error set:
    // ERROR_INVALID_PARAMETER for a missing name or procedure,
    // ERROR_CLASS_ALREADY_EXISTS when the name is taken by a class registered
    // with RegisterClass or shared with another procedure,
    // ERROR_NOT_ENOUGH_MEMORY.
    bool Acquire(const WNDCLASS& description) noexcept;

    // Lets go; the last holder's release unregisters the class (see above).
    // Nothing happens when nothing is held.
    void Release() noexcept;

    bool Held() const noexcept { return Class != nullptr; }
    explicit operator bool() const noexcept { return Held(); }

    // The class's atom, 0 when nothing is held.
    ATOM Atom() const noexcept;

private:
    std::shared_ptr<detail::WindowClass> Class;
};

}  // namespace platform
