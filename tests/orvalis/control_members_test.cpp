// The player control's members as a host calls them: loading, the track
// queries and search, tempo, mutes, loop and seek, polling, raw messages and
// the sequencer-specific meta text, with every failure value.
#include <algorithm>

#include "ControlTestSupport.h"
#include "platform/midi/capture.h"

namespace {

using namespace controltest;
using platform::DISPID;
using platform::S_FALSE;
using platform::S_OK;

using ControlMembers = ControlTest;

TEST_F(ControlMembers, LoadingAMissingFileShowsTheReadersNoticeAndLeavesASongWithoutTracks) {
    auto control = Create();
    ASSERT_TRUE(control);
    EXPECT_EQ(Call(*control, "SetFileName", {Variant(PathOf("missing.mid"))}), Variant(true));
    ASSERT_EQ(Notices.Count(), 1u);
    EXPECT_EQ(Notices.Texts()[0], "Unable to open the file");
    EXPECT_EQ(Call(*control, "GetTrackCount"), Variant(0));

    // A name with a zero inside would open the file its first part names.
    const std::string song = TwoBars();
    EXPECT_EQ(Call(*control, "SetFileName", {Variant(song + std::string(1, '\0') + ".txt")}), Variant(true));
    EXPECT_EQ(Notices.Count(), 2u);
    EXPECT_EQ(Call(*control, "GetTrackCount"), Variant(0));
}

TEST_F(ControlMembers, AMalformedFileFailsQuietlyAndLeavesNoSongNotEvenTheOldOne) {
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    ASSERT_EQ(Call(*control, "GetTrackCount"), Variant(1));

    smf::TrackBuilder t;
    t.NoteOn(0, 0, 60, 100).Running(10, {62});  // a note-on cut short
    smf::Bytes bytes = smf::SmfBuilder(0).AddTrack(t).Build();
    smf::SmfBuilder::WriteFile(PathOf("cut.mid"), bytes);
    EXPECT_EQ(Call(*control, "SetFileName", {Variant(PathOf("cut.mid"))}), Variant(false));
    EXPECT_EQ(Notices.Count(), 0u) << "nothing is shown";
    EXPECT_EQ(Call(*control, "GetTrackCount"), Variant(-1));
    EXPECT_EQ(Call(*control, "Seek", {Variant(0)}), Variant(false));
    EXPECT_EQ(Call(*control, "GetTrackName", {Variant(0)}), Variant("Bad Track"));

    EXPECT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true)) << "the control loads on";
    EXPECT_EQ(Call(*control, "GetTrackCount"), Variant(1));
}

TEST_F(ControlMembers, WithoutASongEveryMemberGivesItsNeutralValue) {
    auto control = Create();
    ASSERT_TRUE(control);
    struct Case {
        const char* Member;
        std::vector<Variant> Args;
        Variant Expected;
    };
    const Case cases[] = {
        {"GetTrackCount", {}, Variant(-1)},
        {"GetTrackName", {Variant(0)}, Variant("Bad Track")},
        {"GetSongTempo", {}, Variant(120.0)},
        {"MuteTrackByNumber", {Variant(3), Variant(true)}, Variant(true)},
        {"TrackNameToTrackNumber", {Variant("")}, Variant(-1)},
        {"MuteTrackByName", {Variant(""), Variant(true)}, Variant(false)},
        {"SetLoopStart", {Variant(1)}, Variant(true)},
        {"SetLoopEnd", {Variant(2)}, Variant(true)},
        {"EnableLoop", {Variant(true)}, Variant(false)},
        {"GetMeasureCount", {}, Variant(0)},
        {"GetTickCount", {}, Variant(0)},
        {"PollTick", {}, Variant(0)},
        {"PollMeasure", {}, Variant(0)},
        {"GetPolyCount", {}, Variant(0)},
        {"Seek", {Variant(0)}, Variant(false)},
        {"GetPropertaryMeta", {Variant(5)}, Variant("")},
        {"MeasureToTick", {Variant(3)}, Variant(0)},
        {"TickToMeasure", {Variant(5000)}, Variant(0)},
        {"CloseMidiPort", {}, Variant(false)},
        {"PollTime", {}, Variant(0)},
        {"GetSongLength", {}, Variant(0.0)},
        {"TickToTime", {Variant(480)}, Variant(0.0)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call(*control, c.Member, c.Args), c.Expected) << c.Member;
    }
    double bpm = -1;
    std::int32_t numerator = -1, denominator = -1;
    EXPECT_EQ(Call(*control, "GetTempoInfo", {Variant(&bpm), Variant(&numerator), Variant(&denominator)}),
              Variant(false));
    EXPECT_EQ(bpm, -1) << "the outputs are left alone";
    EXPECT_EQ(numerator, -1);
    EXPECT_EQ(denominator, -1);
    EXPECT_EQ(Get(*control, "FollowTempoMap"), Variant(false));
    EXPECT_EQ(Get(*control, "FullChase"), Variant(false));
    Set(*control, "FollowTempoMap", Variant(true));
    EXPECT_EQ(Call(*control, "GetSongLength"), Variant(0.0)) << "without a song, no map to follow";
}

TEST_F(ControlMembers, TrackNamesAndTheSearchOverTheNamesLength) {
    smf::SmfBuilder song(1);
    for (const char* name : {"Conductor", "Piano right", "PIANO left", "Bass"}) {
        smf::TrackBuilder t;
        t.Name(0, name).EndOfTrack(10);
        song.AddTrack(t);
    }
    smf::TrackBuilder latin;
    latin.Meta(0, 0x03, {'C', 'a', 'f', 0xE9}).EndOfTrack(10);  // "Café" in Latin-1
    song.AddTrack(latin);
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(Write("names.mid", song))}), Variant(true));
    ASSERT_EQ(Call(*control, "GetTrackCount"), Variant(5));

    EXPECT_EQ(Call(*control, "GetTrackName", {Variant(1)}), Variant("Piano right"));
    EXPECT_EQ(Call(*control, "GetTrackName", {Variant(-1)}), Variant("Bad Track"));
    EXPECT_EQ(Call(*control, "GetTrackName", {Variant(5)}), Variant("Bad Track"));
    EXPECT_EQ(Call(*control, "GetTrackName", {Variant(4)}), Variant("Caf\xC3\xA9")) << "as text the host can read";

    struct Case {
        const char* Name;
        std::int32_t Track;
    };
    const Case cases[] = {
        {"", 0},          {"piano", 1}, {"Piano L", 2},     {"BASS", 3}, {"Bass guitar", -1},
        {"Conductor", 0}, {"iano", -1}, {"Caf\xC3\xA9", 4}, {"caf", 4},  {"Drums", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call(*control, "TrackNameToTrackNumber", {Variant(c.Name)}), Variant(c.Track)) << c.Name;
    }
}

TEST_F(ControlMembers, MutingByNameTakesTheTracksIndexAsTheChannel) {
    // Seventeen tracks; track t plays one note on channel t % 16 at tick 0.
    smf::SmfBuilder song(1);
    for (int track = 0; track < 17; ++track) {
        smf::TrackBuilder t;
        t.Name(0, "Track " + std::to_string(track)).NoteOn(0, track % 16, 60, 100).NoteOff(10, track % 16, 60);
        t.EndOfTrack(10);
        song.AddTrack(t);
    }
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(Write("seventeen.mid", song))}), Variant(true));
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    EXPECT_EQ(Call(*control, "MuteTrackByName", {Variant("track 3"), Variant(true)}), Variant(true));
    EXPECT_EQ(Call(*control, "MuteTrackByName", {Variant("Track 16"), Variant(true)}), Variant(true))
        << "found, though its index names no channel";
    EXPECT_EQ(Call(*control, "MuteTrackByName", {Variant("Track 99"), Variant(true)}), Variant(false));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(2);
    Call(*control, "Stop");
    const auto sent = CapturedHex();
    for (int channel = 0; channel < 16; ++channel) {
        char onHex[16];
        std::snprintf(onHex, sizeof onHex, "%02X 3C 64", 0x90 | channel);
        const auto count = std::count(sent.begin(), sent.end(), std::string(onHex));
        // Channel 0 is played by tracks 0 and 16.
        EXPECT_EQ(count, channel == 3 ? 0 : channel == 0 ? 2 : 1) << "channel " << channel;
    }
}

TEST_F(ControlMembers, MuteChannelIsTheControlsOwnNameOfMemberSeven) {
    auto control = Create();
    ASSERT_TRUE(control);
    DISPID id = 0;
    ASSERT_EQ(control->Control()->GetIDOfName("MuteChannel", id), S_OK);
    EXPECT_EQ(id, 7);
    ASSERT_EQ(control->Resolve("mutetrackbynumber", id), S_OK);
    EXPECT_EQ(id, 7);
    ASSERT_NE(control->TypeInfo(), nullptr);
    EXPECT_EQ(control->TypeInfo()->Dispatch.FindById(7)->Name, "MuteTrackByNumber");
    EXPECT_EQ(control->TypeInfo()->Dispatch.FindByName("MuteChannel"), nullptr) << "the type library knows one name";

    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    EXPECT_EQ(Call(*control, "MuteChannel", {Variant(1), Variant(true)}), Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(130);
    const auto sent = CapturedHex();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "90 3C 64"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "91 28 5A"), 0) << "channel 1 is muted";
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "81 28 64"), 1) << "its note-off still goes";
}

TEST_F(ControlMembers, SequencerSpecificMetaEventsComeBackAsHexText) {
    smf::TrackBuilder first;
    first.Meta(0, 0x7F, {0x05, 0x01, 0xAB}).Meta(0, 0x7F, {0x06, 0x99}).Meta(0, 0x7F, {0x05}).EndOfTrack(10);
    smf::TrackBuilder second;
    second.Meta(0, 0x7F, {0x05, 0x80, 0xFF, 0x00}).Meta(0, 0x7F, {0xC8, 0x7F}).Meta(0, 0x01, {0x05, 0x11});
    second.EndOfTrack(10);
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName",
                   {Variant(Write("meta.mid", smf::SmfBuilder(1).AddTrack(first).AddTrack(second)))}),
              Variant(true));
    struct Case {
        std::int32_t Number;
        const char* Text;
    };
    const Case cases[] = {
        {5, "01AB80FF00"},               // tracks in order, events concatenated, one byte adds nothing
        {6, "99"},         {200, "7F"},  // the number byte is unsigned
        {200 - 256, ""},                 // and not matched by its signed reading
        {456, ""},         {7, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call(*control, "GetPropertaryMeta", {Variant(c.Number)}), Variant(c.Text)) << c.Number;
    }
}

TEST_F(ControlMembers, TempoMeasuresAndLengthOfASong) {
    smf::TrackBuilder conductor;
    conductor.Tempo(0, 400000).TimeSignature(0, 3, 2).EndOfTrack(1440 * 4);
    smf::TrackBuilder notes;
    notes.Tempo(0, 600000).NoteOn(0, 0, 60, 100).NoteOff(480, 0, 60).EndOfTrack(10);
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName",
                   {Variant(Write("tempo.mid", smf::SmfBuilder(1).AddTrack(conductor).AddTrack(notes)))}),
              Variant(true));
    EXPECT_NEAR(Call(*control, "GetSongTempo").Double(), 150.0, 1e-4) << "the first track's tempo";
    double bpm = 0;
    std::int32_t numerator = 0, denominator = 0;
    ASSERT_EQ(Call(*control, "GetTempoInfo", {Variant(&bpm), Variant(&numerator), Variant(&denominator)}),
              Variant(true));
    EXPECT_DOUBLE_EQ(bpm, 100.0) << "the file tempo: the last in track order";
    EXPECT_EQ(numerator, 4) << "whatever the time signature says";
    EXPECT_EQ(denominator, 4);
    EXPECT_EQ(Call(*control, "GetTickCount"), Variant(5760));
    EXPECT_EQ(Call(*control, "GetMeasureCount"), Variant(4)) << "four bars of 3/4";
    EXPECT_EQ(Call(*control, "MeasureToTick", {Variant(2)}), Variant(2880));
    EXPECT_EQ(Call(*control, "TickToMeasure", {Variant(2881)}), Variant(2));
}

TEST_F(ControlMembers, ASongLongerThanALongReportsTheLargestLong) {
    smf::TrackBuilder t;
    for (int i = 0; i < 9; ++i) t.MetaText(0x0FFFFFFF, 0x01, "far");
    t.EndOfTrack(0);
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(Write("long.mid", smf::SmfBuilder(0).AddTrack(t)))}),
              Variant(true));
    EXPECT_EQ(Call(*control, "GetTickCount"), Variant(std::int32_t{0x7FFFFFFF}));
}

TEST_F(ControlMembers, SendMessageGoesOutAtOnceWhilePlaybackIsStoppedAndIsNotCounted) {
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    EXPECT_EQ(Call(*control, "SendMessage", {Variant(0x90), Variant(60), Variant(100)}), Variant(true));
    EXPECT_EQ(CapturedHex(), std::vector<std::string>{"90 3C 64"});
    EXPECT_EQ(Call(*control, "GetPolyCount"), Variant(0));
    EXPECT_EQ(Call(*control, "CloseMidiPort"), Variant(true));
    EXPECT_EQ(Call(*control, "SendMessage", {Variant(0x80), Variant(60), Variant(0)}), Variant(true))
        << "refused by the closed port, still TRUE";
}

TEST_F(ControlMembers, StopReleasesEverythingAndKeepsThePositionForPlay) {
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    EXPECT_EQ(Call(*control, "PollTick"), Variant(0));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(50);
    EXPECT_EQ(Call(*control, "GetPolyCount"), Variant(2));
    EXPECT_EQ(Call(*control, "Stop"), Variant(true));
    EXPECT_EQ(Call(*control, "GetPolyCount"), Variant(0));
    EXPECT_EQ(Call(*control, "PollTick"), Variant(100)) << "50 periods of 2 ticks";
    EXPECT_EQ(Call(*control, "PollMeasure"), Variant(0));
    const auto sent = CapturedHex();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "80 3C 40"), 1) << "the released note";
    Advance(50);
    EXPECT_EQ(Call(*control, "PollTick"), Variant(100)) << "stopped";
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(1);
    EXPECT_EQ(Call(*control, "PollTick"), Variant(102)) << "resumed where it stopped";
    EXPECT_EQ(Call(*control, "Stop"), Variant(true));
}

TEST_F(ControlMembers, LoopAndSeekThroughTheControl) {
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    EXPECT_EQ(Call(*control, "EnableLoop", {Variant(true)}), Variant(false)) << "no bounds yet";
    EXPECT_EQ(Call(*control, "SetLoopStart", {Variant(1)}), Variant(true));
    EXPECT_EQ(Call(*control, "SetLoopEnd", {Variant(2)}), Variant(true));
    EXPECT_EQ(Call(*control, "EnableLoop", {Variant(true)}), Variant(false)) << "the previous switch";
    EXPECT_EQ(Call(*control, "EnableLoop", {Variant(true)}), Variant(true));
    EXPECT_EQ(Call(*control, "Seek", {Variant(1)}), Variant(true));
    EXPECT_EQ(Call(*control, "PollTick"), Variant(1920));
    EXPECT_EQ(Call(*control, "Seek", {Variant(2)}), Variant(true)) << "the measure holding the end";
    EXPECT_EQ(Call(*control, "Seek", {Variant(3)}), Variant(false));
    EXPECT_EQ(Call(*control, "Seek", {Variant(1)}), Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(2000);  // two passes through bar 2 and the start of a third
    Call(*control, "Stop");
    const auto sent = CapturedHex();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "90 3E 6E"), 3);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "90 3C 64"), 0);
    EXPECT_EQ(Call(*control, "SetFileName", {Variant(TwoBars())}), Variant(true));
    EXPECT_EQ(Call(*control, "EnableLoop", {Variant(true)}), Variant(false)) << "a load clears the loop";
}

TEST_F(ControlMembers, TempoChangesTheRateAndTheSongTempoIsKeptInItsRange) {
    // At 750 ticks per quarter a period adds bpm / 40 ticks, exactly for these.
    smf::TrackBuilder t;
    t.NoteOn(0, 0, 60, 100).NoteOff(100000, 0, 60).EndOfTrack(0);
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(Write("slow.mid", smf::SmfBuilder(0, 750).AddTrack(t)))}),
              Variant(true));
    EXPECT_EQ(Call(*control, "SetTempo", {Variant(250.0)}), Variant(true));
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(100);
    EXPECT_EQ(Call(*control, "PollTick"), Variant(625));
    Call(*control, "SetSongTempo", {Variant(10.0)});
    Advance(100);
    EXPECT_EQ(Call(*control, "PollTick"), Variant(725)) << "40 beats per minute at the least";
    Call(*control, "SetSongTempo", {Variant(500.0)});
    Advance(100);
    EXPECT_EQ(Call(*control, "PollTick"), Variant(1275)) << "220 at the most";
    EXPECT_EQ(Call(*control, "SetTempo", {Variant(10.0)}), Variant(true));
    Advance(100);
    EXPECT_EQ(Call(*control, "PollTick"), Variant(1300)) << "as given";
}

// Times come from whichever timing is in force: the one tempo the song
// plays at, or its tempo map once FollowTempoMap is on, with SetTempo as a
// speed; switching leaves the position where it is.
TEST_F(ControlMembers, TimesFollowTheTimingInForceAndTheTempoMapOnceItIsFollowed) {
    auto control = Create();
    ASSERT_TRUE(control);
    ASSERT_EQ(Call(*control, "SetFileName", {Variant(TempoChangeAndEffects())}), Variant(true));
    ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
    EXPECT_NEAR(Call(*control, "GetSongLength").Double(), 2.0, 1e-5) << "at one tempo, 240";
    EXPECT_NEAR(Call(*control, "TickToTime", {Variant(1920)}).Double(), 1000.0, 1e-2);

    EXPECT_EQ(control->Control()->IsDirty(), S_FALSE);
    Set(*control, "FollowTempoMap", Variant(true));
    EXPECT_EQ(control->Control()->IsDirty(), S_OK) << "a change the container offers to save";
    EXPECT_EQ(Get(*control, "FollowTempoMap"), Variant(true));
    EXPECT_DOUBLE_EQ(Call(*control, "GetSongLength").Double(), 3.0);
    EXPECT_DOUBLE_EQ(Call(*control, "TickToTime", {Variant(1920)}).Double(), 2000.0);
    EXPECT_DOUBLE_EQ(Call(*control, "TickToTime", {Variant(2400)}).Double(), 2250.0);
    EXPECT_DOUBLE_EQ(Call(*control, "TickToTime", {Variant(-480)}).Double(), -500.0) << "before 0 at the first tempo";

    // 1250 periods: 2 s of the first bar, then half a second of the second.
    ASSERT_EQ(Call(*control, "Play"), Variant(true));
    Advance(1250);
    EXPECT_NEAR(Call(*control, "PollTick").Long(), 2880, 1);
    EXPECT_NEAR(Call(*control, "PollTime").Long(), 2500, 1);
    Call(*control, "Stop");

    // The host's tempo is a speed now: 60 is half the first tempo.
    EXPECT_EQ(Call(*control, "SetTempo", {Variant(60.0)}), Variant(true));
    EXPECT_DOUBLE_EQ(Call(*control, "GetSongLength").Double(), 6.0);
    EXPECT_NEAR(Call(*control, "PollTime").Long(), 5000, 2);
    // Back at one tempo, the host's 60 runs the whole song.
    Set(*control, "FollowTempoMap", Variant(false));
    EXPECT_NEAR(Call(*control, "GetSongLength").Double(), 8.0, 1e-4);
    EXPECT_NEAR(Call(*control, "PollTick").Long(), 2880, 1) << "the position stays";
    EXPECT_NEAR(Call(*control, "PollTime").Long(), 6000, 2);
}

// The eight restored values leave out the reverb and the NRPN the song set
// before bar 2; with FullChase on, a seek there sends them too, once each.
TEST_F(ControlMembers, FullChaseMakesASeekRestoreWhatTheEightValuesLeaveOut) {
    const std::string song = TempoChangeAndEffects();
    for (const bool full : {false, true}) {
        auto control = Create();
        ASSERT_TRUE(control);
        ASSERT_EQ(Call(*control, "OpenMidiPort", {Variant(platform::kCaptureDevice)}), Variant(true));
        Set(*control, "FullChase", Variant(full));
        EXPECT_EQ(Get(*control, "FullChase"), Variant(full));
        ASSERT_EQ(Call(*control, "SetFileName", {Variant(song)}), Variant(true));
        ASSERT_EQ(Call(*control, "Seek", {Variant(1)}), Variant(true));
        ASSERT_EQ(Call(*control, "Play"), Variant(true));
        Advance(3);
        Call(*control, "Stop");
        const auto sent = CapturedHex();
        const auto count = [&](const char* hex) { return std::count(sent.begin(), sent.end(), hex); };
        const char* const option = full ? "full chase" : "eight values";
        EXPECT_EQ(count("C0 05"), 1) << option;
        EXPECT_EQ(count("90 3E 64"), 1) << option << ": the note of bar 2";
        EXPECT_EQ(count("B0 5B 46"), full ? 1 : 0) << option << ": reverb";
        // The parameter's number, and again as the selection left in force.
        EXPECT_EQ(count("B0 63 01") > 0, full) << option << ": NRPN MSB";
        EXPECT_EQ(count("B0 62 20") > 0, full) << option << ": NRPN LSB";
        EXPECT_EQ(count("B0 06 40"), full ? 1 : 0) << option << ": its data entry";
    }
}

}  // namespace
