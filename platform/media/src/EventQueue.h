#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/media/media.h"

namespace platform::media::detail {

// The graph's event queue behind a level-triggered handle: an eventfd that is
// readable exactly while events are queued, so a poll()/WaitForSingleObject on
// it returns at once until the queue has been drained.
class EventQueue final : public WaitHandle {
public:
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    bool Valid() const noexcept { return Fd >= 0; }
    int Descriptor() const noexcept override { return Fd; }

    // Queues one event unless notification is off. Any thread.
    void Push(LONG code, LONG_PTR param1, LONG_PTR param2) noexcept;
    // Takes the oldest event, waiting up to limit (negative: no limit). False on time-out.
    bool Pop(LONG& code, LONG_PTR& param1, LONG_PTR& param2, std::chrono::milliseconds limit) noexcept;
    // With notification off, events are discarded and the handle stays unsignalled.
    void SetNotify(bool on) noexcept;
    bool Notify() const noexcept;
    void Clear() noexcept;
    // Drops the queued events of one kind; the others keep their order.
    void Discard(LONG code) noexcept;

private:
    struct Event {
        LONG Code;
        LONG_PTR Param1;
        LONG_PTR Param2;
    };
    void SyncSignal() noexcept;  // with Lock held

    mutable std::mutex Lock;
    std::condition_variable Arrived;
    std::deque<Event> Queue;
    bool NotifyOn = true;
    bool Signalled = false;
    int Fd = -1;
};

}  // namespace platform::media::detail
