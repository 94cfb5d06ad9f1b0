// Per-thread message queues: post, send across threads, get, peek, dispatch.

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>

#include "internal.h"
#include "platform/notice/notice.h"

namespace platform {

namespace {
thread_local DWORD LastError = ERROR_SUCCESS;
}

DWORD GetLastError() noexcept { return LastError; }
void SetLastError(DWORD code) noexcept { LastError = code; }

DWORD GetCurrentThreadId() noexcept { return static_cast<DWORD>(::gettid()); }

namespace detail {

namespace {

// Ends the thread's queue when the thread ends: senders waiting on it are
// released with a failure, later posts fail, and its windows are forgotten.
struct QueueHolder {
    QueuePtr Queue;
    ~QueueHolder() {
        if (Queue) ForgetThreadWindows(Queue.get());
    }
};
thread_local QueueHolder Holder;

std::atomic<std::int64_t> CursorPosition{0};

POINT LastCursor() noexcept {
    const std::int64_t v = CursorPosition.load(std::memory_order_relaxed);
    return POINT{static_cast<LONG>(v >> 32), static_cast<LONG>(v & 0xFFFFFFFF)};
}

void Finish(const SentPtr& sent, SentMessage::Status status, LRESULT result) {
    {
        std::lock_guard lock(sent->Sender->Lock);
        if (sent->State == SentMessage::Status::Abandoned) return;
        sent->State = status;
        sent->Result = result;
    }
    sent->Sender->Wake.notify_all();
}

// Runs one message another thread sent to a window of this thread.
void RunSent(const SentPtr& sent) {
    {
        std::lock_guard lock(sent->Sender->Lock);
        if (sent->State == SentMessage::Status::Abandoned) return;
        sent->State = SentMessage::Status::Running;
    }
    if (sent->Work) {
        LRESULT result = 0;
        try {
            result = sent->Work();
        } catch (...) {
            result = 0;
        }
        Finish(sent, SentMessage::Status::Done, result);
        return;
    }
    WindowPtr w = LookupWindow(sent->Target);
    if (!w || !OwnedByCaller(*w)) {
        Finish(sent, SentMessage::Status::Failed, 0);
        return;
    }
    Finish(sent, SentMessage::Status::Done, CallProcedure(w, sent->Message, sent->WParam, sent->LParam));
}

// Handles every message sent to this thread that is waiting now.
// Returns true when at least one ran.
bool RunIncoming(ThreadQueue& q) {
    bool ran = false;
    for (;;) {
        SentPtr next;
        {
            std::lock_guard lock(q.Lock);
            if (q.Incoming.empty()) return ran;
            next = std::move(q.Incoming.front());
            q.Incoming.pop_front();
        }
        RunSent(next);
        ran = true;
    }
}

bool InRange(UINT message, UINT minMessage, UINT maxMessage) {
    if (minMessage == 0 && maxMessage == 0) return true;
    return message >= minMessage && message <= maxMessage;
}

// The filter window and its descendants, gathered before the queue is locked
// (TreeLock comes before a queue's Lock).
std::vector<HWND> FilterSet(HWND filter) {
    std::vector<HWND> set;
    if (filter == 0) return set;
    Globals& g = G();
    std::shared_lock lock(g.TreeLock);
    std::vector<HWND> pending{filter};
    while (!pending.empty()) {
        const HWND h = pending.back();
        pending.pop_back();
        set.push_back(h);
        if (WindowPtr w = LookupWindowLocked(h)) pending.insert(pending.end(), w->Children.begin(), w->Children.end());
    }
    return set;
}

bool Matches(const std::vector<HWND>& set, HWND filter, HWND window) {
    return filter == 0 || std::find(set.begin(), set.end(), window) != set.end();
}

// Looks for a message without waiting, with q.Lock held.
bool FindLocked(ThreadQueue& q, MSG* out, HWND filter, const std::vector<HWND>& set, UINT minMessage, UINT maxMessage,
                bool remove) {
    const std::size_t capacity = kPostedMessageLimit;
    for (std::size_t i = 0; i < q.Count; ++i) {
        const MSG& m = q.Ring[(q.Head + i) % capacity];
        if (!InRange(m.message, minMessage, maxMessage) || !Matches(set, filter, m.hwnd)) continue;
        *out = m;
        if (remove) {
            // Close the gap; taking from the front, the usual case, moves nothing.
            for (std::size_t j = i; j > 0; --j) q.Ring[(q.Head + j) % capacity] = q.Ring[(q.Head + j - 1) % capacity];
            q.Head = (q.Head + 1) % capacity;
            --q.Count;
        }
        return true;
    }
    if (q.QuitPending) {
        *out = MSG{0, WM_QUIT, static_cast<WPARAM>(q.QuitCode), 0, NowMs(), LastCursor()};
        if (remove) q.QuitPending = false;
        return true;
    }
    if (InRange(WM_PAINT, minMessage, maxMessage)) {
        auto& list = q.PaintList;
        for (auto it = list.begin(); it != list.end();) {
            const WindowPtr& w = *it;
            if (!w->NeedsPaint) {
                it = list.erase(it);
                continue;
            }
            if (Matches(set, filter, w->Handle)) {
                *out = MSG{w->Handle, WM_PAINT, 0, 0, NowMs(), LastCursor()};
                return true;
            }
            ++it;
        }
    }
    return false;
}

// Takes (or peeks at) the next message, handling sent messages first; waits
// until deadline when wait is set (no deadline: for ever).
bool Take(MSG* out, HWND filter, UINT minMessage, UINT maxMessage, bool remove, bool wait,
          std::optional<Clock::time_point> deadline) {
    QueuePtr q = CurrentQueue();
    for (;;) {
        RunIncoming(*q);
        const std::vector<HWND> set = FilterSet(filter);
        std::unique_lock lock(q->Lock);
        if (!q->Incoming.empty()) continue;
        if (FindLocked(*q, out, filter, set, minMessage, maxMessage, remove)) return true;
        if (!wait) return false;
        if (!deadline) {
            q->Wake.wait(lock);
        } else if (q->Wake.wait_until(lock, *deadline) == std::cv_status::timeout) {
            wait = false;  // one last look, then give up
        }
    }
}

// Sends across threads; the caller's own queue keeps serving what others send
// to it meanwhile. Returns true when the message was handled.
// Sends to another thread's window and waits, serving sends to this thread
// meanwhile. With a deadline the message is withdrawn once it passes, unless
// the owner has taken it: then untilTaken keeps waiting for the answer, and
// otherwise the answer is abandoned.
bool SendAcross(const WindowPtr& target, UINT message, WPARAM wParam, LPARAM lParam, std::function<LRESULT()> work,
                std::optional<Clock::time_point> deadline, LRESULT* result, bool untilTaken = false) {
    QueuePtr me = CurrentQueue();
    auto sent = std::make_shared<SentMessage>();
    sent->Target = target->Handle;
    sent->Message = message;
    sent->WParam = wParam;
    sent->LParam = lParam;
    sent->Work = std::move(work);
    sent->Sender = me;
    ThreadQueue& owner = *target->Owner;
    {
        std::lock_guard lock(owner.Lock);
        if (!owner.Alive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        owner.Incoming.push_back(sent);
    }
    owner.Wake.notify_all();

    for (;;) {
        RunIncoming(*me);
        std::unique_lock lock(me->Lock);
        if (sent->State == SentMessage::Status::Done || sent->State == SentMessage::Status::Failed) break;
        if (!me->Incoming.empty()) continue;
        if (!deadline) {
            me->Wake.wait(lock);
            continue;
        }
        if (me->Wake.wait_until(lock, *deadline) != std::cv_status::timeout) continue;
        if (sent->State == SentMessage::Status::Done || sent->State == SentMessage::Status::Failed) break;
        lock.unlock();
        // Out of time: withdraw the message if the owner has not taken it yet;
        // otherwise let it finish on its own and drop the answer.
        bool withdrawn = false;
        {
            std::lock_guard ownerLock(owner.Lock);
            auto it = std::find(owner.Incoming.begin(), owner.Incoming.end(), sent);
            if (it != owner.Incoming.end()) {
                owner.Incoming.erase(it);
                withdrawn = true;
            }
        }
        std::lock_guard relock(me->Lock);
        if (!withdrawn && (sent->State == SentMessage::Status::Done || sent->State == SentMessage::Status::Failed))
            break;
        if (!withdrawn && untilTaken) {
            deadline.reset();  // the owner is at work on it
            continue;
        }
        sent->State = SentMessage::Status::Abandoned;
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    std::lock_guard lock(me->Lock);
    if (sent->State == SentMessage::Status::Failed) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (result) *result = sent->Result;
    return true;
}

}  // namespace

DWORD NowMs() noexcept {
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

QueuePtr CurrentQueue() {
    if (!Holder.Queue) {
        auto q = std::make_shared<ThreadQueue>();
        q->ThreadId = GetCurrentThreadId();
        Holder.Queue = std::move(q);
    }
    return Holder.Queue;
}

ThreadQueue* CurrentQueueIfAny() noexcept { return Holder.Queue.get(); }

bool OwnedByCaller(const Window& w) noexcept { return w.Owner.get() == CurrentQueueIfAny(); }

LRESULT CallProcedure(const WindowPtr& w, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    WNDPROC proc = nullptr;
    {
        std::shared_lock lock(G().TreeLock);
        proc = w->Proc;
    }
    if (!proc) return 0;
    try {
        return proc(w->Handle, message, wParam, lParam);
    } catch (const std::exception& e) {
        ShowNotice(std::string("A window procedure failed: ") + e.what());
    } catch (...) {
        ShowNotice("A window procedure failed with an unknown exception.");
    }
    return 0;
}

LRESULT RunOnOwner(HWND window, std::function<LRESULT()> work, LRESULT failure) noexcept {
    try {
        WindowPtr w = LookupWindow(window);
        if (!w) return failure;
        if (OwnedByCaller(*w)) return work();
        LRESULT result = failure;
        if (!SendAcross(w, WM_NULL, 0, 0, std::move(work), std::nullopt, &result)) return failure;
        return result;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

BOOL PostWithPoint(HWND window, UINT message, WPARAM wParam, LPARAM lParam, POINT pt) noexcept {
    QueuePtr q;
    try {
        if (window == 0) {
            q = CurrentQueue();
        } else {
            WindowPtr w = LookupWindow(window);
            if (!w) return FALSE;
            q = w->Owner;
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    {
        std::lock_guard lock(q->Lock);
        if (!q->Alive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (!q->Ring) {
            q->Ring.reset(new (std::nothrow) MSG[kPostedMessageLimit]);
            if (!q->Ring) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return FALSE;
            }
        }
        if (q->Count == kPostedMessageLimit) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        q->Ring[(q->Head + q->Count) % kPostedMessageLimit] = MSG{window, message, wParam, lParam, NowMs(), pt};
        ++q->Count;
    }
    q->Wake.notify_all();
    return TRUE;
}

void SetCursorPosition(POINT p) noexcept {
    CursorPosition.store((static_cast<std::int64_t>(p.x) << 32) | static_cast<std::uint32_t>(p.y),
                         std::memory_order_relaxed);
}

void EndQueue(ThreadQueue& q) noexcept {
    std::deque<SentPtr> orphans;
    {
        std::lock_guard lock(q.Lock);
        q.Alive = false;
        orphans.swap(q.Incoming);
        q.Count = 0;
        q.PaintList.clear();
    }
    for (const SentPtr& s : orphans) Finish(s, SentMessage::Status::Failed, 0);
}

}  // namespace detail

using namespace detail;

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        WindowPtr w = LookupWindow(window);
        if (!w) return 0;
        if (OwnedByCaller(*w)) return CallProcedure(w, message, wParam, lParam);
        LRESULT result = 0;
        SendAcross(w, message, wParam, lParam, nullptr, std::nullopt, &result);
        return result;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

LRESULT SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                           LRESULT* result) noexcept {
    try {
        WindowPtr w = LookupWindow(window);
        if (!w) return 0;
        if (OwnedByCaller(*w)) {
            const LRESULT r = CallProcedure(w, message, wParam, lParam);
            if (result) *result = r;
            return 1;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        return SendAcross(w, message, wParam, lParam, nullptr, deadline, result, (flags & SMTO_NOTIMEOUTIFNOTHUNG) != 0)
                   ? 1
                   : 0;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return PostWithPoint(window, message, wParam, lParam, LastCursor());
}

void PostQuitMessage(int exitCode) noexcept {
    try {
        QueuePtr q = CurrentQueue();
        {
            std::lock_guard lock(q->Lock);
            q->QuitPending = true;
            q->QuitCode = exitCode;
        }
        q->Wake.notify_all();
    } catch (...) {
        // Without a queue there is no loop to end.
    }
}

int GetMessage(MSG* msg, HWND filter, UINT minMessage, UINT maxMessage) noexcept {
    if (!msg || (filter != 0 && !IsWindow(filter))) {
        SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return -1;
    }
    try {
        Take(msg, filter, minMessage, maxMessage, true, true, std::nullopt);
        return msg->message == WM_QUIT ? 0 : 1;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
}

BOOL PeekMessage(MSG* msg, HWND filter, UINT minMessage, UINT maxMessage, UINT removeFlags) noexcept {
    if (!msg) return FALSE;
    try {
        return Take(msg, filter, minMessage, maxMessage, (removeFlags & PM_REMOVE) != 0, false, std::nullopt) ? TRUE
                                                                                                              : FALSE;
    } catch (...) {
        return FALSE;
    }
}

BOOL WaitMessage() noexcept {
    MSG m;
    try {
        Take(&m, 0, 0, 0, false, true, std::nullopt);
    } catch (...) {
    }
    return TRUE;
}

BOOL TranslateMessage(const MSG*) noexcept { return FALSE; }

LRESULT DispatchMessage(const MSG* msg) noexcept {
    if (!msg || msg->hwnd == 0) return 0;
    WindowPtr w = LookupWindow(msg->hwnd);
    if (!w || !OwnedByCaller(*w)) return 0;
    if (msg->message == kPeerRequestMessage) {
        RunPeerRequest(msg->hwnd, msg->wParam, msg->lParam);
        return 0;
    }
    if (msg->message != WM_PAINT) return CallProcedure(w, msg->message, msg->wParam, msg->lParam);
    const bool outer = w->Painted;
    w->Painted = false;
    const LRESULT r = CallProcedure(w, WM_PAINT, msg->wParam, msg->lParam);
    // A procedure that neither painted nor validated would get WM_PAINT again
    // at once, for ever: take the area as painted.
    if (!w->Painted) ValidateRect(msg->hwnd, nullptr);
    w->Painted = outer;
    return r;
}

bool PumpMessages(std::chrono::milliseconds timeout) noexcept {
    const auto deadline = Clock::now() + timeout;
    try {
        MSG m;
        while (Take(&m, 0, 0, 0, true, true, deadline)) {
            if (m.message == WM_QUIT) return false;
            TranslateMessage(&m);
            DispatchMessage(&m);
        }
    } catch (...) {
    }
    return true;
}

bool PumpMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) noexcept {
    const auto deadline = Clock::now() + limit;
    try {
        for (;;) {
            if (done && done()) return true;
            const auto now = Clock::now();
            if (now >= deadline) return done ? done() : false;
            // done() may turn true without a message for this thread, so wake
            // now and then to look again.
            const auto slice = std::min(deadline, now + std::chrono::milliseconds(5));
            MSG m;
            while (Take(&m, 0, 0, 0, true, true, slice)) {
                if (m.message == WM_QUIT) {
                    PostQuitMessage(static_cast<int>(m.wParam));
                    return done ? done() : false;
                }
                DispatchMessage(&m);
                if (done && done()) return true;
            }
        }
    } catch (...) {
        return false;
    }
}

}  // namespace platform
