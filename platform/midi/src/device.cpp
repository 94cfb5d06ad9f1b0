#include "device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform::midi {
namespace {
thread_local std::string LastErrorText;
}  // namespace

int ShortMessageLength(std::uint8_t status) noexcept {
    if (status < 0x80 || status == 0xF0) {
        return 0;
    }
    if (status < 0xF0) {
        switch (status & 0xF0) {
            case 0xC0:
            case 0xD0: return 2;
            default: return 3;
        }
    }
    switch (status) {
        case 0xF1:
        case 0xF3: return 2;
        case 0xF2: return 3;
        default: return 1;
    }
}

void SetLastError(std::string text) { LastErrorText = std::move(text); }

}  // namespace platform::midi

namespace platform {
std::string MidiOutLastError() { return midi::LastErrorText; }
}  // namespace platform

namespace platform::midi {

Device::Device(HMIDIOUT handle, MidiOutProc callback, std::uintptr_t instance)
    : Handle(handle), Callback(callback), Instance(instance) {}

Device::~Device() = default;

bool Device::StartCompletions() {
    return CompletionThread.Start("midi completion", [this] { CompletionLoop(); });
}

MMRESULT Device::SendLong(MIDIHDR* header) noexcept {
    header->dwFlags.fetch_and(~MHDR_DONE, std::memory_order_relaxed);
    header->dwFlags.fetch_or(MHDR_INQUEUE, std::memory_order_release);
    header->lpNext = nullptr;
    MMRESULT result = DeliverLong(header);
    if (result != MMSYSERR_NOERROR) {
        header->dwFlags.fetch_and(~MHDR_INQUEUE, std::memory_order_release);
        return result;
    }
    Pending.fetch_add(1, std::memory_order_acq_rel);
    {
        std::lock_guard guard(QueueLock);
        if (Tail) {
            Tail->lpNext = header;
        } else {
            Head = header;
        }
        Tail = header;
    }
    Wake.Set();
    return MMSYSERR_NOERROR;
}

MIDIHDR* Device::TakeNext() noexcept {
    std::lock_guard guard(QueueLock);
    MIDIHDR* header = Head;
    if (!header) {
        return nullptr;
    }
    if (Holding.load(std::memory_order_acquire) && !Flushing.load(std::memory_order_acquire)) {
        int credits = Credits.load(std::memory_order_acquire);
        do {
            if (credits <= 0) {
                return nullptr;
            }
        } while (!Credits.compare_exchange_weak(credits, credits - 1, std::memory_order_acq_rel));
    }
    Head = header->lpNext;
    if (!Head) {
        Tail = nullptr;
    }
    header->lpNext = nullptr;
    return header;
}

void Device::CompletionLoop() noexcept {
    for (;;) {
        Wake.Wait();
        while (MIDIHDR* header = TakeNext()) {
            FinishLong(header);
            std::uint32_t flags = header->dwFlags.load(std::memory_order_relaxed);
            while (!header->dwFlags.compare_exchange_weak(flags, (flags & ~MHDR_INQUEUE) | MHDR_DONE,
                                                          std::memory_order_acq_rel)) {
            }
            Pending.fetch_sub(1, std::memory_order_acq_rel);
            if (Callback) {
                Callback(Handle, MOM_DONE, Instance, reinterpret_cast<std::uintptr_t>(header), 0);
            }
        }
        if (Quit.load(std::memory_order_acquire)) {
            return;
        }
    }
}

MMRESULT Device::Reset() noexcept {
    Silence();
    Flushing.store(true, std::memory_order_release);
    Wake.Set();
    // The completion thread only runs callbacks, which are short; the bound
    // guards against one that is not.
    auto limit = std::chrono::steady_clock::now() + kWorkerJoinLimit;
    while (Pending.load(std::memory_order_acquire) > 0) {
        if (std::chrono::steady_clock::now() > limit) {
            Flushing.store(false, std::memory_order_release);
            SetLastError("The MIDI device did not finish its queued long messages");
            return MMSYSERR_ERROR;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Flushing.store(false, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

void Device::Shutdown() noexcept {
    Quit.store(true, std::memory_order_release);
    Wake.Set();
    CompletionThread.JoinFor(kWorkerJoinLimit);
    Stop();
}

void Device::Hold(bool hold) noexcept {
    Holding.store(hold, std::memory_order_release);
    if (!hold) {
        Credits.store(0, std::memory_order_release);
        Wake.Set();
    }
}

int Device::Release(int count) noexcept {
    int available;
    {
        std::lock_guard guard(QueueLock);
        int queued = 0;
        for (MIDIHDR* h = Head; h; h = h->lpNext) {
            ++queued;
        }
        available = std::max(0, std::min(count, queued - Credits.load(std::memory_order_acquire)));
        Credits.fetch_add(available, std::memory_order_acq_rel);
    }
    Wake.Set();
    return available;
}

}  // namespace platform::midi
