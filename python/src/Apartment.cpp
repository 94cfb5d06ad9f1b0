#include "Apartment.h"

#include "platform/window/shared_class.h"

using namespace platform;

namespace ocx {

namespace {

constexpr UINT kWake = WM_APP + 0x41;
constexpr const char* kClassName = "{7C2E5A19-3F4B-4D80-9E6A-1B2C3D4E5F60}";
// Far beyond what a script that pumps now and then lets pile up; past it a
// script that never pumps would only grow without bound.
constexpr std::size_t kQueueLimit = 200000;

LRESULT ApartmentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWake) {
        if (auto* apartment = reinterpret_cast<Apartment*>(GetWindowLongPtr(window, GWLP_USERDATA))) {
            apartment->DeliverQueued();
        }
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

// The class of every apartment's window, held for the process's life.
const SharedWindowClass& ApartmentClass() {
    static SharedWindowClass* held = [] {
        WNDCLASS description{};
        description.lpfnWndProc = &ApartmentProc;
        description.lpszClassName = kClassName;
        return new SharedWindowClass(description);
    }();
    return *held;
}

thread_local std::shared_ptr<Apartment> ThisThread;

}  // namespace

std::shared_ptr<Apartment> Apartment::CurrentIfAny() noexcept { return ThisThread; }

std::shared_ptr<Apartment> Apartment::Current() {
    if (ThisThread) return ThisThread;
    if (!ApartmentClass()) return nullptr;
    std::shared_ptr<Apartment> made(new Apartment);
    made->Owner = GetCurrentThreadId();
    made->Window = CreateWindowEx(0, kClassName, "", 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr);
    if (!made->Window) return nullptr;
    SetWindowLongPtr(made->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(made.get()));
    ThisThread = made;
    return made;
}

Apartment::~Apartment() {
    // Closed by the thread's own end; an apartment is only ever let go after.
}

bool Apartment::Enqueue(const std::shared_ptr<PendingEvent>& event, bool waitForAnswer,
                        std::chrono::milliseconds limit) {
    {
        std::lock_guard guard(Lock);
        if (Closed || Queue.size() >= kQueueLimit) return false;
        Queue.push_back(event);
    }
    if (!WakePosted.exchange(true, std::memory_order_acq_rel)) {
        if (!PostMessage(Window, kWake, 0, 0)) WakePosted.store(false, std::memory_order_release);
    }
    if (!waitForAnswer) return true;
    std::unique_lock guard(event->Lock);
    if (!event->Answered.wait_for(guard, limit, [&] { return event->Done; })) {
        event->Abandoned = true;
        return false;
    }
    return true;
}

void Apartment::DeliverQueued() noexcept {
    // Cleared before taking the queue: an event queued from now on posts a
    // new wake-up, so none is left waiting for one that has already run.
    WakePosted.store(false, std::memory_order_release);
    std::deque<std::shared_ptr<PendingEvent>> taken;
    std::vector<std::function<void()>> work;
    {
        std::lock_guard guard(Lock);
        taken.swap(Queue);
        work.swap(OwnerWork);
    }
    for (auto& event : taken) {
        try {
            event->Deliver(event->Args);
        } catch (...) {
            // Delivery reports its own failures; nothing may leave a window procedure.
        }
        std::lock_guard guard(event->Lock);
        event->Done = true;
        event->Answered.notify_all();
    }
    for (auto& job : work) {
        try {
            job();
        } catch (...) {
        }
    }
}

bool Apartment::RunOnOwner(std::function<void()> work) {
    {
        std::lock_guard guard(Lock);
        if (Closed) return false;
        OwnerWork.push_back(std::move(work));
    }
    if (!WakePosted.exchange(true, std::memory_order_acq_rel)) {
        if (!PostMessage(Window, kWake, 0, 0)) WakePosted.store(false, std::memory_order_release);
    }
    return true;
}

void Apartment::Close() noexcept {
    std::deque<std::shared_ptr<PendingEvent>> dropped;
    std::vector<std::function<void()>> work;
    {
        std::lock_guard guard(Lock);
        if (Closed) return;
        Closed = true;
        dropped.swap(Queue);
        work.swap(OwnerWork);
    }
    for (auto& job : work) {
        try {
            job();
        } catch (...) {
        }
    }
    for (auto& event : dropped) {
        std::lock_guard guard(event->Lock);
        event->Done = true;
        event->Answered.notify_all();
    }
    if (Window && GetCurrentThreadId() == Owner) {
        SetWindowLongPtr(Window, GWLP_USERDATA, 0);
        DestroyWindow(Window);
    }
    if (ThisThread.get() == this) ThisThread.reset();
}

}  // namespace ocx
