// The control's windows: their classes, the hidden apartment window that
// carries calls over to the control's thread, the control's own window with
// its procedure and hooks, in-place activation and painting.

#include "platform/automation/control.h"

#include <utility>

#include "control_internal.h"
#include "platform/notice/notice.h"

namespace platform {

LRESULT ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT ApartmentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

using detail::kDeleteMessage;
using detail::kInvokeMessage;
using detail::MarshaledCall;

namespace {

constexpr const char* kControlWindowClass = "platform.automation.ControlWindow";
constexpr const char* kApartmentWindowClass = "platform.automation.Apartment";

WNDCLASS ClassOf(const char* name, WNDPROC procedure, HBRUSH background = nullptr) {
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.lpszClassName = name;
    windowClass.hbrBackground = background;
    return windowClass;
}

thread_local COleControl* DeletingFromApartment = nullptr;

}  // namespace

LRESULT ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* control = reinterpret_cast<COleControl*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCT*>(lParam);
        control = create ? static_cast<COleControl*>(create->lpCreateParams) : nullptr;
        if (!control) return -1;
        SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(control));
        // The control's OnCreate may hand its window to others already.
        control->Window.store(window, std::memory_order_release);
    }
    if (!control) return platform::DefWindowProc(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtr(window, GWLP_USERDATA, 0);
        control->Window.store(0, std::memory_order_release);
        return 0;
    }
    try {
        return control->WindowProc(message, wParam, lParam);
    } catch (const std::exception& e) {
        ShowNotice(std::string("A control failed while handling a window message: ") + e.what());
    } catch (...) {
        ShowNotice("A control failed while handling a window message");
    }
    return 0;
}

LRESULT ApartmentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* control = reinterpret_cast<COleControl*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCT*>(lParam);
        SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create ? create->lpCreateParams : nullptr));
        return 0;
    }
    if (control && message == kInvokeMessage) {
        auto* call = reinterpret_cast<MarshaledCall*>(lParam);
        call->Outcome = control->InvokeHere(call->Id, call->Kind, call->Args, call->Result, call->Error);
        return 1;
    }
    if (control && message == kDeleteMessage) {
        DeletingFromApartment = control;
        delete control;
        DeletingFromApartment = nullptr;
        return 1;
    }
    return platform::DefWindowProc(window, message, wParam, lParam);
}

COleControl::COleControl()
    : OwnerThread(GetCurrentThreadId()),
      ApartmentClass(ClassOf(kApartmentWindowClass, &ApartmentWindowProc)),
      // A repaint that asks for an erase starts from white, whatever the
      // control then draws over it.
      ControlClass(ClassOf(kControlWindowClass, &ControlWindowProc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)))) {
    Apartment = CreateWindowEx(0, kApartmentWindowClass, "", WS_POPUP, 0, 0, 0, 0, 0, nullptr, nullptr, this);
}

COleControl::~COleControl() {
    const bool here = OnOwnerThread();
    if (HWND window = Window.exchange(0)) {
        // The derived part is gone: the window must not reach it any more.
        SetWindowLongPtr(window, GWLP_USERDATA, 0);
        if (here) DestroyWindow(window);
    }
    if (Apartment) {
        SetWindowLongPtr(Apartment, GWLP_USERDATA, 0);
        if (here && DeletingFromApartment != this) {
            DestroyWindow(Apartment);
        } else {
            // Inside its own procedure, or not our thread: let the owner's
            // loop close it.
            PostMessage(Apartment, WM_CLOSE, 0, 0);
        }
    }
}

HRESULT COleControl::InPlaceActivate(HWND parent, const RECT& position) noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    if (GetControlWindow()) return SetObjectRects(position);
    if (!IsWindow(parent)) return E_INVALIDARG;
    Extent = RECT{0, 0, position.right - position.left, position.bottom - position.top};
    HWND window =
        CreateWindowEx(0, kControlWindowClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                       position.left, position.top, Extent.right, Extent.bottom, parent, nullptr, OwnerModule(), this);
    return window ? S_OK : E_FAIL;
}

HRESULT COleControl::InPlaceDeactivate() noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    HWND window = GetControlWindow();
    if (!window) return S_OK;
    return DestroyWindow(window) ? S_OK : E_FAIL;
}

HRESULT COleControl::SetObjectRects(const RECT& position) noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    Extent = RECT{0, 0, position.right - position.left, position.bottom - position.top};
    HWND window = GetControlWindow();
    if (!window) return S_OK;
    return platform::SetWindowPos(window, 0, position.left, position.top, Extent.right, Extent.bottom,
                                  SWP_NOZORDER | SWP_NOACTIVATE)
               ? S_OK
               : E_FAIL;
}

HDC COleControl::GetDC() noexcept {
    HWND window = GetControlWindow();
    return window ? platform::GetDC(window) : nullptr;
}

int COleControl::ReleaseDC(HDC dc) noexcept {
    HWND window = GetControlWindow();
    return window ? platform::ReleaseDC(window, dc) : 0;
}

HWND COleControl::SetCapture() noexcept {
    HWND window = GetControlWindow();
    return window ? platform::SetCapture(window) : 0;
}

BOOL COleControl::ReleaseCapture() noexcept {
    HWND window = GetControlWindow();
    if (!window || platform::GetCapture() != window) return FALSE;
    return platform::ReleaseCapture();
}

HWND COleControl::GetCapture() const noexcept { return platform::GetCapture(); }

void COleControl::GetClientRect(RECT* rect) const noexcept {
    if (!rect) return;
    HWND window = GetControlWindow();
    if (!window || !platform::GetClientRect(window, rect)) {
        *rect = RECT{0, 0, Extent.right - Extent.left, Extent.bottom - Extent.top};
    }
}

BOOL COleControl::SetWindowPos(HWND insertAfter, int x, int y, int width, int height, UINT flags) noexcept {
    HWND window = GetControlWindow();
    if (!window) return FALSE;
    if (!(flags & SWP_NOSIZE)) Extent = RECT{0, 0, width, height};
    return platform::SetWindowPos(window, insertAfter, x, y, width, height, flags);
}

void COleControl::InvalidateControl(const RECT* rect, BOOL erase) noexcept {
    if (HWND window = GetControlWindow()) InvalidateRect(window, rect, erase);
}

BOOL COleControl::UpdateWindow() noexcept {
    HWND window = GetControlWindow();
    return window ? platform::UpdateWindow(window) : FALSE;
}

int COleControl::OnCreate(CREATESTRUCT*) { return 0; }

void COleControl::OnDraw(HDC, const RECT&, const RECT&) {}

void COleControl::OnSize(UINT, int width, int height) { Extent = RECT{0, 0, width, height}; }

void COleControl::OnDestroy() {}

void COleControl::OnLButtonDown(UINT, POINT) { ButtonDown = true; }

void COleControl::OnLButtonUp(UINT, POINT point) {
    bool wasDown = std::exchange(ButtonDown, false);
    RECT client{};
    GetClientRect(&client);
    if (wasDown && PtInRect(client, point)) FireClick();
}

void COleControl::OnMouseMove(UINT, POINT) {}

void COleControl::OnActivate(UINT, HWND, BOOL) {}

void COleControl::OnGetMinMaxInfo(MINMAXINFO*) {}

void COleControl::OnSetFocus(HWND) {}

void COleControl::OnKillFocus(HWND) {}

void COleControl::Paint() noexcept {
    HWND window = GetControlWindow();
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window, &paint);
    if (!dc) return;
    RECT bounds{};
    platform::GetClientRect(window, &bounds);
    try {
        OnDraw(dc, bounds, paint.rcPaint);
    } catch (...) {
        // A failed drawing leaves the picture as it was; the window is validated.
    }
    EndPaint(window, &paint);
}

LRESULT COleControl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    auto point = [lParam] { return POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; };
    switch (message) {
        case WM_CREATE: return OnCreate(reinterpret_cast<CREATESTRUCT*>(lParam));
        case WM_PAINT: Paint(); return 0;
        case WM_SIZE:
            OnSize(static_cast<UINT>(wParam), LOWORD(static_cast<std::uintptr_t>(lParam)),
                   HIWORD(static_cast<std::uintptr_t>(lParam)));
            return 0;
        case WM_DESTROY: OnDestroy(); return 0;
        case WM_LBUTTONDOWN: OnLButtonDown(static_cast<UINT>(wParam), point()); return 0;
        case WM_LBUTTONUP: OnLButtonUp(static_cast<UINT>(wParam), point()); return 0;
        case WM_MOUSEMOVE: OnMouseMove(static_cast<UINT>(wParam), point()); return 0;
        case WM_ACTIVATE:
            OnActivate(LOWORD(wParam), static_cast<HWND>(lParam), HIWORD(wParam) != 0 ? TRUE : FALSE);
            return 0;
        case WM_GETMINMAXINFO:
            OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
            return DefWindowProc(message, wParam, lParam);
        case WM_SETFOCUS: OnSetFocus(static_cast<HWND>(wParam)); return 0;
        case WM_KILLFOCUS: OnKillFocus(static_cast<HWND>(wParam)); return 0;
        default: return DefWindowProc(message, wParam, lParam);
    }
}

LRESULT COleControl::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return platform::DefWindowProc(GetControlWindow(), message, wParam, lParam);
}

}  // namespace platform
