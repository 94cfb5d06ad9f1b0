#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "SequencerTestSupport.h"

using namespace seqtest;
using orvalis::ChannelState;
using orvalis::WM_NOTE_OFF;
using orvalis::WM_NOTE_ON;
using orvalis::WM_SONG_END;

namespace {

// Builds a track from events at absolute ticks.
struct Track {
    smf::TrackBuilder B;
    std::uint32_t Now = 0;
    std::uint32_t At(std::uint32_t tick) {
        std::uint32_t delta = tick - Now;
        Now = tick;
        return delta;
    }
};

std::uintptr_t Packed(int channel, int note, int velocity) {
    return static_cast<std::uintptr_t>(channel << 24 | note << 16 | velocity << 8);
}

// --- when and what the step sends ------------------------------------------

TEST_F(SequencerTest, AnEventAtTickTGoesOutInTheFirstStepWhosePositionReachesTPlusOne) {
    Track t;
    t.B.Program(t.At(0), 0, 5).Control(t.At(1), 0, 7, 1).Control(t.At(2), 0, 7, 2).Control(t.At(3), 0, 7, 3);
    t.B.NoteOn(t.At(480), 0, 60, 100).EndOfTrack(t.At(960));
    Load(smf::SmfBuilder().AddTrack(t.B));
    // 120 beats per minute at 480 ticks per quarter: 1.92 ticks every 2 ms.
    ASSERT_EQ(Seq->Play(), 1);
    Steps(3);
    std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].Hex, "C0 05");
    EXPECT_EQ(sent[0].TimeMs, 2) << "tick 0 waits for position 1.92";
    EXPECT_EQ(sent[1].TimeMs, 4) << "ticks 1 and 2 go out at position 3.84";
    EXPECT_EQ(sent[2].TimeMs, 4);
    EXPECT_EQ(sent[3].TimeMs, 6);
    Steps(250);
    sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Hex, "90 3C 64");
    EXPECT_EQ(sent[0].TimeMs, 502) << "tick 480 needs 251 periods to reach 481";
}

TEST_F(SequencerTest, EachKindOfEventGoesOutAsDescribedAndTheRestStaysSilent) {
    Track t;
    t.B.Tempo(t.At(0), 400000).MetaText(0, 0x01, "text").Control(0, 2, 10, 33).Program(0, 2, 7);
    t.B.ChannelPressure(0, 2, 44).PitchBend(0, 2, 0x50 << 7 | 0x15).KeyPressure(0, 2, 60, 70);
    t.B.SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7}).NoteOn(0, 2, 60, 100);
    t.B.NoteOff(t.At(10), 2, 60, 50).EndOfTrack(t.At(480));
    Load(smf::SmfBuilder().AddTrack(t.B));
    Seq->SetMonitor(1);
    ASSERT_EQ(Seq->Play(), 1);
    Steps(1);
    const std::vector<std::string> expected = {"B2 0A 21",          "C2 07",   "D2 2C", "E2 00 50",
                                               "F0 7E 7F 09 01 F7", "92 3C 64"};
    // The long message shows up once the device has finished with it.
    ASSERT_TRUE(Eventually([&] { return platform::CapturedMessages().size() >= expected.size(); }));
    EXPECT_EQ(TakeHex(), expected) << "poly pressure, tempo and text send nothing; the bend's LSB goes as 0";
    Steps(6);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"82 3C 32"});
    EXPECT_EQ(Notes.Take(),
              (std::vector<RecordingSink::Note>{{WM_NOTE_ON, Packed(2, 60, 100)}, {WM_NOTE_OFF, Packed(2, 60, 50)}}));
}

TEST_F(SequencerTest, MutedNoteOnsAreNeitherSentCountedNorReportedButTheirNoteOffsAre) {
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).NoteOn(0, 1, 62, 90).NoteOff(t.At(100), 1, 62).NoteOff(t.At(200), 0, 60);
    t.B.NoteOn(t.At(300), 1, 64, 80).NoteOff(t.At(310), 1, 64).EndOfTrack(t.At(480));
    Load(smf::SmfBuilder().AddTrack(t.B));
    EXPECT_EQ(Seq->MuteChannel(1, 1), 1);
    EXPECT_EQ(Seq->MuteChannel(16, 1), 1) << "out of range: ignored";
    Seq->SetMonitor(1);
    ASSERT_EQ(Seq->Play(), 1);
    Steps(1);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"90 3C 64"});
    EXPECT_EQ(Seq->GetPolyCount(), 1);
    StepsUntil(101);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"81 3E 40"});
    StepsUntil(201);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"80 3C 40"});
    EXPECT_EQ(Seq->GetPolyCount(), 0);
    EXPECT_EQ(Notes.Take(), (std::vector<RecordingSink::Note>{{WM_NOTE_ON, Packed(0, 60, 100)},
                                                              {WM_NOTE_OFF, Packed(1, 62, 64)},
                                                              {WM_NOTE_OFF, Packed(0, 60, 64)}}));
    // Unmuted from the next note-on on; with Monitor off nothing is reported.
    Seq->MuteChannel(1, 0);
    Seq->SetMonitor(0);
    StepsUntil(311);
    EXPECT_EQ(TakeHex(), (std::vector<std::string>{"91 40 50", "81 40 40"}));
    EXPECT_TRUE(Notes.Take().empty());

    // A note-on of velocity 0 (the reader makes note-offs of them) is sent
    // even when muted and reported as a note-off of velocity 64.
    Seq->Stop();
    auto song = std::make_unique<HandBuiltSong>();
    MIDI::Track& track = song->AddTrack();
    HandBuiltSong::Add(track, 0, MIDI::kNoteOn, 3, 50, 0);
    // A key byte out of range is bookkept within its own channel's map.
    HandBuiltSong::Add(track, 4, MIDI::kNoteOn, 15, 200, 90);
    HandBuiltSong::EndOfTrack(track, 480);
    Load(std::move(song));
    TakeSent();
    Seq->MuteChannel(3, 1);
    Seq->SetMonitor(1);
    ASSERT_EQ(Seq->Play(), 1);
    Steps(1);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"93 32 00"});
    EXPECT_EQ(Notes.Take(), (std::vector<RecordingSink::Note>{{WM_NOTE_OFF, 0x03324000}}));
    Steps(2);
    EXPECT_EQ(Seq->GetPolyCount(), 1);
    TakeSent();
    Seq->Stop();
    EXPECT_EQ(TakeHex(), ReleaseOf({{15, 200 & 0x7F}}));
}

// --- loop -------------------------------------------------------------------

TEST_F(SequencerTest, LoopWrapReleasesJumpsBackAndRestoresTheLoopStartState) {
    Track t;
    t.B.Control(t.At(0), 0, 7, 100).Program(0, 0, 5).NoteOn(0, 0, 60, 100);
    t.B.NoteOn(t.At(1920), 0, 62, 100).NoteOff(t.At(3000), 0, 60).NoteOff(0, 0, 62).EndOfTrack(t.At(3840));
    Load(smf::SmfBuilder().AddTrack(t.B));
    Seq->SetLoopStart(0);
    Seq->SetLoopEnd(1);
    ASSERT_EQ(Seq->EnableLoop(1), 0);
    ASSERT_EQ(Seq->Play(), 1);
    const std::vector<std::string> start = {"B0 07 64", "C0 05", "90 3C 64"};
    Steps(1);
    EXPECT_EQ(TakeHex(), start);
    for (int pass = 1; pass <= 3; ++pass) {
        while (Seq->GetLoopWraps() < static_cast<std::uint64_t>(pass)) {
            Steps(1);
        }
        // The note at the loop's end tick is skipped; the held note is released.
        // The chase stops at the first event on the loop's start tick; the
        // others on that tick are played by the next step.
        auto restored = RestoreOf({{0, StateWith({{ChannelState::kVolume, 100}})}});
        EXPECT_EQ(TakeHex(), Concat(ReleaseOf({{0, 60}}), restored)) << "pass " << pass;
        EXPECT_EQ(Seq->PollTick(), 0);
        Steps(1);
        EXPECT_EQ(TakeHex(), start) << "pass " << pass;
    }
}

TEST_F(SequencerTest, ALoopEndingAtOrBeforeItsStartWrapsOnEveryStep) {
    Track t;
    for (std::uint32_t tick = 0; tick < 7680; tick += 240) {
        t.B.NoteOn(t.At(tick), 0, 60, 100).NoteOff(t.At(tick + 120), 0, 60);
    }
    t.B.EndOfTrack(t.At(7680));
    Load(smf::SmfBuilder().AddTrack(t.B));
    Seq->SetLoopStart(2);
    Seq->SetLoopEnd(1);
    ASSERT_EQ(Seq->EnableLoop(1), 0);
    ASSERT_EQ(Seq->Seek(2), 1);
    ASSERT_EQ(Seq->Play(), 1);
    TakeSent();
    Steps(3);
    EXPECT_EQ(Seq->GetLoopWraps(), 3u);
    EXPECT_EQ(Seq->PollTick(), 3840);
    const auto wrap = Concat(ReleaseOf({}), RestoreOf({}));
    EXPECT_EQ(TakeHex(), Concat(Concat(wrap, wrap), wrap)) << "no note ever sounds";
}

TEST_F(SequencerTest, EnableLoopNeedsASongAndBothBoundsAndReturnsThePreviousSwitch) {
    EXPECT_EQ(Seq->EnableLoop(1), 0) << "no song";
    EXPECT_EQ(Seq->SetLoopStart(1), 1);
    EXPECT_EQ(Seq->SetLoopEnd(2), 1);
    EXPECT_EQ(Seq->EnableLoop(1), 0) << "still no song";
    Track t;
    t.B.EndOfTrack(t.At(7680));
    Load(smf::SmfBuilder().AddTrack(t.B));
    EXPECT_EQ(Seq->GetLoopStart(), -1) << "a load unsets the bounds";
    EXPECT_EQ(Seq->EnableLoop(1), 0);
    Seq->SetLoopStart(1);
    EXPECT_EQ(Seq->EnableLoop(1), 0);
    EXPECT_FALSE(Seq->LoopIsEnabled());
    Seq->SetLoopEnd(-3);
    EXPECT_EQ(Seq->GetLoopEnd(), orvalis::Sequencer::kLoopEndUnlimited);
    EXPECT_EQ(Seq->EnableLoop(1), 0) << "the previous value, on success";
    EXPECT_TRUE(Seq->LoopIsEnabled());
    EXPECT_EQ(Seq->EnableLoop(1), 1);
    EXPECT_EQ(Seq->EnableLoop(0), 1);
    EXPECT_EQ(Seq->EnableLoop(0), 0);
    Seq->EnableLoop(1);
    Load(smf::SmfBuilder().AddTrack(t.B));
    EXPECT_FALSE(Seq->LoopIsEnabled()) << "a load switches the loop off";
}

// --- seek ---------------------------------------------------------------------

TEST_F(SequencerTest, SeekWhileStoppedSendsTheTargetsStateAtPlayBeforeTheFirstStep) {
    Track a, b;
    a.B.Control(a.At(0), 0, 7, 100).Program(a.At(100), 0, 7).NoteOn(a.At(2000), 0, 60, 100);
    a.B.NoteOff(a.At(2100), 0, 60).EndOfTrack(a.At(3840));
    b.B.Control(b.At(500), 3, 10, 20).EndOfTrack(b.At(3840));
    Load(smf::SmfBuilder().AddTrack(a.B).AddTrack(b.B));
    ASSERT_EQ(Seq->Seek(1), 1);
    EXPECT_EQ(Seq->PollTick(), 1920);
    EXPECT_EQ(Seq->PollMeasure(), 1);
    EXPECT_TRUE(TakeSent().empty()) << "nothing is sent before Play";
    ASSERT_EQ(Seq->Play(), 1);
    std::vector<Sent> sent = TakeSent();
    std::vector<std::string> hex;
    for (const Sent& s : sent) {
        hex.push_back(s.Hex);
        EXPECT_EQ(s.TimeMs, 0) << s.Hex << " was not sent by Play itself";
    }
    EXPECT_EQ(hex, RestoreOf({{0, StateWith({{ChannelState::kVolume, 100}, {ChannelState::kProgram, 7}})},
                              {3, StateWith({{ChannelState::kPan, 20}})}}));
    StepsUntil(2001);
    sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Hex, "90 3C 64");
    EXPECT_EQ(sent[0].TimeMs, 86) << "the cursors moved with the position";
}

TEST_F(SequencerTest, SeekWhilePlayingSendsWhatIsDueThenReleasesMovesAndRestores) {
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).Control(t.At(4), 0, 1, 10).NoteOff(t.At(1000), 0, 60);
    t.B.Program(t.At(1920), 0, 9).NoteOn(0, 0, 64, 100).NoteOff(t.At(2000), 0, 64).EndOfTrack(t.At(3840));
    Load(smf::SmfBuilder().AddTrack(t.B));
    ASSERT_EQ(Seq->Play(), 1);
    Steps(2);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"90 3C 64"});
    ASSERT_EQ(Seq->Seek(1), 1);
    EXPECT_EQ(Seq->PollTick(), 3) << "the step makes the move";
    Steps(1);
    auto expected = Concat({"B0 01 0A"}, ReleaseOf({{0, 60}}));
    // The program change on the target tick is part of the target's state.
    expected = Concat(expected, RestoreOf({{0, StateWith({{ChannelState::kProgram, 9}})}}));
    EXPECT_EQ(TakeHex(), expected);
    EXPECT_EQ(Seq->PollTick(), 1920);
    Steps(1);
    EXPECT_EQ(TakeHex(), (std::vector<std::string>{"C0 09", "90 40 64"}));
}

TEST_F(SequencerTest, SeekAcceptsMeasuresUpToTheSongsEndAndOnlyTheLatestAcceptedSeekCounts) {
    Track t;
    t.B.Program(t.At(0), 0, 3).NoteOn(t.At(1920), 0, 60, 100).NoteOff(t.At(2000), 0, 60);
    t.B.Program(t.At(7000), 0, 8).EndOfTrack(t.At(7680));
    EXPECT_EQ(Seq->Seek(0), 0) << "no song";
    Load(smf::SmfBuilder().AddTrack(t.B));
    EXPECT_EQ(Seq->Seek(4), 1) << "the measure that starts on the song's end";
    EXPECT_EQ(Seq->Seek(5), 0);
    EXPECT_EQ(Seq->Seek(-1), 0);
    EXPECT_EQ(Seq->Seek(1), 1);
    EXPECT_EQ(Seq->Seek(9), 0);
    EXPECT_EQ(Seq->Seek(INT32_MAX), 0);
    EXPECT_EQ(Seq->PollTick(), 1920);
    ASSERT_EQ(Seq->Play(), 1);
    EXPECT_EQ(TakeHex(), RestoreOf({{0, StateWith({{ChannelState::kProgram, 3}})}}));
    Steps(1);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"90 3C 64"});

    // A seek while stopped supersedes one handed to a step that never came.
    ASSERT_EQ(Seq->Seek(2), 1);
    Seq->Stop();
    ASSERT_EQ(Seq->Seek(1), 1);
    ASSERT_EQ(Seq->Play(), 1);
    Steps(1);
    EXPECT_EQ(Seq->PollTick(), 1921);
}

TEST_F(SequencerTest, TheChaseTakesTheStateAtTheTargetTickWithBankSelectAsBankSelect) {
    Track t, u;
    t.B.Program(t.At(0), 0, 1).Control(0, 0, 7, 90).Control(t.At(1920), 0, 7, 30);
    t.B.Program(t.At(3000), 0, 5).EndOfTrack(t.At(3840));
    u.B.Program(u.At(0), 1, 2).Program(u.At(2500), 1, 6).EndOfTrack(u.At(3840));
    Load(smf::SmfBuilder().AddTrack(t.B).AddTrack(u.B));
    orvalis::LocateSnapshot snapshot;
    EXPECT_EQ(Seq->LocateMeasure(1, &snapshot), 1920);
    ASSERT_EQ(snapshot.Cursors.size(), 2u);
    EXPECT_EQ(snapshot.Cursors[0], 2) << "the event on the target tick is played again";
    EXPECT_EQ(snapshot.Cursors[1], 1);
    EXPECT_EQ(snapshot.Channels[0].Slots, StateWith({{ChannelState::kProgram, 1}, {ChannelState::kVolume, 30}}).Slots);
    EXPECT_EQ(snapshot.Channels[1].Slots, StateWith({{ChannelState::kProgram, 2}}).Slots)
        << "the program of tick 2500 is not yet in force at 1920";
    EXPECT_EQ(Seq->LocateMeasure(2, &snapshot), 3840);
    EXPECT_EQ(snapshot.Cursors[0], 4) << "the end of track";
    EXPECT_EQ(Seq->LocateMeasure(3, nullptr), 5760);
    EXPECT_EQ(Seq->LocateMeasure(3, &snapshot), 5760);
    EXPECT_EQ(snapshot.Cursors[0], orvalis::LocateSnapshot::kExhausted);

    // Bank select is chased and sent back as bank select, just before the
    // program; the modulation wheel is no bank.
    Track b;
    b.B.Control(b.At(0), 0, 0, 5).Control(0, 0, 1, 77).Program(0, 0, 10).Control(b.At(10), 0, 1, 78);
    b.B.EndOfTrack(b.At(3840));
    Load(smf::SmfBuilder().AddTrack(b.B));
    ASSERT_EQ(Seq->Seek(1), 1);
    ASSERT_EQ(Seq->Play(), 1);
    EXPECT_EQ(TakeHex(), RestoreOf({{0, StateWith({{ChannelState::kBankSelect, 5}, {ChannelState::kProgram, 10}})}}));
}

// Every chased quantity of every channel, as a receiver would hold it after
// the messages it was sent.
struct ReceiverState {
    std::array<ChannelState, 16> Channels{};
    ReceiverState() { Channels.fill(ChannelState::Defaults()); }
    void Apply(const std::string& hex) {
        unsigned status = 0, d1 = 0, d2 = 0;
        std::sscanf(hex.c_str(), "%x %x %x", &status, &d1, &d2);
        auto& s = Channels[status & 0x0F].Slots;
        switch (status & 0xF0) {
            case 0xB0: {
                const std::map<unsigned, int> slots = {{0, ChannelState::kBankSelect},
                                                       {7, ChannelState::kVolume},
                                                       {10, ChannelState::kPan},
                                                       {11, ChannelState::kExpression},
                                                       {64, ChannelState::kSustain}};
                if (auto slot = slots.find(d1); slot != slots.end()) {
                    s[slot->second] = static_cast<int>(d2);
                }
                break;
            }
            case 0xC0: s[ChannelState::kProgram] = static_cast<int>(d1); break;
            case 0xD0: s[ChannelState::kChannelPressure] = static_cast<int>(d1); break;
            case 0xE0: s[ChannelState::kPitchBend] = static_cast<int>(d2); break;
            default: break;
        }
    }
};

TEST_F(SequencerTest, SeekingToAMeasureSendsTheStatePlayingFromTheStartWouldHaveReached) {
    // Random controller traffic on a few channels, with events on bar lines
    // and none in the few ticks after one (those belong to the next step).
    std::mt19937 random(20240611);
    smf::SmfBuilder builder;
    constexpr std::uint32_t kEnd = 8 * 1920;
    for (int track = 0; track < 4; ++track) {
        std::vector<std::uint32_t> ticks;
        for (int i = 0; i < 120; ++i) {
            std::uint32_t tick = random() % kEnd;
            if (tick % 1920 != 0 && tick % 1920 < 8) {
                tick -= tick % 1920;
            }
            ticks.push_back(tick);
        }
        std::sort(ticks.begin(), ticks.end());
        Track t;
        for (std::uint32_t tick : ticks) {
            const int channel = static_cast<int>(random() % 5) * 3;
            const int value = static_cast<int>(random() % 128);
            const std::uint32_t delta = t.At(tick);
            switch (random() % 8) {
                case 0: t.B.Program(delta, channel, value); break;
                case 1: t.B.PitchBend(delta, channel, value << 7 | 0x11); break;
                case 2: t.B.ChannelPressure(delta, channel, value); break;
                case 3: t.B.NoteOn(delta, channel, value, 90).NoteOff(0, channel, value); break;
                default: {
                    static const int kControllers[] = {0, 1, 7, 10, 11, 64, 91};
                    t.B.Control(delta, channel, kControllers[random() % 7], value);
                    break;
                }
            }
        }
        t.B.EndOfTrack(t.At(kEnd));
        builder.AddTrack(t.B);
    }
    // Stepped by hand: the step is called directly with the elapsed time.
    auto stepDirectly = [&](std::uint32_t& elapsedMs) {
        Seq->PlaybackStep(elapsedMs);
        elapsedMs += 2;
    };
    for (int measure = 1; measure < 8; ++measure) {
        const double target = measure * 1920.0;
        Load(builder);
        TakeSent();
        ReceiverState fromStart;
        ASSERT_EQ(Seq->Play(), 1);
        std::uint32_t elapsed = 0;
        while (Seq->GetPosition() < target + 1) {
            stepDirectly(elapsed);
        }
        for (const std::string& hex : TakeHex()) {
            fromStart.Apply(hex);
        }
        Seq->Stop();

        Load(builder);
        TakeSent();
        ReceiverState sought;
        ASSERT_EQ(Seq->Seek(measure), 1);
        ASSERT_EQ(Seq->Play(), 1);
        elapsed = 0;
        stepDirectly(elapsed);
        for (const std::string& hex : TakeHex()) {
            sought.Apply(hex);
        }
        Seq->Stop();
        for (int c = 0; c < 16; ++c) {
            EXPECT_EQ(sought.Channels[c].Slots, fromStart.Channels[c].Slots)
                << "measure " << measure << ", channel " << c;
        }
    }
}

TEST_F(SequencerTest, ASongOfAHundredTracksSeeksWithEveryTracksStateAndCursor) {
    smf::SmfBuilder builder;
    for (int i = 0; i < 100; ++i) {
        Track t;
        t.B.Program(t.At(0), i % 16, i).NoteOn(t.At(3840), i % 16, 20 + i, 100);
        t.B.NoteOff(t.At(3900), i % 16, 20 + i).EndOfTrack(t.At(5760));
        builder.AddTrack(t.B);
    }
    Load(builder);
    ASSERT_EQ(Seq->GetSong()->GetTrackCount(), 100);
    ASSERT_EQ(Seq->Seek(2), 1);
    ASSERT_EQ(Seq->Play(), 1);
    std::map<int, ChannelState> programs;
    for (int c = 0; c < 16; ++c) {
        // The last track of each channel sets its program.
        const int last = c < 4 ? 96 + c : 80 + c;
        programs[c] = StateWith({{ChannelState::kProgram, last}});
    }
    EXPECT_EQ(TakeHex(), RestoreOf(programs));
    Steps(1);
    std::set<std::string> notes;
    for (const std::string& hex : TakeHex()) {
        notes.insert(hex);
    }
    EXPECT_EQ(notes.size(), 100u);
    EXPECT_EQ(notes.count("93 77 64"), 1u) << "track 99's note";
}

// --- song end, stop and play, tempo ----------------------------------------

TEST_F(SequencerTest, PastTheSongsEndEveryStepPostsSongEndUntilStopOrASeekMovesBack) {
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).NoteOff(t.At(100), 0, 60).EndOfTrack(t.At(480));
    Load(smf::SmfBuilder().AddTrack(t.B));
    ASSERT_EQ(Seq->Play(), 1);
    Steps(250);
    EXPECT_EQ(Notes.SongEnds(), 0) << "position 480 is not past the end";
    Steps(1);
    EXPECT_EQ(Notes.SongEnds(), 1);
    Steps(4);
    EXPECT_EQ(Notes.SongEnds(), 5) << "one per step, Monitor or not";
    ASSERT_EQ(Seq->Seek(0), 1);
    Steps(251);
    EXPECT_EQ(Notes.SongEnds(), 5);
    Steps(1);
    EXPECT_EQ(Notes.SongEnds(), 6);
    Seq->Stop();
    Steps(10);
    EXPECT_EQ(Notes.SongEnds(), 6);
    for (const auto& note : Notes.Take()) {
        EXPECT_EQ(note.Message, WM_SONG_END);
        EXPECT_EQ(note.WParam, 0u);
    }
}

TEST_F(SequencerTest, StopReleasesEverySoundingNoteAndPlayResumesWithoutReStriking) {
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).NoteOn(0, 9, 36, 100).NoteOn(t.At(100), 0, 64, 100);
    t.B.Control(t.At(1000), 0, 7, 50).NoteOff(t.At(4000), 0, 60).NoteOff(0, 0, 64).NoteOff(0, 9, 36);
    t.B.EndOfTrack(t.At(7680));
    Load(smf::SmfBuilder().AddTrack(t.B));
    EXPECT_EQ(Seq->Stop(), 1) << "stopping while stopped";
    EXPECT_TRUE(TakeSent().empty());
    ASSERT_EQ(Seq->Play(), 1);
    Steps(60);
    EXPECT_EQ(Seq->GetPolyCount(), 3);
    TakeSent();
    EXPECT_EQ(Seq->Stop(), 1);
    EXPECT_EQ(TakeHex(), ReleaseOf({{0, 60}, {0, 64}, {9, 36}}));
    EXPECT_EQ(Seq->GetPolyCount(), 0);
    EXPECT_FALSE(Seq->IsPlaying());
    const double stoppedAt = Seq->GetPosition();
    Steps(50);
    EXPECT_EQ(Seq->GetPosition(), stoppedAt);
    ASSERT_EQ(Seq->Play(), 1);
    EXPECT_EQ(Seq->Play(), 1) << "already playing";
    Steps(1);
    EXPECT_EQ(Seq->GetPosition(), stoppedAt + Seq->GetTickIncrement());
    StepsUntil(1001);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"B0 07 32"}) << "nothing struck again";
}

// Holds the step inside its first post until let go: a step under way.
class HoldingSink final : public orvalis::NotificationSink {
public:
    void Post(std::uint32_t, std::uintptr_t, std::intptr_t) noexcept override {
        if (Posts.fetch_add(1) == 0) {
            LetGo.wait(false);
        }
    }
    void Release() {
        LetGo = true;
        LetGo.notify_all();
    }
    std::atomic<int> Posts{0};
    std::atomic<bool> LetGo{false};
};

TEST_F(SequencerTest, StopWaitsForAStepUnderWaySoThatNoNoteIsStruckAfterTheRelease) {
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).NoteOn(0, 0, 64, 100).NoteOff(t.At(1000), 0, 60).NoteOff(0, 0, 64);
    t.B.EndOfTrack(t.At(1920));
    Load(smf::SmfBuilder().AddTrack(t.B));
    HoldingSink sink;
    Seq->SetNotificationSink(&sink);
    Seq->SetMonitor(1);
    ASSERT_EQ(Seq->Play(), 1);
    std::thread timer([&] { Clock.Advance(2ms); });
    ASSERT_TRUE(Eventually([&] { return sink.Posts.load() > 0; }));
    // The step has struck the first note and waits; the second is yet to come.
    std::atomic<bool> stopped{false};
    std::thread host([&] {
        Seq->Stop();
        stopped = true;
    });
    for (int i = 0; i < 200 && !stopped; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(stopped) << "Stop returned while a step was under way";
    sink.Release();
    host.join();
    timer.join();
    EXPECT_EQ(TakeHex(), Concat({"90 3C 64", "90 40 64"}, ReleaseOf({{0, 60}, {0, 64}})));
    EXPECT_EQ(Seq->GetPolyCount(), 0);
    Seq->SetNotificationSink(&Notes);
}

TEST_F(SequencerTest, SongTempoIsClampedToFortyToTwoHundredTwentyWhileSetTempoIsNot) {
    Track t;
    t.B.NoteOn(t.At(480), 0, 60, 100).NoteOff(t.At(500), 0, 60).EndOfTrack(t.At(960));
    struct Case {
        bool Song;
        double Asked;
        double Plays;
    };
    for (const Case& c : {Case{true, 10, 40}, Case{true, 500, 220}, Case{true, std::nan(""), 40}, Case{false, 10, 10},
                          Case{false, 300, 300}}) {
        Load(smf::SmfBuilder().AddTrack(t.B));
        if (c.Song) {
            Seq->SetSongTempo(c.Asked);
        } else {
            EXPECT_EQ(Seq->SetTempo(c.Asked), 1);
        }
        EXPECT_FLOAT_EQ(Seq->GetTempo(), static_cast<float>(c.Plays));
        TakeSent();
        const std::int64_t startMs = Clock.NowNs() / 1000000;
        ASSERT_EQ(Seq->Play(), 1);
        StepsUntil(481);
        const std::vector<Sent> sent = TakeSent();
        ASSERT_EQ(sent.size(), 1u);
        // One beat, give or take a period and the tick the step waits for.
        const double beatMs = 60000.0 / c.Plays;
        EXPECT_NEAR(sent[0].TimeMs - startMs, beatMs, 2 + beatMs / 480 + 1) << "asked for " << c.Asked;
        Seq->Stop();
    }
}

TEST_F(SequencerTest, ATempoThatIsNoPositiveNumberHoldsThePositionAndAHugeOneEndsTheSong) {
    Track t;
    t.B.NoteOn(t.At(0), 0, 60, 100).NoteOff(t.At(100), 0, 60).EndOfTrack(t.At(960));
    Load(smf::SmfBuilder().AddTrack(t.B));
    ASSERT_EQ(Seq->Play(), 1);
    for (double bpm : {-120.0, 0.0, std::nan(""), -std::numeric_limits<double>::infinity()}) {
        Seq->SetTempo(bpm);
        Steps(5);
        EXPECT_EQ(Seq->PollTick(), 0) << bpm;
        EXPECT_TRUE(TakeSent().empty()) << bpm << " ran the song";
    }
    for (double bpm : {1e30, 1e300}) {
        Load(smf::SmfBuilder().AddTrack(t.B));
        TakeSent();
        Seq->SetTempo(bpm);
        Steps(2);
        EXPECT_EQ(TakeHex(), (std::vector<std::string>{"90 3C 64", "80 3C 40"})) << "each once";
        EXPECT_EQ(Seq->PollTick(), INT32_MAX);
        EXPECT_EQ(Notes.SongEnds(), 2);
        Notes.Take();
    }
}

// --- late pulses and loading ----------------------------------------------

TEST_F(SequencerTest, ALateOrMergedPulseKeepsTheTempo) {
    Track t;
    t.B.NoteOn(t.At(20), 0, 60, 100).NoteOff(t.At(200), 0, 60).EndOfTrack(t.At(9600));
    Load(smf::SmfBuilder().AddTrack(t.B));
    ASSERT_EQ(Seq->Play(), 1);
    Steps(20);
    const double onTime = Seq->GetPosition();
    Seq->Stop();
    Load(smf::SmfBuilder().AddTrack(t.B));
    TakeSent();
    const std::int64_t startMs = Clock.NowNs() / 1000000;
    ASSERT_EQ(Seq->Play(), 1);
    Steps(10);
    Clock.Advance(10ms);  // one pulse for five periods
    const std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].TimeMs - startMs, 30) << "the note due in period 11 goes out with the late pulse";
    Steps(5);
    EXPECT_EQ(Seq->GetPosition(), onTime);

    // Called directly: a run starts at whatever elapsed value its first step
    // brings; jitter of the millisecond clock neither adds nor loses periods,
    // and a value that goes back (a stray pulse) adds nothing.
    Seq->Stop();
    ASSERT_EQ(Seq->Play(), 1);
    const double from = Seq->GetPosition();
    const double increment = Seq->GetTickIncrement();
    for (auto [elapsedMs, periods] : std::vector<std::pair<std::uint32_t, int>>{
             {7, 1}, {9, 2}, {16, 5}, {17, 6}, {18, 6}, {12, 6}, {14, 7}, {1014, 507}}) {
        Seq->PlaybackStep(elapsedMs);
        EXPECT_NEAR(Seq->GetPosition() - from, periods * increment, 1e-6) << "elapsed " << elapsedMs;
    }
}

TEST_F(SequencerTest, LoadingWhilePlayingReleasesTheOldSongsNotesAndStartsTheNewOneAtZero) {
    Track a, b;
    a.B.NoteOn(a.At(0), 0, 60, 100).NoteOff(a.At(4000), 0, 60).EndOfTrack(a.At(7680));
    b.B.NoteOn(b.At(0), 1, 62, 100).NoteOff(b.At(100), 1, 62).EndOfTrack(b.At(480));
    Load(smf::SmfBuilder().AddTrack(a.B));
    ASSERT_EQ(Seq->Play(), 1);
    Steps(100);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"90 3C 64"});
    Load(smf::SmfBuilder().AddTrack(b.B));
    EXPECT_EQ(TakeHex(), ReleaseOf({{0, 60}}));
    EXPECT_TRUE(Seq->IsPlaying());
    EXPECT_EQ(Seq->PollTick(), 0);
    Steps(1);
    EXPECT_EQ(TakeHex(), std::vector<std::string>{"91 3E 64"});
    Seq->LoadSong(nullptr, orvalis::SongTimeline{});
    EXPECT_EQ(TakeHex(), ReleaseOf({{1, 62}}));
    Steps(5);
    EXPECT_TRUE(TakeSent().empty()) << "without a song the step does nothing";
    EXPECT_EQ(Seq->Seek(0), 0);
}

// System exclusive goes out as a long message that points into the song; a
// device may read those bytes until it has finished the message.
TEST_F(SequencerTest, ASongThatIsReplacedOrLeftStaysUntilTheDeviceHasFinishedItsSystemExclusive) {
    const std::vector<std::uint8_t> sysEx = {0x7E, 0x7F, 0x09, 0x01, 0xF7};
    auto songWithSysEx = [&] {
        Track t;
        t.B.SysEx(t.At(0), sysEx).EndOfTrack(t.At(480));
        return smf::SmfBuilder().AddTrack(t.B);
    };
    auto capturedLong = [] {
        std::vector<std::string> hex;
        for (const auto& m : platform::CapturedMessages()) {
            if (m.Long) {
                hex.push_back(Hex(m.Bytes));
            }
        }
        return hex;
    };
    platform::HoldCaptureCompletions(true);
    Load(songWithSysEx());
    ASSERT_EQ(Seq->Play(), 1);
    Steps(1);
    ASSERT_EQ(platform::QueuedCaptureMessages(), 1);
    Track next;
    next.B.EndOfTrack(next.At(480));
    auto loading = std::async(std::launch::async, [&] { Load(smf::SmfBuilder().AddTrack(next.B)); });
    EXPECT_EQ(loading.wait_for(50ms), std::future_status::timeout) << "the old song went with its message queued";
    EXPECT_EQ(platform::ReleaseCaptureCompletions(1), 1);
    ASSERT_EQ(loading.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(capturedLong(), std::vector<std::string>{"F0 7E 7F 09 01 F7"});

    // A device that never finishes is reset after the output's close limit,
    // which finishes the message while the song is still there.
    Out.SetCloseLimit(50ms);
    Load(songWithSysEx());
    Steps(1);
    ASSERT_EQ(platform::QueuedCaptureMessages(), 1);
    Seq.reset();
    EXPECT_EQ(platform::QueuedCaptureMessages(), 0);
    EXPECT_EQ(capturedLong(), (std::vector<std::string>{"F0 7E 7F 09 01 F7", "F0 7E 7F 09 01 F7"}));
}

}  // namespace
