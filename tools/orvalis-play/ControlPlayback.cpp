// Real-time playback through the player control, as any host drives it: made
// by ProgID through the registry, called by name, heard through its events.

#include <vector>

#include "Playback.h"
#include "orvalis/OrvalisIds.h"
#include "orvalis/Sequencer.h"
#include "platform/automation/container.h"
#include "platform/clock/clock.h"
#include "platform/window/window.h"
#include "tools/OwnControls.h"

namespace orvalis_play {
namespace {

using platform::Variant;

constexpr auto kLongestWait = std::chrono::milliseconds(5);

class ControlPlayback final : public Playback {
public:
    explicit ControlPlayback(std::unique_ptr<platform::HostedControl> control) : Control(std::move(control)) {
        platform::DWORD cookie = 0;
        // On the control's notification thread: handed over to this thread
        // through the queue, never waiting.
        Control->Connect(
            [this](const platform::EventInfo& event, std::span<Variant> args) {
                const std::int64_t now = platform::DefaultClock().NowNs();
                if (event.Id == orvalis::kEventSongEnd) {
                    Queue.Push({orvalis::WM_SONG_END, 0, now});
                } else if (args.size() == 4) {
                    const auto field = [&](int i, int shift) {
                        return static_cast<std::uintptr_t>(args[i].Long() & 0xFF) << shift;
                    };
                    Queue.Push({event.Id == orvalis::kEventNoteOn ? orvalis::WM_NOTE_ON : orvalis::WM_NOTE_OFF,
                                field(0, 24) | field(1, 16) | field(2, 8), now});
                }
            },
            cookie);
    }
    ~ControlPlayback() override { Control.reset(); }

    bool OpenDevice(int device) override { return Bool("OpenMidiPort", {Variant(device)}); }
    bool LoadSong(const std::string& path, std::unique_ptr<MIDI::File>, orvalis::SongTimeline,
                  std::string& why) override {
        if (Bool("SetFileName", {Variant(path)})) return true;
        why = "the player control could not load it";
        return false;
    }
    void SetTempo(double bpm) override { Call("SetTempo", {Variant(bpm)}); }
    void SetSongTempo(double bpm) override { Call("SetSongTempo", {Variant(bpm)}); }
    void Mute(int channel) override { Call("MuteTrackByNumber", {Variant(channel), Variant(true)}); }
    void SetLoop(int first, int end) override {
        Call("SetLoopStart", {Variant(first)});
        Call("SetLoopEnd", {Variant(end)});
        EnableLoop(true);
    }
    void EnableLoop(bool on) override { Call("EnableLoop", {Variant(on)}); }
    bool Seek(int measure) override { return Bool("Seek", {Variant(measure)}); }
    void SetMonitor(bool on) override { Control->Set("Monitor", Variant(on), nullptr); }
    void SetFollowTempoMap(bool on) override { Control->Set("FollowTempoMap", Variant(on), nullptr); }
    void SetFullChase(bool on) override { Control->Set("FullChase", Variant(on), nullptr); }
    bool Play() override { return Bool("Play", {}); }
    void Stop() override { Call("Stop", {}); }
    void Wait(const std::function<bool()>& stop) override {
        // Pumping, not sleeping: the control's thread is this one.
        platform::PumpMessagesUntil([&] { return Queue.Waiting() || stop(); }, kLongestWait);
    }
    void Linger(std::chrono::milliseconds limit, const std::function<bool()>& stop) override {
        platform::PumpMessagesUntil(stop, limit);
    }
    bool Take(NotificationQueue::Entry& entry) override { return Queue.Take(entry); }
    std::uint64_t Dropped() const override { return Queue.DroppedCount(); }
    std::int32_t PollTick() override { return Call("PollTick", {}).Long(); }
    std::int32_t PollMeasure() override { return Call("PollMeasure", {}).Long(); }
    int GetPolyCount() override { return Call("GetPolyCount", {}).Long(); }
    std::int32_t PollTime() override { return Call("PollTime", {}).Long(); }
    double GetSongLength() override { return Call("GetSongLength", {}).Double(); }
    std::int64_t NowNs() const override { return platform::DefaultClock().NowNs(); }
    void CloseDevice() override { Call("CloseMidiPort", {}); }

private:
    Variant Call(std::string_view name, std::vector<Variant> args) {
        Variant result;
        if (Control->Call(name, args, &result, nullptr) != platform::S_OK) return Variant();
        return result;
    }
    bool Bool(std::string_view name, std::vector<Variant> args) { return Call(name, std::move(args)).Bool() != 0; }

    // Filled by the notification thread, emptied by this one; outlives the
    // control, whose events it takes.
    NotificationQueue Queue;
    std::unique_ptr<platform::HostedControl> Control;
};

}  // namespace

std::unique_ptr<Playback> MakeControlPlayback(std::string& why) {
    auto control = tool_support::MakeOwnControl(orvalis::kOrvalisCtrlProgId, {"orvalis", ORVALIS_PLAY_MODULE}, why);
    if (!control) return nullptr;
    return std::make_unique<ControlPlayback>(std::move(control));
}

}  // namespace orvalis_play
