// Mouse capture, keyboard focus and activation.

#include <utility>

#include "internal.h"

namespace platform {

using namespace detail;

namespace {

// What a window is sent when it loses or gains one of the roles below; the
// other window of the change goes in wParam or in lParam.
struct Notice {
    UINT Message = 0;  // 0: nothing is sent
    WPARAM WParam = 0;
    bool OtherInWParam = false;
};

constexpr Notice kNothing{};
constexpr Notice kCaptureLost{WM_CAPTURECHANGED, 0, false};
constexpr Notice kDeactivated{WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), false};
constexpr Notice kActivated{WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), false};
constexpr Notice kFocusLost{WM_KILLFOCUS, 0, true};
constexpr Notice kFocusGained{WM_SETFOCUS, 0, true};

// Sent, so each window hears of it on its own thread.
void Tell(HWND window, const Notice& notice, HWND other) {
    if (window == 0 || notice.Message == 0) return;
    if (notice.OtherInWParam)
        SendMessage(window, notice.Message, static_cast<WPARAM>(other), 0);
    else
        SendMessage(window, notice.Message, notice.WParam, static_cast<LPARAM>(other));
}

// Gives a role that one window holds at a time (the capture, activation, the
// focus) to window (0: to none), then tells the window that lost it and the
// one that gained it, outside the lock. Nothing is sent when window already
// held it. Returns the previous holder.
HWND HandOver(HWND Globals::*role, HWND window, const Notice& lost, const Notice& gained) {
    HWND previous = 0;
    {
        std::unique_lock lock(G().TreeLock);
        previous = std::exchange(G().*role, window);
    }
    if (previous == window) return previous;
    Tell(previous, lost, window);
    Tell(window, gained, previous);
    return previous;
}

// The role's holder while it lives, else 0.
HWND HolderOf(HWND Globals::*role) {
    std::shared_lock lock(G().TreeLock);
    return LookupWindowLocked(G().*role) ? G().*role : 0;
}

bool LiveOrNone(HWND window) {
    if (window == 0 || IsWindow(window)) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

}  // namespace

HWND SetCapture(HWND window) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return 0;
    if (!OwnedByCaller(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const HWND previous = HandOver(&Globals::Capture, window, kCaptureLost, kNothing);
    G().Backend->CaptureChanged(window);
    return previous;
}

BOOL ReleaseCapture() noexcept {
    HWND previous = 0;
    {
        std::unique_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(G().Capture);
        if (!w || !OwnedByCaller(*w)) return FALSE;
        previous = std::exchange(G().Capture, 0);
    }
    G().Backend->CaptureChanged(0);
    Tell(previous, kCaptureLost, 0);
    return TRUE;
}

HWND GetCapture() noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(G().Capture);
    return w && OwnedByCaller(*w) ? w->Handle : 0;
}

HWND SetActiveWindow(HWND window) noexcept {
    if (!LiveOrNone(window)) return 0;
    return HandOver(&Globals::Active, window, kDeactivated, kActivated);
}

HWND GetActiveWindow() noexcept { return HolderOf(&Globals::Active); }

HWND SetFocus(HWND window) noexcept {
    if (!LiveOrNone(window)) return 0;
    return HandOver(&Globals::Focus, window, kFocusLost, kFocusGained);
}

HWND GetFocus() noexcept { return HolderOf(&Globals::Focus); }

}  // namespace platform
