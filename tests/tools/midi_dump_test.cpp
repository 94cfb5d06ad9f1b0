#include "MidiDump.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "SmfBuilder.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class MidiDumpTool : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("midi-dump-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    std::string Write(const std::string& name, const smf::Bytes& bytes) {
        const std::string path = (Dir / name).string();
        smf::SmfBuilder::WriteFile(path, bytes);
        return path;
    }

    static Result Run(const std::vector<std::string>& args) {
        std::vector<const char*> argv{"midi-dump"};
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        std::ostringstream out;
        std::ostringstream err;
        const int status = mididump::Run(static_cast<int>(argv.size()), argv.data(), out, err);
        return {status, out.str(), err.str()};
    }

    fs::path Dir;
};

smf::Bytes SmallSong() {
    smf::TrackBuilder conductor;
    conductor.Name(0, "Conductor").Tempo(0, 600000).TimeSignature(0, 4, 2).TimeSignature(3840, 3, 2);
    conductor.EndOfTrack(1440);
    smf::TrackBuilder piano;
    piano.Name(0, "Piano")
        .Program(0, 0, 0)
        .NoteOn(0, 0, 60, 90)
        .NoteOn(0, 0, 64, 0)
        .PitchBend(10, 0, 0x2001)
        .SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7})
        .SysExEscape(0, {0xF8})
        .MetaText(0, 0x01, "")
        .NoteOff(470, 0, 60)
        .EndOfTrack(5000);
    return smf::SmfBuilder(1, 480).AddTrack(conductor).AddTrack(piano).Build();
}

TEST_F(MidiDumpTool, EventLinesHaveTheDocumentedFields) {
    const Result result = Run({"--events", Write("song.mid", SmallSong())});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "0\t0\tFF\t15\t0\t0\t03\t436F6E647563746F72\n"
              "0\t0\tFF\t15\t0\t0\t51\t0927C0\n"
              "0\t0\tFF\t15\t0\t0\t58\t04021808\n"
              "0\t3840\tFF\t15\t0\t0\t58\t03021808\n"
              "0\t5280\tFF\t15\t0\t0\t2F\t\n"
              "1\t0\tFF\t15\t0\t0\t03\t5069616E6F\n"
              "1\t0\tC0\t0\t0\t0\n"
              "1\t0\t90\t0\t60\t90\t480\n"
              "1\t0\t80\t0\t64\t100\n"
              "1\t10\tE0\t0\t64\t1\n"
              "1\t10\tF0\t0\t0\t0\tF0\tF07E7F0901F7\n"
              "1\t10\tF7\t7\t0\t0\n"
              "1\t10\tFF\t15\t0\t0\t01\t\n"
              "1\t480\t80\t0\t60\t64\n"
              "1\t5480\tFF\t15\t0\t0\t2F\t\n");
}

TEST_F(MidiDumpTool, TheSummaryComesBeforeTheTrackDumps) {
    const std::string path = Write("song.mid", SmallSong());
    const Result result = Run({path});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string summary = "File: " + path +
                                "\n"
                                "Division: 480 ticks per quarter note\n"
                                "Tracks: 2\n"
                                "Song end tick: 5480\n"
                                "Song length: 6.850 s under the tempo map\n"
                                "Measures: 3\n"
                                "File tempo: 100 BPM\n"
                                "First-track tempo: 100 BPM\n"
                                "Time signatures: 4/4 at tick 0, 3/4 at tick 3840\n"
                                "Track 0: Conductor\n"
                                "Track 1: Piano\n"
                                "\n"
                                "Dumping track Conductor\n"
                                "Number of events: 5Tick: 0\n"
                                "Meta: Track name: Conductor\n";
    EXPECT_EQ(result.out.substr(0, summary.size()), summary);
    EXPECT_NE(result.out.find("Dumping track Piano\nNumber of events: 10Tick: 0\n"), std::string::npos);
    EXPECT_NE(result.out.find("Note on 60 Channel:0 Velocity:90 Duration:480\n"), std::string::npos);
}

TEST_F(MidiDumpTool, TheSongsLengthFollowsEveryTempoChangeOfEveryTrack) {
    // One beat at 120, two at 60 (set in the second track), then one at 240.
    smf::TrackBuilder conductor;
    conductor.Tempo(0, 500000).Tempo(1440, 250000).EndOfTrack(480);
    smf::TrackBuilder other;
    other.Tempo(480, 1000000).EndOfTrack(1440);
    const Result result =
        Run({Write("tempi.mid", smf::SmfBuilder(1, 480).AddTrack(conductor).AddTrack(other).Build())});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Song end tick: 1920\nSong length: 2.750 s under the tempo map\n"), std::string::npos)
        << result.out.substr(0, 300);
    EXPECT_NE(result.out.find("File tempo: 60 BPM\n"), std::string::npos) << "the last Set Tempo in track order";

    const Result none =
        Run({Write("none.mid", smf::SmfBuilder(1, 96).AddTrack(smf::TrackBuilder().EndOfTrack(192)).Build())});
    EXPECT_NE(none.out.find("Song length: 1.000 s under the tempo map\n"), std::string::npos) << "120 when none is set";
}

TEST_F(MidiDumpTool, WhatHoldsNoMidiHeaderExitsWithOne) {
    const smf::Bytes headerOnly = smf::SmfBuilder(1, 96).AnnounceTracks(0).Build();
    for (const std::string& path : {Write("empty.mid", {}), Write("header.mid", headerOnly), std::string("/dev/zero"),
                                    std::string("/dev/null")}) {
        const Result result = Run({path});
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_EQ(result.out, "") << path;
        EXPECT_NE(result.err.find(path + ": "), std::string::npos) << result.err;
    }
    EXPECT_NE(Run({Write("empty.mid", {})}).err.find("it has no tracks"), std::string::npos);
    EXPECT_NE(Run({"/dev/zero"}).err.find("Cannot read from file (it holds more than the 64 MiB limit)"),
              std::string::npos);
}

TEST_F(MidiDumpTool, APipeIsReadToItsEnd) {
    const smf::Bytes song = SmallSong();
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], song.data(), song.size()), static_cast<ssize_t>(song.size()));
    ::close(ends[1]);
    const Result result = Run({"/dev/fd/" + std::to_string(ends[0])});
    ::close(ends[0]);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Tracks: 2\n"), std::string::npos);
}

TEST_F(MidiDumpTool, FilesThatCannotBeReadExitWithOneAndTheReadersTextAndReason) {
    const Result missing = Run({(Dir / "absent.mid").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("Unable to open the file (No such file or directory)"), std::string::npos)
        << missing.err;

    const Result directory = Run({"--events", Dir.string()});
    EXPECT_EQ(directory.status, 1);
    EXPECT_NE(directory.err.find("Cannot read from file (it is a folder"), std::string::npos) << directory.err;

    smf::Bytes truncated = SmallSong();
    truncated.pop_back();
    const Result refused = Run({Write("cut.mid", truncated)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("Bad chunk size"), std::string::npos);
}

TEST_F(MidiDumpTool, UsageErrorsExitWithTwo) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{}, {"--events"}, {"a.mid", "b.mid"}, {"--bogus", "a.mid"}}) {
        const Result result = Run(args);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("--help"), std::string::npos);
    }
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, mididump::HelpText());
}

}  // namespace
