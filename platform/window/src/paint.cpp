// Painting: the invalid area, the paint cycle and device contexts over each
// window's surface.

#include <algorithm>
#include <set>

#include "internal.h"
#include "platform/gdi/cairo_interop.h"

namespace platform {

namespace detail {

void ValidateAllLocked(ThreadQueue& q, Window& w) {
    w.Update = RECT{};
    w.Erase = false;
    if (w.NeedsPaint) {
        w.NeedsPaint = false;
        auto& list = q.PaintList;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const WindowPtr& p) { return p.get() == &w; }),
                   list.end());
    }
}

}  // namespace detail

using namespace detail;

namespace {

// A surface that draws nowhere, for contexts of windows without pixels and
// for the screen's context.
cairo_surface_t* Nowhere() {
    static cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    return surface;
}

std::mutex ScreenDcLock;
std::set<HDC>& ScreenDcs() {
    static auto* dcs = new std::set<HDC>;
    return *dcs;
}

// A context over the window's surface, clipped to area; recorded so that it
// can be closed if the window goes while it is open.
HDC OpenWindowDc(const WindowPtr& w, const RECT& area) {
    std::shared_ptr<WindowPeer> peer;
    {
        std::shared_lock lock(G().TreeLock);
        peer = w->Peer;
    }
    cairo_surface_t* surface = peer ? peer->BeginDraw() : nullptr;
    HDC dc = surface ? CreateSurfaceDC(surface, area) : CreateSurfaceDC(Nowhere(), RECT{});
    if (!dc) {
        if (peer) peer->EndDraw(RECT{});
        return nullptr;
    }
    try {
        w->OpenDcs.push_back(dc);
    } catch (...) {
        DestroySurfaceDC(dc);
        if (peer) peer->EndDraw(RECT{});
        return nullptr;
    }
    return dc;
}

BOOL CloseWindowDc(const WindowPtr& w, HDC dc, const RECT& damage) {
    const auto it = std::find(w->OpenDcs.begin(), w->OpenDcs.end(), dc);
    if (it == w->OpenDcs.end()) return FALSE;
    w->OpenDcs.erase(it);
    DestroySurfaceDC(dc);
    std::shared_ptr<WindowPeer> peer;
    RECT client{};
    {
        std::shared_lock lock(G().TreeLock);
        peer = w->Peer;
        client = ClientRectLocked(*w);
    }
    if (peer) peer->EndDraw(IntersectRect(damage, client));
    return TRUE;
}

}  // namespace

BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) noexcept {
    WindowPtr w;
    RECT client{};
    {
        std::shared_lock lock(G().TreeLock);
        w = LookupWindowLocked(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        client = ClientRectLocked(*w);
    }
    const RECT area = rect ? IntersectRect(*rect, client) : client;
    if (IsRectEmpty(area)) return TRUE;
    ThreadQueue& q = *w->Owner;
    try {
        std::lock_guard lock(q.Lock);
        if (!q.Alive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        w->Update = UnionRect(w->Update, area);
        w->Erase = w->Erase || erase;
        if (!w->NeedsPaint) {
            q.PaintList.push_back(w);
            w->NeedsPaint = true;
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    q.Wake.notify_all();
    return TRUE;
}

BOOL ValidateRect(HWND window, const RECT* rect) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return FALSE;
    ThreadQueue& q = *w->Owner;
    std::lock_guard lock(q.Lock);
    if (!w->NeedsPaint) return TRUE;
    RECT& u = w->Update;
    if (!rect || (rect->left <= u.left && rect->top <= u.top && rect->right >= u.right && rect->bottom >= u.bottom)) {
        ValidateAllLocked(q, *w);
        return TRUE;
    }
    // The invalid area is one rectangle: it only shrinks where rect covers a
    // whole side of it.
    const RECT& r = *rect;
    if (r.left <= u.left && r.right >= u.right) {
        if (r.top <= u.top && r.bottom > u.top)
            u.top = r.bottom;
        else if (r.bottom >= u.bottom && r.top < u.bottom)
            u.bottom = r.top;
    } else if (r.top <= u.top && r.bottom >= u.bottom) {
        if (r.left <= u.left && r.right > u.left)
            u.left = r.right;
        else if (r.right >= u.right && r.left < u.right)
            u.right = r.left;
    }
    if (IsRectEmpty(u)) ValidateAllLocked(q, *w);
    return TRUE;
}

BOOL GetUpdateRect(HWND window, RECT* rect, BOOL) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) {
        if (rect) *rect = RECT{};
        return FALSE;
    }
    std::lock_guard lock(w->Owner->Lock);
    if (rect) *rect = w->NeedsPaint ? w->Update : RECT{};
    return w->NeedsPaint ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return FALSE;
    if (!OwnedByCaller(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool due = false;
    {
        std::lock_guard lock(w->Owner->Lock);
        due = w->NeedsPaint;
    }
    if (due) {
        const MSG paint{window, WM_PAINT, 0, 0, NowMs(), POINT{}};
        DispatchMessage(&paint);
    }
    return TRUE;
}

HDC BeginPaint(HWND window, PAINTSTRUCT* paint) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w || !paint) return nullptr;
    if (!OwnedByCaller(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    RECT area{};
    bool erase = false;
    {
        std::lock_guard lock(w->Owner->Lock);
        if (w->NeedsPaint) area = w->Update;
        erase = w->Erase;
        ValidateAllLocked(*w->Owner, *w);
    }
    HDC dc = OpenWindowDc(w, area);
    if (!dc) return nullptr;
    w->Painted = true;
    paint->hdc = dc;
    paint->rcPaint = area;
    paint->fErase = FALSE;
    if (erase) paint->fErase = CallProcedure(w, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) == 0 ? TRUE : FALSE;
    return dc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) noexcept {
    if (!paint) return FALSE;
    WindowPtr w = LookupWindow(window);
    if (!w || !OwnedByCaller(*w)) return FALSE;
    return CloseWindowDc(w, paint->hdc, paint->rcPaint);
}

HDC GetDC(HWND window) noexcept {
    if (window == 0) {
        HDC dc = CreateSurfaceDC(Nowhere(), RECT{0, 0, 1, 1});
        if (!dc) return nullptr;
        try {
            std::lock_guard lock(ScreenDcLock);
            ScreenDcs().insert(dc);
        } catch (...) {
            DestroySurfaceDC(dc);
            return nullptr;
        }
        return dc;
    }
    WindowPtr w = LookupWindow(window);
    if (!w) return nullptr;
    if (!OwnedByCaller(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    RECT client{};
    {
        std::shared_lock lock(G().TreeLock);
        client = ClientRectLocked(*w);
    }
    return OpenWindowDc(w, client);
}

int ReleaseDC(HWND window, HDC dc) noexcept {
    if (window == 0) {
        std::lock_guard lock(ScreenDcLock);
        if (!ScreenDcs().erase(dc)) return 0;
        DestroySurfaceDC(dc);
        return 1;
    }
    WindowPtr w = LookupWindow(window);
    if (!w || !OwnedByCaller(*w)) return 0;
    RECT client{};
    {
        std::shared_lock lock(G().TreeLock);
        client = ClientRectLocked(*w);
    }
    return CloseWindowDc(w, dc, client) ? 1 : 0;
}

}  // namespace platform
