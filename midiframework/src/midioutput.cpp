#include "midiframework/midioutput.h"

#include <string>
#include <thread>

#include "platform/notice/notice.h"

namespace {
constexpr std::uint32_t kHeaderSize = sizeof(platform::MIDIHDR);
constexpr std::chrono::milliseconds kCloseRetry{10};
// After a reset the device gives its messages back at once; this is only the
// bound on waiting for the completion thread to take them.
constexpr std::chrono::milliseconds kAfterReset{1000};
}  // namespace

MidiOutput::MidiOutput(int* success) noexcept {
    try {
        Shared = std::make_shared<Ring>();
    } catch (...) {
        platform::ShowNotice("CreateSemaphore() failed");
    }
    if (Shared) {
        // The thread holds its own reference to the ring.
        if (CompletionThread.Start("midi out done", [ring = Shared] { CompletionLoop(ring); })) {
            Ready = 1;
        } else {
            platform::ShowNotice("CreateThread() failed");
        }
    }
    if (success) {
        *success = Ready;
    }
}

MidiOutput::~MidiOutput() {
    if (IsOpen.load(std::memory_order_acquire)) {
        Close();
    }
    if (Ready) {
        Shared->QuitRequested.store(1, std::memory_order_release);
        Shared->CompletionSemaphore.Release();
        CompletionThread.JoinFor(platform::kWorkerJoinLimit);
    }
}

void MidiOutput::CompletionLoop(const std::shared_ptr<Ring>& ring) {
    for (;;) {
        ring->CompletionSemaphore.Acquire();
        if (ring->QuitRequested.load(std::memory_order_acquire)) {
            return;
        }
        // Devices finish long messages in the order they were queued, so the
        // oldest slot is the one that just completed.
        int read = ring->ReadIndex.load(std::memory_order_relaxed);
        platform::midiOutUnprepareHeader(ring->DeviceHandle.load(std::memory_order_acquire), &ring->LongHeaders[read],
                                         kHeaderSize);
        ring->ReadIndex.store((read + 1) % kRingSize, std::memory_order_release);
    }
}

void MidiOutput::OnDeviceMessage(platform::HMIDIOUT, std::uint32_t message, std::uintptr_t instance, std::uintptr_t,
                                 std::uintptr_t) {
    if (message == platform::MOM_DONE) {
        reinterpret_cast<Ring*>(instance)->CompletionSemaphore.Release();
    }
}

bool MidiOutput::Drained() const noexcept {
    return Shared->ReadIndex.load(std::memory_order_acquire) == Shared->WriteIndex.load(std::memory_order_acquire);
}

int MidiOutput::Open(int device) noexcept {
    if (IsOpen.load(std::memory_order_acquire)) {
        return 1;
    }
    platform::HMIDIOUT handle = nullptr;
    platform::MMRESULT result;
    if (Shared) {
        Shared->QuitRequested.store(0, std::memory_order_release);
        // Only an empty ring may start over at slot 0: otherwise the
        // completion thread still owns ReadIndex.
        if (Drained()) {
            Shared->WriteIndex.store(0, std::memory_order_release);
            Shared->ReadIndex.store(0, std::memory_order_release);
        }
        result = platform::midiOutOpen(&handle, device, &MidiOutput::OnDeviceMessage,
                                       reinterpret_cast<std::uintptr_t>(Shared.get()), platform::CALLBACK_FUNCTION);
    } else {
        result = platform::midiOutOpen(&handle, device, nullptr, 0, platform::CALLBACK_NULL);
    }
    if (result != platform::MMSYSERR_NOERROR) {
        return 0;
    }
    if (Shared) {
        Shared->DeviceHandle.store(handle, std::memory_order_release);
    }
    Handle.store(handle, std::memory_order_release);
    IsOpen.store(1, std::memory_order_release);
    return 1;
}

int MidiOutput::Close() noexcept {
    if (!IsOpen.load(std::memory_order_acquire)) {
        return 0;
    }
    platform::HMIDIOUT handle = Handle.load(std::memory_order_acquire);
    auto limit = std::chrono::milliseconds(CloseLimitMs.load(std::memory_order_relaxed));
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool reset = false;
    bool closed = false;
    for (;;) {
        // The completion thread unprepares finished headers with this
        // handle, so the handle stays until it has given back every one.
        if (!Ready || Drained()) {
            platform::MMRESULT result = platform::midiOutClose(handle);
            if (result != platform::MIDIERR_STILLPLAYING) {
                closed = result == platform::MMSYSERR_NOERROR;
                break;
            }
        }
        if (!WaitOnce(handle, deadline, reset)) {
            break;
        }
    }
    if (reset) {
        platform::ShowNotice("The MIDI output device did not finish its system exclusive messages within " +
                             std::to_string(limit.count()) + " ms; they were cut short and the device " +
                             (closed ? "was closed" : "was left open"));
    }
    Handle.store(nullptr, std::memory_order_release);
    if (Shared) {
        Shared->DeviceHandle.store(closed ? nullptr : handle, std::memory_order_release);
    }
    IsOpen.store(0, std::memory_order_release);
    return 1;
}

int MidiOutput::WaitForLongMessages() noexcept {
    if (!Ready || !IsOpen.load(std::memory_order_acquire)) {
        return 1;
    }
    const platform::HMIDIOUT handle = Handle.load(std::memory_order_acquire);
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(CloseLimitMs.load(std::memory_order_relaxed));
    bool reset = false;
    while (!Drained()) {
        if (!WaitOnce(handle, deadline, reset)) {
            return 0;
        }
    }
    return 1;
}

bool MidiOutput::WaitOnce(platform::HMIDIOUT handle, std::chrono::steady_clock::time_point& deadline,
                          bool& reset) noexcept {
    if (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kCloseRetry);
        return true;
    }
    if (reset) {
        return false;
    }
    platform::midiOutReset(handle);
    reset = true;
    deadline = std::chrono::steady_clock::now() + kAfterReset;
    return true;
}

platform::MMRESULT MidiOutput::SendShort(int status, int data1, int data2) noexcept {
    auto packed = static_cast<std::uint32_t>(status) | static_cast<std::uint32_t>(data1) << 8 |
                  static_cast<std::uint32_t>(data2) << 16;
    return platform::midiOutShortMsg(Handle.load(std::memory_order_acquire), packed);
}

platform::MMRESULT MidiOutput::SendLong(const std::uint8_t* bytes, std::uint32_t length) noexcept {
    if (!Shared) {
        return platform::MMSYSERR_NOMEM;
    }
    Ring& ring = *Shared;
    int write = ring.WriteIndex.load(std::memory_order_relaxed);
    // A full ring refuses: the slot at WriteIndex must stay free so that
    // a full ring and an empty one look different.
    if ((write + 1) % kRingSize == ring.ReadIndex.load(std::memory_order_acquire)) {
        return platform::MIDIERR_NOTREADY;
    }
    platform::MIDIHDR& header = ring.LongHeaders[write];
    // The device only reads the bytes; the header type is shared with input.
    header.lpData = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    header.dwBufferLength = length;
    header.dwBytesRecorded = 0;
    header.dwUser = 0;
    header.dwFlags.store(0, std::memory_order_relaxed);
    header.lpNext = nullptr;
    header.reserved = 0;
    header.dwOffset = 0;
    platform::HMIDIOUT handle = Handle.load(std::memory_order_acquire);
    platform::MMRESULT result = platform::midiOutPrepareHeader(handle, &header, kHeaderSize);
    if (result != platform::MMSYSERR_NOERROR) {
        return result;
    }
    result = platform::midiOutLongMsg(handle, &header, kHeaderSize);
    if (result == platform::MMSYSERR_NOERROR) {
        ring.WriteIndex.store((write + 1) % kRingSize, std::memory_order_release);
    }
    return result;
}

void MidiOutput::SetCloseLimit(std::chrono::milliseconds limit) noexcept {
    CloseLimitMs.store(limit.count(), std::memory_order_relaxed);
}
