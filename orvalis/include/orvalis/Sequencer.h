#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "midiframework/midifile.h"
#include "midiframework/midioutput.h"
#include "midiframework/timer.h"
#include "orvalis/SongTimeline.h"

namespace orvalis {

// Notifications the step posts (lParam always 0). The values lie in the
// window layer's WM_APP range so the control can post them to its window as
// they are. wParam of the note messages: channel << 24 | note << 16 |
// velocity << 8, low byte 0.
inline constexpr std::uint32_t WM_SONG_END = 0x8001;
inline constexpr std::uint32_t WM_NOTE_ON = 0x8002;
inline constexpr std::uint32_t WM_NOTE_OFF = 0x8003;

// Where the step's notifications go. Post runs on the timer worker in the
// middle of a step: it must return at once, never allocate and never wait;
// a notification it cannot take is dropped.
class NotificationSink {
public:
    virtual void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) noexcept = 0;

protected:
    ~NotificationSink() = default;
};

// The controller and program state of one channel at a point of the song.
struct ChannelState {
    enum Slot {
        kBankSelect,       // controller 0; default 0, always restored
        kVolume,           // controller 7; -1 = never set
        kPan,              // controller 10; -1 = never set
        kExpression,       // controller 11; -1 = never set
        kSustain,          // controller 64; default 0, always restored
        kPitchBend,        // most significant 7 bits; default 64 (centre)
        kChannelPressure,  // default 0
        kProgram,          // -1 = never set
        kSlotCount
    };
    std::array<std::int32_t, kSlotCount> Slots;

    static ChannelState Defaults() noexcept { return {{0, -1, -1, -1, 0, 64, 0, -1}}; }
};

// What playback needs to continue from a tick: for every track the next event
// to play (an index into the track, or kExhausted) and the 16 channels' state.
// Sized by the song's track count, so every track a file can hold fits.
struct LocateSnapshot {
    static constexpr std::int32_t kExhausted = INT32_MAX;

    std::vector<std::int32_t> Cursors;
    std::array<ChannelState, 16> Channels;
};

// The playback half of the MIDI player: plays every track of one loaded song
// in parallel through a MidiOutput, 2 ms at a time, with tempo, channel mute,
// a loop between measures and seeking with chased channel state. It is its own
// PrecisionTimer: PlaybackStep is the tick.
//
// Threads. Every method except PlaybackStep belongs to one host thread. The
// step never waits for the host and never takes a lock: it claims the step
// gate with one compare-and-swap and, when the host holds the gate, skips
// that period (the next step catches up from the elapsed time). The host holds
// the gate only for short rewrites of what the step reads and writes (song
// swap, snapshots, sounding notes), and waits for a step under way to end
// before it does. Simple settings (tempo, mutes, loop bounds, Monitor) are
// atomics the step reads as they stand.
//
// Measures and ticks count from 0; tempos are in beats per minute.
class Sequencer : public PrecisionTimer {
public:
    static constexpr std::uint32_t kPeriodMs = 2;
    static constexpr std::int32_t kLoopUnset = -1;
    static constexpr std::int32_t kLoopEndUnlimited = 0x7FFFFFFF;
    static constexpr float kMinSongTempo = 40.0f;
    static constexpr float kMaxSongTempo = 220.0f;

    // output must outlive the sequencer. clock: null for the default clock.
    explicit Sequencer(MidiOutput& output, platform::Clock* clock = nullptr) noexcept;
    ~Sequencer() override;
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    // Takes a loaded song and its prepared timeline and resets playback for it:
    // position 0, loop off and unset, mutes cleared, tempo from the file. Null
    // leaves no song. While playing the timer goes on; notes the old song left
    // sounding are released first. The old song goes once the output has
    // finished the system exclusive it sent from it (MidiOutput::
    // WaitForLongMessages); destruction waits likewise. Throws std::bad_alloc
    // before anything changes when the per-track tables cannot be had.
    void LoadSong(std::unique_ptr<MIDI::File> song, SongTimeline timeline);

    const MIDI::File* GetSong() const noexcept { return Song.get(); }
    // The timeline of the loaded song (empty without one).
    const SongTimeline& Timeline() const noexcept { return Times; }

    // Starts (or resumes) playback at the current position. Returns 1 when
    // playing, 0 when the timer did not start (a notice said why).
    int Play() noexcept;
    // Pauses: stops the timer and releases every sounding note. Returns 1.
    int Stop() noexcept;
    // Moves playback to the start of measure. Returns 1, or 0 without a song
    // or for a measure starting past the song's end or before 0 (nothing
    // changes then). While playing, the next step makes the move.
    int Seek(std::int32_t measure) noexcept;
    // Loop bounds in measures; a negative start counts as 0, a negative end
    // means "not limited". Return 1.
    int SetLoopStart(std::int32_t measure) noexcept;
    int SetLoopEnd(std::int32_t measure) noexcept;
    // Switches the loop; returns the previous switch, or 0 (and changes
    // nothing) without a song or while a bound is unset.
    int EnableLoop(int on) noexcept;
    // Suppresses (on != 0) or allows the note-ons of channel 0..15 from the
    // next one on; ignored without a song or outside 0..15. Returns 1.
    int MuteChannel(int channel, int on) noexcept;
    // Plays at bpm from now on, as given. Returns 1. A tempo that is not a
    // positive number holds the position where it is.
    int SetTempo(double bpm) noexcept;
    // As SetTempo, with bpm clamped to 40..220.
    void SetSongTempo(double bpm) noexcept;

    // Start tick of measure; when snapshot is given, fills it with the state
    // playback needs to continue from that tick (cursors sized by track count).
    std::int32_t LocateMeasure(std::int32_t measure, LocateSnapshot* snapshot) const;

    // One timer period: advances the position by the periods elapsed since the
    // previous step (from elapsedMs, the time since the run started), sends
    // every event now due, wraps the loop or makes a pending seek, and posts
    // the song's end. Runs on the timer worker; callable directly in tests.
    void PlaybackStep(std::uint32_t elapsedMs) noexcept;
    void OnTick(std::uint32_t elapsedMs) override { PlaybackStep(elapsedMs); }

    // Host-side polling. Position in whole ticks (0..INT32_MAX), its measure,
    // and the notes the sequencer has switched on and not off.
    std::int32_t PollTick() const noexcept;
    std::int32_t PollMeasure() const noexcept;
    int GetPolyCount() const noexcept;
    double GetPosition() const noexcept { return Position.load(std::memory_order_relaxed); }
    bool IsPlaying() const noexcept { return Playing.load(std::memory_order_acquire) != 0; }
    bool LoopIsEnabled() const noexcept { return LoopEnabled.load(std::memory_order_relaxed) != 0; }
    float GetTempo() const noexcept { return Tempo.load(std::memory_order_relaxed); }
    float GetTickIncrement() const noexcept { return TickIncrement.load(std::memory_order_relaxed); }
    std::int32_t GetLoopStart() const noexcept { return LoopStart.load(std::memory_order_relaxed); }
    std::int32_t GetLoopEnd() const noexcept { return LoopEnd.load(std::memory_order_relaxed); }
    // Loop wraps since construction (a host counts passes with it).
    std::uint64_t GetLoopWraps() const noexcept { return LoopWraps.load(std::memory_order_relaxed); }

    // Where notifications go (null: nowhere). The sink must outlive its use:
    // replace it only while stopped, or keep the old one alive.
    void SetNotificationSink(NotificationSink* sink) noexcept { Sink.store(sink, std::memory_order_release); }
    // Non-zero: note-ons and note-offs are posted as they are sent.
    void SetMonitor(int on) noexcept { Monitor.store(on, std::memory_order_relaxed); }
    int GetMonitor() const noexcept { return Monitor.load(std::memory_order_relaxed); }

private:
    class StepExclusion;

    static std::int32_t Locate(const MIDI::File* song, const SongTimeline& timeline, std::int32_t measure,
                               LocateSnapshot* snapshot);
    void ReleaseSoundingNotes() noexcept;
    void RestoreChannels(const LocateSnapshot& snapshot) noexcept;
    void MoveCursors(const LocateSnapshot& snapshot) noexcept;
    void Dispatch(const MIDI::Event& event, int monitor, NotificationSink* sink) noexcept;
    std::int32_t PeriodsSinceLastStep(std::uint32_t elapsedMs) noexcept;

    MidiOutput& Output;

    // Step gate: bit 0 while a step runs; the host adds kHostUnit while it
    // holds the gate. The step only ever tries it; the host waits on bit 0.
    static constexpr unsigned kStepRunning = 1;
    static constexpr unsigned kHostUnit = 2;
    std::atomic<unsigned> Gate{0};

    // The song and everything sized by it. Swapped by LoadSong under the gate;
    // between loads only the step (under the gate) and the host with the gate
    // held write Cursors; the rest is read-only.
    std::unique_ptr<MIDI::File> Song;
    SongTimeline Times;
    std::vector<const MIDI::Event*> TrackEvents;
    std::vector<std::int32_t> Cursors;
    std::vector<std::int32_t> TrackEnds;  // index of each track's last event; -1 when empty
    // Written by the host under the gate, read by the step under the gate.
    LocateSnapshot LoopSnapshot;
    LocateSnapshot SeekSnapshot;
    // The host's own: snapshots are located here, outside the gate, then copied in.
    LocateSnapshot Scratch;

    // Written by the host (Play/Stop), read by the step.
    std::atomic<int> Playing{0};
    // Written by the host (EnableLoop; LoadSong under the gate), read by the step.
    std::atomic<int> LoopEnabled{0};
    // Written by the host (SetTempo), read by the step.
    std::atomic<float> Tempo{SongTimeline::kDefaultTempo};
    std::atomic<float> TickIncrement{0.0f};
    // Written by the host (MuteChannel; cleared by LoadSong), read by the step.
    std::array<std::atomic<std::uint8_t>, 16> ChannelMute{};
    // Written by the step, and by the host with the gate held; polled by the host.
    std::atomic<double> Position{0.0};
    // Written by the host (SetLoopStart under the gate, SetLoopEnd), read by the step.
    std::atomic<std::int32_t> LoopStart{kLoopUnset};
    std::atomic<std::int32_t> LoopEnd{kLoopEndUnlimited};
    // Channel c, note n: bit n % 32 of word c * 4 + n / 32. Written by the step
    // and by the host with the gate held; counted by the host at any time.
    std::array<std::atomic<std::uint32_t>, 64> SoundingNotes{};
    // A seek during playback: the host writes SeekSnapshot and SeekTarget, then
    // sets SeekPending (release); the step reads it (acquire) and clears it.
    std::atomic<int> SeekPending{0};
    std::atomic<std::int32_t> SeekTarget{0};
    // Host only: a seek while stopped waits for Play to send its channel state.
    int RestoreOnPlay = 0;
    // Written by the host (setters), read by the step.
    std::atomic<NotificationSink*> Sink{nullptr};
    std::atomic<int> Monitor{0};
    // Written by the step only.
    std::atomic<std::uint64_t> LoopWraps{0};

    // Timekeeping of the current run. NewRun is set by Play (host) and taken by
    // the first step; the rest belongs to the step.
    std::atomic<int> NewRun{0};
    std::uint32_t LastElapsedMs = 0;
    std::uint64_t RunMs = 0;
    std::uint64_t RunPeriods = 0;
};

}  // namespace orvalis
