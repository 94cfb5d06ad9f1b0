#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/com/com.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/resource.h"

// Windows and messages with the shapes and values the controls call: window
// classes and procedures, a message queue per thread, send and post, painting,
// geometry, mouse capture and activation.
//
// Threads. A window belongs to the thread that created it; its procedure runs
// only there. Every thread gets its queue when it first uses one. Callable
// from any thread: IsWindow, IsWindowVisible, PostMessage, SendMessage(Timeout),
// GetClientRect, GetWindowRect, InvalidateRect, GetParent, GetWindow,
// Get/SetWindowLongPtr, SetWindowPos, MoveWindow, ShowWindow, SetParent and
// SetActiveWindow (those that change a window run on its owner thread: the
// caller is blocked until the owner has done it, as with SendMessage).
// Owner-thread only: DestroyWindow (refused elsewhere, ERROR_ACCESS_DENIED),
// GetDC/ReleaseDC, BeginPaint/EndPaint, UpdateWindow, SetCapture.
//
// Handles are 32-bit values, never 0 and never reused while the process runs,
// so a stale copy never reaches another window.
namespace platform {

using HWND = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using ATOM = std::uint16_t;

using HMENU = struct HmenuTag*;
using HICON = struct HiconTag*;
using HCURSOR = struct HcursorTag*;

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
// Messages (values as on the platform)

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_MOVE = 0x0003;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_ACTIVATE = 0x0006;
inline constexpr UINT WM_SETFOCUS = 0x0007;
inline constexpr UINT WM_KILLFOCUS = 0x0008;
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_ERASEBKGND = 0x0014;
inline constexpr UINT WM_SHOWWINDOW = 0x0018;
inline constexpr UINT WM_GETMINMAXINFO = 0x0024;
inline constexpr UINT WM_NCDESTROY = 0x0082;
inline constexpr UINT WM_MOUSEMOVE = 0x0200;
inline constexpr UINT WM_LBUTTONDOWN = 0x0201;
inline constexpr UINT WM_LBUTTONUP = 0x0202;
inline constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
inline constexpr UINT WM_RBUTTONDOWN = 0x0204;
inline constexpr UINT WM_RBUTTONUP = 0x0205;
inline constexpr UINT WM_MBUTTONDOWN = 0x0207;
inline constexpr UINT WM_MBUTTONUP = 0x0208;
inline constexpr UINT WM_MOUSEWHEEL = 0x020A;
inline constexpr UINT WM_CAPTURECHANGED = 0x0215;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

// WM_ACTIVATE's low word of wParam.
inline constexpr WORD WA_INACTIVE = 0;
inline constexpr WORD WA_ACTIVE = 1;
inline constexpr WORD WA_CLICKACTIVE = 2;

// WM_SIZE's wParam.
inline constexpr WPARAM SIZE_RESTORED = 0;
inline constexpr WPARAM SIZE_MINIMIZED = 1;
inline constexpr WPARAM SIZE_MAXIMIZED = 2;

// Mouse messages' wParam: buttons held.
inline constexpr WPARAM MK_LBUTTON = 0x0001;
inline constexpr WPARAM MK_RBUTTON = 0x0002;
inline constexpr WPARAM MK_SHIFT = 0x0004;
inline constexpr WPARAM MK_CONTROL = 0x0008;
inline constexpr WPARAM MK_MBUTTON = 0x0010;

// WM_MOUSEWHEEL: wParam holds the keys in its low word and the turn in its high
// word, WHEEL_DELTA per notch, positive away from the user; lParam holds the
// pointer in screen coordinates.
inline constexpr int WHEEL_DELTA = 120;

// ---------------------------------------------------------------------------
// Styles

inline constexpr DWORD WS_OVERLAPPED = 0x00000000u;
inline constexpr DWORD WS_POPUP = 0x80000000u;
inline constexpr DWORD WS_CHILD = 0x40000000u;
inline constexpr DWORD WS_MINIMIZE = 0x20000000u;
inline constexpr DWORD WS_VISIBLE = 0x10000000u;
inline constexpr DWORD WS_DISABLED = 0x08000000u;
inline constexpr DWORD WS_CLIPSIBLINGS = 0x04000000u;
inline constexpr DWORD WS_CLIPCHILDREN = 0x02000000u;
inline constexpr DWORD WS_MAXIMIZE = 0x01000000u;

// ---------------------------------------------------------------------------
// Word packing

inline constexpr WORD LOWORD(std::uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
inline constexpr WORD HIWORD(std::uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
inline constexpr LPARAM MAKELPARAM(WORD low, WORD high) {
    return static_cast<LPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
inline constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
    return static_cast<WPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
// Signed client coordinates of a mouse message (negative while captured and
// outside the window).
inline constexpr int GET_X_LPARAM(LPARAM lp) {
    return static_cast<std::int16_t>(LOWORD(static_cast<std::uintptr_t>(lp)));
}
inline constexpr int GET_Y_LPARAM(LPARAM lp) {
    return static_cast<std::int16_t>(HIWORD(static_cast<std::uintptr_t>(lp)));
}
inline constexpr int GET_WHEEL_DELTA_WPARAM(WPARAM wp) { return static_cast<std::int16_t>(HIWORD(wp)); }
inline constexpr WORD GET_KEYSTATE_WPARAM(WPARAM wp) { return LOWORD(wp); }

// ---------------------------------------------------------------------------
// Records

struct MSG {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD time = 0;  // milliseconds on a monotonic clock
    POINT pt{};      // screen position of the mouse when posted
};

// WM_CREATE's lParam points at one of these; lpCreateParams is the creation
// parameter given to CreateWindowEx.
struct CREATESTRUCT {
    void* lpCreateParams = nullptr;
    HINSTANCE hInstance = nullptr;
    HMENU hMenu = nullptr;
    HWND hwndParent = 0;
    int cy = 0;
    int cx = 0;
    int y = 0;
    int x = 0;
    LONG style = 0;
    const char* lpszName = nullptr;
    const char* lpszClass = nullptr;
    DWORD dwExStyle = 0;
};
using CREATESTRUCTA = CREATESTRUCT;

// WM_GETMINMAXINFO's lParam points at one of these, filled with defaults (the
// maximised size is the screen for a top-level window and the parent's client
// area for a child; no minimum; no maximum beyond kMaxBitmapExtent).
struct MINMAXINFO {
    POINT ptReserved{};
    POINT ptMaxSize{};
    POINT ptMaxPosition{};
    POINT ptMinTrackSize{};
    POINT ptMaxTrackSize{};
};

struct PAINTSTRUCT {
    HDC hdc = nullptr;
    BOOL fErase = FALSE;  // TRUE when the background still needs erasing
    RECT rcPaint{};       // the area to paint, in client coordinates
};

struct WNDCLASS {
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;
    HINSTANCE hInstance = nullptr;
    HICON hIcon = nullptr;
    HCURSOR hCursor = nullptr;
    HBRUSH hbrBackground = nullptr;  // used by DefWindowProc's WM_ERASEBKGND
    const char* lpszMenuName = nullptr;
    const char* lpszClassName = nullptr;
};
using WNDCLASSA = WNDCLASS;

// ---------------------------------------------------------------------------
// Last error (per thread), for calls that fail with FALSE, 0 or nullptr

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
inline constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

DWORD GetLastError() noexcept;
void SetLastError(DWORD code) noexcept;

// ---------------------------------------------------------------------------
// Classes and windows

// Registers a class by name (compared without regard to case), process-wide.
// Returns a nonzero atom, or 0 with ERROR_CLASS_ALREADY_EXISTS when the name
// is taken, ERROR_INVALID_PARAMETER for a missing name or procedure.
ATOM RegisterClass(const WNDCLASS* windowClass) noexcept;

// Removes a class. The instance is recorded at registration but not compared.
// FALSE with ERROR_CLASS_DOES_NOT_EXIST when there is no such class, or
// ERROR_CLASS_HAS_WINDOWS while windows of the class exist (the class stays).
BOOL UnregisterClass(const char* className, HINSTANCE instance) noexcept;

// Creates a window of a registered class owned by the calling thread. x, y are
// relative to the parent's client area for a child, to the screen otherwise;
// width and height are clamped to 0..kMaxBitmapExtent. The procedure receives
// WM_CREATE (lParam: CREATESTRUCT*, lpCreateParams = param), then WM_MOVE and
// WM_SIZE; with WS_VISIBLE the window is shown and due for painting. A new
// child is put on top of its siblings. Returns 0 with ERROR_CANNOT_FIND_WND_CLASS,
// ERROR_INVALID_WINDOW_HANDLE (a bad parent) or, when WM_CREATE returned -1
// (the window is destroyed again), ERROR_SUCCESS.
HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x, int y, int width,
                    int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) noexcept;

// Destroys a window and its children. The window receives WM_DESTROY first,
// while its children still exist (it may detach a child it wants to keep),
// then every remaining child, depth first; then each receives WM_NCDESTROY,
// children first, and its handle dies. Capture, focus and activation held by a
// destroyed window are dropped. Children owned by another thread are destroyed
// on their own thread. FALSE with ERROR_INVALID_WINDOW_HANDLE for a bad handle
// or ERROR_ACCESS_DENIED when called from a thread that does not own it.
BOOL DestroyWindow(HWND window) noexcept;

// True while the handle names a live window (false from the start of its
// destruction on).
BOOL IsWindow(HWND window) noexcept;

// True when the window and all its ancestors have WS_VISIBLE.
BOOL IsWindowVisible(HWND window) noexcept;

// The default handling: WM_CLOSE destroys the window; WM_ERASEBKGND fills
// with the class background brush (returns 1) or returns 0 without one;
// WM_PAINT validates through BeginPaint/EndPaint; everything else returns 0.
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Per-window values. GWLP_USERDATA holds a full pointer-sized value.
inline constexpr int GWLP_WNDPROC = -4;
inline constexpr int GWLP_HINSTANCE = -6;
inline constexpr int GWLP_ID = -12;
inline constexpr int GWL_STYLE = -16;
inline constexpr int GWL_EXSTYLE = -20;
inline constexpr int GWLP_USERDATA = -21;
inline constexpr int GWL_USERDATA = GWLP_USERDATA;

// The value at index, 0 with ERROR_INVALID_WINDOW_HANDLE or
// ERROR_INVALID_PARAMETER (an unknown index) on failure.
LONG_PTR GetWindowLongPtr(HWND window, int index) noexcept;

// Sets a value and returns the previous one (0 with the last error set on
// failure; a previous value of 0 leaves the last error ERROR_SUCCESS). Setting
// GWL_STYLE changes visibility when WS_VISIBLE changes but does not reparent:
// use SetParent for that. GWLP_HINSTANCE and GWLP_ID are read-only here.
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) noexcept;

// The parent window, 0 for a top-level window or a bad handle.
HWND GetParent(HWND window) noexcept;

// Makes window a child of newParent (0: a top-level window), placed on top of
// its new siblings at the same relative position. Returns the previous parent,
// 0 with the last error set on failure (a bad handle, or newParent being the
// window itself or one of its descendants).
HWND SetParent(HWND window, HWND newParent) noexcept;

// Related windows. GW_CHILD: the topmost child; GW_HWNDNEXT/GW_HWNDPREV: the
// sibling below/above; GW_HWNDFIRST/GW_HWNDLAST: the topmost/bottom sibling.
// 0 when there is none.
inline constexpr UINT GW_HWNDFIRST = 0;
inline constexpr UINT GW_HWNDLAST = 1;
inline constexpr UINT GW_HWNDNEXT = 2;
inline constexpr UINT GW_HWNDPREV = 3;
inline constexpr UINT GW_CHILD = 5;
HWND GetWindow(HWND window, UINT relation) noexcept;

// The owner thread's id (as gettid) or 0 for a bad handle; processId, when
// not null, receives the process id.
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) noexcept;

// The calling thread's id, comparable with GetWindowThreadProcessId.
DWORD GetCurrentThreadId() noexcept;

// ---------------------------------------------------------------------------
// Messages

// Calls the window's procedure and returns its result: directly when the
// window belongs to the calling thread; otherwise the message is queued for
// the owner thread and the caller waits until the owner has handled it,
// handling in the meantime messages that other threads send to the caller (so
// two threads sending to each other do not deadlock). Returns 0 with
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist or is destroyed,
// or its thread ends, before the message is handled.
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// SendMessage waiting at most timeout for another thread's window. Returns
// nonzero when the message was handled (result, when not null, receives the
// procedure's result) and 0 with ERROR_TIMEOUT (the message is withdrawn, or
// its result is discarded if the owner has already begun) or
// ERROR_INVALID_WINDOW_HANDLE. With SMTO_NOTIMEOUTIFNOTHUNG the time-out
// only bounds the wait for the owner to take the message: once it has, the
// call waits for the answer however long the procedure takes, so a time-out
// always means the procedure never ran. The other flags are accepted for the
// platform's shape and ignored.
inline constexpr UINT SMTO_NORMAL = 0;
inline constexpr UINT SMTO_BLOCK = 1;
inline constexpr UINT SMTO_ABORTIFHUNG = 2;
inline constexpr UINT SMTO_NOTIMEOUTIFNOTHUNG = 8;
LRESULT SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                           LRESULT* result) noexcept;

// Queues a message for the window's thread and returns at once. Never blocks
// beyond a short lock and never allocates: each thread's queue holds at most
// kPostedMessageLimit messages, and a post to a full queue fails with
// ERROR_NOT_ENOUGH_QUOTA. window 0 posts to the calling thread's own queue.
// FALSE with ERROR_INVALID_WINDOW_HANDLE for a bad window or when its thread
// has ended.
inline constexpr std::size_t kPostedMessageLimit = 10000;
BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Asks the calling thread's message loop to end: GetMessage returns 0 with
// exitCode in wParam once the posted messages before it are taken. Never fails.
void PostQuitMessage(int exitCode) noexcept;

// Takes the next message of the calling thread, waiting for one. Messages
// sent by other threads are handled inside the call. Order: posted messages,
// then the quit message, then WM_PAINT for a window with an invalid area.
// filter limits it to one window (and its children); minMessage..maxMessage
// (both 0: all) to a range of values. Returns 1 for a message, 0 for WM_QUIT,
// -1 with ERROR_INVALID_WINDOW_HANDLE for a bad filter window.
int GetMessage(MSG* msg, HWND filter, UINT minMessage, UINT maxMessage) noexcept;

// Like GetMessage without waiting: nonzero when msg was filled. PM_REMOVE
// takes the message from the queue, PM_NOREMOVE leaves it (WM_PAINT is never
// removed by peeking; painting validates it).
inline constexpr UINT PM_NOREMOVE = 0;
inline constexpr UINT PM_REMOVE = 1;
BOOL PeekMessage(MSG* msg, HWND filter, UINT minMessage, UINT maxMessage, UINT removeFlags) noexcept;

// Waits until the calling thread has a posted message, a quit message or a
// window to paint, handling sent messages meanwhile. Always TRUE.
BOOL WaitMessage() noexcept;

// Keyboard translation does not exist here: returns FALSE.
BOOL TranslateMessage(const MSG* msg) noexcept;

// Calls the procedure of msg->hwnd (owned by the calling thread) and returns
// its result; 0 for a thread message or a window that is gone. A procedure
// that throws is reported through a notice and yields 0. After WM_PAINT the
// window is validated if the procedure did not paint, so a procedure that
// ignores WM_PAINT does not get it forever.
LRESULT DispatchMessage(const MSG* msg) noexcept;

// For hosts and tests: dispatches the calling thread's messages until timeout
// has passed. Returns false as soon as WM_QUIT is taken, true on time-out.
bool PumpMessages(std::chrono::milliseconds timeout) noexcept;

// Dispatches messages until done() is true (checked before each wait) or limit
// has passed, and returns done()'s last value. A WM_QUIT taken on the way is
// posted again and ends the wait.
bool PumpMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) noexcept;

// ANSI names the controls use; this platform's strings are UTF-8.
inline ATOM RegisterClassA(const WNDCLASSA* c) noexcept { return RegisterClass(c); }
inline BOOL UnregisterClassA(const char* n, HINSTANCE i) noexcept { return UnregisterClass(n, i); }
inline HWND CreateWindowExA(DWORD ex, const char* c, const char* n, DWORD s, int x, int y, int w, int h, HWND p,
                            HMENU m, HINSTANCE i, void* param) noexcept {
    return CreateWindowEx(ex, c, n, s, x, y, w, h, p, m, i, param);
}
inline LRESULT DefWindowProcA(HWND h, UINT m, WPARAM w, LPARAM l) noexcept { return DefWindowProc(h, m, w, l); }
inline LRESULT SendMessageA(HWND h, UINT m, WPARAM w, LPARAM l) noexcept { return SendMessage(h, m, w, l); }
inline BOOL PostMessageA(HWND h, UINT m, WPARAM w, LPARAM l) noexcept { return PostMessage(h, m, w, l); }
inline int GetMessageA(MSG* m, HWND h, UINT a, UINT b) noexcept { return GetMessage(m, h, a, b); }
inline BOOL PeekMessageA(MSG* m, HWND h, UINT a, UINT b, UINT r) noexcept { return PeekMessage(m, h, a, b, r); }
inline LRESULT DispatchMessageA(const MSG* m) noexcept { return DispatchMessage(m); }

// ---------------------------------------------------------------------------
// Geometry

// {0, 0, width, height} of the client area (there is no frame here, so the
// client area is the whole window). FALSE with ERROR_INVALID_WINDOW_HANDLE.
BOOL GetClientRect(HWND window, RECT* rect) noexcept;

// The window's rectangle in screen coordinates. FALSE for a bad handle.
BOOL GetWindowRect(HWND window, RECT* rect) noexcept;

// Converts between a window's client coordinates and the screen's.
BOOL ClientToScreen(HWND window, POINT* point) noexcept;
BOOL ScreenToClient(HWND window, POINT* point) noexcept;

// SetWindowPos flags and insert-after values.
inline constexpr UINT SWP_NOSIZE = 0x0001;
inline constexpr UINT SWP_NOMOVE = 0x0002;
inline constexpr UINT SWP_NOZORDER = 0x0004;
inline constexpr UINT SWP_NOREDRAW = 0x0008;
inline constexpr UINT SWP_NOACTIVATE = 0x0010;
inline constexpr UINT SWP_SHOWWINDOW = 0x0040;
inline constexpr UINT SWP_HIDEWINDOW = 0x0080;
inline constexpr UINT SWP_NOOWNERZORDER = 0x0200;
inline constexpr HWND HWND_TOP = 0;
inline constexpr HWND HWND_BOTTOM = 1;

// Moves, sizes, restacks, shows or hides a window. Position is in the parent's
// client coordinates (the screen's for a top-level window); sizes are clamped
// to 0..kMaxBitmapExtent. A move sends WM_MOVE, a size change WM_SIZE
// (SIZE_RESTORED, MAKELPARAM(width, height)) and invalidates the whole window
// with erase (unless SWP_NOREDRAW). Without SWP_NOZORDER the window goes above
// insertAfter's position: HWND_TOP, HWND_BOTTOM or below a sibling. Code-driven
// sizes are not limited by WM_GETMINMAXINFO (see host::ResizeWindowAsUser).
// FALSE with the last error set for a bad handle or insert-after window.
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags) noexcept;

// SetWindowPos without z-order change; repaint FALSE adds SWP_NOREDRAW.
BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) noexcept;

// ShowWindow commands.
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_NORMAL = 1;
inline constexpr int SW_SHOWMAXIMIZED = 3;
inline constexpr int SW_MAXIMIZE = 3;
inline constexpr int SW_SHOWNOACTIVATE = 4;
inline constexpr int SW_SHOW = 5;
inline constexpr int SW_SHOWNA = 8;
inline constexpr int SW_RESTORE = 9;

// Shows or hides a window (WM_SHOWWINDOW when visibility changes).
// SW_MAXIMIZE asks WM_GETMINMAXINFO and gives the window ptMaxSize at
// ptMaxPosition (WM_SIZE with SIZE_MAXIMIZED); SW_RESTORE (or SW_SHOWNORMAL)
// brings back the rectangle it had before. Returns TRUE when the window was
// visible before, FALSE otherwise or for a bad handle.
BOOL ShowWindow(HWND window, int command) noexcept;

// Full screen, this layer's own call (the video renderer's full-screen mode
// uses it). On: the window, with the same handle and the same native window,
// leaves its parent and covers the whole screen above every other window,
// shown, with WS_POPUP instead of WS_CHILD. Off: it comes back to the parent,
// position, size, style and visibility it had, on top of its siblings (a
// top-level window again if that parent has gone meanwhile). The window gets
// WM_SHOWWINDOW, WM_MOVE and WM_SIZE for what changed and is repainted. While
// full screen its position and size stay the screen's (SetWindowPos only
// restacks, shows or hides it) and SetParent refuses it (ERROR_ACCESS_DENIED).
// Runs on the owner thread; another thread is carried there and blocked until
// it is done. On a real display each step waits, up to a limit, for the
// display to confirm it. TRUE when done (also when the window already was in
// that mode); FALSE with the last error ERROR_INVALID_WINDOW_HANDLE,
// ERROR_BUSY (a request for the same window is still in flight: refused at
// once), ERROR_ACCESS_DENIED (a window that stands for another program's
// window), or ERROR_TIMEOUT (the display did not confirm a step in time; the
// window is put back as it was).
BOOL SetWindowFullScreen(HWND window, BOOL on) noexcept;
// TRUE while the window is full screen.
BOOL IsWindowFullScreen(HWND window) noexcept;

// GetSystemMetrics indexes: the screen's size in pixels (host-settable).
inline constexpr int SM_CXSCREEN = 0;
inline constexpr int SM_CYSCREEN = 1;
int GetSystemMetrics(int index) noexcept;

// ---------------------------------------------------------------------------
// Painting

// Adds rect (client coordinates; nullptr: the whole client area) to the
// window's invalid area, which is kept as one bounding rectangle; erase TRUE
// also asks for WM_ERASEBKGND at the next BeginPaint. The owner thread gets
// WM_PAINT from its message loop when nothing else is queued. Any thread; never
// waits for the owner. FALSE for a bad handle.
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) noexcept;

// Removes rect (nullptr: everything) from the invalid area. A partial
// rectangle only shrinks the bounding rectangle where it covers a whole side.
BOOL ValidateRect(HWND window, const RECT* rect) noexcept;

// The invalid area's bounding rectangle; FALSE (and an empty rect) when the
// window needs no painting or the handle is bad. erase is ignored.
BOOL GetUpdateRect(HWND window, RECT* rect, BOOL erase) noexcept;

// Sends WM_PAINT at once when the window has an invalid area. Owner thread.
BOOL UpdateWindow(HWND window) noexcept;

// Starts painting: sends WM_ERASEBKGND (wParam: the context) when erase was
// asked for, fills paint, validates the window and returns a context clipped
// to the invalid area. nullptr for a bad handle or another thread's window.
// The pixels show (in captures) at EndPaint.
HDC BeginPaint(HWND window, PAINTSTRUCT* paint) noexcept;
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) noexcept;

// A context for the whole client area, for drawing outside WM_PAINT. Owner
// thread only (nullptr otherwise). GetDC(0) gives a context of the screen,
// useful for GetDeviceCaps and CreateCompatibleDC; it draws nowhere. What is
// drawn shows (in captures) at ReleaseDC. Returns nullptr for a bad handle.
HDC GetDC(HWND window) noexcept;
// Returns 1 when dc was released, 0 when it is not a context of that window.
int ReleaseDC(HWND window, HDC dc) noexcept;

// ---------------------------------------------------------------------------
// Mouse, focus and activation

// Routes all mouse input to window (owned by the calling thread) until
// released, whatever window lies under the pointer. Returns the previous
// capture window (0 if none); the previous one gets WM_CAPTURECHANGED.
HWND SetCapture(HWND window) noexcept;

// Ends the capture held by a window of the calling thread (WM_CAPTURECHANGED
// to it). FALSE when the calling thread holds no capture.
BOOL ReleaseCapture() noexcept;

// The capture window if a window of the calling thread holds it, else 0.
HWND GetCapture() noexcept;

// Makes window the active one: the previously active window gets WM_ACTIVATE
// with WA_INACTIVE (lParam: the new one), then window gets WA_ACTIVE (lParam:
// the old one), each on its own thread. window 0 deactivates the active one.
// Returns the previously active window, 0 with the last error set for a bad
// handle.
HWND SetActiveWindow(HWND window) noexcept;
HWND GetActiveWindow() noexcept;

// Gives window the keyboard focus: WM_KILLFOCUS to the old focus (wParam: the
// new one), WM_SETFOCUS to the new (wParam: the old one). window 0 removes the
// focus. Returns the previous focus window.
HWND SetFocus(HWND window) noexcept;
HWND GetFocus() noexcept;

}  // namespace platform
