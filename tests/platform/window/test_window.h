#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/window/window.h"

// Test windows whose procedure records every message and may be given a
// behaviour of its own. The creation parameter is the window's Probe, stored
// in its user data at WM_CREATE, as the controls do.
namespace testwin {

using namespace platform;

struct Seen {
    HWND Window;
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    DWORD Thread;
};

class Probe {
public:
    // Runs before the default handling; return true to mark the message handled.
    std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> Handler;

    void Record(const Seen& s) {
        std::lock_guard lock(Lock);
        Log.push_back(s);
    }
    std::vector<Seen> Messages() const {
        std::lock_guard lock(Lock);
        return Log;
    }
    std::vector<UINT> Kinds() const {
        std::vector<UINT> kinds;
        for (const Seen& s : Messages()) kinds.push_back(s.Message);
        return kinds;
    }
    int Count(UINT message) const {
        int n = 0;
        for (const Seen& s : Messages()) n += s.Message == message;
        return n;
    }
    void Clear() {
        std::lock_guard lock(Lock);
        Log.clear();
    }

private:
    mutable std::mutex Lock;
    std::vector<Seen> Log;
};

inline LRESULT ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCT*>(lParam);
        SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* probe = reinterpret_cast<Probe*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (!probe) return DefWindowProc(window, message, wParam, lParam);
    probe->Record(Seen{window, message, wParam, lParam, GetCurrentThreadId()});
    LRESULT result = 0;
    if (probe->Handler && probe->Handler(window, message, wParam, lParam, result)) return result;
    return DefWindowProc(window, message, wParam, lParam);
}

inline const char* ClassName() {
    static const bool registered = [] {
        WNDCLASS c;
        c.lpfnWndProc = ProbeProc;
        c.lpszClassName = "ProbeWindow";
        c.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        return RegisterClass(&c) != 0;
    }();
    (void)registered;
    return "ProbeWindow";
}

inline HWND Make(Probe& probe, int x, int y, int width, int height, HWND parent = 0, DWORD style = WS_VISIBLE) {
    if (parent) style |= WS_CHILD;
    return CreateWindowEx(0, ClassName(), "", style, x, y, width, height, parent, nullptr, nullptr, &probe);
}

// The window's rectangle in its parent's client coordinates (the screen's
// for a top-level window).
inline RECT RectInParent(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    POINT origin{r.left, r.top};
    if (HWND parent = GetParent(window)) ScreenToClient(parent, &origin);
    return RECT{origin.x, origin.y, origin.x + (r.right - r.left), origin.y + (r.bottom - r.top)};
}

// Paints the whole client area of window in one colour whenever it is asked to.
inline void PaintWith(Probe& probe, COLORREF colour) {
    probe.Handler = [colour](HWND w, UINT m, WPARAM, LPARAM, LRESULT& r) {
        if (m != WM_PAINT) return false;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        RECT client;
        GetClientRect(w, &client);
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc, &client, brush);
        DeleteObject(brush);
        EndPaint(w, &ps);
        r = 0;
        return true;
    };
}

}  // namespace testwin
