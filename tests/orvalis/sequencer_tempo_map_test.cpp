#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "SequencerTestSupport.h"

using namespace seqtest;

namespace {

// Records when each note-on was posted: the step is called directly, and the
// elapsed time it was given is the time its messages went out.
class TimingSink final : public orvalis::NotificationSink {
public:
    void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t) noexcept override {
        if (message == orvalis::WM_NOTE_ON) {
            SentAt.emplace(wParam, NowMs);
            GapAt.emplace(wParam, GapMs);
        } else if (message == orvalis::WM_SONG_END) {
            ++SongEnds;
        }
    }
    std::uint32_t NowMs = 0;
    std::uint32_t GapMs = 2;  // since the step before
    std::map<std::uintptr_t, std::uint32_t> SentAt;
    std::map<std::uintptr_t, std::uint32_t> GapAt;
    int SongEnds = 0;
};

std::uintptr_t NoteKey(int channel, int note, int velocity) {
    return static_cast<std::uintptr_t>(channel) << 24 | static_cast<std::uintptr_t>(note) << 16 |
           static_cast<std::uintptr_t>(velocity) << 8;
}

using Track = smf::TimedTrack;

class SequencerTempoMap : public SequencerTest {
protected:
    void SetUp() override {
        SequencerTest::SetUp();
        Seq->SetNotificationSink(&Timing);
        Seq->SetMonitor(1);
    }
    // The step called directly at elapsed; the first step of a run is given 2,
    // as the timer's first pulse, so the song's time at a step is its elapsed
    // time times the speed.
    void StepAt(std::uint32_t elapsedMs) {
        Timing.NowMs = elapsedMs;
        Seq->PlaybackStep(elapsedMs);
    }
    void StepUntil(std::uint32_t& elapsedMs, std::uint32_t untilMs) {
        while (elapsedMs < untilMs) {
            elapsedMs += 2;
            StepAt(elapsedMs);
        }
    }
    double MapMs(std::uint32_t tick) const { return Seq->Timeline().TickToMilliseconds(tick); }

    TimingSink Timing;
};

// One note on tick 960 after a doubling of the tempo at tick 480.
smf::SmfBuilder DoublingSong() {
    Track conductor, notes;
    conductor.B.Tempo(0, 500000).Tempo(conductor.At(480), 250000).EndOfTrack(conductor.At(1920));
    notes.B.NoteOn(notes.At(960), 0, 60, 100).NoteOff(notes.At(1000), 0, 60).EndOfTrack(notes.At(1920));
    return smf::SmfBuilder(1, 480).AddTrack(conductor.B).AddTrack(notes.B);
}

TEST_F(SequencerTempoMap, ATempoChangeIsHonouredAtItsTickAndTheHostTempoBecomesASpeed) {
    struct Case {
        const char* Name;
        bool Follow;
        double Tempo;  // 0: as loaded
        double SentMs;
    };
    // The map puts tick 960 at 0.5 s + 0.25 s. At one tempo the file tempo
    // (the last Set Tempo, 240) runs the whole song, and the tick goes out
    // with the step that passes tick 961.
    for (const Case& c :
         {Case{"map, as written", true, 0, 750}, Case{"map, host at the first tempo", true, 120, 750},
          Case{"map, half speed", true, 60, 1500}, Case{"one tempo", false, 0, 2 * std::ceil(961 / 3.84)},
          Case{"one tempo of 120", false, 120, 2 * std::ceil(961 / 1.92)}}) {
        Seq->SetFollowTempoMap(c.Follow);
        Load(DoublingSong());
        if (c.Tempo > 0) {
            Seq->SetTempo(c.Tempo);
        }
        Timing.SentAt.clear();
        ASSERT_EQ(Seq->Play(), 1);
        std::uint32_t elapsed = 0;
        StepUntil(elapsed, 4000);
        Seq->Stop();
        ASSERT_EQ(Timing.SentAt.size(), 1u) << c.Name;
        EXPECT_EQ(Timing.SentAt.begin()->second, c.SentMs) << c.Name;
    }
    // Song tempo still clamps: 500 becomes 220, 11/6 of the written speed.
    Seq->SetFollowTempoMap(1);
    Load(DoublingSong());
    Seq->SetSongTempo(500);
    EXPECT_FLOAT_EQ(Seq->GetTempo(), 220.0f);
    Timing.SentAt.clear();
    ASSERT_EQ(Seq->Play(), 1);
    std::uint32_t elapsed = 0;
    StepUntil(elapsed, 2000);
    ASSERT_EQ(Timing.SentAt.size(), 1u);
    EXPECT_EQ(Timing.SentAt.begin()->second, 410u) << "the first step at or after 750 / (220 / 120) ms";
}

// The property: with the map followed, every note goes out in the first step
// whose song time has reached the map's time for its tick, over an hour of
// music with a thousand changes; late pulses, a change of speed and a pause
// keep it.
TEST_F(SequencerTempoMap, EveryNoteGoesOutWithinAStepOfItsMapTimeOverAnHourOfAThousandChanges) {
    std::mt19937 random(1500);
    constexpr int kDivision = 480;
    Track conductor;
    std::uint32_t tick = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t microseconds = 250000 + static_cast<std::uint32_t>(random() % 1250001);
        conductor.B.Tempo(conductor.At(tick), microseconds);
        tick += static_cast<std::uint32_t>(3600000.0 / microseconds * kDivision) + random() % 7;  // ~3.6 s each
    }
    const std::uint32_t endTick = tick;
    conductor.B.EndOfTrack(conductor.At(endTick));
    smf::SmfBuilder builder(1, kDivision);
    builder.AddTrack(conductor.B);
    struct Note {
        std::uint32_t Tick;
        std::uintptr_t Key;
    };
    std::vector<Note> notes;
    for (int track = 0; track < 4; ++track) {
        std::vector<std::uint32_t> ticks;
        for (int i = 0; i < 1500; ++i) {
            ticks.push_back(static_cast<std::uint32_t>(random() % endTick));
        }
        std::sort(ticks.begin(), ticks.end());
        Track t;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            // Each note-on is told apart by its channel, key and velocity.
            const int channel = track * 4 + static_cast<int>(i % 4);
            const int key = static_cast<int>(i / 4 % 128);
            const int velocity = 1 + static_cast<int>(i / 512);
            t.B.NoteOn(t.At(ticks[i]), channel, key, velocity);
            notes.push_back({ticks[i], NoteKey(channel, key, velocity)});
        }
        t.B.EndOfTrack(t.At(endTick));
        builder.AddTrack(t.B);
    }
    Seq->SetFollowTempoMap(1);
    Load(builder);
    ASSERT_NEAR(Seq->GetSongLength(), 3600.0, 30.0);

    // Half way through the song's time the speed goes to 1.5, and the run is
    // paused once; every 997th step comes as a pulse merged from five.
    ASSERT_EQ(Seq->Play(), 1);
    std::uint32_t elapsed = 2;
    StepAt(elapsed);
    const std::uint32_t switchAt = 1800000;
    double songMsAtSwitch = 0;
    bool switched = false;
    bool paused = false;
    for (int step = 1; Timing.SongEnds == 0; ++step) {
        const std::uint32_t gap = step % 997 == 0 ? 10 : 2;
        if (!switched && elapsed >= switchAt) {
            songMsAtSwitch = elapsed;
            ASSERT_EQ(Seq->SetTempo(Seq->Timeline().TempoAtTick(0) * 1.5), 1);
            switched = true;
        }
        if (!paused && elapsed >= 2400000 && gap == 2) {
            // A run starts afresh: its first step counts one period.
            Seq->Stop();
            ASSERT_EQ(Seq->Play(), 1);
            paused = true;
        }
        elapsed += gap;
        Timing.GapMs = gap;
        StepAt(elapsed);
    }
    Seq->Stop();
    ASSERT_EQ(Timing.SentAt.size(), notes.size()) << "every note-on once";
    for (const Note& note : notes) {
        const double mapMs = MapMs(note.Tick);
        const double due = mapMs <= songMsAtSwitch ? mapMs : songMsAtSwitch + (mapMs - songMsAtSwitch) / 1.5;
        const std::uint32_t sent = Timing.SentAt.at(note.Key);
        ASSERT_GE(sent + 1e-6, due) << "tick " << note.Tick << " went out early";
        ASSERT_LE(sent, due + Timing.GapAt.at(note.Key) + 1e-6) << "tick " << note.Tick << " went out late";
    }
}

TEST_F(SequencerTempoMap, SeekAndLoopWrapResumeAtTheMapsTimeForTheirTick) {
    Track conductor, notes;
    // Measure 1 starts at tick 1920 = 2 s; from tick 1920 on a beat lasts 0.25 s.
    conductor.B.Tempo(0, 500000).Tempo(conductor.At(1920), 250000).EndOfTrack(conductor.At(7680));
    notes.B.NoteOn(notes.At(2400), 0, 60, 100).NoteOn(notes.At(4800), 0, 62, 100).EndOfTrack(notes.At(7680));
    Seq->SetFollowTempoMap(1);
    Load(smf::SmfBuilder(1, 480).AddTrack(conductor.B).AddTrack(notes.B));
    ASSERT_EQ(Seq->Play(), 1);
    std::uint32_t elapsed = 0;
    StepUntil(elapsed, 100);
    ASSERT_EQ(Seq->Seek(1), 1);
    StepUntil(elapsed, 102);  // the seek's step; tick 1920 again at 102 ms
    StepUntil(elapsed, 2000);
    // Tick 2400 lies 0.25 s after tick 1920 under the map, tick 4800 1.5 s.
    EXPECT_EQ(Timing.SentAt.at(NoteKey(0, 60, 100)), 102u + 250u);
    EXPECT_EQ(Timing.SentAt.at(NoteKey(0, 62, 100)), 102u + 1500u);

    // A loop of measures 1 to 2 wraps back to 2 s of song time each pass.
    Timing.SentAt.clear();
    Seq->SetLoopStart(1);
    Seq->SetLoopEnd(2);
    Seq->EnableLoop(1);
    const std::uint64_t wraps = Seq->GetLoopWraps();
    while (Seq->GetLoopWraps() == wraps) {
        elapsed += 2;
        StepAt(elapsed);
    }
    const std::uint32_t wrappedAt = elapsed;
    StepUntil(elapsed, wrappedAt + 400);
    EXPECT_EQ(Timing.SentAt.at(NoteKey(0, 60, 100)), wrappedAt + 250u);
    EXPECT_NEAR(Seq->PollTime(), 2400, 1) << "the position's time under the map";
}

TEST_F(SequencerTempoMap, SwitchingTheMapOnOrOffGoesOnFromThePositionReached) {
    Load(DoublingSong());
    EXPECT_FLOAT_EQ(Seq->GetTempo(), 240.0f) << "without the map: the file tempo";
    ASSERT_EQ(Seq->Play(), 1);
    std::uint32_t elapsed = 0;
    StepUntil(elapsed, 100);  // 50 periods at 3.84 ticks: tick 192
    const double reached = Seq->GetPosition();
    EXPECT_NEAR(reached, 192, 1e-3);
    Seq->SetFollowTempoMap(1);
    EXPECT_FLOAT_EQ(Seq->GetTempo(), 120.0f) << "the host set no tempo: the map's own";
    StepUntil(elapsed, 102);
    EXPECT_NEAR(Seq->GetPosition(), reached + 1.92, 1e-9) << "one period at the map's 120";
    StepUntil(elapsed, 2000);
    // Tick 960 is 0.75 s into the song, which had reached the time of tick 192.
    const double due = 100 + 750 - MapMs(0) - reached * 500 / 480;
    EXPECT_GE(Timing.SentAt.at(NoteKey(0, 60, 100)), due);
    EXPECT_LT(Timing.SentAt.at(NoteKey(0, 60, 100)), due + 2);

    // A tempo the host chose stays when the way of timing changes.
    Load(DoublingSong());
    EXPECT_FLOAT_EQ(Seq->GetTempo(), 120.0f) << "a load while following plays as written";
    Seq->SetTempo(90);
    Seq->SetFollowTempoMap(0);
    EXPECT_FLOAT_EQ(Seq->GetTempo(), 90.0f);
    Seq->SetFollowTempoMap(1);
    EXPECT_FLOAT_EQ(Seq->GetTempo(), 90.0f);
}

TEST_F(SequencerTempoMap, TimesUnderTheCurrentTimingAndWithoutASong) {
    EXPECT_EQ(Seq->TickToTime(960), 0.0) << "no song";
    EXPECT_EQ(Seq->PollTime(), 0);
    EXPECT_EQ(Seq->GetSongLength(), 0.0);
    Load(DoublingSong());
    // One tempo (240): 960 ticks of 1/3.84 periods.
    EXPECT_NEAR(Seq->TickToTime(960), 500.0, 1e-3);
    EXPECT_NEAR(Seq->GetSongLength(), 1.0, 1e-6);
    Seq->SetFollowTempoMap(1);
    EXPECT_DOUBLE_EQ(Seq->TickToTime(960), 750.0);
    EXPECT_DOUBLE_EQ(Seq->TickToTime(-480), -500.0);
    EXPECT_DOUBLE_EQ(Seq->GetSongLength(), 0.5 + 1440 / 480.0 * 0.25);
    Seq->SetTempo(60);
    EXPECT_DOUBLE_EQ(Seq->TickToTime(960), 1500.0) << "at half speed";
    ASSERT_EQ(Seq->Seek(0), 1);
    ASSERT_EQ(Seq->Play(), 1);
    std::uint32_t elapsed = 0;
    StepUntil(elapsed, 1000);
    EXPECT_EQ(Seq->PollTime(), 1000);
    Seq->SetTempo(-5);
    EXPECT_EQ(Seq->TickToTime(960), 0.0) << "no time passes at this tempo";
    EXPECT_EQ(Seq->PollTime(), 0);
}

TEST_F(SequencerTempoMap, ATempoThatIsNoPositiveNumberHoldsTheSongAndAHugeOneEndsIt) {
    Seq->SetFollowTempoMap(1);
    Load(DoublingSong());
    ASSERT_EQ(Seq->Play(), 1);
    std::uint32_t elapsed = 0;
    for (double bpm : {-120.0, 0.0, std::nan(""), -std::numeric_limits<double>::infinity()}) {
        Seq->SetTempo(bpm);
        StepUntil(elapsed, elapsed + 20);
        EXPECT_EQ(Seq->PollTick(), 0) << bpm;
    }
    EXPECT_TRUE(Timing.SentAt.empty());
    for (double bpm : {1e30, std::numeric_limits<double>::infinity()}) {
        Load(DoublingSong());
        Timing.SentAt.clear();
        Timing.SongEnds = 0;
        Seq->SetTempo(bpm);
        StepUntil(elapsed, elapsed + 4);
        EXPECT_EQ(Timing.SentAt.size(), 1u) << bpm;
        EXPECT_EQ(Seq->PollTick(), INT32_MAX) << bpm;
        EXPECT_EQ(Timing.SongEnds, 2) << bpm;
    }

    // Without a division no time passes either, and nothing is sent.
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).EndOfTrack(t.At(480));
    Load(smf::SmfBuilder(1, 0).AddTrack(t.B));
    Timing.SentAt.clear();
    StepUntil(elapsed, elapsed + 20);
    EXPECT_TRUE(Timing.SentAt.empty());
    EXPECT_EQ(Seq->PollTick(), 0);
}

}  // namespace
