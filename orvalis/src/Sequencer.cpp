#include "orvalis/Sequencer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <thread>
#include <utility>

namespace orvalis {
namespace {

// Beyond every tick a file can hold, and small enough that whole ticks of the
// position always fit the arithmetic below.
constexpr double kPositionCeiling = 8589934592.0;  // 2^33
// Catch-up after a long stall is done by multiplication past this many periods.
constexpr std::int32_t kPeriodsAddedOneByOne = 64;

constexpr int kSustainController = 64;
constexpr int kReleaseVelocity = 64;
constexpr double kPeriodMicroseconds = Sequencer::kPeriodMs * 1000.0;

// Ticks per 2 ms period at bpm: bpm × division / 30000, worked out in double
// the way every caller expects to see it, then kept as float.
float IncrementFor(double bpm, std::int32_t division) { return static_cast<float>(2.0 / ((60000.0 / bpm) / division)); }

std::uintptr_t PackNote(int channel, int note, int velocity) {
    return static_cast<std::uintptr_t>(channel) << 24 | static_cast<std::uintptr_t>(note) << 16 |
           static_cast<std::uintptr_t>(velocity) << 8;
}

// The slot an event sets, or -1 for events the chase does not follow.
int SlotOf(const MIDI::Event& event) {
    switch (event.kind) {
        case MIDI::kControlChange:
            switch (event.data1) {
                case 0: return ChannelState::kBankSelect;
                case 7: return ChannelState::kVolume;
                case 10: return ChannelState::kPan;
                case 11: return ChannelState::kExpression;
                case kSustainController: return ChannelState::kSustain;
                default: return -1;
            }
        case MIDI::kPitchBend: return ChannelState::kPitchBend;
        case MIDI::kChannelPressure: return ChannelState::kChannelPressure;
        case MIDI::kProgramChange: return ChannelState::kProgram;
        default: return -1;
    }
}

// Tick of the value each slot of each channel holds during a chase.
using SlotTicks = std::array<std::array<std::uint32_t, ChannelState::kSlotCount>, 16>;

// Folds event into the chased state unless a later event (of any track) has
// set that slot already. Tracks are walked one after the other, so without
// the tick check a channel written by two tracks would end with the last
// track's value instead of the latest one. On equal ticks the later track
// wins, as it does in playback, where its events go out after.
void Fold(std::array<ChannelState, 16>& channels, SlotTicks& ticks, const MIDI::Event& event) {
    const int slot = SlotOf(event);
    if (slot < 0) {
        return;
    }
    const int c = event.channel & 0x0F;
    if (event.tick < ticks[c][slot]) {
        return;
    }
    ticks[c][slot] = event.tick;
    channels[c].Slots[slot] = event.kind == MIDI::kControlChange ? event.data2 : event.data1;
}

}  // namespace

// The host's hold on the step gate. Construction waits for a step under way
// to end; while it lives, steps skip their period. Never taken on the worker.
class Sequencer::StepExclusion {
public:
    explicit StepExclusion(Sequencer& owner) noexcept : Gate(owner.Gate) {
        Gate.fetch_add(kHostUnit, std::memory_order_acq_rel);
        while (Gate.load(std::memory_order_acquire) & kStepRunning) {
            std::this_thread::yield();
        }
    }
    ~StepExclusion() { Gate.fetch_sub(kHostUnit, std::memory_order_release); }
    StepExclusion(const StepExclusion&) = delete;
    StepExclusion& operator=(const StepExclusion&) = delete;

private:
    std::atomic<unsigned>& Gate;
};

Sequencer::Sequencer(MidiOutput& output, platform::Clock* clock) noexcept
    : PrecisionTimer(nullptr, clock), Output(output) {
    LoopSnapshot.Channels.fill(ChannelState::Defaults());
    SeekSnapshot.Channels.fill(ChannelState::Defaults());
    Scratch.Channels.fill(ChannelState::Defaults());
}

Sequencer::~Sequencer() {
    // The worker must be gone before any member it reads.
    EndTimerThread();
    // System exclusive still queued on the device points into the song.
    Output.WaitForLongMessages();
}

void Sequencer::LoadSong(std::unique_ptr<MIDI::File> song, SongTimeline timeline) {
    const int trackCount = song ? song->GetTrackCount() : 0;
    std::vector<const MIDI::Event*> events(static_cast<std::size_t>(trackCount));
    std::vector<std::int32_t> cursors(static_cast<std::size_t>(trackCount), 0);
    std::vector<std::int32_t> ends(static_cast<std::size_t>(trackCount));
    for (int i = 0; i < trackCount; ++i) {
        const MIDI::Track* track = song->GetTrack(i);
        const int count = track->GetEventCount();
        events[i] = count > 0 ? track->GetEvent(0) : nullptr;
        ends[i] = count - 1;
    }
    FullChase chaser;
    chaser.Prepare(song.get());
    LocateSnapshot loop;
    loop.Chase.Messages.resize(chaser.MessageCapacity());
    Locate(song.get(), timeline, chaser, 0, &loop);
    LocateSnapshot seek;
    seek.Cursors.assign(static_cast<std::size_t>(trackCount), 0);
    seek.Channels.fill(ChannelState::Defaults());
    seek.Chase.Messages.resize(chaser.MessageCapacity());
    LocateSnapshot scratch = seek;
    std::vector<std::uint32_t> detached(chaser.MessageCapacity());
    // Following the map the song plays as written; otherwise at the file tempo.
    const double tempoAtZero = timeline.TempoAtTick(0);
    const double tempo = FollowTempoMap.load(std::memory_order_relaxed) ? tempoAtZero : timeline.FileTempo;
    const float increment = IncrementFor(tempo, timeline.Division);
    const double factor = tempo / tempoAtZero;
    const double ceiling = timeline.TickToMicroseconds(static_cast<std::int64_t>(kPositionCeiling));
    timeline.Tempo = static_cast<float>(tempo);

    // The swap happens with the step shut out; what the old song owned ends up
    // in these locals and is freed after the gate is open again.
    {
        StepExclusion hold(*this);
        if (Playing.load(std::memory_order_relaxed)) {
            // Its note-offs went with the old song: nothing else would end them.
            ReleaseSoundingNotes();
        }
        std::swap(Song, song);
        std::swap(Times, timeline);
        std::swap(TrackEvents, events);
        std::swap(Cursors, cursors);
        std::swap(TrackEnds, ends);
        std::swap(LoopSnapshot, loop);
        std::swap(SeekSnapshot, seek);
        std::swap(Scratch, scratch);
        std::swap(Chaser, chaser);
        std::swap(DetachedChase, detached);
        CancelChase();
        StepFollows = false;
        CeilingMicroseconds = ceiling;
        TempoFromHost = false;
        for (auto& mute : ChannelMute) {
            mute.store(0, std::memory_order_relaxed);
        }
        RestoreOnPlay = 0;
        LoopEnabled.store(0, std::memory_order_relaxed);
        Tempo.store(static_cast<float>(tempo), std::memory_order_relaxed);
        SpeedFactor.store(factor, std::memory_order_relaxed);
        SeekPending.store(0, std::memory_order_relaxed);
        Position.store(0.0, std::memory_order_relaxed);
        TickIncrement.store(increment, std::memory_order_relaxed);
        // The loop snapshot keeps measure 0's state, but the loop has no
        // bounds until the host sets both.
        LoopStart.store(kLoopUnset, std::memory_order_relaxed);
        LoopEnd.store(kLoopUnset, std::memory_order_relaxed);
    }
    // The old song goes with these locals; system exclusive it sent may still
    // be queued on the device, pointing into it.
    Output.WaitForLongMessages();
}

int Sequencer::Play() noexcept {
    if (Playing.load(std::memory_order_relaxed)) {
        return 1;
    }
    {
        StepExclusion hold(*this);
        for (auto& word : SoundingNotes) {
            word.store(0, std::memory_order_relaxed);
        }
        if (RestoreOnPlay) {
            if (Song) {
                MoveCursors(SeekSnapshot);
            }
            if (FullChaseOn.load(std::memory_order_relaxed)) {
                // The steps send it, within their limits, before the song goes on.
                StartChase(SeekSnapshot.Chase);
            } else {
                RestoreChannels(SeekSnapshot);
            }
            RestoreOnPlay = 0;
        }
    }
    NewRun.store(1, std::memory_order_release);
    if (!StartTimer(kPeriodMs, 0)) {
        return 0;
    }
    Playing.store(1, std::memory_order_release);
    return 1;
}

int Sequencer::Stop() noexcept {
    if (!Playing.load(std::memory_order_relaxed)) {
        return 1;
    }
    StopTimer();
    // A step from a pulse given before the timer stopped may still be running
    // or still to come: the release waits for it, and once Playing is 0 a late
    // one does nothing, so no note is struck after its release.
    StepExclusion hold(*this);
    ReleaseSoundingNotes();
    Playing.store(0, std::memory_order_release);
    return 1;
}

int Sequencer::Seek(std::int32_t measure) noexcept {
    if (!Song) {
        return 0;
    }
    std::int32_t tick;
    try {
        tick = Locate(Song.get(), Times, Chaser, measure, &Scratch);
    } catch (...) {
        return 0;
    }
    // A refused seek leaves the last accepted one as it was, snapshot included.
    if (tick < 0 || static_cast<std::int64_t>(tick) > static_cast<std::int64_t>(Times.SongEndTick)) {
        return 0;
    }
    StepExclusion hold(*this);
    SeekSnapshot.Channels = Scratch.Channels;
    std::copy(Scratch.Cursors.begin(), Scratch.Cursors.end(), SeekSnapshot.Cursors.begin());
    DetachChase(SeekSnapshot.Chase);
    std::swap(SeekSnapshot.Chase, Scratch.Chase);
    if (Playing.load(std::memory_order_relaxed)) {
        // The step drops a chase under way when it makes this seek.
        SeekTarget.store(tick, std::memory_order_relaxed);
        SeekPending.store(1, std::memory_order_release);
    } else {
        // This seek supersedes one handed to a step that never came, and the
        // rest of a chase for the position it leaves.
        SeekPending.store(0, std::memory_order_relaxed);
        CancelChase();
        Position.store(tick, std::memory_order_relaxed);
        StepFollows = false;
        MoveCursors(SeekSnapshot);
        RestoreOnPlay = Song->GetTrackCount() > 0 ? 1 : 0;
    }
    return 1;
}

int Sequencer::SetLoopStart(std::int32_t measure) noexcept {
    std::int32_t tick;
    try {
        tick = Locate(Song.get(), Times, Chaser, std::max(measure, 0), &Scratch);
    } catch (...) {
        return 1;
    }
    StepExclusion hold(*this);
    LoopSnapshot.Channels = Scratch.Channels;
    std::copy(Scratch.Cursors.begin(), Scratch.Cursors.end(), LoopSnapshot.Cursors.begin());
    // A wrap's chase still under way belongs to the position it wrapped to.
    DetachChase(LoopSnapshot.Chase);
    std::swap(LoopSnapshot.Chase, Scratch.Chase);
    LoopStart.store(tick, std::memory_order_relaxed);
    return 1;
}

int Sequencer::SetLoopEnd(std::int32_t measure) noexcept {
    LoopEnd.store(measure < 0 ? kLoopEndUnlimited : Times.MeasureToTick(measure), std::memory_order_relaxed);
    return 1;
}

int Sequencer::EnableLoop(int on) noexcept {
    if (!Song || LoopStart.load(std::memory_order_relaxed) == kLoopUnset ||
        LoopEnd.load(std::memory_order_relaxed) == kLoopUnset) {
        return 0;
    }
    return LoopEnabled.exchange(on, std::memory_order_relaxed);
}

int Sequencer::MuteChannel(int channel, int on) noexcept {
    if (Song && channel >= 0 && channel < 16) {
        ChannelMute[channel].store(on ? 1 : 0, std::memory_order_relaxed);
    }
    return 1;
}

int Sequencer::SetTempo(double bpm) noexcept {
    ApplyTempo(bpm);
    TempoFromHost = true;
    return 1;
}

void Sequencer::ApplyTempo(double bpm) noexcept {
    Tempo.store(static_cast<float>(bpm), std::memory_order_relaxed);
    Times.Tempo = static_cast<float>(bpm);
    TickIncrement.store(IncrementFor(bpm, Times.Division), std::memory_order_relaxed);
    SpeedFactor.store(bpm / Times.TempoAtTick(0), std::memory_order_relaxed);
}

void Sequencer::SetFollowTempoMap(int on) noexcept {
    const int follow = on ? 1 : 0;
    if (FollowTempoMap.exchange(follow, std::memory_order_relaxed) != follow && Song && !TempoFromHost) {
        ApplyTempo(follow ? Times.TempoAtTick(0) : static_cast<double>(Times.FileTempo));
    }
}

void Sequencer::SetSongTempo(double bpm) noexcept {
    if (std::isnan(bpm) || bpm < kMinSongTempo) {
        bpm = kMinSongTempo;
    } else if (bpm > kMaxSongTempo) {
        bpm = kMaxSongTempo;
    }
    SetTempo(bpm);
}

std::int32_t Sequencer::LocateMeasure(std::int32_t measure, LocateSnapshot* snapshot) const {
    return Locate(Song.get(), Times, Chaser, measure, snapshot);
}

std::int32_t Sequencer::Locate(const MIDI::File* song, const SongTimeline& timeline, FullChase& chaser,
                               std::int32_t measure, LocateSnapshot* snapshot) {
    const std::int32_t tick = timeline.MeasureToTick(measure);
    if (!snapshot) {
        return tick;
    }
    // The snapshots the sequencer keeps have their room from the load.
    if (snapshot->Chase.Messages.size() < chaser.MessageCapacity()) {
        snapshot->Chase.Messages.resize(chaser.MessageCapacity());
    }
    chaser.Compute(tick, snapshot->Chase);
    snapshot->Channels.fill(ChannelState::Defaults());
    SlotTicks slotTicks{};
    const int trackCount = song ? song->GetTrackCount() : 0;
    snapshot->Cursors.resize(static_cast<std::size_t>(trackCount));
    for (int i = 0; i < trackCount; ++i) {
        const MIDI::Track* track = song->GetTrack(i);
        const int count = track->GetEventCount();
        const MIDI::Event* events = count > 0 ? track->GetEvent(0) : nullptr;
        std::int32_t cursor = LocateSnapshot::kExhausted;
        for (int j = 0; j < count; ++j) {
            const MIDI::Event& event = events[j];
            const bool reached = static_cast<std::int64_t>(tick) <= static_cast<std::int64_t>(event.tick);
            // The state is what sounds at the tick: an event on it counts (it
            // is played again when playback reaches it), a later one does not.
            if (!reached || event.tick == static_cast<std::uint32_t>(tick)) {
                Fold(snapshot->Channels, slotTicks, event);
            }
            if (reached) {
                cursor = j;
                break;
            }
        }
        snapshot->Cursors[i] = cursor;
    }
    return tick;
}

void Sequencer::ReleaseSoundingNotes() noexcept {
    for (int c = 0; c < 16; ++c) {
        Output.SendShort(0xB0 | c, kSustainController, 0);
        for (int w = 0; w < 4; ++w) {
            std::atomic<std::uint32_t>& word = SoundingNotes[c * 4 + w];
            std::uint32_t bits = word.load(std::memory_order_relaxed);
            if (bits == 0) {
                continue;
            }
            for (int b = 0; b < 32; ++b) {
                if (bits & (1u << b)) {
                    Output.SendShort(0x80 | c, w * 32 + b, kReleaseVelocity);
                }
            }
            word.store(0, std::memory_order_relaxed);
        }
    }
}

void Sequencer::RestoreChannels(const LocateSnapshot& snapshot) noexcept {
    for (int c = 0; c < 16; ++c) {
        const auto& s = snapshot.Channels[c].Slots;
        if (s[ChannelState::kExpression] != -1) {
            Output.SendShort(0xB0 | c, 11, s[ChannelState::kExpression]);
        }
        if (s[ChannelState::kVolume] != -1) {
            Output.SendShort(0xB0 | c, 7, s[ChannelState::kVolume]);
        }
        if (s[ChannelState::kPan] != -1) {
            Output.SendShort(0xB0 | c, 10, s[ChannelState::kPan]);
        }
        Output.SendShort(0xB0 | c, kSustainController, s[ChannelState::kSustain]);
        Output.SendShort(0xB0 | c, 0, s[ChannelState::kBankSelect]);
        if (s[ChannelState::kProgram] != -1) {
            Output.SendShort(0xC0 | c, s[ChannelState::kProgram], 0);
        }
        Output.SendShort(0xE0 | c, 0, s[ChannelState::kPitchBend]);
        Output.SendShort(0xD0 | c, s[ChannelState::kChannelPressure], 0);
    }
}

void Sequencer::MoveCursors(const LocateSnapshot& snapshot) noexcept {
    const std::size_t count = std::min(Cursors.size(), snapshot.Cursors.size());
    std::copy_n(snapshot.Cursors.begin(), count, Cursors.begin());
}

void Sequencer::StartChase(const ChaseList& list) noexcept {
    ChaseData = list.Messages.data();
    ChaseCount = list.Count;
    ChaseNext = 0;
    ChaseReset = list.Reset;
    ChaseResetWaits = 0;
}

void Sequencer::CancelChase() noexcept {
    ChaseData = nullptr;
    ChaseCount = 0;
    ChaseNext = 0;
    ChaseReset = nullptr;
}

void Sequencer::DetachChase(const ChaseList& list) noexcept {
    if (ChaseData != list.Messages.data() || !ChasePending()) {
        return;
    }
    // Both were sized for the song at its load.
    const std::size_t left = ChaseCount - ChaseNext;
    std::copy_n(ChaseData + ChaseNext, left, DetachedChase.begin());
    ChaseData = DetachedChase.data();
    ChaseCount = left;
    ChaseNext = 0;
}

bool Sequencer::SendChase() noexcept {
    std::size_t budget = kChaseMessagesPerStep;
    if (ChaseReset) {
        // A full ring: a later step tries again, for as long as a device that
        // is merely busy could need; one that has stopped giving messages back
        // does not keep the song waiting for ever.
        if (ChaseReset->bytes && ChaseReset->length > 0 &&
            Output.SendLong(ChaseReset->bytes, ChaseReset->length) == platform::MIDIERR_NOTREADY &&
            ++ChaseResetWaits < kChaseResetWaitSteps) {
            return false;
        }
        ChaseReset = nullptr;
        --budget;
    }
    for (; budget > 0 && ChaseNext < ChaseCount; --budget) {
        const std::uint32_t message = ChaseData[ChaseNext++];
        Output.SendShort(static_cast<int>(message & 0xFF), static_cast<int>(message >> 8 & 0xFF),
                         static_cast<int>(message >> 16 & 0xFF));
    }
    return !ChasePending();
}

std::int32_t Sequencer::PeriodsSinceLastStep(std::uint32_t elapsedMs) noexcept {
    if (NewRun.exchange(0, std::memory_order_acq_rel)) {
        LastElapsedMs = elapsedMs;
        RunMs = 0;
        RunPeriods = 0;
    } else {
        // Differences of the wrapping millisecond count; a value that went
        // back (a stray pulse of an earlier run) adds nothing.
        const auto delta = static_cast<std::int32_t>(elapsedMs - LastElapsedMs);
        LastElapsedMs = elapsedMs;
        if (delta > 0) {
            RunMs += static_cast<std::uint64_t>(delta);
        }
    }
    // The first step of a run covers the first period; every later one the
    // periods that began since the step before, merged pulses included.
    const std::uint64_t due = RunMs / kPeriodMs + 1;
    const std::uint64_t periods = due - RunPeriods;
    RunPeriods = due;
    return static_cast<std::int32_t>(std::min<std::uint64_t>(periods, INT32_MAX));
}

void Sequencer::PlaybackStep(std::uint32_t elapsedMs) noexcept {
    unsigned idle = 0;
    if (!Gate.compare_exchange_strong(idle, kStepRunning, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;  // the host is rewriting; the next step catches up
    }
    if (Song && Playing.load(std::memory_order_acquire)) {
        const std::int32_t periods = PeriodsSinceLastStep(elapsedMs);
        const bool seek = SeekPending.load(std::memory_order_acquire) != 0;
        const bool fullChase = FullChaseOn.load(std::memory_order_relaxed) != 0;
        NotificationSink* sink = Sink.load(std::memory_order_acquire);
        double position = Position.load(std::memory_order_relaxed);
        // While a chase is still going out the song waits: the periods pass
        // without moving the position. A seek drops the rest (its own chase
        // replaces it) and is made at once, so that nothing of the target it
        // leaves is played without the state it needs.
        bool holding = false;
        if (ChasePending()) {
            if (seek) {
                CancelChase();
                holding = true;
            } else {
                holding = !SendChase();
            }
        }
        bool wrap = false;
        if (!holding) {
            std::uint64_t limit = 0;
            if (FollowTempoMap.load(std::memory_order_relaxed)) {
                position = AdvanceByMap(position, periods, limit);
            } else {
                StepFollows = false;
                const float increment = TickIncrement.load(std::memory_order_relaxed);
                // A tempo that is no positive number holds the position: it
                // never runs backwards.
                if (increment > 0.0f) {
                    if (periods <= kPeriodsAddedOneByOne) {
                        for (std::int32_t i = 0; i < periods; ++i) {
                            position += increment;
                        }
                    } else {
                        position += static_cast<double>(periods) * increment;
                    }
                    position = std::min(position, kPositionCeiling);
                }
                limit = static_cast<std::uint64_t>(std::max(position, 0.0));
            }

            const int loopOn = LoopEnabled.load(std::memory_order_relaxed);
            const std::int32_t loopEnd = LoopEnd.load(std::memory_order_relaxed);
            const int monitor = Monitor.load(std::memory_order_relaxed);

            const std::size_t trackCount = Cursors.size();
            for (std::size_t i = 0; i < trackCount; ++i) {
                std::int32_t cursor = Cursors[i];
                const std::int32_t end = TrackEnds[i];
                const MIDI::Event* events = TrackEvents[i];
                while (cursor < end && events[cursor].tick < limit) {
                    const MIDI::Event& event = events[cursor];
                    if (!loopOn || event.tick < static_cast<std::uint32_t>(loopEnd)) {
                        Dispatch(event, monitor, sink, fullChase);
                    }
                    ++cursor;
                }
                Cursors[i] = cursor;
            }
            wrap = loopOn && position >= static_cast<double>(loopEnd);
        }

        if (wrap || seek) {
            ReleaseSoundingNotes();
            const LocateSnapshot* snapshot;
            std::int32_t target;
            if (seek) {
                snapshot = &SeekSnapshot;
                target = SeekTarget.load(std::memory_order_relaxed);
            } else {
                snapshot = &LoopSnapshot;
                target = LoopStart.load(std::memory_order_relaxed);
                LoopWraps.fetch_add(1, std::memory_order_relaxed);
            }
            position = target;
            // Under the map the time resumes at the target's own.
            StepFollows = false;
            SeekPending.store(0, std::memory_order_relaxed);
            MoveCursors(*snapshot);
            if (fullChase) {
                StartChase(snapshot->Chase);
                SendChase();
            } else {
                RestoreChannels(*snapshot);
            }
        }
        Position.store(position, std::memory_order_relaxed);

        if (position > static_cast<double>(Times.SongEndTick) && sink) {
            sink->Post(WM_SONG_END, 0, 0);
        }
    }
    Gate.fetch_and(~kStepRunning, std::memory_order_release);
}

double Sequencer::AdvanceByMap(double position, std::int32_t periods, std::uint64_t& limit) noexcept {
    if (!Times.HasTiming()) {
        limit = 0;  // no time passes in a song without a division
        return position;
    }
    const double factor = SpeedFactor.load(std::memory_order_relaxed);
    if (!StepFollows) {
        SongMicroseconds = Times.PositionToMicroseconds(position);
        AnchorMicroseconds = SongMicroseconds;
        AnchorPeriods = 0;
        AnchorFactor = factor;
        StepFollows = true;
    }
    // A speed that is no positive number holds the time where it is.
    if (factor > 0.0) {
        if (factor != AnchorFactor) {
            AnchorMicroseconds = SongMicroseconds;
            AnchorPeriods = 0;
            AnchorFactor = factor;
        }
        AnchorPeriods += static_cast<std::uint64_t>(std::max(periods, 0));
        if (AnchorPeriods > 0) {
            const double time =
                AnchorMicroseconds + static_cast<double>(AnchorPeriods) * (kPeriodMicroseconds * factor);
            // Also catches a speed so large that the product is infinite.
            SongMicroseconds = time < CeilingMicroseconds ? time : CeilingMicroseconds;
        }
    }
    // An event is due once the song's time has reached its tick's; the
    // position's whole ticks are the last tick due.
    const double reached = Times.MicrosecondsToPosition(SongMicroseconds);
    limit = static_cast<std::uint64_t>(std::max(std::floor(reached) + 1.0, 0.0));
    return reached;
}

void Sequencer::Dispatch(const MIDI::Event& event, int monitor, NotificationSink* sink, bool bendLsb) noexcept {
    const int c = event.channel & 0x0F;
    const int note = event.data1 & 0x7F;
    std::atomic<std::uint32_t>& word = SoundingNotes[c * 4 + note / 32];
    const std::uint32_t bit = 1u << (note % 32);
    switch (event.kind) {
        case MIDI::kNoteOff:
            Output.SendShort(0x80 | c, event.data1, event.data2);
            word.store(word.load(std::memory_order_relaxed) & ~bit, std::memory_order_relaxed);
            if (monitor && sink) {
                sink->Post(WM_NOTE_OFF, PackNote(c, event.data1, event.data2), 0);
            }
            break;
        case MIDI::kNoteOn:
            if (event.data2 != 0) {
                if (ChannelMute[c].load(std::memory_order_relaxed) == 1) {
                    break;
                }
                Output.SendShort(0x90 | c, event.data1, event.data2);
                word.store(word.load(std::memory_order_relaxed) | bit, std::memory_order_relaxed);
                if (monitor && sink) {
                    sink->Post(WM_NOTE_ON, PackNote(c, event.data1, event.data2), 0);
                }
            } else {
                Output.SendShort(0x90 | c, event.data1, 0);
                word.store(word.load(std::memory_order_relaxed) & ~bit, std::memory_order_relaxed);
                if (monitor && sink) {
                    sink->Post(WM_NOTE_OFF, PackNote(c, event.data1, kReleaseVelocity), 0);
                }
            }
            break;
        case MIDI::kControlChange: Output.SendShort(0xB0 | c, event.data1, event.data2); break;
        case MIDI::kProgramChange: Output.SendShort(0xC0 | c, event.data1, 0); break;
        case MIDI::kChannelPressure: Output.SendShort(0xD0 | c, event.data1, 0); break;
        case MIDI::kPitchBend: Output.SendShort(0xE0 | c, bendLsb ? event.data2 : 0, event.data1); break;
        case MIDI::kSysEx:
            if (event.aux.data && event.aux.data->bytes && event.aux.data->length > 0) {
                Output.SendLong(event.aux.data->bytes, event.aux.data->length);
            }
            break;
        default: break;
    }
}

std::int32_t Sequencer::PollTick() const noexcept {
    const double position = Position.load(std::memory_order_relaxed);
    if (!(position > 0.0)) {
        return 0;
    }
    return position >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(position);
}

double Sequencer::TimeOfPosition(double position) const noexcept {
    if (!Song) {
        return 0.0;
    }
    if (FollowTempoMap.load(std::memory_order_relaxed)) {
        const double factor = SpeedFactor.load(std::memory_order_relaxed);
        if (!(factor > 0.0) || std::isinf(factor)) {
            return 0.0;
        }
        return Times.PositionToMicroseconds(position) / 1000.0 / factor;
    }
    const double increment = TickIncrement.load(std::memory_order_relaxed);
    if (!(increment > 0.0) || std::isinf(increment)) {
        return 0.0;
    }
    return position / increment * kPeriodMs;
}

double Sequencer::TickToTime(std::int32_t tick) const noexcept { return TimeOfPosition(tick); }

std::int32_t Sequencer::PollTime() const noexcept {
    const double ms = TimeOfPosition(Position.load(std::memory_order_relaxed));
    if (!(ms > 0.0)) {
        return 0;
    }
    return ms >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(ms);
}

double Sequencer::GetSongLength() const noexcept {
    return TimeOfPosition(static_cast<double>(Times.SongEndTick)) / 1000.0;
}

std::int32_t Sequencer::PollMeasure() const noexcept { return Times.TickToMeasure(PollTick()); }

int Sequencer::GetPolyCount() const noexcept {
    int count = 0;
    for (const auto& word : SoundingNotes) {
        count += std::popcount(word.load(std::memory_order_relaxed));
    }
    return count;
}

}  // namespace orvalis
