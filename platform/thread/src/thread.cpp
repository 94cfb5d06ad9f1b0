#include "platform/thread/thread.h"

#include <pthread.h>

#include <string>

#include "platform/notice/notice.h"

namespace platform {

WorkerThread::~WorkerThread() { JoinFor(kWorkerJoinLimit); }

bool WorkerThread::Start(std::string name, std::function<void()> body) noexcept {
    if (Thread.joinable()) {
        return false;
    }
    try {
        auto state = std::make_shared<Completion>();
        std::string shortName = name.substr(0, 15);
        Thread = std::thread([state, shortName, body = std::move(body)]() {
            pthread_setname_np(pthread_self(), shortName.c_str());
            body();
            std::lock_guard guard(state->Lock);
            state->Finished = true;
            state->Done.notify_all();
        });
        State = std::move(state);
        ThreadName = std::move(name);
        return true;
    } catch (...) {
        return false;
    }
}

bool WorkerThread::JoinFor(std::chrono::milliseconds limit) noexcept {
    if (!Thread.joinable()) {
        return true;
    }
    // The owner ended from the worker's own body: a thread cannot wait for
    // itself, and it ends as soon as that body returns.
    if (Thread.get_id() == std::this_thread::get_id()) {
        Thread.detach();
        State.reset();
        return false;
    }
    bool finished;
    {
        std::unique_lock lock(State->Lock);
        finished = State->Done.wait_for(lock, limit, [this] { return State->Finished; });
    }
    if (finished) {
        Thread.join();
    } else {
        Thread.detach();
        ShowNotice("The thread \"" + ThreadName + "\" did not end within " + std::to_string(limit.count()) +
                   " ms and was left running");
    }
    State.reset();
    return finished;
}

bool WorkerThread::Running() const noexcept {
    if (!Thread.joinable()) {
        return false;
    }
    std::lock_guard guard(State->Lock);
    return !State->Finished;
}

std::thread::native_handle_type WorkerThread::NativeHandle() noexcept { return Thread.native_handle(); }

void AutoResetEvent::Set() noexcept {
    {
        std::lock_guard guard(Lock);
        Signalled = true;
    }
    Changed.notify_one();
}

void AutoResetEvent::Wait() noexcept {
    std::unique_lock lock(Lock);
    Changed.wait(lock, [this] { return Signalled; });
    Signalled = false;
}

bool AutoResetEvent::WaitFor(std::chrono::nanoseconds limit) noexcept {
    std::unique_lock lock(Lock);
    if (!Changed.wait_for(lock, limit, [this] { return Signalled; })) {
        return false;
    }
    Signalled = false;
    return true;
}

void AutoResetEvent::Reset() noexcept {
    std::lock_guard guard(Lock);
    Signalled = false;
}

bool Semaphore::Release(int count) noexcept {
    {
        std::lock_guard guard(Lock);
        if (count < 0 || Count > Maximum - count) {
            return false;
        }
        Count += count;
    }
    Changed.notify_all();
    return true;
}

void Semaphore::Acquire() noexcept {
    std::unique_lock lock(Lock);
    Changed.wait(lock, [this] { return Count > 0; });
    --Count;
}

bool Semaphore::AcquireFor(std::chrono::nanoseconds limit) noexcept {
    std::unique_lock lock(Lock);
    if (!Changed.wait_for(lock, limit, [this] { return Count > 0; })) {
        return false;
    }
    --Count;
    return true;
}

int Semaphore::Available() const noexcept {
    std::lock_guard guard(Lock);
    return Count;
}

}  // namespace platform
