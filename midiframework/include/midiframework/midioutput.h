#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/midi/midi.h"
#include "platform/thread/thread.h"

// The one place where MIDI bytes leave the program. Owns one output device:
// short (channel) messages go out at once; long (system exclusive) messages
// are queued on a ring of 32 headers that point at the caller's bytes, and a
// completion thread gives each finished header back to the device.
//
// Threads: Open, Close and destruction on the host's thread; SendShort from
// the host's thread and the timer worker (they interleave per message);
// SendLong from one sending thread at a time (the timer worker); the device's
// thread signals completions; the completion thread unprepares headers.
class MidiOutput {
public:
    static constexpr int kRingSize = 32;
    static constexpr int kMaxCompletions = 64;
    // How long Close waits for a device to finish its long messages before it
    // cuts them short.
    static constexpr std::chrono::milliseconds kCloseLimit{5000};

    // Creates the completion semaphore and thread. On failure a notice says
    // "CreateSemaphore() failed" or "CreateThread() failed" and the object
    // still sends short messages. *success (if given) receives 1 or 0.
    explicit MidiOutput(int* success = nullptr) noexcept;
    ~MidiOutput();
    MidiOutput(const MidiOutput&) = delete;
    MidiOutput& operator=(const MidiOutput&) = delete;

    // Opens device (-1 the default; see platform/midi). Returns 1 when open
    // (an open port stays as it is, whatever number is asked for), 0 when the
    // device refused; platform::MidiOutLastError() then says why.
    int Open(int device) noexcept;

    // Closes the port once its long messages are finished, waiting in 10 ms
    // steps. A device that has not finished them after the close limit is
    // reset and closed anyway, and a notice says so. Returns 1 when it closed
    // the port, 0 when none was open.
    int Close() noexcept;

    // Sends status | data1 << 8 | data2 << 16 (no masking). Returns the
    // device's result, MMSYSERR_INVALHANDLE when no port is open. Never
    // allocates, never waits.
    platform::MMRESULT SendShort(int status, int data1, int data2) noexcept;

    // Queues length bytes as one long message. The bytes are not copied and
    // must stay alive until the message has completed. Returns
    // MIDIERR_NOTREADY (nothing sent) when 31 messages are outstanding,
    // otherwise the device's result (0 = queued).
    platform::MMRESULT SendLong(const std::uint8_t* bytes, std::uint32_t length) noexcept;

    // Waits, in 10 ms steps, until the device has finished every long message
    // sent through this port, so that their bytes may go. A device that has
    // not finished them after the close limit is reset, which finishes them
    // at once. Returns 1 when none is outstanding (or no port is open), 0 when
    // the device still held some after the reset.
    int WaitForLongMessages() noexcept;

    // Shortens the close limit (tests, hosts that cannot wait that long).
    void SetCloseLimit(std::chrono::milliseconds limit) noexcept;

    bool PortOpen() const noexcept { return IsOpen.load(std::memory_order_acquire) != 0; }

private:
    // Everything the completion thread and the device's callback touch lives
    // in this block, shared with the thread: should the thread ever be left
    // running after the bounded join, it still only reaches live memory.
    struct Ring {
        // The completion thread's copy of Handle; written by Open and Close.
        std::atomic<platform::HMIDIOUT> DeviceHandle{nullptr};
        platform::Semaphore CompletionSemaphore{0, kMaxCompletions};
        // Written by the destructor, read by the completion thread.
        std::atomic<int> QuitRequested{0};
        std::array<platform::MIDIHDR, kRingSize> LongHeaders;
        // Written only by the sending side.
        std::atomic<int> WriteIndex{0};
        // Written only by the completion thread (and by Open while the ring
        // is empty and the thread idle).
        std::atomic<int> ReadIndex{0};
    };

    static void OnDeviceMessage(platform::HMIDIOUT handle, std::uint32_t message, std::uintptr_t instance,
                                std::uintptr_t param1, std::uintptr_t param2);
    static void CompletionLoop(const std::shared_ptr<Ring>& ring);
    bool Drained() const noexcept;
    // One wait of a loop that waits for the device's long messages: 10 ms,
    // or, once deadline has passed, a reset of the device and a last second
    // for the completions it brings. False when that second has run out too.
    bool WaitOnce(platform::HMIDIOUT handle, std::chrono::steady_clock::time_point& deadline, bool& reset) noexcept;

    // Written by Open and Close (host), read by every sender.
    std::atomic<platform::HMIDIOUT> Handle{nullptr};
    platform::WorkerThread CompletionThread;
    std::shared_ptr<Ring> Shared;
    // Written by the constructor only.
    int Ready = 0;
    // Written by Open and Close (host); atomic because senders may ask.
    std::atomic<int> IsOpen{0};
    std::atomic<std::int64_t> CloseLimitMs{kCloseLimit.count()};
};
