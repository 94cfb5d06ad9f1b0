// Window classes, the window tree, geometry, painting, capture, focus and
// activation.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "internal.h"
#include "platform/gdi/cairo_interop.h"

namespace platform {

namespace detail {

Globals& G() {
    // Never destroyed: threads (and their queues) may end after static
    // destructors have run.
    static Globals* g = [] {
        auto* created = new Globals;
        created->Backend = MakeHeadlessBackend();
        return created;
    }();
    return *g;
}

WindowPtr LookupWindowLocked(HWND window) {
    const auto& windows = G().Windows;
    const auto it = windows.find(window);
    if (it == windows.end() || !it->second->Alive) return nullptr;
    return it->second;
}

WindowPtr LookupWindow(HWND window) {
    WindowPtr w;
    if (window != 0) {
        std::shared_lock lock(G().TreeLock);
        w = LookupWindowLocked(window);
    }
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

RECT ClientRectLocked(const Window& w) { return RECT{0, 0, w.Rect.right - w.Rect.left, w.Rect.bottom - w.Rect.top}; }

POINT ScreenOriginLocked(const Window& w) {
    POINT origin{w.Rect.left, w.Rect.top};
    for (HWND p = w.Parent; p != 0;) {
        const WindowPtr parent = LookupWindowLocked(p);
        if (!parent) break;
        origin.x += parent->Rect.left;
        origin.y += parent->Rect.top;
        p = parent->Parent;
    }
    return origin;
}

bool VisibleLocked(const Window& w) {
    if (!(w.Style & WS_VISIBLE)) return false;
    for (HWND p = w.Parent; p != 0;) {
        const WindowPtr parent = LookupWindowLocked(p);
        if (!parent) break;
        if (!(parent->Style & WS_VISIBLE)) return false;
        p = parent->Parent;
    }
    return true;
}

WindowPeerState PeerStateLocked(const Window& w) {
    return WindowPeerState{w.Handle, w.Parent, w.Rect, (w.Style & WS_VISIBLE) != 0, w.Style};
}

namespace {

constexpr int kCoordinateLimit = 1 << 20;

int ClampExtent(int v) { return std::clamp(v, 0, kMaxBitmapExtent); }
int ClampCoordinate(int v) { return std::clamp(v, -kCoordinateLimit, kCoordinateLimit); }

std::string Lower(const char* name) {
    std::string s(name);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

std::vector<HWND>& SiblingsLocked(Globals& g, const Window& w) {
    if (w.Parent != 0) {
        if (WindowPtr parent = LookupWindowLocked(w.Parent)) return parent->Children;
    }
    return g.TopLevel;
}

void UnlinkLocked(Globals& g, const Window& w) {
    auto& siblings = SiblingsLocked(g, w);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), w.Handle), siblings.end());
}

// Takes the window out of its queue's paint bookkeeping.
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

// Forgets a window: its handle dies, its contexts are closed, its children
// still listed (owned by a thread that could not destroy them) become
// top-level windows. No message is sent.
void Remove(const WindowPtr& w) {
    Globals& g = G();
    for (HDC dc : w->OpenDcs) DestroySurfaceDC(dc);
    w->OpenDcs.clear();
    std::shared_ptr<WindowPeer> peer;
    {
        std::unique_lock lock(g.TreeLock);
        if (!w->Alive) return;
        w->Alive = false;
        UnlinkLocked(g, *w);
        for (HWND c : w->Children) {
            if (WindowPtr child = LookupWindowLocked(c)) {
                child->Parent = 0;
                g.TopLevel.push_back(c);
            }
        }
        w->Children.clear();
        g.Windows.erase(w->Handle);
        --w->Class->Windows;
        if (g.Capture == w->Handle) g.Capture = 0;
        if (g.Active == w->Handle) g.Active = 0;
        if (g.Focus == w->Handle) g.Focus = 0;
        peer = std::move(w->Peer);
    }
    {
        std::lock_guard lock(w->Owner->Lock);
        ValidateAllLocked(*w->Owner, *w);
    }
}

// WM_DESTROY to the window, then to the children it still has, depth first;
// each child is freed before its parent.
void DestroyTree(const WindowPtr& w) {
    w->Destroying = true;
    CallProcedure(w, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        std::shared_lock lock(G().TreeLock);
        children = w->Children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        const HWND c = *it;
        WindowPtr child = LookupWindow(c);
        if (!child) continue;
        {
            std::shared_lock lock(G().TreeLock);
            if (child->Parent != w->Handle) continue;  // moved away during WM_DESTROY
        }
        // Destroying belongs to the child's thread: only read it there.
        if (!OwnedByCaller(*child))
            RunOnOwner(c, [c] { return static_cast<LRESULT>(DestroyWindow(c)); }, 0);
        else if (!child->Destroying)
            DestroyTree(child);
    }
    CallProcedure(w, WM_NCDESTROY, 0, 0);
    Remove(w);
}

MINMAXINFO DefaultMinMax(const Window& w) {
    MINMAXINFO info;
    SIZE area = G().Backend->ScreenSize();
    if (w.Parent != 0) {
        if (WindowPtr parent = LookupWindowLocked(w.Parent)) {
            const RECT client = ClientRectLocked(*parent);
            area = SIZE{client.right, client.bottom};
        }
    }
    info.ptMaxSize = POINT{area.cx, area.cy};
    info.ptMaxPosition = POINT{0, 0};
    info.ptMinTrackSize = POINT{0, 0};
    info.ptMaxTrackSize = POINT{kMaxBitmapExtent, kMaxBitmapExtent};
    return info;
}

// Asks the window (on its thread) for its size limits.
MINMAXINFO QueryMinMax(HWND window) {
    MINMAXINFO info;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) return info;
        info = DefaultMinMax(*w);
    }
    SendMessage(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    return info;
}

LRESULT SetWindowPosHere(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags) {
    Globals& g = G();
    WindowPtr w;
    bool moved = false;
    bool sized = false;
    bool restacked = false;
    int shown = 0;  // +1 shown, -1 hidden
    bool maximized = false;
    RECT rect{};
    WindowPeerState state;
    std::shared_ptr<WindowPeer> peer;
    {
        std::unique_lock lock(g.TreeLock);
        w = LookupWindowLocked(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        rect = w->Rect;
        if (!(flags & SWP_NOMOVE)) {
            const int cx = rect.right - rect.left;
            const int cy = rect.bottom - rect.top;
            rect.left = ClampCoordinate(x);
            rect.top = ClampCoordinate(y);
            rect.right = rect.left + cx;
            rect.bottom = rect.top + cy;
        }
        if (!(flags & SWP_NOSIZE)) {
            rect.right = rect.left + ClampExtent(width);
            rect.bottom = rect.top + ClampExtent(height);
        }
        moved = rect.left != w->Rect.left || rect.top != w->Rect.top;
        sized = (rect.right - rect.left) != (w->Rect.right - w->Rect.left) ||
                (rect.bottom - rect.top) != (w->Rect.bottom - w->Rect.top);
        if (!(flags & SWP_NOZORDER)) {
            auto& siblings = SiblingsLocked(g, *w);
            const auto self = std::find(siblings.begin(), siblings.end(), window);
            std::size_t before = static_cast<std::size_t>(self - siblings.begin());
            if (insertAfter == HWND_TOP || insertAfter == HWND_BOTTOM ||
                std::find(siblings.begin(), siblings.end(), insertAfter) != siblings.end()) {
                if (insertAfter != window && self != siblings.end()) {
                    siblings.erase(self);
                    if (insertAfter == HWND_TOP) {
                        siblings.push_back(window);
                    } else if (insertAfter == HWND_BOTTOM) {
                        siblings.insert(siblings.begin(), window);
                    } else {
                        // Just below insertAfter.
                        siblings.insert(std::find(siblings.begin(), siblings.end(), insertAfter), window);
                    }
                    const auto now = std::find(siblings.begin(), siblings.end(), window);
                    restacked = static_cast<std::size_t>(now - siblings.begin()) != before;
                }
            }
        }
        if ((flags & SWP_SHOWWINDOW) && !(w->Style & WS_VISIBLE)) {
            w->Style |= WS_VISIBLE;
            shown = 1;
        } else if ((flags & SWP_HIDEWINDOW) && (w->Style & WS_VISIBLE)) {
            w->Style &= ~WS_VISIBLE;
            shown = -1;
        }
        w->Rect = rect;
        maximized = w->Maximized;
        state = PeerStateLocked(*w);
        peer = w->Peer;
    }
    if (peer && (moved || sized || restacked || shown != 0)) peer->Update(state);
    if (shown != 0) CallProcedure(w, WM_SHOWWINDOW, shown > 0 ? TRUE : FALSE, 0);
    if ((sized || shown > 0) && !(flags & SWP_NOREDRAW)) InvalidateRect(window, nullptr, TRUE);
    if (moved) CallProcedure(w, WM_MOVE, 0, MAKELPARAM(LOWORD(static_cast<std::uintptr_t>(rect.left)), LOWORD(static_cast<std::uintptr_t>(rect.top))));
    if (sized) {
        CallProcedure(w, WM_SIZE, maximized ? SIZE_MAXIMIZED : SIZE_RESTORED,
                      MAKELPARAM(static_cast<WORD>(rect.right - rect.left), static_cast<WORD>(rect.bottom - rect.top)));
    }
    return TRUE;
}

LRESULT ShowWindowHere(HWND window, int command) {
    bool wasVisible = false;
    bool maximized = false;
    std::optional<RECT> restore;
    {
        std::shared_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        wasVisible = (w->Style & WS_VISIBLE) != 0;
        maximized = w->Maximized;
        restore = w->RestoreRect;
    }
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER;
    switch (command) {
        case SW_HIDE:
            SetWindowPosHere(window, 0, 0, 0, 0, 0, keep | SWP_HIDEWINDOW);
            break;
        case SW_MAXIMIZE: {
            const MINMAXINFO info = QueryMinMax(window);
            const int cx = std::clamp(info.ptMaxSize.x, info.ptMinTrackSize.x, std::max(info.ptMinTrackSize.x, info.ptMaxTrackSize.x));
            const int cy = std::clamp(info.ptMaxSize.y, info.ptMinTrackSize.y, std::max(info.ptMinTrackSize.y, info.ptMaxTrackSize.y));
            {
                std::unique_lock lock(G().TreeLock);
                WindowPtr w = LookupWindowLocked(window);
                if (!w) return FALSE;
                if (!w->Maximized) w->RestoreRect = w->Rect;
                w->Maximized = true;
                w->Style |= WS_MAXIMIZE;
            }
            SetWindowPosHere(window, 0, info.ptMaxPosition.x, info.ptMaxPosition.y, cx, cy,
                             SWP_NOZORDER | SWP_SHOWWINDOW);
            break;
        }
        case SW_RESTORE:
        case SW_SHOWNORMAL:
            if (maximized) {
                {
                    std::unique_lock lock(G().TreeLock);
                    WindowPtr w = LookupWindowLocked(window);
                    if (!w) return FALSE;
                    w->Maximized = false;
                    w->Style &= ~WS_MAXIMIZE;
                    w->RestoreRect.reset();
                }
                const RECT r = restore.value_or(RECT{});
                SetWindowPosHere(window, 0, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                 SWP_NOZORDER | SWP_SHOWWINDOW);
                break;
            }
            [[fallthrough]];
        default:
            SetWindowPosHere(window, 0, 0, 0, 0, 0, keep | SWP_SHOWWINDOW);
            break;
    }
    return wasVisible ? TRUE : FALSE;
}

LRESULT SetParentHere(HWND window, HWND newParent) {
    Globals& g = G();
    HWND previous = 0;
    WindowPeerState state;
    std::shared_ptr<WindowPeer> peer;
    {
        std::unique_lock lock(g.TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        WindowPtr np = newParent ? LookupWindowLocked(newParent) : nullptr;
        if (!w || (newParent && !np)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        for (HWND a = newParent; a != 0;) {
            if (a == window) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            WindowPtr ancestor = LookupWindowLocked(a);
            a = ancestor ? ancestor->Parent : 0;
        }
        previous = w->Parent;
        UnlinkLocked(g, *w);
        w->Parent = newParent;
        (np ? np->Children : g.TopLevel).push_back(window);
        state = PeerStateLocked(*w);
        peer = w->Peer;
    }
    if (peer) peer->Update(state);
    InvalidateRect(window, nullptr, TRUE);
    SetLastError(ERROR_SUCCESS);
    return static_cast<LRESULT>(previous);
}

LRESULT SetStyleHere(HWND window, DWORD style) {
    DWORD previous = 0;
    WindowPeerState state;
    std::shared_ptr<WindowPeer> peer;
    bool nowVisible = false;
    {
        std::unique_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        previous = w->Style;
        w->Style = style;
        state = PeerStateLocked(*w);
        peer = w->Peer;
        nowVisible = !(previous & WS_VISIBLE) && (style & WS_VISIBLE);
    }
    if (peer && previous != style) peer->Update(state);
    if (nowVisible) InvalidateRect(window, nullptr, TRUE);
    SetLastError(ERROR_SUCCESS);
    return static_cast<LRESULT>(previous);
}

}  // namespace

void ForgetThreadWindows(ThreadQueue* queue) noexcept {
    EndQueue(*queue);
    std::vector<WindowPtr> owned;
    try {
        std::shared_lock lock(G().TreeLock);
        for (const auto& [h, w] : G().Windows)
            if (w->Owner.get() == queue) owned.push_back(w);
        lock.unlock();
        for (const WindowPtr& w : owned) Remove(w);
    } catch (...) {
        // Out of memory at thread exit: the windows stay listed but their
        // queue refuses every message, so nothing reaches them.
    }
}

}  // namespace detail

using namespace detail;

// ---------------------------------------------------------------------------
// Classes

ATOM RegisterClass(const WNDCLASS* windowClass) noexcept {
    if (!windowClass || !windowClass->lpszClassName || !*windowClass->lpszClassName || !windowClass->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        Globals& g = G();
        std::unique_lock lock(g.TreeLock);
        const std::string key = Lower(windowClass->lpszClassName);
        if (g.Classes.count(key)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
        auto c = std::make_shared<WindowClass>();
        c->Name = windowClass->lpszClassName;
        c->Class = *windowClass;
        c->Class.lpszClassName = nullptr;  // the caller's string may go; Name keeps it
        c->Class.lpszMenuName = nullptr;
        c->Atom = g.NextAtom == 0xFFFF ? 0xC000 : g.NextAtom++;
        g.Classes.emplace(key, c);
        return c->Atom;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL UnregisterClass(const char* className, HINSTANCE) noexcept {
    if (!className) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    try {
        Globals& g = G();
        std::unique_lock lock(g.TreeLock);
        const auto it = g.Classes.find(Lower(className));
        if (it == g.Classes.end()) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return FALSE;
        }
        if (it->second->Windows > 0) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
        g.Classes.erase(it);
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

// ---------------------------------------------------------------------------
// Windows

HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x, int y,
                    int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) noexcept {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return 0;
    }
    try {
        Globals& g = G();
        QueuePtr me = CurrentQueue();
        x = ClampCoordinate(x);
        y = ClampCoordinate(y);
        width = ClampExtent(width);
        height = ClampExtent(height);
        auto w = std::make_shared<Window>();
        WindowBackend* backend = nullptr;
        WindowPeerState state;
        {
            std::unique_lock lock(g.TreeLock);
            const auto cls = g.Classes.find(Lower(className));
            if (cls == g.Classes.end()) {
                SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
                return 0;
            }
            WindowPtr parentWindow;
            if (parent != 0 && !(parentWindow = LookupWindowLocked(parent))) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            if (g.NextHandle == 0xFFFFFFFFu) {  // every handle has been used once
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            w->Handle = g.NextHandle++;
            w->Owner = me;
            w->Class = cls->second;
            w->Parent = parent;
            w->Rect = RECT{x, y, x + width, y + height};
            w->Style = style & ~WS_VISIBLE;
            w->ExStyle = exStyle;
            w->Proc = cls->second->Class.lpfnWndProc;
            w->Instance = instance;
            w->Menu = menu;
            w->Name = windowName ? windowName : "";
            g.Windows.emplace(w->Handle, w);
            ++w->Class->Windows;
            (parentWindow ? parentWindow->Children : g.TopLevel).push_back(w->Handle);
            backend = g.Backend.get();
            state = PeerStateLocked(*w);
        }
        std::unique_ptr<WindowPeer> peer;
        try {
            peer = backend->CreatePeer(state);
        } catch (...) {
        }
        if (!peer) {
            Remove(w);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        {
            std::unique_lock lock(g.TreeLock);
            w->Peer = std::move(peer);
        }
        CREATESTRUCT create;
        create.lpCreateParams = param;
        create.hInstance = instance;
        create.hMenu = menu;
        create.hwndParent = parent;
        create.cx = width;
        create.cy = height;
        create.x = x;
        create.y = y;
        create.style = static_cast<LONG>(style);
        create.lpszName = windowName;
        create.lpszClass = className;
        create.dwExStyle = exStyle;
        if (CallProcedure(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
            if (IsWindow(w->Handle)) DestroyTree(w);
            SetLastError(ERROR_SUCCESS);
            return 0;
        }
        const HWND handle = w->Handle;
        if (IsWindow(handle)) CallProcedure(w, WM_MOVE, 0, MAKELPARAM(LOWORD(static_cast<std::uintptr_t>(x)), LOWORD(static_cast<std::uintptr_t>(y))));
        if (IsWindow(handle)) CallProcedure(w, WM_SIZE, SIZE_RESTORED, MAKELPARAM(static_cast<WORD>(width), static_cast<WORD>(height)));
        if (IsWindow(handle) && (style & WS_VISIBLE)) ShowWindowHere(handle, SW_SHOW);
        if (!IsWindow(handle)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        return handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL DestroyWindow(HWND window) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return FALSE;
    if (!OwnedByCaller(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (w->Destroying) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    try {
        DestroyTree(w);
    } catch (...) {
        Remove(w);
    }
    return TRUE;
}

BOOL IsWindow(HWND window) noexcept {
    if (window == 0) return FALSE;
    std::shared_lock lock(G().TreeLock);
    return LookupWindowLocked(window) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND window) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    return w && VisibleLocked(*w) ? TRUE : FALSE;
}

LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM) noexcept {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_ERASEBKGND: {
            HBRUSH brush = nullptr;
            RECT client{};
            {
                std::shared_lock lock(G().TreeLock);
                WindowPtr w = LookupWindowLocked(window);
                if (!w) return 0;
                brush = w->Class->Class.hbrBackground;
                client = ClientRectLocked(*w);
            }
            if (!brush) return 0;
            return FillRect(reinterpret_cast<HDC>(wParam), &client, brush) ? 1 : 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            if (BeginPaint(window, &paint)) EndPaint(window, &paint);
            return 0;
        }
        default:
            return 0;
    }
}

LONG_PTR GetWindowLongPtr(HWND window, int index) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (index) {
        case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->Proc);
        case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->Instance);
        case GWLP_ID: return reinterpret_cast<LONG_PTR>(w->Menu);
        case GWL_STYLE: return static_cast<LONG_PTR>(w->Style);
        case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->ExStyle);
        case GWLP_USERDATA: return w->UserData;
        default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
    }
}

LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) noexcept {
    if (index == GWL_STYLE)
        return RunOnOwner(window, [window, value] { return SetStyleHere(window, static_cast<DWORD>(value)); }, 0);
    std::unique_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    switch (index) {
        case GWLP_WNDPROC:
            if (!value) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            previous = reinterpret_cast<LONG_PTR>(w->Proc);
            w->Proc = reinterpret_cast<WNDPROC>(value);
            break;
        case GWL_EXSTYLE:
            previous = static_cast<LONG_PTR>(w->ExStyle);
            w->ExStyle = static_cast<DWORD>(value);
            break;
        case GWLP_USERDATA:
            previous = w->UserData;
            w->UserData = value;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return previous;
}

HWND GetParent(HWND window) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    return w ? w->Parent : 0;
}

HWND SetParent(HWND window, HWND newParent) noexcept {
    return static_cast<HWND>(
        RunOnOwner(window, [window, newParent] { return SetParentHere(window, newParent); }, 0));
}

HWND GetWindow(HWND window, UINT relation) noexcept {
    Globals& g = G();
    std::shared_lock lock(g.TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w) return 0;
    if (relation == GW_CHILD) return w->Children.empty() ? 0 : w->Children.back();
    const auto& siblings = SiblingsLocked(g, *w);
    const auto self = std::find(siblings.begin(), siblings.end(), window);
    if (self == siblings.end()) return 0;
    switch (relation) {
        case GW_HWNDFIRST: return siblings.back();
        case GW_HWNDLAST: return siblings.front();
        case GW_HWNDNEXT: return self == siblings.begin() ? 0 : *(self - 1);
        case GW_HWNDPREV: return self + 1 == siblings.end() ? 0 : *(self + 1);
        default: return 0;
    }
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return 0;
    if (processId) *processId = static_cast<DWORD>(::getpid());
    return w->Owner->ThreadId;
}

// ---------------------------------------------------------------------------
// Geometry

BOOL GetClientRect(HWND window, RECT* rect) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !rect) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = ClientRectLocked(*w);
    return TRUE;
}

BOOL GetWindowRect(HWND window, RECT* rect) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !rect) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const POINT o = ScreenOriginLocked(*w);
    *rect = RECT{o.x, o.y, o.x + (w->Rect.right - w->Rect.left), o.y + (w->Rect.bottom - w->Rect.top)};
    return TRUE;
}

BOOL ClientToScreen(HWND window, POINT* point) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !point) return FALSE;
    const POINT o = ScreenOriginLocked(*w);
    point->x += o.x;
    point->y += o.y;
    return TRUE;
}

BOOL ScreenToClient(HWND window, POINT* point) noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(window);
    if (!w || !point) return FALSE;
    const POINT o = ScreenOriginLocked(*w);
    point->x -= o.x;
    point->y -= o.y;
    return TRUE;
}

BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags) noexcept {
    return static_cast<BOOL>(RunOnOwner(
        window,
        [=] { return SetWindowPosHere(window, insertAfter, x, y, width, height, flags); }, FALSE));
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) noexcept {
    return SetWindowPos(window, 0, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL ShowWindow(HWND window, int command) noexcept {
    return static_cast<BOOL>(RunOnOwner(window, [=] { return ShowWindowHere(window, command); }, FALSE));
}

int GetSystemMetrics(int index) noexcept {
    const SIZE screen = G().Backend->ScreenSize();
    switch (index) {
        case SM_CXSCREEN: return screen.cx;
        case SM_CYSCREEN: return screen.cy;
        default: return 0;
    }
}

// ---------------------------------------------------------------------------
// Painting

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
        if (r.top <= u.top && r.bottom > u.top) u.top = r.bottom;
        else if (r.bottom >= u.bottom && r.top < u.bottom) u.bottom = r.top;
    } else if (r.top <= u.top && r.bottom >= u.bottom) {
        if (r.left <= u.left && r.right > u.left) u.left = r.right;
        else if (r.right >= u.right && r.left < u.right) u.right = r.left;
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

namespace {

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

// ---------------------------------------------------------------------------
// Capture, focus, activation

HWND SetCapture(HWND window) noexcept {
    WindowPtr w = LookupWindow(window);
    if (!w) return 0;
    if (!OwnedByCaller(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    HWND previous = 0;
    {
        std::unique_lock lock(G().TreeLock);
        previous = G().Capture;
        G().Capture = window;
    }
    if (previous != 0 && previous != window) SendMessage(previous, WM_CAPTURECHANGED, 0, static_cast<LPARAM>(window));
    return previous;
}

BOOL ReleaseCapture() noexcept {
    HWND previous = 0;
    {
        std::unique_lock lock(G().TreeLock);
        WindowPtr w = LookupWindowLocked(G().Capture);
        if (!w || !OwnedByCaller(*w)) return FALSE;
        previous = G().Capture;
        G().Capture = 0;
    }
    SendMessage(previous, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND GetCapture() noexcept {
    std::shared_lock lock(G().TreeLock);
    WindowPtr w = LookupWindowLocked(G().Capture);
    return w && OwnedByCaller(*w) ? w->Handle : 0;
}

HWND SetActiveWindow(HWND window) noexcept {
    if (window != 0 && !IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    HWND previous = 0;
    {
        std::unique_lock lock(G().TreeLock);
        previous = G().Active;
        G().Active = window;
    }
    if (previous == window) return previous;
    if (previous != 0)
        SendMessage(previous, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), static_cast<LPARAM>(window));
    if (window != 0) SendMessage(window, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), static_cast<LPARAM>(previous));
    return previous;
}

HWND GetActiveWindow() noexcept {
    std::shared_lock lock(G().TreeLock);
    return LookupWindowLocked(G().Active) ? G().Active : 0;
}

HWND SetFocus(HWND window) noexcept {
    if (window != 0 && !IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    HWND previous = 0;
    {
        std::unique_lock lock(G().TreeLock);
        previous = G().Focus;
        G().Focus = window;
    }
    if (previous == window) return previous;
    if (previous != 0) SendMessage(previous, WM_KILLFOCUS, static_cast<WPARAM>(window), 0);
    if (window != 0) SendMessage(window, WM_SETFOCUS, static_cast<WPARAM>(previous), 0);
    return previous;
}

HWND GetFocus() noexcept {
    std::shared_lock lock(G().TreeLock);
    return LookupWindowLocked(G().Focus) ? G().Focus : 0;
}

}  // namespace platform
