// The player control's events and threads: notes and song ends fired on the
// notification thread in the order they were sent, two controls side by
// side, and controls ended at any moment, from a handler's call-back to a
// song playing under a storm of calls.
#include <dirent.h>

#include <atomic>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "ControlTestSupport.h"
#include "platform/midi/capture.h"

namespace {

using namespace controltest;
using platform::DWORD;
using platform::S_OK;

using ControlEvents = ControlTest;

// Threads of this process, from the kernel's list.
int ThreadCount() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

TEST_F(ControlEvents, NotesArriveOnTheNotificationThreadInTheOrderTheyWereSent) {
    EventLog log;  // outlives the control, whose events it takes
    auto control = Create(log);
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    Set(*control, "Monitor", Variant(true));
    // No port: the events come all the same.
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(1930);  // past the song's end
    const std::vector<Fired> all = {Note("NoteOn", 0, 60, 100), Note("NoteOn", 1, 40, 90),
                                    Note("NoteOff", 0, 60, 70), Note("NoteOff", 1, 40, 100),
                                    Note("NoteOn", 0, 62, 110), Note("NoteOff", 0, 62, 64)};
    ASSERT_TRUE(WaitFor([&] { return log.Count("SongEnd") >= 5; }));
    Call(*control, "Stop");
    EXPECT_EQ(log.Notes(), all) << "a file's note-on of velocity 0 comes as a note-off of 100";
    const std::vector<Fired> events = log.Copy();
    for (const Fired& fired : events) {
        EXPECT_NE(fired.Thread, platform::GetCurrentThreadId()) << fired.Name;
        EXPECT_EQ(fired.Thread, events.front().Thread) << "one thread fires them all";
    }
    EXPECT_EQ(events[all.size()].Name, "SongEnd") << "song ends follow the last note, one a step";
}

TEST_F(ControlEvents, WithMonitorOffOnlySongEndsArriveAndSwitchingItOnTakesEffectAtTheNextNote) {
    EventLog log;  // outlives the control, whose events it takes
    auto control = Create(log);
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(130);  // the first bar's notes
    Set(*control, "Monitor", Variant(true));
    Advance(1800);
    // Past the end from period 1921 on: ten song ends.
    ASSERT_TRUE(WaitFor([&] { return log.Count("SongEnd") == 10; }));
    const std::vector<Fired> secondBar = {Note("NoteOn", 0, 62, 110), Note("NoteOff", 0, 62, 64)};
    EXPECT_EQ(log.Notes(), secondBar);

    Set(*control, "Monitor", Variant(false));
    ASSERT_EQ(Call(*control, "Seek", {Variant(0)}), Variant(true));
    Advance(1930);  // the first period makes the seek: nine song ends
    ASSERT_TRUE(WaitFor([&] { return log.Count("SongEnd") == 19; }));
    EXPECT_EQ(log.Notes(), secondBar) << "the whole song again, without a note event";
}

TEST_F(ControlEvents, ASongPlayedAtOnceAfterTheControlIsMadeLosesNoEvent) {
    const std::string song = TwoBars();
    for (int round = 0; round < 10; ++round) {
        EventLog log;  // outlives the control, whose events it takes
        auto control = Create(log);
        ASSERT_TRUE(control);
        Set(*control, "Monitor", Variant(true));
        ASSERT_EQ(Call(*control, "SetFileName", {Variant(song)}), Variant(true));
        ASSERT_EQ(Call(*control, "Play"), Variant(true));
        Advance(1);
        ASSERT_TRUE(WaitFor([&] { return log.Count("NoteOn") == 2; })) << "round " << round;
        Call(*control, "Stop");
    }
}

TEST_F(ControlEvents, TwoControlsHaveEventsOfTheirOwnAndOneEndingLeavesTheOtherWorking) {
    EventLog firstLog, secondLog;  // outlive the controls
    auto first = Create();
    auto second = Create();
    ASSERT_TRUE(first && second);
    DWORD cookie = 0;
    ASSERT_EQ(first->Connect(firstLog.Handler(), cookie), S_OK);
    ASSERT_EQ(second->Connect(secondLog.Handler(), cookie), S_OK);
    const std::string song = TwoBars();
    for (auto* control : {first.get(), second.get()}) {
        ASSERT_EQ(Call(*control, "SetFileName", {Variant(song)}), Variant(true));
        Set(*control, "Monitor", Variant(true));
    }
    ASSERT_EQ(Call(*first, "Play"), Variant(true));
    Advance(2);
    ASSERT_TRUE(WaitFor([&] { return firstLog.Count("NoteOn") == 2; }));
    EXPECT_EQ(secondLog.Copy().size(), 0u) << "the second control is not playing";

    ASSERT_EQ(Call(*second, "Play"), Variant(true));
    first.reset();
    Advance(130);
    ASSERT_TRUE(WaitFor([&] { return secondLog.Count("NoteOff") == 2; }));
    EXPECT_EQ(secondLog.Notes().front(), Note("NoteOn", 0, 60, 100));
    EXPECT_NE(firstLog.Copy().front().Thread, secondLog.Copy().front().Thread) << "a thread each";
}

TEST_F(ControlEvents, EndingAControlEndsItsThreadsWhenJustMadeWhilePlayingAndWhenUnused) {
    const std::string song = TwoBars();
    Create().reset();  // a sanitizer's own threads start with the first others
    const int before = ThreadCount();
    for (int round = 0; round < 20; ++round) {
        auto control = Create();  // ended before its notification thread has its window, often
        ASSERT_TRUE(control);
    }
    EXPECT_EQ(ThreadCount(), before);
    {
        EventLog log;  // outlives the control, whose events it takes
        auto control = Create(log);
        ASSERT_TRUE(control);
        ASSERT_EQ(Call(*control, "SetFileName", {Variant(song)}), Variant(true));
        ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
        Set(*control, "Monitor", Variant(true));
        ASSERT_EQ(Call(*control, "Play"), Variant(true));
        Advance(2);
        EXPECT_GT(ThreadCount(), before);
    }
    EXPECT_EQ(ThreadCount(), before) << "the timer, the port's and the notification thread are gone";
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
    const auto sent = CapturedHex();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "80 3C 40"), 0) << "no note-offs on the way out";
}

TEST_F(ControlEvents, AControlWhoseNotificationWindowCannotBeMadePlaysOnSilentlyAndEndsAtOnce) {
    // The class name the module's notification windows share, taken by a
    // class of another procedure: the notification thread cannot make its
    // window and ends.
    platform::WNDCLASS other{};
    other.lpfnWndProc = &platform::DefWindowProc;
    other.lpszClassName = "{3F02ADFC-CD02-4D28-9DC8-273F271ABD36}";
    ASSERT_NE(platform::RegisterClass(&other), 0);
    Create().reset();  // a sanitizer's own threads start with the first others
    const int before = ThreadCount();
    {
        EventLog log;
        auto control = Create(log);
        ASSERT_TRUE(control);
        ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
        ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
        Set(*control, "Monitor", Variant(true));
        ASSERT_EQ(Call(*control, "Play"), Variant(true));
        Advance(1930);
        Call(*control, "Stop");
        const auto sent = CapturedHex();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "90 3E 6E"), 1) << "the song played";
        EXPECT_TRUE(log.Copy().empty()) << "and nothing was reported";
    }
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_TRUE(platform::UnregisterClass(other.lpszClassName, nullptr));
}

// A sink the host wrapper does not know of, so that nothing disconnects it
// when the control ends: only the control can stop its events.
class CallbackSink : public platform::IEventSink {
public:
    explicit CallbackSink(std::function<void()> onEvent) : OnEachEvent(std::move(onEvent)) {}
    void OnEvent(const platform::EventInfo&, std::span<Variant>) override { OnEachEvent(); }

private:
    std::function<void()> OnEachEvent;
};

TEST_F(ControlEvents, AHandlerCallingBackIntoAControlThatIsEndingIsAnsweredAndThenNothingMoreFires) {
    std::atomic<int> fired{0};
    std::atomic<bool> ending{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> answered{false};
    std::atomic<int> firedAfterEnd{0};
    auto control = Create();
    ASSERT_TRUE(control);
    platform::IControl* object = control->Control();
    auto sink = std::make_shared<CallbackSink>([&] {
        if (ended.load()) firedAfterEnd.fetch_add(1);
        if (fired.fetch_add(1) != 0) return;
        // The first event holds its thread until the control is being
        // ended, then calls back into it (PollTick).
        while (!ending.load()) std::this_thread::yield();
        Variant tick;
        std::vector<Variant> none;
        answered.store(object->Invoke(20, platform::InvokeKind::Method, none, &tick, nullptr) == S_OK);
    });
    DWORD cookie = 0;
    ASSERT_EQ(object->Advise(sink, cookie), S_OK);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    Set(*control, "Monitor", Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(200);  // three notes queued behind the first
    ASSERT_TRUE(WaitFor([&] { return fired.load() == 1; }));
    ending.store(true);
    control.reset();
    ended.store(true);
    EXPECT_TRUE(answered.load()) << "the control's thread answered while it waited";
    EXPECT_EQ(fired.load(), 1) << "nothing queued behind the event under way was fired";
    EXPECT_EQ(firedAfterEnd.load(), 0);
    EXPECT_EQ(Module->CanUnloadNow(), S_OK);
}

// Random members while a song plays on the real clock, for a few seconds:
// nothing crashes or hangs, and every note struck is released.
TEST_F(ControlEvents, MembersCalledAtRandomWhileASongPlaysLeaveNoNoteSounding) {
    platform::SetDefaultClock(nullptr);
    Configure([](platform::MidiOutConfig& config) { config.TimeSource = nullptr; });
    // A dense song: four tracks of sixteenth notes, chords across channels.
    smf::SmfBuilder dense(1, 96);
    for (int track = 0; track < 4; ++track) {
        smf::TrackBuilder t;
        t.Name(0, "Part " + std::to_string(track)).Program(0, track, track * 8).Control(0, track, 7, 100);
        for (int i = 0; i < 256; ++i) {
            t.NoteOn(i == 0 ? 0 : 4, track, 48 + (i * 7 + track * 5) % 36, 80)
                .NoteOff(20, track, 48 + (i * 7 + track * 5) % 36);
        }
        t.EndOfTrack(24);
        dense.AddTrack(t);
    }
    const std::string songs[] = {Write("dense.mid", dense), TwoBars(), PathOf("missing.mid")};
    smf::Bytes cut = smf::SmfBuilder(0).AddTrack(smf::TrackBuilder().NoteOn(0, 0, 60, 100)).Build();
    cut.resize(cut.size() - 1);
    smf::SmfBuilder::WriteFile(PathOf("cut.mid"), cut);

    std::atomic<int> events{0};
    auto control = Create();
    ASSERT_TRUE(control);
    platform::HostedControl* raw = control.get();
    DWORD cookie = 0;
    ASSERT_EQ(control->Connect(
                  [&](const platform::EventInfo&, std::span<Variant>) {
                      // Now and then a handler asks the control something.
                      if (events.fetch_add(1) % 64 == 0) {
                          std::vector<Variant> none;
                          raw->Control()->Invoke(22, platform::InvokeKind::Method, none, nullptr, nullptr);
                      }
                  },
                  cookie),
              S_OK);
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(songs[0])}), Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));

    std::mt19937 random(20240611);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const auto until = std::chrono::steady_clock::now() + 3s;
    int calls = 0;
    while (std::chrono::steady_clock::now() < until && calls < 3000) {
        ++calls;
        switch (pick(0, 11)) {
            case 0:
                Call(*control, "SetFileName", {Variant(pick(0, 9) == 0 ? PathOf("cut.mid") : songs[pick(0, 2)])});
                break;
            case 1: Call(*control, "Play"); break;
            case 2: Call(*control, "Stop"); break;
            case 3: Call(*control, "Seek", {Variant(pick(-1, 20))}); break;
            case 4: Call(*control, "SetLoopStart", {Variant(pick(-1, 10))}); break;
            case 5: Call(*control, "SetLoopEnd", {Variant(pick(-1, 12))}); break;
            case 6: Call(*control, "EnableLoop", {Variant(pick(0, 1) == 1)}); break;
            case 7: Call(*control, "SetTempo", {Variant(pick(20, 2000) * 1.0)}); break;
            case 8: Call(*control, "SetSongTempo", {Variant(pick(0, 400) * 1.0)}); break;
            case 9: Call(*control, "MuteTrackByNumber", {Variant(pick(-1, 16)), Variant(pick(0, 1) == 1)}); break;
            case 10: Set(*control, "Monitor", Variant(pick(0, 1) == 1)); break;
            default:
                Call(*control, "PollMeasure");
                Call(*control, "GetPolyCount");
                break;
        }
        platform::PumpMessages(std::chrono::milliseconds(pick(0, 2)));
    }
    Call(*control, "Stop");
    EXPECT_EQ(Call(*control, "GetPolyCount"), Variant(0));
    ASSERT_EQ(Call(*control, "CloseMidiPort"), Variant(true));
    EXPECT_EQ(platform::CapturedMessagesDropped(), 0u);
    std::set<std::pair<int, int>> sounding;
    for (const auto& message : platform::CapturedMessages()) {
        if (message.Bytes.size() != 3) continue;
        const int kind = message.Bytes[0] & 0xF0;
        const std::pair<int, int> key{message.Bytes[0] & 0x0F, message.Bytes[1]};
        if (kind == 0x90 && message.Bytes[2] != 0) {
            sounding.insert(key);
        } else if (kind == 0x80 || kind == 0x90) {
            sounding.erase(key);
        }
    }
    EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes left sounding after " << calls << " calls";
    control.reset();
    EXPECT_GT(events.load(), 0);
}

}  // namespace
