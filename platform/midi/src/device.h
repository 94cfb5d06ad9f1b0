#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/midi/midi.h"
#include "platform/thread/thread.h"

namespace platform::midi {

// Bytes a short message carries, from its status byte; 0 for a byte that
// cannot start a short message (a data byte, or 0xF0 which starts a long one).
int ShortMessageLength(std::uint8_t status) noexcept;

// Records the reason of a failure for MidiOutLastError on this thread.
void SetLastError(std::string text);

// One open device. The base keeps the long-message queue and the completion
// thread; a concrete device delivers bytes.
//
// Long messages are delivered on the sender's thread, in order with short
// messages, so timing does not depend on a thread switch; only the
// completion (MHDR_DONE and MOM_DONE) happens on the device's thread.
class Device {
public:
    Device(HMIDIOUT handle, MidiOutProc callback, std::uintptr_t instance);
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Starts the completion thread. False when the system refuses a thread.
    bool StartCompletions();

    // The hot path: no allocation, no waiting.
    virtual MMRESULT SendShort(const std::uint8_t* bytes, int length) noexcept = 0;

    MMRESULT SendLong(MIDIHDR* header) noexcept;
    MMRESULT Reset() noexcept;
    int Queued() const noexcept { return Pending.load(std::memory_order_acquire); }

    // Ends the completion thread and the device's own work. Called once, with
    // nothing queued, after the last sender has left.
    void Shutdown() noexcept;

    // Holding keeps long messages queued until Release (for tests).
    void Hold(bool hold) noexcept;
    int Release(int count) noexcept;

protected:
    // Hands the bytes of a long message to the device, on the sender's thread.
    virtual MMRESULT DeliverLong(MIDIHDR* header) noexcept = 0;
    // On the completion thread, just before the header is marked done.
    virtual void FinishLong(MIDIHDR* /*header*/) noexcept {}
    // Silences the device (part of Reset).
    virtual void Silence() noexcept {}
    // The device's own closing work, after the completion thread ended.
    virtual void Stop() noexcept {}

private:
    void CompletionLoop() noexcept;
    MIDIHDR* TakeNext() noexcept;

    HMIDIOUT Handle;
    MidiOutProc Callback;
    std::uintptr_t Instance;

    // The queue of long messages, linked through lpNext. Senders append and
    // the completion thread takes from the front; the lock is held for a few
    // instructions only.
    std::mutex QueueLock;
    MIDIHDR* Head = nullptr;
    MIDIHDR* Tail = nullptr;
    // Written by senders (up) and the completion thread (down); read by Close.
    std::atomic<int> Pending{0};
    // Written by the host (Hold/Release/Reset), read by the completion thread.
    std::atomic<bool> Holding{false};
    std::atomic<int> Credits{0};
    std::atomic<bool> Flushing{false};
    std::atomic<bool> Quit{false};
    AutoResetEvent Wake;
    WorkerThread CompletionThread;
};

}  // namespace platform::midi
