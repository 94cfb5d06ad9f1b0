// The control's life and its notification window: a thread of the control's
// own owns a hidden window; the sequencer's step posts to it, never waiting,
// and the window procedure turns each post into an event on that thread.

#include <chrono>
#include <span>
#include <thread>

#include "OrvalisCtl.h"
#include "platform/clock/priority.h"

namespace orvalis {

namespace {

using Clock = std::chrono::steady_clock;

// The window class every control of this module shares; its windows are made
// and ended by the notification threads, each holding the class meanwhile.
constexpr const char* kNotifyClassName = "{3F02ADFC-CD02-4D28-9DC8-273F271ABD36}";

// The notification thread's real-time level, the lowest there is: the timer
// worker (kWorkerRealTimePriority) and its pulse thread stay well above it.
constexpr int kNotifyRealTimePriority = 1;

// Never posted: peeking for it only answers what other threads send.
constexpr UINT kNoMessage = WM_APP + 0x3FFF;

// Answers the calls other threads have sent to this thread and are waiting
// on (a host's event handler calling back into the control, which the
// framework carries over to the control's thread), and nothing else: posted
// messages stay queued for the host's own loop.
void AnswerSentMessages() noexcept {
    MSG message{};
    PeekMessage(&message, 0, kNoMessage, kNoMessage, PM_NOREMOVE);
}

// One look of a bounded wait for the notification thread.
void PauseBriefly() noexcept { std::this_thread::sleep_for(std::chrono::microseconds(200)); }

std::int32_t Field(WPARAM packed, int shift) noexcept { return static_cast<std::int32_t>((packed >> shift) & 0xFF); }

}  // namespace

COrvalisCtrl::COrvalisCtrl() {
    InitializeIIDs(&IID_DOrvalis, &IID_DOrvalisEvents);
    Player.SetNotificationSink(this);
    // Last: the thread uses the control at once. Without a thread (the
    // system refused one) the control plays on and reports nothing.
    Notifier = AfxBeginThread(&COrvalisCtrl::NotifyThread, this);
}

COrvalisCtrl::~COrvalisCtrl() {
    EndNotifications();
    // The timer stops where it is: no note-offs on the way out.
    Player.StopTimer();
    Output.Close();
    // Player's destructor then ends the timer worker and waits for the system
    // exclusive still queued, before the song and the output go.
}

void COrvalisCtrl::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) noexcept {
    // Without the window nothing is posted: PostMessage(0, ...) would fill
    // the timer worker's own queue, which nobody reads. A refused post (a
    // full queue) is dropped.
    if (const HWND window = NotifyWindow.load(std::memory_order_acquire)) {
        PostMessage(window, message, wParam, lParam);
    }
}

UINT COrvalisCtrl::NotifyThread(void* parameter) {
    auto* self = static_cast<COrvalisCtrl*>(parameter);
    // Events keep up with the notes under load: above every ordinary thread,
    // below the timer that sends the notes (and every other real-time
    // thread); a lower nice value where real-time scheduling is refused, and
    // nothing where the host forbids raising threads.
    RaiseThreadPriority(kNotifyRealTimePriority);
    WNDCLASS description{};
    description.lpfnWndProc = &COrvalisCtrl::NotifyProc;
    description.lpszClassName = kNotifyClassName;
    description.hInstance = ThisModuleInstance();
    // Held until the window is gone; the last thread to let go takes the
    // class away, and none takes it from a thread still making its window.
    const SharedWindowClass notifyClass(description);
    if (!notifyClass) return 1;
    const HWND window = CreateWindowEx(0, kNotifyClassName, "", 0, 0, 0, 0, 0, 0, nullptr, ThisModuleInstance(), self);
    if (!window) return 1;
    // A queue gets its storage with the first post to it; taken now, the
    // step's posts never allocate.
    PostMessage(window, WM_NULL, 0, 0);
    self->NotifyWindow.store(window, std::memory_order_release);

    MSG message{};
    int result = 0;
    while ((result = GetMessage(&message, 0, 0, 0)) == 1) {
        TranslateMessage(&message);
        DispatchMessage(&message);
    }
    // The loop ends with the window's destruction; should it end otherwise,
    // the window goes here, so that the class can go too.
    if (IsWindow(window)) DestroyWindow(window);
    return result == 0 ? static_cast<UINT>(message.wParam) : 1;
}

LRESULT COrvalisCtrl::NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCT*>(lParam);
            SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            return 0;
        }
        case WM_DESTROY: PostQuitMessage(0); return 0;
        default: break;
    }
    // The control clears the pointer when it begins to end: from then on
    // nothing is fired, whatever is still queued.
    auto* self = reinterpret_cast<COrvalisCtrl*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (!self) return platform::DefWindowProc(window, message, wParam, lParam);
    switch (message) {
        case WM_SONG_END: self->FireEvent(kEventSongEnd, std::span<Variant>()); return 0;
        case WM_NOTE_ON:
        case WM_NOTE_OFF:
            self->FireEvent(message == WM_NOTE_ON ? kEventNoteOn : kEventNoteOff,
                            {Variant(Field(wParam, 24)), Variant(Field(wParam, 16)), Variant(Field(wParam, 8)),
                             Variant(Field(wParam, 0))});
            return 0;
        default: return platform::DefWindowProc(window, message, wParam, lParam);
    }
}

HWND COrvalisCtrl::WaitForNotifyWindow(Clock::time_point deadline) noexcept {
    for (;;) {
        if (const HWND window = NotifyWindow.load(std::memory_order_acquire)) return window;
        if (!Notifier || Notifier->Finished() || Clock::now() >= deadline) return 0;
        AnswerSentMessages();
        PauseBriefly();
    }
}

void COrvalisCtrl::EndNotifications() noexcept {
    if (!Notifier) return;
    const bool onNotifyThread = Notifier->ThreadId() == GetCurrentThreadId();
    const Clock::time_point deadline = Clock::now() + kWorkerJoinLimit;
    // The window belongs to its thread, which alone can destroy it; before it
    // can be asked to, it has to exist.
    const HWND window = onNotifyThread ? NotifyWindow.load(std::memory_order_acquire) : WaitForNotifyWindow(deadline);
    NotifyWindow.store(0, std::memory_order_release);
    if (window) {
        // No event from here on, so that nothing reaches the control once it
        // is gone. An event being fired now finishes during the wait below,
        // calls its handler makes back into the control included.
        SetWindowLongPtr(window, GWLP_USERDATA, 0);
        if (onNotifyThread) {
            DestroyWindow(window);
        } else {
            // A queue full of notes refuses the post until the thread has
            // taken some, which it now does quickly.
            while (!PostMessage(window, WM_CLOSE, 0, 0) && GetLastError() == ERROR_NOT_ENOUGH_QUOTA &&
                   Clock::now() < deadline) {
                AnswerSentMessages();
                PauseBriefly();
            }
        }
    }
    if (!onNotifyThread) {
        while (!Notifier->Finished() && Clock::now() < deadline) {
            AnswerSentMessages();
            PauseBriefly();
        }
        // A thread that has not ended by now (a handler that never returns)
        // is left running with a notice; it fires nothing more.
        if (!Notifier->Finished()) Notifier->Join(std::chrono::milliseconds(0));
    }
    // Ended from its own thread (the last reference dropped in a handler),
    // the thread is let go at once and ends when the handler returns.
    Notifier.reset();
}

}  // namespace orvalis
