#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/window/backend.h"
#include "platform/window/window.h"

// Shared state of the window layer. Lock order: TreeLock before any queue's
// Lock; a queue's Lock is never held while another queue's Lock is taken, and
// no lock is held while a window procedure or a backend runs.
namespace platform::detail {

using Clock = std::chrono::steady_clock;

struct ThreadQueue;
struct Window;
using WindowPtr = std::shared_ptr<Window>;
using QueuePtr = std::shared_ptr<ThreadQueue>;

// A message sent from one thread to a window of another, waiting for its
// answer. State and Result are guarded by the sender's queue Lock.
struct SentMessage {
    enum class Status { Queued, Running, Done, Failed, Abandoned };

    HWND Target = 0;
    UINT Message = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    // Set for work the layer itself runs on the owner thread (a cross-thread
    // SetWindowPos, a child's destruction...) instead of the procedure.
    std::function<LRESULT()> Work;

    QueuePtr Sender;
    Status State = Status::Queued;
    LRESULT Result = 0;
};
using SentPtr = std::shared_ptr<SentMessage>;

// One thread's message queue. Everything below is guarded by Lock.
struct ThreadQueue {
    std::mutex Lock;
    std::condition_variable Wake;

    // Posted messages: a ring allocated at the first post and never grown.
    std::unique_ptr<MSG[]> Ring;
    std::size_t Head = 0;
    std::size_t Count = 0;

    std::deque<SentPtr> Incoming;

    bool QuitPending = false;
    int QuitCode = 0;

    // Windows of this thread with an invalid area (entries whose window no
    // longer needs painting are dropped when met).
    std::vector<WindowPtr> PaintList;

    bool Alive = true;
    DWORD ThreadId = 0;
};

struct WindowClass {
    std::string Name;
    WNDCLASS Class{};
    ATOM Atom = 0;
    // Guarded by TreeLock.
    int Windows = 0;      // live windows of the class
    bool Shared = false;  // registered through a SharedWindowClass
    int Holders = 0;      // SharedWindowClass objects holding it
};

struct Window {
    HWND Handle = 0;
    QueuePtr Owner;  // set once at creation
    std::shared_ptr<WindowClass> Class;

    // Guarded by TreeLock.
    bool Alive = true;
    HWND Parent = 0;
    std::vector<HWND> Children;  // bottom to top
    RECT Rect{};                 // parent's client coordinates, or the screen's
    DWORD Style = 0;
    DWORD ExStyle = 0;
    WNDPROC Proc = nullptr;
    LONG_PTR UserData = 0;
    HINSTANCE Instance = nullptr;
    HMENU Menu = nullptr;
    std::string Name;
    bool Maximized = false;
    std::optional<RECT> RestoreRect;
    std::shared_ptr<WindowPeer> Peer;
    // Where a full-screen window comes back to; set only while full screen.
    struct Placement {
        HWND Parent = 0;
        RECT Rect{};
        DWORD Style = 0;
    };
    std::optional<Placement> Windowed;
    std::uint64_t Foreign = 0;  // the native window this one stands for; set once at creation

    // A full-screen change is in flight; set and cleared by the thread that asked.
    std::atomic<bool> Switching{false};

    // Guarded by Owner->Lock.
    RECT Update{};
    bool Erase = false;
    bool NeedsPaint = false;

    // Owner thread only.
    bool Destroying = false;
    bool Painted = false;  // BeginPaint ran during the current WM_PAINT dispatch
    std::vector<HDC> OpenDcs;
};

struct Globals {
    std::shared_mutex TreeLock;
    std::unordered_map<HWND, WindowPtr> Windows;
    std::vector<HWND> TopLevel;                                   // bottom to top
    std::map<std::string, std::shared_ptr<WindowClass>> Classes;  // by lower-case name
    HWND NextHandle = 0x00010000;
    ATOM NextAtom = 0xC000;
    HWND Capture = 0;
    HWND Active = 0;
    HWND Focus = 0;
    std::unique_ptr<WindowBackend> Backend;
};

Globals& G();

// The calling thread's queue, made on first use.
QueuePtr CurrentQueue();
// The calling thread's queue if it has one.
ThreadQueue* CurrentQueueIfAny() noexcept;

// The live window behind a handle, or nullptr (with the last error set).
WindowPtr LookupWindow(HWND window);
// The same with TreeLock already held by the caller.
WindowPtr LookupWindowLocked(HWND window);

bool OwnedByCaller(const Window& w) noexcept;

// Calls the window's procedure on the calling (owner) thread.
LRESULT CallProcedure(const WindowPtr& w, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Runs work on the window's owner thread and waits for it (directly when the
// caller owns it). failure is returned when the owner cannot run it.
LRESULT RunOnOwner(HWND window, std::function<LRESULT()> work, LRESULT failure) noexcept;

// Posts with a given pointer position (mouse input).
BOOL PostWithPoint(HWND window, UINT message, WPARAM wParam, LPARAM lParam, POINT pt) noexcept;

// Creates a window; foreign is the native window it stands for, or 0.
HWND CreateWindowHere(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x, int y,
                      int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param,
                      std::uint64_t foreign) noexcept;

// The message that carries a PeerRequest (wParam) with its size (lParam) to
// the owner thread; DispatchMessage hands it to RunPeerRequest.
inline constexpr UINT kPeerRequestMessage = 0x03F0;
void RunPeerRequest(HWND window, WPARAM request, LPARAM size) noexcept;

// SetWindowPos on the owner thread.
LRESULT SetWindowPosHere(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags);

// Destroys the windows of a thread that ends without telling them.
void ForgetThreadWindows(ThreadQueue* queue) noexcept;

// The window's client rectangle, screen origin; TreeLock held.
RECT ClientRectLocked(const Window& w);
POINT ScreenOriginLocked(const Window& w);
WindowPeerState PeerStateLocked(const Window& w);
bool VisibleLocked(const Window& w);

// The siblings list the window is in: its parent's children, or the
// top-level windows. TreeLock held.
std::vector<HWND>& SiblingsLocked(Globals& g, const Window& w);

// Sizes and coordinates as the layer keeps them.
int ClampExtent(int v);
int ClampCoordinate(int v);

// ShowWindow on the owner thread.
LRESULT ShowWindowHere(HWND window, int command);

// Takes the window out of its queue's paint bookkeeping; q.Lock held.
void ValidateAllLocked(ThreadQueue& q, Window& w);

// The backend in use (made on first use).
WindowBackend& BackendLocked(Globals& g);

DWORD NowMs() noexcept;

// Records where the pointer was last put (MSG::pt of later messages).
void SetCursorPosition(POINT screen) noexcept;

// Marks a queue dead: posts and sends to it fail, waiting senders are released.
void EndQueue(ThreadQueue& q) noexcept;

}  // namespace platform::detail
