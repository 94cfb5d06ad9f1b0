#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Kernel services where the C++ library alone does not keep the contract the
// controls rely on: a worker thread with a bounded join, an auto-reset event
// whose signals merge, and a counting semaphore with a maximum.
namespace platform {

// The wait every owner uses when it ends its worker in a destructor.
inline constexpr std::chrono::milliseconds kWorkerJoinLimit{10000};

// A thread owned by one object. The owner asks it to end (by its own flag or
// message) and then calls JoinFor; the destructor does so with kWorkerJoinLimit.
//
// A thread cannot be terminated safely here, so when the wait runs out the
// thread is detached and a notice names it. This is the one place where that
// decision is taken; the detached thread keeps its own completion state alive.
class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts body on a new thread named name (at most 15 characters are kept).
    // Returns false, with nothing started, when the system refuses a thread.
    bool Start(std::string name, std::function<void()> body) noexcept;

    // Waits up to limit for the body to return. True when the thread has ended
    // (or none was started); false when it was detached because it did not end.
    // Called on the thread itself, it detaches at once and quietly: the thread
    // ends when its body returns.
    bool JoinFor(std::chrono::milliseconds limit) noexcept;

    bool Running() const noexcept;
    std::thread::native_handle_type NativeHandle() noexcept;
    const std::string& Name() const noexcept { return ThreadName; }

private:
    struct Completion {
        std::mutex Lock;
        std::condition_variable Done;
        bool Finished = false;
    };

    std::thread Thread;
    std::shared_ptr<Completion> State;
    std::string ThreadName;
};

// An auto-reset event: Set leaves it signalled until one waiter takes the
// signal. Signals that arrive while nobody waits merge into one; they never queue.
class AutoResetEvent {
public:
    void Set() noexcept;
    void Wait() noexcept;
    // True when the signal was taken, false on time-out.
    bool WaitFor(std::chrono::nanoseconds limit) noexcept;
    // Clears a pending signal without waiting.
    void Reset() noexcept;

private:
    std::mutex Lock;
    std::condition_variable Changed;
    bool Signalled = false;
};

// A counting semaphore with a maximum count. Release beyond the maximum is
// refused (returns false) and the count stays as it was.
class Semaphore {
public:
    Semaphore(int initial, int maximum) noexcept : Count(initial), Maximum(maximum) {}

    bool Release(int count = 1) noexcept;
    void Acquire() noexcept;
    // True when a unit was taken, false on time-out.
    bool AcquireFor(std::chrono::nanoseconds limit) noexcept;
    int Available() const noexcept;

private:
    mutable std::mutex Lock;
    std::condition_variable Changed;
    int Count;
    const int Maximum;
};

}  // namespace platform
