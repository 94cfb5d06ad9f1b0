// Third-party files made to trip MIDI readers (tests/data/README.md). Each one
// either loads and keeps every invariant, or is refused with the reader's text
// for its folder; none may crash or read outside its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "SongInvariants.h"
#include "SongTestSupport.h"
#include "midiframework/midifile.h"
#include "platform/notice/notice.h"

namespace {

namespace fs = std::filesystem;

const fs::path kDataDir = fs::path(ORVALIS_SOURCE_DIR) / "tests" / "data";

smf::Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> MidiFilesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().extension() == ".mid") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(MidiFileCorpus, EveryValidFileLoadsAndKeepsTheInvariants) {
    const auto files = MidiFilesUnder(kDataDir / "valid");
    ASSERT_GE(files.size(), 60u);
    for (const fs::path& path : files) {
        SCOPED_TRACE(path.filename().string());
        platform::NoticeCapture notices;
        MIDI::File file;
        ASSERT_EQ(songtest::LoadBytes(file, ReadAll(path)), "");
        EXPECT_EQ(smf::CheckLoadedSong(file), "");
        EXPECT_EQ(notices.Count(), 0u);
    }
}

TEST(MidiFileCorpus, EveryInvalidFileIsRefusedWithTheTextOfItsFolder) {
    const std::map<std::string, std::string> texts = {
        {"bad-chunk-size", MIDI::kBadChunkSize},
        {"running-status-not-defined", MIDI::kRunningStatusNotDefined},
        {"bad-track-format", MIDI::kBadTrackFormat},
        {"too-many-tracks", MIDI::kTooManyTracks},
    };
    const auto files = MidiFilesUnder(kDataDir / "invalid");
    ASSERT_GE(files.size(), 7u);
    for (const fs::path& path : files) {
        SCOPED_TRACE(path.filename().string());
        const std::string reason = path.parent_path().filename().string();
        ASSERT_EQ(texts.count(reason), 1u) << "no text known for folder " << reason;
        MIDI::File file;
        // From disk, so that Load itself gives the text to its caller.
        std::string thrown;
        try {
            file.Load(path.c_str());
        } catch (const char* text) {
            thrown = text;
        }
        EXPECT_EQ(thrown, texts.at(reason));
    }
}

// Running status interrupted by a meta event or a system-exclusive message in
// the middle of a C major scale: all eight notes must be there.
class MidiFileInterruptedScale : public ::testing::TestWithParam<const char*> {};

TEST_P(MidiFileInterruptedScale, LoadsAsEightNotes) {
    MIDI::File file;
    file.Load((kDataDir / "valid" / GetParam()).c_str());
    ASSERT_EQ(file.GetTrackCount(), 1);
    std::vector<int> keys;
    const MIDI::Track& track = *file.GetTrack(0);
    for (int i = 0; i < track.GetEventCount(); ++i) {
        const MIDI::Event& event = *track.GetEvent(i);
        if (event.kind == MIDI::kNoteOn) {
            keys.push_back(event.data1);
            EXPECT_EQ(event.aux.duration, 96u);
        }
    }
    EXPECT_EQ(keys, (std::vector<int>{60, 62, 64, 65, 67, 69, 71, 72}));
}

INSTANTIATE_TEST_SUITE_P(Files, MidiFileInterruptedScale,
                         ::testing::Values("test-running-status-metaevent.mid", "test-running-status-sysex.mid"));

}  // namespace
