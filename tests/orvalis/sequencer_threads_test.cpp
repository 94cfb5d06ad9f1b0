#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "SequencerTestSupport.h"

using namespace seqtest;
using namespace std::chrono_literals;

namespace {

// The sequencer on the real clock and its own timer worker, the way a host
// runs it; the capture device records. Nothing here asserts timing: the
// checks are what was sent, and the sanitizers watch the hand-overs.
class SequencerThreads : public testing::Test {
protected:
    void SetUp() override {
        Saved = platform::MidiOutConfiguration();
        platform::ConfigureMidiOut(platform::MidiOutConfig{});
        ASSERT_EQ(Out.Open(platform::kCaptureDevice), 1) << platform::MidiOutLastError();
        Seq = std::make_unique<orvalis::Sequencer>(Out);
        Seq->SetNotificationSink(&Notes);
        Seq->SetMonitor(1);
    }
    void TearDown() override {
        Seq.reset();
        Out.Close();
        platform::ConfigureMidiOut(Saved);
    }

    // Notes on every channel, a few struck each period at the tempo below.
    static smf::SmfBuilder DenseSong(int variant) {
        smf::SmfBuilder builder;
        for (int track = 0; track < 16; ++track) {
            smf::TrackBuilder t;
            t.Program(0, track, variant % 128).Control(0, track, 7, 100);
            for (int i = 0; i < 400; ++i) {
                t.NoteOn(i == 0 ? 0 : 10, track, 30 + (i + track + variant) % 60, 90);
                t.NoteOff(20, track, 30 + (i + track + variant) % 60);
            }
            t.EndOfTrack(0);
            builder.AddTrack(t);
        }
        return builder;
    }
    void Load(const smf::SmfBuilder& builder) {
        auto file = Read(builder);
        orvalis::SongTimeline timeline;
        timeline.PrepareSong(*file);
        Seq->LoadSong(std::move(file), std::move(timeline));
        Seq->SetTempo(600);
    }

    // Notes that the messages so far leave sounding, as (channel, key).
    static std::set<std::pair<int, int>> Sounding() {
        std::set<std::pair<int, int>> on;
        for (const auto& m : platform::CapturedMessages()) {
            if (m.Bytes.size() != 3) {
                continue;
            }
            const int kind = m.Bytes[0] & 0xF0;
            const std::pair<int, int> note{m.Bytes[0] & 0x0F, m.Bytes[1]};
            if (kind == 0x90 && m.Bytes[2] != 0) {
                on.insert(note);
            } else if (kind == 0x80 || kind == 0x90) {
                on.erase(note);
            }
        }
        return on;
    }

    MidiOutput Out;
    RecordingSink Notes;
    std::unique_ptr<orvalis::Sequencer> Seq;

private:
    platform::MidiOutConfig Saved;
};

TEST_F(SequencerThreads, StopLeavesNoNoteSoundingEvenWithAStepUnderWay) {
    std::mt19937 random(7);
    Load(DenseSong(0));
    for (int round = 0; round < 30; ++round) {
        ASSERT_EQ(Seq->Play(), 1);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        Seq->Stop();
        // A step from a pulse given just before the stop may still come.
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(Seq->GetPolyCount(), 0);
        ASSERT_TRUE(Sounding().empty()) << "round " << round << ": a note was struck after its release";
    }
}

TEST_F(SequencerThreads, SongsLoadedSeekedAndLoopedWhileTheTimerRunsAreNeverReadOnceFreed) {
    Load(DenseSong(0));
    ASSERT_EQ(Seq->Play(), 1);
    for (int round = 1; round <= 60; ++round) {
        // The previous song is freed inside LoadSong, with the timer running.
        Load(DenseSong(round));
        std::this_thread::sleep_for(1ms);
        EXPECT_EQ(Seq->Seek(round % 3), 1);
        Seq->SetLoopStart(round % 2);
        Seq->SetLoopEnd(2);
        Seq->EnableLoop(round % 4 != 0);
        Seq->MuteChannel(round % 16, round % 2);
        std::this_thread::sleep_for(1ms);
        EXPECT_GE(Seq->PollMeasure(), 0);
        EXPECT_GE(Seq->GetPolyCount(), 0);
    }
    Seq->Stop();
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(Sounding().empty());
    EXPECT_GT(Notes.Take().size(), 0u) << "the steps ran meanwhile";
}

// The options change what the step does with the snapshots and the time; a
// host switches them, seeks and sets loop starts while a chase goes out.
TEST_F(SequencerThreads, WithTheOptionsSwitchedWhileTheTimerRunsEveryHandOverHolds) {
    Load(DenseSong(0));
    ASSERT_EQ(Seq->Play(), 1);
    for (int round = 1; round <= 60; ++round) {
        Seq->SetFollowTempoMap(round % 2);
        Seq->SetFullChase(round % 3 != 0);
        if (round % 10 == 0) {
            Load(DenseSong(round));
        }
        EXPECT_EQ(Seq->Seek(round % 3), 1);
        Seq->SetLoopStart(round % 2);
        Seq->SetLoopEnd(1 + round % 2);
        Seq->EnableLoop(1);
        Seq->SetTempo(300 + 10 * (round % 7));
        std::this_thread::sleep_for(1ms);
        EXPECT_GE(Seq->PollTime(), 0);
        EXPECT_GE(Seq->TickToTime(960), 0.0);
    }
    Seq->Stop();
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(Sounding().empty());
}

}  // namespace
