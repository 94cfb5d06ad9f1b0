#include "EventQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform::media::detail {

EventQueue::EventQueue() : Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventQueue::~EventQueue() {
    if (Fd >= 0) close(Fd);
}

void EventQueue::SyncSignal() noexcept {
    const bool want = !Queue.empty();
    if (want == Signalled || Fd < 0) {
        return;
    }
    if (want) {
        const std::uint64_t one = 1;
        while (write(Fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    } else {
        std::uint64_t value;
        while (read(Fd, &value, sizeof value) < 0 && errno == EINTR) {
        }
    }
    Signalled = want;
}

void EventQueue::Push(LONG code, LONG_PTR param1, LONG_PTR param2) noexcept {
    {
        std::lock_guard guard(Lock);
        if (!NotifyOn) {
            return;
        }
        try {
            Queue.push_back({code, param1, param2});
        } catch (...) {
            return;
        }
        SyncSignal();
    }
    Arrived.notify_all();
}

bool EventQueue::Pop(LONG& code, LONG_PTR& param1, LONG_PTR& param2, std::chrono::milliseconds limit) noexcept {
    std::unique_lock lock(Lock);
    auto ready = [this] { return !Queue.empty(); };
    if (limit.count() < 0) {
        Arrived.wait(lock, ready);
    } else if (!Arrived.wait_for(lock, limit, ready)) {
        return false;
    }
    const Event event = Queue.front();
    Queue.pop_front();
    SyncSignal();
    code = event.Code;
    param1 = event.Param1;
    param2 = event.Param2;
    return true;
}

void EventQueue::SetNotify(bool on) noexcept {
    std::lock_guard guard(Lock);
    NotifyOn = on;
    if (!on) {
        Queue.clear();
        SyncSignal();
    }
}

bool EventQueue::Notify() const noexcept {
    std::lock_guard guard(Lock);
    return NotifyOn;
}

void EventQueue::Clear() noexcept {
    std::lock_guard guard(Lock);
    Queue.clear();
    SyncSignal();
}

void EventQueue::Discard(LONG code) noexcept {
    std::lock_guard guard(Lock);
    std::erase_if(Queue, [code](const Event& event) { return event.Code == code; });
    SyncSignal();
}

}  // namespace platform::media::detail

namespace platform::media {

DWORD WaitForSingleObject(OAEVENT handle, DWORD milliseconds) noexcept {
    if (!handle || handle->Descriptor() < 0) {
        return WAIT_FAILED;
    }
    pollfd entry{handle->Descriptor(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (milliseconds != INFINITE) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0) {
            return (entry.revents & POLLIN) ? WAIT_OBJECT_0 : WAIT_FAILED;
        }
        if (ready == 0) {
            return WAIT_TIMEOUT;
        }
        if (errno != EINTR) {
            return WAIT_FAILED;
        }
    }
}

}  // namespace platform::media
