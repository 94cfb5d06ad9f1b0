// The window tree and window classes: registration, creation and
// destruction, per-window values, parents and siblings.

#include <unistd.h>

#include <algorithm>

#include "internal.h"
#include "platform/gdi/cairo_interop.h"
#include "platform/window/shared_class.h"
#include "platform/window/text.h"

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

std::vector<HWND>& SiblingsLocked(Globals& g, const Window& w) {
    if (w.Parent != 0) {
        if (WindowPtr parent = LookupWindowLocked(w.Parent)) return parent->Children;
    }
    return g.TopLevel;
}

WindowPeerState PeerStateLocked(const Window& w) {
    WindowPeerState state;
    state.Window = w.Handle;
    state.Parent = w.Parent;
    state.Rect = w.Rect;
    state.Visible = (w.Style & WS_VISIBLE) != 0;
    state.FullScreen = w.Windowed.has_value();
    state.Style = w.Style;
    const auto& siblings = SiblingsLocked(G(), w);
    const auto self = std::find(siblings.begin(), siblings.end(), w.Handle);
    if (self != siblings.end() && self + 1 != siblings.end()) state.Above = *(self + 1);
    return state;
}

namespace {

void UnlinkLocked(Globals& g, const Window& w) {
    auto& siblings = SiblingsLocked(g, w);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), w.Handle), siblings.end());
}

bool Describes(const WNDCLASS* windowClass) {
    return windowClass && windowClass->lpszClassName && *windowClass->lpszClassName && windowClass->lpfnWndProc;
}

// Adds a class under key, which no class has yet; TreeLock held.
std::shared_ptr<WindowClass> RegisterLocked(Globals& g, std::string key, const WNDCLASS& windowClass) {
    auto c = std::make_shared<WindowClass>();
    c->Name = windowClass.lpszClassName;
    c->Class = windowClass;
    c->Class.lpszClassName = nullptr;  // the caller's string may go; Name keeps it
    c->Class.lpszMenuName = nullptr;
    c->Atom = g.NextAtom == 0xFFFF ? 0xC000 : g.NextAtom++;
    g.Classes.emplace(std::move(key), c);
    return c;
}

// Takes c out of the class table if it is still there (its name may have been
// unregistered and taken again meanwhile); TreeLock held. Never allocates.
void ForgetClassLocked(Globals& g, const std::shared_ptr<WindowClass>& c) noexcept {
    for (auto it = g.Classes.begin(); it != g.Classes.end(); ++it) {
        if (it->second == c) {
            g.Classes.erase(it);
            return;
        }
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
        // A shared class whose holders have all let go stays only for its windows.
        if (--w->Class->Windows == 0 && w->Class->Shared && w->Class->Holders == 0) ForgetClassLocked(g, w->Class);
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
            RunOnOwner(
                c, [c] { return static_cast<LRESULT>(DestroyWindow(c)); }, 0);
        else if (!child->Destroying)
            DestroyTree(child);
    }
    CallProcedure(w, WM_NCDESTROY, 0, 0);
    Remove(w);
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
        if (w->Windowed) {  // full screen keeps its place until it leaves
            SetLastError(ERROR_ACCESS_DENIED);
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
    if (!Describes(windowClass)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        Globals& g = G();
        std::unique_lock lock(g.TreeLock);
        std::string key = LowerAscii(windowClass->lpszClassName);
        if (g.Classes.count(key)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
        return RegisterLocked(g, std::move(key), *windowClass)->Atom;
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
        const auto it = g.Classes.find(LowerAscii(className));
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

SharedWindowClass::SharedWindowClass(const WNDCLASS& description) noexcept { Acquire(description); }

SharedWindowClass::~SharedWindowClass() { Release(); }

SharedWindowClass::SharedWindowClass(SharedWindowClass&& other) noexcept : Class(std::move(other.Class)) {}

SharedWindowClass& SharedWindowClass::operator=(SharedWindowClass&& other) noexcept {
    if (this != &other) {
        Release();
        Class = std::move(other.Class);
    }
    return *this;
}

bool SharedWindowClass::Acquire(const WNDCLASS& description) noexcept {
    Release();
    if (!Describes(&description)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    try {
        Globals& g = G();
        std::unique_lock lock(g.TreeLock);
        std::string key = LowerAscii(description.lpszClassName);
        const auto it = g.Classes.find(key);
        std::shared_ptr<WindowClass> c;
        if (it == g.Classes.end()) {
            c = RegisterLocked(g, std::move(key), description);
            c->Shared = true;
        } else if (it->second->Shared && it->second->Class.lpfnWndProc == description.lpfnWndProc) {
            c = it->second;  // joins its holders, or keeps it for the windows it still has
        } else {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return false;
        }
        ++c->Holders;
        Class = std::move(c);
        return true;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

void SharedWindowClass::Release() noexcept {
    if (!Class) return;
    Globals& g = G();
    std::unique_lock lock(g.TreeLock);
    // With windows left, the class goes with the last of them (see Remove).
    if (--Class->Holders == 0 && Class->Windows == 0) ForgetClassLocked(g, Class);
    Class.reset();
}

ATOM SharedWindowClass::Atom() const noexcept { return Class ? Class->Atom : 0; }

// ---------------------------------------------------------------------------
// Windows

HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x, int y, int width,
                    int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) noexcept {
    return CreateWindowHere(exStyle, className, windowName, style, x, y, width, height, parent, menu, instance, param,
                            0);
}

namespace detail {

HWND CreateWindowHere(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x, int y,
                      int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param,
                      std::uint64_t foreign) noexcept {
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
            const auto cls = g.Classes.find(LowerAscii(className));
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
            w->Foreign = foreign;
            g.Windows.emplace(w->Handle, w);
            ++w->Class->Windows;
            (parentWindow ? parentWindow->Children : g.TopLevel).push_back(w->Handle);
            backend = g.Backend.get();
            state = PeerStateLocked(*w);
            state.Foreign = foreign;
            state.Name = w->Name.c_str();  // set once; the window outlives the call
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
        if (IsWindow(handle))
            CallProcedure(w, WM_MOVE, 0,
                          MAKELPARAM(LOWORD(static_cast<std::uintptr_t>(x)), LOWORD(static_cast<std::uintptr_t>(y))));
        if (IsWindow(handle))
            CallProcedure(w, WM_SIZE, SIZE_RESTORED, MAKELPARAM(static_cast<WORD>(width), static_cast<WORD>(height)));
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

}  // namespace detail

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
        case WM_CLOSE: DestroyWindow(window); return 0;
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
        default: return 0;
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
        return RunOnOwner(
            window, [window, value] { return SetStyleHere(window, static_cast<DWORD>(value)); }, 0);
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
        default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
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
    return static_cast<HWND>(RunOnOwner(
        window, [window, newParent] { return SetParentHere(window, newParent); }, 0));
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

}  // namespace platform
