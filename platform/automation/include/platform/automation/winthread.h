#pragma once

#include <atomic>
#include <memory>

#include "platform/thread/thread.h"
#include "platform/window/window.h"

// The framework's thread starter: a thread that runs one function with one
// parameter, owned by the object AfxBeginThread returns. Destroying that
// object waits for the thread (bounded, see platform::WorkerThread), so the
// owner ends the thread first by its own means (a quit message, a flag).
namespace platform {

using AFX_THREADPROC = UINT (*)(void* parameter);

inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr DWORD CREATE_SUSPENDED = 0x4;

class CWinThread {
public:
    CWinThread() = default;
    ~CWinThread() = default;  // the worker's bounded join
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // The thread's id as GetCurrentThreadId gives it inside the thread, 0 until
    // the thread has started running. Any thread.
    DWORD ThreadId() const noexcept { return Shared->Id.load(std::memory_order_acquire); }
    // The function's result once it has returned.
    bool Finished() const noexcept { return Shared->Done.load(std::memory_order_acquire); }
    UINT ExitCode() const noexcept { return Shared->Code.load(std::memory_order_acquire); }
    // Waits up to limit for the function to return; see WorkerThread::JoinFor.
    bool Join(std::chrono::milliseconds limit) noexcept { return Worker.JoinFor(limit); }

private:
    friend std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC, void*, int, UINT, DWORD, void*);
    // Shared with the thread, which outlives this object if it is detached.
    struct State {
        std::atomic<DWORD> Id{0};       // written by the new thread
        std::atomic<bool> Done{false};  // written by the new thread
        std::atomic<UINT> Code{0};      // written by the new thread
    };
    std::shared_ptr<State> Shared = std::make_shared<State>();
    WorkerThread Worker;  // last: joined before the rest goes
};

// Starts `procedure(parameter)` on a new thread at normal priority with the
// default stack, running at once. priority, stackSize and security are
// accepted for the platform's shape; CREATE_SUSPENDED is refused. nullptr when
// no thread can be started.
std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC procedure, void* parameter,
                                           int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                                           DWORD createFlags = 0, void* security = nullptr);

}  // namespace platform
