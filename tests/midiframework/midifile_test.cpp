#include "midiframework/midifile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "SongInvariants.h"
#include "SongTestSupport.h"
#include "platform/notice/notice.h"

using songtest::Body;
using songtest::LoadBytes;
using songtest::OneTrack;

namespace {

smf::TrackBuilder Scale(int notes) {
    smf::TrackBuilder track;
    track.Name(0, "Scale");
    for (int i = 0; i < notes; ++i) {
        track.NoteOn(0, 0, 60 + i, 100).NoteOff(120, 0, 60 + i);
    }
    return track;
}

// --- header ---------------------------------------------------------------

class MidiFileTooShortForAHeader : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MidiFileTooShortForAHeader, LoadsNoTracksAndReportsNothing) {
    platform::NoticeCapture notices;
    smf::Bytes bytes = smf::SmfBuilder(1, 96).AddTrack(Scale(1)).Build();
    bytes.resize(GetParam());
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, bytes), "");
    EXPECT_EQ(file.GetTrackCount(), 0);
    EXPECT_EQ(file.GetDivision(), MIDI::File::kDefaultDivision);
    EXPECT_EQ(notices.Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MidiFileTooShortForAHeader, ::testing::Values(0u, 1u, 11u, 14u));

// Every count from 1 to 127 loads that many tracks; a count the container
// cannot hold is refused, never read as a song with tracks missing.
TEST(MidiFileHeader, TheWholeTrackCountIsReadAndMoreThan127IsRefused) {
    smf::SmfBuilder most(1, 480);
    for (int i = 0; i < 127; ++i) {
        most.AddTrack(smf::TrackBuilder().EndOfTrack());
    }
    MIDI::File full;
    EXPECT_EQ(LoadBytes(full, most.Build()), "");
    EXPECT_EQ(full.GetTrackCount(), 127);

    for (int announced : {128, 130, 255, 256, 300, 383, 65535}) {
        smf::SmfBuilder builder(1, 96);
        builder.AnnounceTracks(announced);
        for (int i = 0; i < std::max(1, announced & 0xFF); ++i) {
            builder.AddTrack(smf::TrackBuilder().EndOfTrack());
        }
        MIDI::File file;
        EXPECT_EQ(LoadBytes(file, builder.Build()), MIDI::kTooManyTracks) << announced;
        EXPECT_EQ(file.GetTrackCount(), 0) << announced;
    }
}

TEST(MidiFileHeader, TheChunkTypeAndFormatAreNotExamined) {
    smf::Bytes bytes = smf::SmfBuilder(2, 0x8018).AddTrack(Scale(2).EndOfTrack()).Build();
    std::memcpy(bytes.data(), "RIFF\x7F\x7F\x7F\x7F\x09\x09", 10);
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, bytes), "");
    EXPECT_EQ(file.GetTrackCount(), 1);
    // The top bit does not make it an SMPTE division here.
    EXPECT_EQ(file.GetDivision(), 0x8018);
}

// --- how messages are stored ----------------------------------------------

TEST(MidiFileMessages, AreNormalisedToOneFormEach) {
    smf::TrackBuilder track;
    track
        .NoteOn(10, 3, 0x40, 0)                    // note-on, velocity 0
        .Channel(0, 0xE0, 5, {0x00, 0x40})         // pitch bend LSB 00, MSB 40
        .SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7})  // F0 05 7E 7F 09 01 F7
        .SysExEscape(0, {0x01, 0x02})              // F7: bytes skipped
        .Program(0, 9, 0x19)
        .ChannelPressure(0, 2, 0x33)
        .KeyPressure(0, 1, 0x3C, 0x22)
        .Control(0, 4, 0x40, 0x7F)
        .Raw({0x00, 0xF8, 0x00, 0xFE, 0x00, 0xF4});  // system bytes, no data
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    const auto events = Body(file);
    ASSERT_EQ(events.size(), 11u);

    EXPECT_EQ(events[0].kind, MIDI::kNoteOff);
    EXPECT_EQ(events[0].channel, 3);
    EXPECT_EQ(events[0].data1, 0x40);
    EXPECT_EQ(events[0].data2, 100);
    EXPECT_EQ(events[0].tick, 10u);

    EXPECT_EQ(events[1].kind, MIDI::kPitchBend);
    EXPECT_EQ(events[1].channel, 5);
    EXPECT_EQ(events[1].data1, 0x40);
    EXPECT_EQ(events[1].data2, 0x00);

    EXPECT_EQ(events[2].kind, MIDI::kSysEx);
    EXPECT_EQ(events[2].aux.data->type, 0xF0u);
    EXPECT_EQ(songtest::BlockBytes(events[2]), (std::vector<std::uint8_t>{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));

    EXPECT_EQ(events[3].kind, MIDI::kSysExEscape);

    EXPECT_EQ(events[4].kind, MIDI::kProgramChange);
    EXPECT_EQ(events[4].channel, 9);
    EXPECT_EQ(events[4].data1, 0x19);
    EXPECT_EQ(events[5].kind, MIDI::kChannelPressure);
    EXPECT_EQ(events[5].data1, 0x33);
    EXPECT_EQ(events[6].kind, MIDI::kKeyPressure);
    EXPECT_EQ(events[6].data2, 0x22);
    EXPECT_EQ(events[7].kind, MIDI::kControlChange);
    EXPECT_EQ(events[7].data1, 0x40);

    EXPECT_EQ(events[8].kind, 0xF8);
    EXPECT_EQ(events[9].kind, 0xFE);
    EXPECT_EQ(events[10].kind, 0xF4);
    EXPECT_EQ(events[10].channel, 4);
}

TEST(MidiFileMessages, MetaEventsOfEveryTypeKeepTheirData) {
    smf::TrackBuilder track;
    track.MetaText(0, 0x01, "").Meta(5, 0x7F, {0x00, 0x20, 0x7A, 0xAB}).Meta(0, 0xE3, {0x01});
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    const auto events = Body(file);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].aux.data->type, 0x01u);
    EXPECT_EQ(events[0].aux.data->length, 0u);
    EXPECT_EQ(events[1].aux.data->type, 0x7Fu);
    EXPECT_EQ(songtest::BlockBytes(events[1]), (std::vector<std::uint8_t>{0x00, 0x20, 0x7A, 0xAB}));
    EXPECT_EQ(events[2].aux.data->type, 0xE3u);
}

TEST(MidiFileMessages, DeltaTimesAddUpToAbsoluteTicks) {
    smf::TrackBuilder track;
    track
        .NoteOn(0x7F, 0, 60, 1)                             // 1-byte delta
        .NoteOn(0x3FFF, 0, 61, 1)                           // 2 bytes
        .NoteOn(0x1FFFFF, 0, 62, 1)                         // 3 bytes
        .NoteOn(0x0FFFFFFF, 0, 63, 1)                       // 4 bytes
        .Raw({0x80, 0x80, 0x80, 0x80, 0x00, 0x90, 64, 1});  // 5-byte zero delta
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    const auto events = Body(file);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].tick, 0x7Fu);
    EXPECT_EQ(events[1].tick, 0x7Fu + 0x3FFF);
    EXPECT_EQ(events[2].tick, 0x7Fu + 0x3FFF + 0x1FFFFF);
    EXPECT_EQ(events[3].tick, 0x7Fu + 0x3FFF + 0x1FFFFF + 0x0FFFFFFF);
    EXPECT_EQ(events[4].tick, events[3].tick);
}

TEST(MidiFileMessages, TicksStopAtTheLargestValueInsteadOfWrapping) {
    smf::TrackBuilder track;
    track.NoteOn(0x0FFFFFFF, 0, 60, 1);
    for (int i = 0; i < 16; ++i) {
        track.NoteOn(0x0FFFFFFF, 0, 61, 1);
    }
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    EXPECT_EQ(smf::CheckLoadedSong(file), "");
    const MIDI::Track* loaded = file.GetTrack(0);
    EXPECT_EQ(loaded->GetEvent(loaded->GetEventCount() - 1)->tick, UINT32_MAX);
}

// --- running status -------------------------------------------------------

TEST(MidiFileRunningStatus, CarriesTheLastChannelStatus) {
    smf::TrackBuilder track;
    track.NoteOn(0, 2, 0x3C, 0x64).Running(10, {0x3E, 0x64}).Running(10, {0x3E, 0x00});
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    const auto events = Body(file);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].kind, MIDI::kNoteOn);
    EXPECT_EQ(events[1].channel, 2);
    EXPECT_EQ(events[1].data1, 0x3E);
    EXPECT_EQ(events[2].kind, MIDI::kNoteOff);  // velocity 0 under running status too
    EXPECT_EQ(events[2].data2, 100);
}

// Real files interrupt a run of notes with meta, system-exclusive and system
// messages and carry on with data bytes; the notes must survive the break.
struct Interruption {
    const char* name;
    smf::Bytes bytes;
};

void PrintTo(const Interruption& c, std::ostream* out) { *out << c.name; }

class MidiFileRunningStatusAcross : public ::testing::TestWithParam<Interruption> {};

TEST_P(MidiFileRunningStatusAcross, KeepsTheChannelStatusInEffect) {
    smf::TrackBuilder track;
    track.NoteOn(0, 6, 0x3C, 0x7F).Running(0x60, {0x3C, 0x00}).Raw(GetParam().bytes);
    track.Running(0, {0x3E, 0x7F}).Running(0x60, {0x3E, 0x00});
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    int notes = 0;
    for (const MIDI::Event& event : Body(file)) {
        if (event.kind == MIDI::kNoteOn) {
            EXPECT_EQ(event.channel, 6);
            EXPECT_EQ(event.aux.duration, 0x60u);
            ++notes;
        }
    }
    EXPECT_EQ(notes, 2);
}

INSTANTIATE_TEST_SUITE_P(Interruptions, MidiFileRunningStatusAcross,
                         ::testing::Values(Interruption{"Text", {0x00, 0xFF, 0x01, 0x05, 'b', 'r', 'e', 'a', 'k'}},
                                           Interruption{"SysEx", {0x00, 0xF0, 0x03, 0x7E, 0x7F, 0xF7}},
                                           Interruption{"Escape", {0x00, 0xF7, 0x01, 0xF8}},
                                           Interruption{"Clock", {0x00, 0xF8}}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(MidiFileRunningStatus, ADataByteWithoutAChannelStatusBeforeItIsRefused) {
    MIDI::File first;
    EXPECT_EQ(LoadBytes(first, OneTrack(smf::TrackBuilder().Running(0, {0x3C, 0x40}))), MIDI::kRunningStatusNotDefined);

    // Meta and system-exclusive events do not give a running status of their own.
    smf::TrackBuilder afterMeta;
    afterMeta.Name(0, "x").SysEx(0, {0x01, 0xF7}).Running(0, {0x3C, 0x40});
    MIDI::File second;
    EXPECT_EQ(LoadBytes(second, OneTrack(afterMeta)), MIDI::kRunningStatusNotDefined);
}

// --- track names ----------------------------------------------------------

TEST(MidiFileTrackName, TheLastNameEventWins) {
    smf::TrackBuilder track;
    track.Name(0, "First").Name(0, "Second");
    MIDI::File file;
    ASSERT_EQ(LoadBytes(file, OneTrack(track)), "");
    EXPECT_STREQ(file.GetTrack(0)->GetName(), "Second");
}

TEST(MidiFileTrackName, StopsAtAZeroByteAndIsCutTo127Characters) {
    MIDI::File withZero;
    ASSERT_EQ(LoadBytes(withZero, OneTrack(smf::TrackBuilder().Meta(0, 0x03, {'A', 'b', 0, 'c'}))), "");
    EXPECT_STREQ(withZero.GetTrack(0)->GetName(), "Ab");

    const std::string longName(300, 'n');
    MIDI::File withLong;
    ASSERT_EQ(LoadBytes(withLong, OneTrack(smf::TrackBuilder().Name(0, longName).NoteOn(0, 0, 1, 1))), "");
    EXPECT_EQ(std::string(withLong.GetTrack(0)->GetName()), longName.substr(0, 127));
    // The event after the name is intact, so the cut did not disturb the parse.
    EXPECT_EQ(Body(withLong)[1].kind, MIDI::kNoteOn);
}

// --- chunk structure and bounds ---------------------------------------------

TEST(MidiFileChunks, ADifferentChunkTypeIsBadTrackFormat) {
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, smf::SmfBuilder().AddChunk("MThd", {0, 0xFF, 0x2F, 0}).Build()), MIDI::kBadTrackFormat);
}

TEST(MidiFileChunks, TheEndOfTrackMustCloseTheChunkExactly) {
    const smf::Bytes events = Scale(3).EndOfTrack().Events();
    const auto size = static_cast<std::uint32_t>(events.size());
    for (std::uint32_t declared : {size - 1, size + 1, size + 100, 0xFFFFFFFFu}) {
        SCOPED_TRACE(declared);
        smf::SmfBuilder builder;
        builder.AddChunk("MTrk", events, declared).AppendRaw(smf::Bytes(200, 0));
        MIDI::File file;
        EXPECT_EQ(LoadBytes(file, builder.Build()), MIDI::kBadChunkSize);
    }
}

TEST(MidiFileChunks, ATrackWithoutEndOfTrackIsRefusedAtItsChunkEnd) {
    // The next chunk would parse as more events if the reader did not stop at
    // this chunk's end.
    smf::SmfBuilder builder;
    builder.AddTrack(Scale(2)).AddTrack(Scale(2).EndOfTrack());
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, builder.Build()), MIDI::kBadChunkSize);
}

TEST(MidiFileChunks, FewerChunksThanAnnouncedIsBadChunkSize) {
    smf::SmfBuilder builder;
    builder.AnnounceTracks(3).AddTrack(Scale(1).EndOfTrack()).AddTrack(Scale(1).EndOfTrack());
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, builder.Build()), MIDI::kBadChunkSize);
    // What was read before the fault stays, complete.
    ASSERT_EQ(file.GetTrackCount(), 3);
    EXPECT_EQ(file.GetTrack(1)->GetEventCount(), 4);
    EXPECT_EQ(file.GetTrack(0)->GetEvent(1)->aux.duration, 120u);
    EXPECT_EQ(file.GetTrack(2)->GetEventCount(), 0);
}

// Lengths inside events that point past the chunk: each must be refused, not
// read from the next chunk or from beyond the buffer.
struct Overrun {
    const char* name;
    smf::Bytes bytes;
};

void PrintTo(const Overrun& c, std::ostream* out) { *out << c.name; }

class MidiFileEventRunningPastItsChunk : public ::testing::TestWithParam<Overrun> {};

TEST_P(MidiFileEventRunningPastItsChunk, IsBadChunkSize) {
    smf::TrackBuilder track;
    track.NoteOn(0, 0, 60, 100).Raw(GetParam().bytes);
    smf::SmfBuilder builder;
    builder.AddChunk("MTrk", track.Events()).AddTrack(smf::TrackBuilder().EndOfTrack());
    MIDI::File inChunk;
    EXPECT_EQ(LoadBytes(inChunk, builder.Build()), MIDI::kBadChunkSize);
    // Same bytes at the very end of the file.
    MIDI::File atEnd;
    EXPECT_EQ(LoadBytes(atEnd, smf::SmfBuilder().AddChunk("MTrk", track.Events()).Build()), MIDI::kBadChunkSize);
}

INSTANTIATE_TEST_SUITE_P(
    Overruns, MidiFileEventRunningPastItsChunk,
    ::testing::Values(Overrun{"NoNextEvent", {}}, Overrun{"DeltaWithoutEnd", {0x81, 0x82}},
                      Overrun{"DeltaWithoutStatus", {0x00}}, Overrun{"NoteMissingVelocity", {0x00, 0x90, 0x3C}},
                      Overrun{"RunningNoteMissingVelocity", {0x00, 0x3C}}, Overrun{"ProgramMissingData", {0x00, 0xC0}},
                      Overrun{"MetaMissingType", {0x00, 0xFF}}, Overrun{"MetaMissingLength", {0x00, 0xFF, 0x2F}},
                      Overrun{"MetaLengthWithoutEnd", {0x00, 0xFF, 0x01, 0x80}},
                      Overrun{"MetaLengthPastEnd", {0x00, 0xFF, 0x01, 0x05, 'a', 'b'}},
                      Overrun{"HugeMetaLength", {0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
                      Overrun{"EndOfTrackLengthPastEnd", {0x00, 0xFF, 0x2F, 0x04}},
                      Overrun{"SysExLengthPastEnd", {0x00, 0xF0, 0x10, 0x7E}},
                      Overrun{"EscapeLengthPastEnd", {0x00, 0xF7, 0x03, 0x01}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(MidiFileChunks, EveryTruncationOfAValidFileIsRefusedWithoutReadingPastIt) {
    smf::TrackBuilder conductor;
    conductor.Name(0, "Conductor").Tempo(0, 500000).TimeSignature(0, 3, 2).EndOfTrack(1440);
    smf::TrackBuilder notes = Scale(4);
    notes.SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7}).PitchBend(0x4000, 1, 8192).EndOfTrack();
    const smf::Bytes whole = smf::SmfBuilder().AddTrack(conductor).AddTrack(notes).Build();

    MIDI::File complete;
    ASSERT_EQ(LoadBytes(complete, whole), "");
    for (std::size_t size = 15; size < whole.size(); ++size) {
        SCOPED_TRACE(size);
        MIDI::File file;
        EXPECT_EQ(LoadBytes(file, smf::Bytes(whole.begin(), whole.begin() + size)), MIDI::kBadChunkSize);
    }
}

TEST(MidiFileChunks, BytesAfterTheLastAnnouncedChunkAreIgnored) {
    smf::Bytes bytes = smf::SmfBuilder().AddTrack(Scale(1).EndOfTrack()).Build();
    bytes.insert(bytes.end(), {'J', 'U', 'N', 'K', 0xFF});
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, bytes), "");
    EXPECT_EQ(file.GetTrackCount(), 1);
}

// --- event storage ----------------------------------------------------------

TEST(MidiFileStorage, LargeTracksGrowInStepsOf1024WithZeroedSpareSlots) {
    for (int notes : {511, 512, 1500, 4000}) {
        SCOPED_TRACE(notes);
        MIDI::File file;
        ASSERT_EQ(LoadBytes(file, OneTrack(Scale(notes))), "");
        // Name, two events per note, end of track.
        EXPECT_EQ(file.GetTrack(0)->GetEventCount(), 2 * notes + 2);
        EXPECT_EQ(smf::CheckLoadedSong(file), "");
    }
}

TEST(MidiFileStorage, ARefusedLargeTrackKeepsTheEventsBeforeTheFault) {
    smf::TrackBuilder track = Scale(1500);
    track.Running(0, {0x3C});  // missing velocity at the chunk's end
    MIDI::File file;
    EXPECT_EQ(LoadBytes(file, smf::SmfBuilder().AddTrack(track).Build()), MIDI::kBadChunkSize);
    EXPECT_EQ(file.GetTrack(0)->GetEventCount(), 3001);
    EXPECT_EQ(file.GetTrack(0)->GetCapacity(), 3072);
}

// The reader pairs notes while it stores them; a track rebuilt event by event
// and paired afterwards must come out the same.
TEST(MidiFileStorageProperty, TheReaderPairsNotesAsComputeNoteDurationsDoes) {
    std::mt19937 random(42);
    for (int round = 0; round < 30; ++round) {
        smf::TrackBuilder built;
        const int count = 100 + static_cast<int>(random() % 4000);
        for (int i = 0; i < count; ++i) {
            const int key = random() % 10 == 0 ? 200 : 60 + static_cast<int>(random() % 6);
            const auto delta = static_cast<std::uint32_t>(random() % 3);
            switch (random() % 5) {
                case 0: built.NoteOff(delta, static_cast<int>(random() % 16), key); break;
                case 1: built.NoteOn(delta, 0, key, 0); break;
                case 2:
                    built.Name(delta, "x");  // block events between the notes
                    break;
                default: built.NoteOn(delta, static_cast<int>(random() % 16), key, 1 + key % 100); break;
            }
        }
        MIDI::File file;
        ASSERT_EQ(LoadBytes(file, OneTrack(built)), "");
        const MIDI::Track& loaded = *file.GetTrack(0);
        MIDI::Track rebuilt;
        for (int i = 0; i < loaded.GetEventCount(); ++i) {
            MIDI::Event copy = *loaded.GetEvent(i);
            if (copy.kind == MIDI::kNoteOn) {
                copy.aux.duration = 12345;
            }
            rebuilt.AddEvent(copy);
        }
        rebuilt.ComputeNoteDurations();
        for (int i = 0; i < loaded.GetEventCount(); ++i) {
            if (loaded.GetEvent(i)->kind == MIDI::kNoteOn) {
                ASSERT_EQ(loaded.GetEvent(i)->aux.duration, rebuilt.GetEvent(i)->aux.duration)
                    << "round " << round << " event " << i;
            }
        }
    }
}

// --- reading files ----------------------------------------------------------

class MidiFileReading : public ::testing::Test {
protected:
    void SetUp() override {
        Dir =
            std::filesystem::temp_directory_path() / ("song-read-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(Dir);
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    std::filesystem::path Dir;
    platform::NoticeCapture Notices;
};

TEST_F(MidiFileReading, AFileOnDiskLoadsLikeTheSameBytesInMemory) {
    const smf::Bytes bytes = smf::SmfBuilder(1, 192).AddTrack(Scale(20).EndOfTrack()).Build();
    const std::string path = (Dir / "song.mid").string();
    smf::SmfBuilder::WriteFile(path, bytes);

    MIDI::File fromDisk;
    fromDisk.Load(path.c_str());
    MIDI::File fromMemory;
    ASSERT_EQ(LoadBytes(fromMemory, bytes), "");
    ASSERT_EQ(fromDisk.GetTrackCount(), 1);
    EXPECT_EQ(fromDisk.GetDivision(), 192);
    ASSERT_EQ(fromDisk.GetTrack(0)->GetEventCount(), fromMemory.GetTrack(0)->GetEventCount());
    for (int i = 0; i < fromDisk.GetTrack(0)->GetEventCount(); ++i) {
        const MIDI::Event& a = *fromDisk.GetTrack(0)->GetEvent(i);
        const MIDI::Event& b = *fromMemory.GetTrack(0)->GetEvent(i);
        EXPECT_EQ(a.tick, b.tick);
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.data1, b.data1);
    }
    EXPECT_EQ(Notices.Count(), 0u);
}

TEST_F(MidiFileReading, AMissingFileShowsUnableToOpenAndLoadsNothing) {
    MIDI::File file;
    // Whatever an earlier load left goes, division included.
    ASSERT_EQ(LoadBytes(file, smf::SmfBuilder(1, 96).AddTrack(Scale(1).EndOfTrack()).Build()), "");
    EXPECT_NO_THROW(file.Load((Dir / "absent.mid").c_str()));
    EXPECT_EQ(file.GetTrackCount(), 0);
    EXPECT_EQ(file.GetDivision(), MIDI::File::kDefaultDivision);
    EXPECT_EQ(Notices.Texts(), std::vector<std::string>{"Unable to open the file"});
}

TEST_F(MidiFileReading, AnUnreadableFileShowsCannotRead) {
    MIDI::File file;
    EXPECT_NO_THROW(file.Load(Dir.c_str()));  // a directory opens but does not read
    EXPECT_EQ(file.GetTrackCount(), 0);
    EXPECT_EQ(Notices.Texts(), std::vector<std::string>{"Cannot read from file"});
}

TEST_F(MidiFileReading, AShortReadIsCannotReadNotAShorterSong) {
    // sysfs attributes claim a page but deliver a few bytes: a real short read.
    const char* attribute = "/sys/devices/system/cpu/online";
    std::uint32_t size = 0;
    std::error_code error;
    if (std::filesystem::file_size(attribute, error) <= 16 || error) {
        GTEST_SKIP() << attribute << " does not report a page-sized length here";
    }
    EXPECT_EQ(MIDI::File::LoadFileBytes(attribute, size), nullptr);
    EXPECT_GT(size, 0u);
    EXPECT_EQ(Notices.Texts(), std::vector<std::string>{"Cannot read from file"});
}

TEST_F(MidiFileReading, APipeOrFifoIsReadToItsEnd) {
    smf::SmfBuilder builder(1, 240);
    // Larger than a pipe's buffer, so the reader must wait for the rest.
    smf::TrackBuilder track;
    for (int i = 0; i < 30000; ++i) {
        track.NoteOn(0, 0, 60 + i % 12, 100).NoteOff(120, 0, 60 + i % 12);
    }
    builder.AddTrack(track.EndOfTrack());
    const smf::Bytes bytes = builder.Build();
    ASSERT_GT(bytes.size(), 200000u);
    auto feed = [&bytes](int fd) {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t put = ::write(fd, bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
            if (put <= 0) break;
            at += static_cast<std::size_t>(put);
        }
        ::close(fd);
    };
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer(feed, ends[1]);
    MIDI::File piped;  // as /dev/stdin or a process substitution names a pipe
    piped.Load(("/dev/fd/" + std::to_string(ends[0])).c_str());
    writer.join();
    ::close(ends[0]);
    ASSERT_EQ(piped.GetTrackCount(), 1);
    EXPECT_EQ(piped.GetTrack(0)->GetEventCount(), 60001);

    const std::string fifo = (Dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread fifoWriter([&] { feed(::open(fifo.c_str(), O_WRONLY)); });
    MIDI::File named;
    named.Load(fifo.c_str());
    fifoWriter.join();
    EXPECT_EQ(named.GetTrackCount(), 1);
    EXPECT_EQ(Notices.Count(), 0u);
}

TEST_F(MidiFileReading, AnEndlessInputIsRefusedAtItsLimitWithTheReason) {
    MIDI::File file;
    file.Load("/dev/zero");
    EXPECT_EQ(file.GetTrackCount(), 0);
    EXPECT_EQ(Notices.Texts(), std::vector<std::string>{"Cannot read from file"});
    EXPECT_NE(file.GetReadFailure().find("64 MiB"), std::string::npos) << file.GetReadFailure();

    file.Load((Dir / "absent.mid").c_str());
    EXPECT_EQ(file.GetReadFailure(), std::strerror(ENOENT));
    file.Load(Dir.c_str());
    EXPECT_NE(file.GetReadFailure().find("folder"), std::string::npos) << file.GetReadFailure();
}

TEST_F(MidiFileReading, AMalformedFileThrowsWithoutANotice) {
    const std::string path = (Dir / "bad.mid").string();
    smf::SmfBuilder::WriteFile(path, OneTrack(smf::TrackBuilder().Running(0, {1, 2})));
    MIDI::File file;
    try {
        file.Load(path.c_str());
        ADD_FAILURE() << "no error raised";
    } catch (const char* text) {
        EXPECT_STREQ(text, "Running status not defined");
    }
    EXPECT_EQ(Notices.Count(), 0u);
}

}  // namespace
