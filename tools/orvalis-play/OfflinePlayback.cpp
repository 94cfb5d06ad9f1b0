// Rendering faster than real time: the sequencer stepped right after each
// advance of the manual clock, on this thread.

#include "Playback.h"
#include "midiframework/midioutput.h"
#include "orvalis/Sequencer.h"

namespace orvalis_play {
namespace {

using namespace std::chrono_literals;

class OfflinePlayback final : public Playback {
public:
    explicit OfflinePlayback(platform::ManualClock& clock) : Manual(clock) { Sequencer.SetNotificationSink(&Queue); }
    ~OfflinePlayback() override { Sequencer.SetNotificationSink(nullptr); }

    bool OpenDevice(int device) override { return Output.Open(device) != 0; }
    bool LoadSong(const std::string&, std::unique_ptr<MIDI::File> file, orvalis::SongTimeline timeline,
                  std::string&) override {
        Sequencer.LoadSong(std::move(file), std::move(timeline));
        return true;
    }
    void SetTempo(double bpm) override { Sequencer.SetTempo(bpm); }
    void SetSongTempo(double bpm) override { Sequencer.SetSongTempo(bpm); }
    void Mute(int channel) override { Sequencer.MuteChannel(channel, 1); }
    void SetLoop(int first, int end) override {
        Sequencer.SetLoopStart(first);
        Sequencer.SetLoopEnd(end);
        Sequencer.EnableLoop(1);
    }
    void EnableLoop(bool on) override { Sequencer.EnableLoop(on ? 1 : 0); }
    bool Seek(int measure) override { return Sequencer.Seek(measure) != 0; }
    void SetMonitor(bool on) override { Sequencer.SetMonitor(on ? 1 : 0); }
    void SetFollowTempoMap(bool on) override { Sequencer.SetFollowTempoMap(on ? 1 : 0); }
    void SetFullChase(bool on) override { Sequencer.SetFullChase(on ? 1 : 0); }
    bool Play() override { return Sequencer.Play() != 0; }
    void Stop() override { Sequencer.Stop(); }
    void Wait(const std::function<bool()>&) override {
        Manual.Advance(std::chrono::milliseconds(orvalis::Sequencer::kPeriodMs));
        Sequencer.PlaybackStep(ElapsedMs);
        ElapsedMs += orvalis::Sequencer::kPeriodMs;
    }
    void Linger(std::chrono::milliseconds limit, const std::function<bool()>&) override { Manual.Advance(limit); }
    bool Take(NotificationQueue::Entry& entry) override { return Queue.Take(entry); }
    std::uint64_t Dropped() const override { return Queue.DroppedCount(); }
    std::int32_t PollTick() override { return Sequencer.PollTick(); }
    std::int32_t PollMeasure() override { return Sequencer.PollMeasure(); }
    int GetPolyCount() override { return Sequencer.GetPolyCount(); }
    std::int32_t PollTime() override { return Sequencer.PollTime(); }
    double GetSongLength() override { return Sequencer.GetSongLength(); }
    std::int64_t NowNs() const override { return Manual.NowNs(); }
    void CloseDevice() override { Output.Close(); }

private:
    platform::ManualClock& Manual;
    // The sequencer's own timer runs on a clock that never moves: this
    // thread steps it instead, with no hand-over to a worker and back every
    // period.
    platform::ManualClock Idle;
    NotificationQueue Queue;
    MidiOutput Output;
    orvalis::Sequencer Sequencer{Output, &Idle};
    std::uint32_t ElapsedMs = 0;
};

}  // namespace

std::unique_ptr<Playback> MakeOfflinePlayback(platform::ManualClock& clock) {
    return std::make_unique<OfflinePlayback>(clock);
}

}  // namespace orvalis_play
