#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "midiframework/midifile.h"
#include "midiframework/midioutput.h"
#include "midiframework/timer.h"
#include "orvalis/FullChase.h"
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
// to play (an index into the track, or kExhausted), the 16 channels' state and
// the complete chase of the tick (sent instead of Channels when the full
// chase is on). Sized by the song, so every track a file can hold fits.
struct LocateSnapshot {
    static constexpr std::int32_t kExhausted = INT32_MAX;

    std::vector<std::int32_t> Cursors;
    std::array<ChannelState, 16> Channels{};
    ChaseList Chase;
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
// Two options change how a song plays; both are off after construction, and
// with both off playback is exactly as above.
//   - Following the tempo map (SetFollowTempoMap): the position advances
//     through the song's tempo map, so every event goes out at the map's time
//     for its tick (divided by the host's speed, below), in the first 2 ms
//     step at or after it, over songs of any length: time is counted in whole
//     periods and converted, never summed tick by tick. The host's tempo then
//     sets the speed: SetTempo(bpm) plays at bpm / (the tempo at tick 0) of the
//     written speed, so SetTempo with the song's first tempo plays it as
//     written. A seek or a loop wrap resumes at the map's time of its tick.
//   - The full chase (SetFullChase): a seek, a loop wrap or a Play after a
//     seek sends the complete chase of the target (see FullChase) instead of
//     the eight values of ChannelState. It is computed when the target is set
//     (Seek, SetLoopStart, LoadSong for measure 0), on the host's thread, into
//     storage sized at load; the step only sends it. A step sends at most
//     kChaseMessagesPerStep of its short messages, no more than the
//     eight-value restore sends at once, and a reset the long-message ring
//     cannot take yet waits for a later step (for up to kChaseResetWaitSteps,
//     then it is given up); what is left goes out over the following steps in
//     order, and the song waits for it: the position stands still until the
//     chase is out, so no event of the target is sent before the state it
//     needs. With the full chase on, pitch bends also go out in playback with
//     both bytes as the song has them (the chase restores both, and playback
//     must agree with it); with it off their least significant byte goes as 0.
//
// Measures and ticks count from 0; tempos are in beats per minute; times are
// in milliseconds from tick 0 unless a name says otherwise.
class Sequencer : public PrecisionTimer {
public:
    static constexpr std::uint32_t kPeriodMs = 2;
    static constexpr std::int32_t kLoopUnset = -1;
    static constexpr std::int32_t kLoopEndUnlimited = 0x7FFFFFFF;
    static constexpr float kMinSongTempo = 40.0f;
    static constexpr float kMaxSongTempo = 220.0f;
    // Short messages of a full chase one step sends at most (16 channels x 8,
    // what the eight-value restore sends in one go).
    static constexpr std::size_t kChaseMessagesPerStep = 128;
    // Steps a chase's reset waits for room on the long-message ring before it
    // is given up (one second): a device that never finishes its messages
    // must not hold the song.
    static constexpr int kChaseResetWaitSteps = 500;

    // output must outlive the sequencer. clock: null for the default clock.
    explicit Sequencer(MidiOutput& output, platform::Clock* clock = nullptr) noexcept;
    ~Sequencer() override;
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    // Takes a loaded song and its prepared timeline and resets playback for it:
    // position 0, loop off and unset, mutes cleared, tempo from the file (the
    // tempo at tick 0 while the tempo map is followed, so the song plays as
    // written). The options stay as they are. Null
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
    // Plays at bpm from now on, as given (following the tempo map: at bpm /
    // the tempo at tick 0 of the written speed). Returns 1. A tempo that is not
    // a positive number holds the position where it is.
    int SetTempo(double bpm) noexcept;
    // As SetTempo, with bpm clamped to 40..220.
    void SetSongTempo(double bpm) noexcept;

    // Follows the song's tempo map (on != 0) or plays at one tempo (0, the
    // default); takes effect at the next step, from the position reached. As
    // long as the host has not set a tempo since the load, switching moves the
    // tempo to the new way's own (the tempo at tick 0 when following, the file
    // tempo when not), so the song plays as written. Host thread.
    void SetFollowTempoMap(int on) noexcept;
    int GetFollowTempoMap() const noexcept { return FollowTempoMap.load(std::memory_order_relaxed); }
    // Sends the complete chase (on != 0) or the eight ChannelState values (0,
    // the default) at the next seek, loop wrap or Play after a seek. Host thread.
    void SetFullChase(int on) noexcept { FullChaseOn.store(on ? 1 : 0, std::memory_order_relaxed); }
    int GetFullChase() const noexcept { return FullChaseOn.load(std::memory_order_relaxed); }

    // Time under the current timing, for the host: following the map, the
    // map's time divided by the speed; otherwise at the one tempo the song
    // plays at. 0 without a song, and when the timing gives no time (a tempo
    // that is no positive number, a division of 0). Host thread.
    // The time of tick, in milliseconds (ticks before 0 give times before 0).
    double TickToTime(std::int32_t tick) const noexcept;
    // The playback position in whole milliseconds (0..INT32_MAX), as PollTick
    // is in ticks; truncated.
    std::int32_t PollTime() const noexcept;
    // The song's length in seconds: the time of its end tick.
    double GetSongLength() const noexcept;

    // Start tick of measure; when snapshot is given, fills it with the state
    // playback needs to continue from that tick (cursors sized by track count,
    // the chase's storage by the song; either may throw std::bad_alloc when
    // the snapshot does not have it yet).
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

    static std::int32_t Locate(const MIDI::File* song, const SongTimeline& timeline, FullChase& chaser,
                               std::int32_t measure, LocateSnapshot* snapshot);
    void ReleaseSoundingNotes() noexcept;
    void RestoreChannels(const LocateSnapshot& snapshot) noexcept;
    void MoveCursors(const LocateSnapshot& snapshot) noexcept;
    void Dispatch(const MIDI::Event& event, int monitor, NotificationSink* sink, bool bendLsb) noexcept;
    std::int32_t PeriodsSinceLastStep(std::uint32_t elapsedMs) noexcept;
    // The step's own timekeeping under the tempo map: advances the song's time
    // by the periods, and gives the position and the first tick not yet due.
    double AdvanceByMap(double position, std::int32_t periods, std::uint64_t& limit) noexcept;
    void ApplyTempo(double bpm) noexcept;
    double TimeOfPosition(double position) const noexcept;
    // The chase under way: started from a list, sent a part per step.
    void StartChase(const ChaseList& list) noexcept;
    bool ChasePending() const noexcept { return ChaseReset != nullptr || ChaseNext < ChaseCount; }
    bool SendChase() noexcept;
    // Before the host rewrites list under the gate: a chase under way from it
    // keeps its remaining messages in DetachedChase.
    void DetachChase(const ChaseList& list) noexcept;
    void CancelChase() noexcept;

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
    // The host's own (mutable for LocateMeasure): computes the full chases.
    mutable FullChase Chaser;

    // The full chase under way: which messages, how far, and the reset still
    // to send. Written by the step, and by the host with the gate held.
    const std::uint32_t* ChaseData = nullptr;
    std::size_t ChaseCount = 0;
    std::size_t ChaseNext = 0;
    const MIDI::EventData* ChaseReset = nullptr;
    int ChaseResetWaits = 0;
    // Where a chase under way moves when the host rewrites its snapshot.
    std::vector<std::uint32_t> DetachedChase;

    // Written by the host (Play/Stop), read by the step.
    std::atomic<int> Playing{0};
    // Written by the host (EnableLoop; LoadSong under the gate), read by the step.
    std::atomic<int> LoopEnabled{0};
    // Written by the host (SetTempo), read by the step.
    std::atomic<float> Tempo{SongTimeline::kDefaultTempo};
    std::atomic<float> TickIncrement{0.0f};
    // The speed under the tempo map: the tempo over the tempo at tick 0.
    std::atomic<double> SpeedFactor{1.0};
    // Host only: SetTempo was called since the load.
    bool TempoFromHost = false;
    // Written by the host (the option setters), read by the step.
    std::atomic<int> FollowTempoMap{0};
    std::atomic<int> FullChaseOn{0};
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

    // The song's time under the tempo map, in microseconds: the anchor (the
    // time at the last seek, wrap or change of speed) plus the periods since,
    // at the speed then in force, so no sum of periods accumulates rounding.
    // StepFollows is false when the anchor must be taken anew from Position
    // (the step played without the map, or the host moved the position).
    // Written by the step, and by the host with the gate held.
    bool StepFollows = false;
    double SongMicroseconds = 0.0;
    double AnchorMicroseconds = 0.0;
    std::uint64_t AnchorPeriods = 0;
    double AnchorFactor = 1.0;
    // The time of the position ceiling; set at load.
    double CeilingMicroseconds = 0.0;
};

}  // namespace orvalis
