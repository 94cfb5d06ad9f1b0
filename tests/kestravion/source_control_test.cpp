// The video source control through the host side: its methods and their
// failure values, the button strip read back as pixels after each click, the
// refusable click events, and the engine's notices turned into events.
#include <cmath>

#include "ControlTestSupport.h"
#include "platform/media/testkit/RangeServer.h"

namespace control_test {
namespace {

using kestravion::kButtonSize;
using kestravion::kStripWidth;

// Which buttons should show lit.
enum Lit : unsigned { kNoneLit = 0, kPlayLit = 1, kPauseLit = 2, kStopLit = 4 };

class SourceTest : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        if (HasFatalFailure()) return;
        const HINSTANCE module = ModuleInstance();
        ASSERT_NE(module, nullptr);
        HBITMAP strip = LoadBitmap(module, kestravion::kStripBitmapId);
        ASSERT_NE(strip, nullptr) << "the module carries its button strip";
        Cells = GetBitmapImage(strip);
        DeleteObject(strip);
        ASSERT_EQ(Cells.Width(), kestravion::kStripBitmapWidth);
        ASSERT_EQ(Cells.Height(), kButtonSize);
    }

    // The control's window, painted, against the strip's cells: button b at
    // rest or lit as `lit` says.
    ::testing::AssertionResult StripShows(const Hosted& source, unsigned lit) {
        Settle(source.Window());
        const Image picture = host::CaptureWindow(source.Window());
        if (picture.Width() != kStripWidth || picture.Height() != kButtonSize) {
            return ::testing::AssertionFailure() << "the window is " << picture.Width() << "x" << picture.Height();
        }
        static const char* const kNames[3] = {"Play", "Pause", "Stop"};
        for (int button = 0; button < 3; ++button) {
            const bool on = (lit & (1u << button)) != 0;
            const int cell = (2 * button + (on ? 1 : 0)) * kButtonSize;
            for (int y = 0; y < kButtonSize; ++y) {
                for (int x = 0; x < kButtonSize; ++x) {
                    if (picture.PixelAt(button * kButtonSize + x, y) != Cells.PixelAt(cell + x, y)) {
                        return ::testing::AssertionFailure()
                               << kNames[button] << " is not shown " << (on ? "lit" : "at rest") << " (pixel " << x
                               << "," << y << ")";
                    }
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    // A press on button b (0 to 2), held.
    static void Press(const Hosted& source, int button) {
        ASSERT_TRUE(host::InjectMouse(source.Window(), WM_LBUTTONDOWN, button * kButtonSize + 13, 13, MK_LBUTTON));
        PumpMessages(0ms);
    }
    static void Release(HWND window, int x, int y) {
        ASSERT_TRUE(host::InjectMouse(window, WM_LBUTTONUP, x, y));
        PumpMessages(0ms);
    }
    static void Click(const Hosted& source, int button) {
        ASSERT_TRUE(host::Click(source.Window(), button * kButtonSize + 13, 13));
        PumpMessages(0ms);
    }

    Image Cells;
};

TEST_F(SourceTest, ClicksLightTheirButtonFireTheirEventAndActOnTheGroup) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 3.0), nullptr);  // longer than the test
    EXPECT_TRUE(StripShows(source, kNoneLit));

    Click(source, 0);
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Play"}));
    EXPECT_TRUE(StripShows(source, kPlayLit));
    Click(source, 1);
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Play", "Pause"}));
    EXPECT_TRUE(StripShows(source, kPauseLit));
    Click(source, 2);
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Play", "Pause", "Stop"}));
    EXPECT_TRUE(StripShows(source, kStopLit));
    EXPECT_TRUE(source.Log->Errors.empty()) << "the group ran, paused and stopped";

    // Stop with nothing playing: the event, then the method's failure, and
    // the button lights all the same.
    Click(source, 2);
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Play", "Pause", "Stop", "Stop", "Error"}));
    EXPECT_EQ(source.Log->Errors, (std::vector<std::string>{"Video(s) not playing..."}));
    EXPECT_TRUE(StripShows(source, kStopLit));
}

TEST_F(SourceTest, ARefusedPlayRunsNothingAndLeavesTheStripAsItWas) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 3.0), nullptr);  // longer than the test
    source.Log->Refuse["Play"] = true;
    Press(source, 0);
    EXPECT_TRUE(StripShows(source, kPlayLit)) << "a held button is lit";
    Release(source.Window(), 13, 13);
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Play"}));
    EXPECT_TRUE(StripShows(source, kNoneLit));
    EXPECT_FALSE(source.CallBool("Stop")) << "the group never ran";
    EXPECT_EQ(source.Log->Errors, (std::vector<std::string>{"Video(s) not playing..."}));

    // Latched before: a refused Play leaves Pause lit.
    ASSERT_TRUE(source.CallBool("Pause"));
    Click(source, 0);
    EXPECT_TRUE(StripShows(source, kPauseLit));
    source.Log->Refuse["Stop"] = true;
    Click(source, 2);
    EXPECT_TRUE(StripShows(source, kPauseLit)) << "a refused Stop leaves the group paused";
    EXPECT_TRUE(source.CallBool("Stop")) << "still paused, so the method stops it";
}

TEST_F(SourceTest, ARefusedPauseStillPausesTheGroup) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 3.0), nullptr);  // longer than the test
    ASSERT_TRUE(source.CallBool("Run"));
    source.Log->Refuse["Pause"] = true;
    Click(source, 1);
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Pause"}));
    EXPECT_TRUE(StripShows(source, kPauseLit)) << "lit through the Pause method's success";
}

TEST_F(SourceTest, APressReleasedElsewhereDoesNothing) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    ASSERT_TRUE(source.CallBool("Pause"));
    Press(source, 0);
    EXPECT_EQ(GetCapture(), source.Window()) << "the press holds the mouse";
    Release(source.Window(), 40, 13);  // over Pause
    EXPECT_TRUE(StripShows(source, kPauseLit)) << "drawn as before the press";
    Press(source, 2);
    Release(Container, 600, 500);  // far outside: the capture brings it back
    EXPECT_EQ(GetCapture(), 0u);
    EXPECT_TRUE(StripShows(source, kPauseLit));
    EXPECT_TRUE(source.Log->Names.empty());
}

TEST_F(SourceTest, LosingActivationReleasesAHeldButton) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    SetActiveWindow(source.Window());
    Press(source, 0);
    EXPECT_TRUE(StripShows(source, kPlayLit));
    SetActiveWindow(Container);
    PumpMessages(0ms);
    EXPECT_TRUE(StripShows(source, kNoneLit)) << "back at rest";
    Release(source.Window(), 13, 13);
    EXPECT_TRUE(source.Log->Names.empty()) << "the later release over it is no click";
    EXPECT_TRUE(StripShows(source, kNoneLit));
}

TEST_F(SourceTest, MethodsFireNoClickEventsAndReleaseAllButtonsUnlatches) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 3.0), nullptr);  // longer than the test
    ASSERT_TRUE(source.CallBool("Run"));
    EXPECT_TRUE(StripShows(source, kPlayLit));
    ASSERT_TRUE(source.CallBool("Pause"));
    EXPECT_TRUE(StripShows(source, kPauseLit));
    ASSERT_TRUE(source.CallBool("Stop"));
    EXPECT_TRUE(StripShows(source, kStopLit));
    source.Call("ReleaseAllButtons");
    EXPECT_TRUE(StripShows(source, kNoneLit));
    ASSERT_TRUE(source.CallBool("Run"));
    ASSERT_TRUE(source.CallBool("Reset"));
    EXPECT_TRUE(StripShows(source, kNoneLit)) << "a reset unlatches first";
    EXPECT_TRUE(source.Log->Names.empty());
    source.Call("AboutBox");
    EXPECT_TRUE(source.Log->Names.empty());
}

TEST_F(SourceTest, ReleaseAllButtonsWhilePlayingLetsPlaybackGoOn) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 3.0), nullptr);
    ASSERT_TRUE(source.CallBool("Run"));
    source.Call("ReleaseAllButtons");
    EXPECT_TRUE(StripShows(source, kNoneLit));
    EXPECT_TRUE(PumpUntil([&] { return source.Call("Peek").Double() >= 200.0; }));
    EXPECT_TRUE(source.CallBool("Stop")) << "still running";
}

TEST_F(SourceTest, TheStripKeepsItsSizeWhateverTheContainerOrTheUserAsk) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    ASSERT_EQ(source->Control()->SetObjectRects(RECT{40, 30, 240, 130}), S_OK);
    EXPECT_EQ(ClientSize(source.Window()), (SIZE{kStripWidth, kButtonSize}));
    RECT placed{}, container{};
    GetWindowRect(source.Window(), &placed);
    GetWindowRect(Container, &container);
    EXPECT_EQ(placed.left - container.left, 40) << "snapped back where the container put it";
    EXPECT_EQ(placed.top - container.top, 30);
    ASSERT_TRUE(host::ResizeWindowAsUser(source.Window(), 300, 200));
    EXPECT_EQ(ClientSize(source.Window()), (SIZE{kStripWidth, kButtonSize}));
    ASSERT_TRUE(host::ResizeWindowAsUser(source.Window(), 10, 5));
    EXPECT_EQ(ClientSize(source.Window()), (SIZE{kStripWidth, kButtonSize}));
    EXPECT_TRUE(StripShows(source, kNoneLit));
}

TEST_F(SourceTest, PeekGivesWholeMillisecondsHeldTo32BitsAndPeekEndTheFullStop) {
    // Without a window too: the engine exists from the control's construction.
    Hosted source = Make(kestravion::kVideoSourceProgId);
    ASSERT_TRUE(source);
    ASSERT_TRUE(source.CallBool("Seek", {Variant(1234.9)}));
    EXPECT_EQ(source.Call("Peek"), Variant(1234.0));
    ASSERT_TRUE(source.CallBool("Seek", {Variant(9e12)}));
    EXPECT_EQ(source.Call("Peek"), Variant(2147483647.0)) << "beyond 32 bits it saturates";
    EXPECT_FALSE(source.CallBool("Seek", {Variant(std::nan(""))}));
    EXPECT_EQ(source.Log->Errors, (std::vector<std::string>{"IMediaSeeking->SetPositions() failed"}));

    // 69 buffers of 960 samples at 44.1 kHz: 1502.0408 ms.
    media::testkit::MediaSpec clip;
    clip.Kind = Content::Audio;
    clip.Seconds = 1.5;
    clip.SampleRate = 44100;
    AddFile(source, media::testkit::MakeMedia(media_test::MediaFolder(), clip).string(), nullptr);
    ASSERT_TRUE(source.CallBool("Pause"));
    ASSERT_TRUE(source.CallBool("Seek", {Variant(1234.9)}));
    EXPECT_EQ(source.Call("Peek"), Variant(1234.0));
    const double end = 15020408 * 0.0001;
    EXPECT_EQ(source.Call("PeekEnd"), Variant(end));
    EXPECT_EQ(source.Log->Errors.size(), 1u);
}

TEST_F(SourceTest, VolumeAndPanReadBackInControlUnitsAndBadStreamsReadFullAndCentred) {
    Hosted source = Make(kestravion::kVideoSourceProgId);
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 1.0), nullptr);
    EXPECT_TRUE(source.CallBool("SetVolume", {Variant(0), Variant(0.5)}));
    EXPECT_EQ(source.Call("GetVolume", {Variant(0)}), Variant(0.5000000126310624));
    EXPECT_TRUE(source.CallBool("SetPan", {Variant(0), Variant(1.0)}));
    EXPECT_EQ(source.Call("GetPan", {Variant(0)}), Variant(0.9999999747378752));
    for (int stream : {-1, 1, 16}) {
        EXPECT_FALSE(source.CallBool("SetVolume", {Variant(stream), Variant(0.5)})) << stream;
        EXPECT_FALSE(source.CallBool("SetPan", {Variant(stream), Variant(0.5)})) << stream;
        EXPECT_EQ(source.Call("GetVolume", {Variant(stream)}), Variant(1.0)) << stream;
        EXPECT_EQ(source.Call("GetPan", {Variant(stream)}), Variant(0.0)) << stream;
    }
    EXPECT_TRUE(source.Log->Names.empty()) << "the levels never fire Error";
}

TEST_F(SourceTest, AFileThatCannotBeAddedSaysWhyThroughLastErrorOnly) {
    Hosted source = Make(kestravion::kVideoSourceProgId);
    ASSERT_TRUE(source);
    EXPECT_FALSE(source.CallBool("AddFile", {Variant(Folder + "/missing.webm"), Variant(0)}));
    EXPECT_EQ(source.Call("LastError"), Variant("Cannot render the specified media file..."));
    EXPECT_TRUE(source.Log->Names.empty());
    EXPECT_TRUE(source.CallBool("Prepare"));
}

TEST_F(SourceTest, CompletionFiresCompleteAndLeavesPlayLit) {
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, MediaFile(Content::Audio, 0.4), nullptr);
    Click(source, 0);
    ASSERT_TRUE(PumpUntil([&] { return source.Log->Count("Complete") == 1; }));
    EXPECT_EQ(source.Log->Names, (std::vector<std::string>{"Play", "Complete"}));
    EXPECT_TRUE(StripShows(source, kPlayLit));
    EXPECT_TRUE(source.CallBool("Stop")) << "still running after completion";
}

// Two files, two consumers, played to their end: both pictures show in the
// container, each in its own consumer.
TEST_F(SourceTest, TwoFilesInTwoConsumersPlayToTheEndWithBothPicturesShown) {
    Hosted source = Source();
    Hosted left = Consumer(RECT{10, 50, 330, 290});
    Hosted right = Consumer(RECT{340, 50, 500, 170});
    ASSERT_TRUE(source && left && right);
    AddFile(source, MediaFile(Content::AudioVideo, 0.6), &left);
    AddFile(source, MediaFile(Content::Video, 0.8, 160, 120), &right);
    ASSERT_TRUE(source.CallBool("Prepare"));
    ASSERT_TRUE(source.CallBool("Run"));
    ASSERT_TRUE(PumpUntil([&] { return source.Log->Count("Complete") == 1; }));
    ASSERT_TRUE(Settle(Container));
    const Image picture = host::CaptureWindow(Container);
    EXPECT_TRUE(media_test::ShowsBars(picture, 10, 320, 70)) << "the first file in the left consumer";
    EXPECT_TRUE(media_test::ShowsBars(picture, 340, 160, 70)) << "the second file in the right consumer";
    EXPECT_TRUE(source.Log->Errors.empty());
    EXPECT_TRUE(picture.SavePng(Folder + "/group.png"));
}

// A file that fails part-way: its download, slower than it plays, ends when
// its server goes away. The group says so through Error and LastError (and a
// notice with the reason), plays on without it and completes.
TEST_F(SourceTest, AFileFailingMidPlayIsReportedAndTheGroupStillCompletes) {
    Hosted source = Source();
    Hosted display = Consumer();
    ASSERT_TRUE(source && display);
    const auto cut = media_test::Media(Content::AudioVideo, 3.0);
    auto server = std::make_unique<media::testkit::RangeServer>(
        media_test::MediaFolder(), static_cast<std::size_t>(std::filesystem::file_size(cut) / 3.0 * 0.6));
    AddFile(source, server->Url(cut.filename().string()), &display);
    AddFile(source, MediaFile(Content::Video, 1.0), nullptr);
    ASSERT_TRUE(source.CallBool("Prepare"));
    ASSERT_TRUE(source.CallBool("Run"));
    ASSERT_TRUE(PumpUntil([&] { return source.Log->Count("BufferingData") == 1; }));
    server.reset();
    ASSERT_TRUE(PumpUntil([&] { return source.Log->Count("Complete") == 1; }, 30s));
    // The media layer may tell of one failure more than once (the source and
    // the stream after it each fail); every telling says the same.
    ASSERT_FALSE(source.Log->Errors.empty());
    for (const std::string& error : source.Log->Errors) EXPECT_EQ(error, "A media file failed while playing...");
    EXPECT_EQ(source.Call("LastError"), Variant("A media file failed while playing..."));
    EXPECT_EQ(source.Log->Count("BufferingEnd"), 1u) << "the cut stream has all it will get";
    EXPECT_TRUE(source.CallBool("Stop"));
    EXPECT_TRUE(source.CallBool("Reset"));
    // Beside the described text, the host hears the media layer's reason.
    const auto notices = Notices.Texts();
    ASSERT_FALSE(notices.empty());
    for (const std::string& notice : notices) {
        EXPECT_NE(notice.find("failed while playing: "), std::string::npos) << notice;
    }
    Notices.Clear();
}

// A file cut short on disk plays what it holds: the group ends early and
// completes, and nothing fails.
TEST_F(SourceTest, AFileCutShortOnDiskPlaysWhatItHoldsAndCompletes) {
    const auto whole = media_test::Media(Content::AudioVideo, 2.0);
    const auto cut = std::filesystem::path(Folder) / "cut.webm";
    std::filesystem::copy_file(whole, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(whole) / 2);
    Hosted source = Source();
    ASSERT_TRUE(source);
    AddFile(source, cut.string(), nullptr);
    ASSERT_TRUE(source.CallBool("Run"));
    ASSERT_TRUE(PumpUntil([&] { return source.Log->Count("Complete") == 1; }));
    EXPECT_TRUE(source.Log->Errors.empty());
}

}  // namespace
}  // namespace control_test
