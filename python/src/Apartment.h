#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/automation/dispatch.h"
#include "platform/window/window.h"

// The threads of a script, as an apartment sees them. Every Python thread that
// makes a control gets an Apartment: a hidden window of its own that carries
// the events its controls fire on other threads back to it, so handlers run on
// the thread that made the control, while it pumps messages.
namespace ocx {

// An event waiting for its thread. The firing thread's arguments are copied
// in; when the event has by-reference parameters the firing thread waits for
// the answers, which the delivery writes back into Args.
struct PendingEvent {
    std::function<void(std::vector<platform::Variant>& args)> Deliver;
    std::vector<platform::Variant> Args;
    // Only for events with by-reference parameters.
    std::mutex Lock;
    std::condition_variable Answered;
    bool Done = false;       // guarded by Lock: the delivery has run (or never will)
    bool Abandoned = false;  // guarded by Lock: the firing thread stopped waiting
};

class Apartment {
public:
    // The calling thread's apartment, made on first use (its hidden window
    // belongs to this thread). Null when the window cannot be made.
    static std::shared_ptr<Apartment> Current();
    // The calling thread's apartment if it has one.
    static std::shared_ptr<Apartment> CurrentIfAny() noexcept;

    ~Apartment();
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    platform::DWORD ThreadId() const noexcept { return Owner; }

    // From any thread: queues the event for this apartment's thread and wakes
    // it. With `waitForAnswer` the call returns once the event was delivered
    // or after `limit` (false then: the answers did not come). False at once
    // when the apartment is closed or its queue is full.
    bool Enqueue(const std::shared_ptr<PendingEvent>& event, bool waitForAnswer, std::chrono::milliseconds limit);

    // On the owner thread: delivers what is queued, in order. Called by the
    // hidden window's procedure.
    void DeliverQueued() noexcept;

    // Work to run on the owner thread the next time it pumps (releasing a
    // control whose last reference went away on another thread). False when
    // the apartment is closed: its thread has ended.
    bool RunOnOwner(std::function<void()> work);

    // On the owner thread, as it ends: the queue is dropped, waiting firers
    // are let go, and nothing is accepted any more.
    void Close() noexcept;

private:
    Apartment() = default;

    platform::DWORD Owner = 0;
    platform::HWND Window = 0;  // owner thread's; set once at creation

    std::mutex Lock;
    std::deque<std::shared_ptr<PendingEvent>> Queue;  // guarded by Lock
    std::vector<std::function<void()>> OwnerWork;     // guarded by Lock
    bool Closed = false;                              // guarded by Lock
    // Written by any firing thread (set) and the owner (cleared): a wake-up
    // message is already on its way, so a burst of events posts only one.
    std::atomic<bool> WakePosted{false};
};

}  // namespace ocx
