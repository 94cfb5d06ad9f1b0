// kestravion-play run in-process as a user runs it: bad command lines, a
// file it cannot add, a group played to its end, and snapshots read back as
// pixels.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "KestravionPlay.h"
#include "MediaTestSupport.h"
#include "PlayOptions.h"
#include "platform/automation/registry.h"
#include "platform/gdi/resource.h"

namespace {

using namespace platform;
using platform::media::testkit::Content;

struct Result {
    int Status = -1;
    std::string Out;
    std::string Err;
};

class KestravionPlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestravion-play-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
    }
    void TearDown() override {
        platform::SetRegistryPath("");
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }

    // Runs the tool with a registry of the test's own, which starts empty:
    // the tool registers its module there.
    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--registry", Folder + "/registry"});
        std::ostringstream out, err;
        Result result;
        result.Status = kestravion_play::RunKestravionPlay(args, out, err);
        result.Out = out.str();
        result.Err = err.str();
        return result;
    }

    static std::string Media(Content kind, double seconds, int width = 320, int height = 240) {
        return media_test::Media(kind, seconds, width, height).string();
    }

    // A PNG file read back through the bitmap resources of this program.
    static Image ReadPng(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        static int nextId = 1000;
        const int id = nextId++;
        if (!RegisterBitmapResource(ThisModuleInstance(), id, bytes)) return {};
        HBITMAP bitmap = LoadBitmap(ThisModuleInstance(), id);
        Image picture = GetBitmapImage(bitmap);
        DeleteObject(bitmap);
        UnregisterBitmapResource(ThisModuleInstance(), id);
        return picture;
    }

    std::string Folder;
};

struct UsageCase {
    const char* Name;
    std::vector<std::string> Args;
    const char* Says;
};

void PrintTo(const UsageCase& c, std::ostream* out) { *out << c.Name; }

class Usage : public KestravionPlayTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, ABadCommandLineIsRefusedWithItsReason) {
    const Result result = Run(GetParam().Args);
    EXPECT_EQ(result.Status, kestravion_play::kExitUsage);
    EXPECT_NE(result.Err.find(GetParam().Says), std::string::npos) << result.Err;
    EXPECT_NE(result.Err.find("Try 'kestravion-play --help'."), std::string::npos);
    EXPECT_EQ(result.Out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Usage,
    ::testing::Values(
        UsageCase{"NoFile", {}, "nothing to play: name one to 16 media files"},
        UsageCase{"SeventeenFiles", std::vector<std::string>(17, "a.webm"), "at most 16 media files"},
        UsageCase{"AStreamTheFilesLack", {"--volume", "3=0.5", "a.webm", "b.webm"}, "there is no stream 3: 2 file(s)"},
        UsageCase{"StreamZero", {"--pan", "0=0.5", "a.webm"}, "--pan: stream 0 is outside 1 to 16"},
        UsageCase{"ALoudVolume", {"--volume", "1=1.5", "a.webm"}, "a volume must lie between 0 and 1, not 1.5"},
        UsageCase{"APanWithoutStream", {"--pan=0.5", "a.webm"}, "--pan: expected STREAM=VALUE"},
        UsageCase{"ANegativeSeek", {"--seek", "-5", "a.webm"}, "a position must lie between 0 and 1000000000"},
        UsageCase{"NoZoom", {"--zoom", "0", "a.webm"}, "the zoom must lie between 0.01 and 16, not 0"},
        UsageCase{"NotANumber", {"--zoom", "big", "a.webm"}, "'big' is not a number"},
        UsageCase{"OneColour", {"--colors", "#000000", "a.webm"}, "expected two colours"},
        UsageCase{"AShortColour", {"--colors", "#00000,#FFFFFF", "a.webm"}, "'#00000' is not a colour"},
        UsageCase{"AtWithoutSnapshot", {"--at", "500", "a.webm"}, "--at says when to take a --snapshot"},
        UsageCase{"AMissingValue", {"a.webm", "--snapshot"}, "--snapshot needs a value (OUT.png)"},
        UsageCase{"AnUnknownOption", {"--loop", "a.webm"}, "unknown option --loop"},
        UsageCase{"AWindowIdOfWords", {"--into", "frame", "a.webm"}, "'frame' is not an X window id"},
        UsageCase{"WindowZero", {"--into", "0x0", "a.webm"}, "'0x0' is not an X window id"},
        UsageCase{"AWindowIdTooLarge", {"--into", "0x100000000", "a.webm"}, "is not an X window id"},
        UsageCase{"HeadlessIntoAWindow", {"--headless", "--into", "0x400001", "a.webm"}, "--headless draws off screen"},
        UsageCase{"ASnapshotOnADisplay",
                  {"--snapshot", "o.png", "--display", ":0", "a.webm"},
                  "--snapshot draws off screen"}),
    ::testing::PrintToStringParamName());

TEST_F(KestravionPlayTest, HelpListsEveryOptionAndTheExitStatuses) {
    const Result result = Run({"--help"});
    EXPECT_EQ(result.Status, kestravion_play::kExitOk);
    for (const auto& option : kestravion_play::OptionTable()) {
        EXPECT_NE(result.Out.find(option.Long), std::string::npos) << option.Long;
    }
    EXPECT_NE(result.Out.find("Exit status"), std::string::npos);
}

TEST_F(KestravionPlayTest, AFileThatCannotBeAddedEndsTheRunWithTheControlsReason) {
    const std::string missing = Folder + "/missing.webm";
    const Result result = Run({"--headless", Media(Content::Video, 0.3), missing});
    EXPECT_EQ(result.Status, kestravion_play::kExitFailure);
    EXPECT_EQ(result.Err, "kestravion-play: cannot add " + missing + ": Cannot render the specified media file...\n");
}

TEST_F(KestravionPlayTest, TwoFilesPlayToTheEndThroughTheControlsItRegistered) {
    const Result result = Run({"--headless", "--volume", "1=0.5", "--pan", "1=-1", Media(Content::AudioVideo, 0.5),
                               Media(Content::Video, 0.7)});
    EXPECT_EQ(result.Status, kestravion_play::kExitOk) << result.Err;
    EXPECT_EQ(result.Out, "playing 2 files\ncomplete\n");
    EXPECT_EQ(result.Err, "");
    platform::Registry registry;
    ASSERT_TRUE(platform::ReadRegistry(registry, nullptr));
    EXPECT_NE(registry.FindProgId("KESTRAVION.VideoSourceCtrl.1"), nullptr) << "the tool registered its own module";
}

TEST_F(KestravionPlayTest, LevelsForAStreamWithoutSoundAreReportedAndLeftOut) {
    const Result result = Run({"--headless", "--volume", "1=0.5", Media(Content::Video, 0.3)});
    EXPECT_EQ(result.Status, kestravion_play::kExitOk);
    EXPECT_EQ(result.Err, "kestravion-play: stream 1 has no sound; --volume left out\n");
}

TEST_F(KestravionPlayTest, ASnapshotShowsEveryPictureInItsPlaceAndTheGradientBehindAStreamWithoutOne) {
    const std::string png = Folder + "/snapshot.png";
    const Result result =
        Run({"--snapshot", png, "--at", "250", "--zoom", "0.5", "--colors", "#000040,#4060C0",
             Media(Content::AudioVideo, 1.0), Media(Content::Video, 1.0, 160, 120), Media(Content::Audio, 1.0)});
    ASSERT_EQ(result.Status, kestravion_play::kExitOk) << result.Err;
    const Image picture = ReadPng(png);
    ASSERT_FALSE(picture.Empty());
    EXPECT_EQ(result.Out,
              "wrote " + png + " (" + std::to_string(picture.Width()) + "x" + std::to_string(picture.Height()) + ")\n");
    // Below the strip, two columns of cells as large as the largest picture
    // (160 x 120): each picture at half its size, and the display of the
    // file without one, as large as a cell, showing its gradient.
    EXPECT_EQ(picture.Width(), 8 + 2 * (160 + 8));
    EXPECT_EQ(picture.Height(), 8 + 27 + 8 + 2 * (120 + 8));
    EXPECT_TRUE(media_test::ShowsBars(picture, 8, 160, 43 + 20)) << "the first file, at half its size";
    EXPECT_TRUE(media_test::ShowsBars(picture, 176, 80, 43 + 10)) << "the second file, at half its size";
    EXPECT_EQ(picture.PixelAt(8 + 5, 171), RGB(0, 0, 0x40)) << "the gradient's top behind the sound-only file";
    EXPECT_EQ(picture.PixelAt(8 + 5, 171 + 119), RGB(0x3F, 0x5E, 0xBE)) << "and its last band";
    const COLORREF pause = picture.PixelAt(8 + 27 + 8, 8 + 8);
    EXPECT_GT(GetRValue(pause), 128) << "the group is paused: Pause is lit yellow";
    EXPECT_GT(GetGValue(pause), 128);
    EXPECT_LT(GetBValue(pause), 64);
}

TEST_F(KestravionPlayTest, ASnapshotThatCannotBeWrittenFailsWithTheReasonAndLeavesTheEarlierFile) {
    // A folder where the file should go: refused, and the folder stays as it was.
    const std::string png = Folder + "/taken.png";
    ASSERT_TRUE(std::filesystem::create_directory(png));
    const Result result = Run({"--snapshot", png, Media(Content::Video, 0.3)});
    EXPECT_EQ(result.Status, kestravion_play::kExitFailure);
    EXPECT_EQ(result.Err.rfind("kestravion-play: ", 0), 0u) << result.Err;
    EXPECT_NE(result.Err.find(png), std::string::npos) << "the reason names the file: " << result.Err;
    EXPECT_TRUE(std::filesystem::is_directory(png));
    EXPECT_EQ(result.Out, "");
}

}  // namespace
