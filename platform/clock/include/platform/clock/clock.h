#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/clock/mmresult.h"
#include "platform/clock/pulse.h"

// Time and the periodic pulse. A Clock gives the millisecond time, balanced
// resolution requests and periodic events that pulse a PulseEvent; the timer
// and the MIDI layer take the clock the host chose (the real one unless a
// manual clock was installed), so one manual clock can drive a whole playback
// deterministically.
namespace platform {

// Flags of SetEvent: the only kind the timer uses is a periodic event that
// pulses an event object.
inline constexpr std::uint32_t TIME_ONESHOT = 0x0000;
inline constexpr std::uint32_t TIME_PERIODIC = 0x0001;
inline constexpr std::uint32_t TIME_CALLBACK_EVENT_PULSE = 0x0020;

// Periods a periodic event accepts, in ms.
inline constexpr std::uint32_t kMinTimerPeriodMs = 1;
inline constexpr std::uint32_t kMaxTimerPeriodMs = 1000000;

class Clock {
public:
    using StepObserver = std::function<void(std::int64_t fromNs, std::int64_t toNs)>;

    virtual ~Clock();

    // Nanoseconds since the clock's epoch; never goes backwards.
    virtual std::int64_t NowNs() const noexcept = 0;
    // Milliseconds since the clock's epoch, wrapping at 2^32.
    std::uint32_t GetTime() const noexcept;

    // Requests a timer resolution of periodMs. Requests must be balanced by
    // EndPeriod with the same value. TIMERR_NOCANDO when the period is out of
    // range or the clock cannot serve it.
    virtual MMRESULT BeginPeriod(std::uint32_t periodMs) noexcept;
    // Ends one request of BeginPeriod; TIMERR_NOCANDO when none is open.
    virtual MMRESULT EndPeriod(std::uint32_t periodMs) noexcept;
    // Resolution requests currently open (begun and not ended).
    int OpenPeriodRequests() const noexcept;

    // Starts a periodic event that pulses event every periodMs. resolutionMs
    // is accepted for compatibility and not needed here. flags must be
    // TIME_PERIODIC | TIME_CALLBACK_EVENT_PULSE. Returns the event's id, or 0
    // when the period or flags are out of range or no pulse source can start.
    std::uint32_t SetEvent(std::uint32_t periodMs, std::uint32_t resolutionMs, std::shared_ptr<PulseEvent> event,
                           std::uint32_t flags) noexcept;
    // Stops a periodic event: no pulse follows once this returns.
    // MMSYSERR_INVALPARAM for an unknown id.
    MMRESULT KillEvent(std::uint32_t id) noexcept;
    // Periodic events currently running.
    int ActiveEvents() const noexcept;

    // A clock whose time moves in steps calls each observer with every step
    // [fromNs, toNs), before the step's pulses. Returns an id for
    // RemoveStepObserver, or 0 when time flows by itself (the real clock).
    virtual int AddStepObserver(StepObserver observer);
    virtual void RemoveStepObserver(int id);

    // One running periodic event, as a concrete clock keeps it; destroying it
    // ends the event's pulses.
    class PeriodicSource {
    public:
        virtual ~PeriodicSource() = default;
    };

protected:
    // Creates the pulse source of one periodic event; null when it cannot start.
    virtual std::unique_ptr<PeriodicSource> StartPeriodic(std::int64_t periodNs, std::shared_ptr<PulseEvent> event) = 0;

private:
    mutable std::mutex Lock;
    std::map<std::uint32_t, int> PeriodRequests;
    std::map<std::uint32_t, std::unique_ptr<PeriodicSource>> Events;
    std::uint32_t NextEventId = 1;
};

// The system's monotonic clock with a real-time pulse thread per periodic
// event, sleeping to absolute deadlines so that pulses never drift.
Clock& RealClock() noexcept;

// The clock the timer and the MIDI layer use when given none. Starts as
// RealClock(). SetDefaultClock(nullptr) restores the real clock; returns the
// previous default. The caller keeps the clock alive while it is the default.
Clock& DefaultClock() noexcept;
Clock* SetDefaultClock(Clock* clock) noexcept;

}  // namespace platform
