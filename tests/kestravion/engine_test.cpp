#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "MediaTestSupport.h"
#include "kestravion/CKestravion.h"
#include "platform/media/testkit/RangeServer.h"
#include "platform/window/host.h"
#include "platform/window/window.h"

using namespace platform;
using namespace platform::media;
using media_test::Content;
using media_test::Media;
using media_test::MediaFolder;

namespace {

// What a consumer or notify window was sent. For a detach, whether the entry it
// had been given still held its interfaces at that moment.
struct Received {
    UINT Message = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    bool InterfacesAlive = false;
};
std::map<HWND, std::vector<Received>> Log;
std::map<HWND, const StreamEntry*> AttachedTo;

LRESULT RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ATTACHSTREAM || message == WM_GRAPHNOTIFY) {
        Received received{message, wParam, lParam, false};
        if (message == WM_ATTACHSTREAM) {
            if (lParam) {
                AttachedTo[window] = reinterpret_cast<const StreamEntry*>(lParam);
            } else if (const StreamEntry* entry = AttachedTo[window]) {
                received.InterfacesAlive = entry->VideoWindow && entry->BasicVideo;
            }
        }
        Log[window].push_back(received);
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool registered = [] {
            WNDCLASS windowClass;
            windowClass.lpfnWndProc = &RecordingProcedure;
            windowClass.lpszClassName = "EngineTestWindow";
            return RegisterClass(&windowClass) != 0;
        }();
        ASSERT_TRUE(registered);
        Log.clear();
        AttachedTo.clear();
    }
    void TearDown() override {
        for (HWND window : Windows) DestroyWindow(window);
        SetAudioOutput(AudioOutput::Automatic);
    }

    HWND NewWindow(int width, int height) {
        HWND window = CreateWindowEx(0, "EngineTestWindow", "consumer", WS_POPUP | WS_VISIBLE, 0, 0, width, height, 0,
                                     nullptr, nullptr, nullptr);
        EXPECT_NE(window, 0u);
        Windows.push_back(window);
        return window;
    }

    static std::vector<Received> Messages(HWND window, UINT message) {
        std::vector<Received> found;
        for (auto& received : Log[window]) {
            if (received.Message == message) found.push_back(received);
        }
        return found;
    }

    static std::size_t Completions(HWND window) {
        std::size_t count = 0;
        for (auto& received : Messages(window, WM_GRAPHNOTIFY)) count += received.WParam == 0;
        return count;
    }

    static std::string Path(const std::filesystem::path& file) { return file.string(); }

    std::vector<HWND> Windows;
};

TEST_F(Engine, ANewEngineHoldsAnEmptyGraphThatRunsButDoesNotStopUntilPlaying) {
    CKestravion engine;
    EXPECT_NE(engine.GraphBuilder.Get(), nullptr);
    EXPECT_NE(engine.WorkerThread, nullptr);
    EXPECT_STREQ(engine.GetErrorText(), "");
    EXPECT_FALSE(engine.Stop());
    EXPECT_STREQ(engine.GetErrorText(), "Video(s) not playing...");
    EXPECT_TRUE(engine.Run()) << "the empty graph runs instead of failing with not prepared";
    EXPECT_EQ(engine.State, 1);
    EXPECT_TRUE(engine.Stop());
    EXPECT_EQ(engine.State, 0);
}

TEST_F(Engine, StopRewindsAndCuesOnceAndASecondStopFails) {
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 2.0)).c_str(), 0));
    ASSERT_TRUE(engine.Run());
    ASSERT_TRUE(engine.Seek(800.0));
    ASSERT_TRUE(engine.Stop());
    EXPECT_EQ(engine.State, 0);
    EXPECT_EQ(engine.Peek(), 0.0);
    OAFilterState state = -1;
    engine.MediaControl->GetState(5000, &state);
    EXPECT_EQ(state, State_Paused) << "a stopped group is cued in the paused graph state";
    EXPECT_FALSE(engine.Stop());
    EXPECT_STREQ(engine.GetErrorText(), "Video(s) not playing...");
}

TEST_F(Engine, TwoVideoFilesAttachOnceEachToTheirConsumersAndDetachBeforeRelease) {
    HWND first = NewWindow(320, 240);
    HWND second = NewWindow(210, 150);
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Video, 2.0)).c_str(), first));
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 2.0)).c_str(), second));
    ASSERT_EQ(engine.StreamCount, 2u);
    EXPECT_TRUE(Messages(first, WM_ATTACHSTREAM).empty()) << "nothing is attached before Prepare";
    ASSERT_TRUE(engine.Prepare());
    ASSERT_TRUE(engine.Prepare()) << "a second Prepare attaches nothing again";

    const HWND consumers[2] = {first, second};
    for (std::uint32_t i = 0; i < 2; ++i) {
        const auto attaches = Messages(consumers[i], WM_ATTACHSTREAM);
        ASSERT_EQ(attaches.size(), 1u) << "stream " << i;
        EXPECT_EQ(attaches[0].WParam, i);
        EXPECT_EQ(attaches[0].LParam, reinterpret_cast<LPARAM>(&engine.Streams[i]));
        EXPECT_EQ(engine.Streams[i].Attached, 1);
        OAHWND owner = 0;
        engine.Streams[i].VideoWindow->get_Owner(&owner);
        EXPECT_EQ(owner, static_cast<OAHWND>(consumers[i]));
    }
    LONG left, top, width, height;
    engine.Streams[1].VideoWindow->GetWindowPosition(&left, &top, &width, &height);
    EXPECT_EQ(width, 210) << "the video fills the consumer's client area";
    EXPECT_EQ(height, 150);

    // The picture shows in the consumer window, scaled to its size.
    ASSERT_TRUE(engine.Pause());
    Image picture;
    const bool painted = PumpMessagesUntil(
        [&] {
            picture = host::CaptureWindow(second);
            return !picture.Empty() && media_test::ShowsBars(picture, 0, 210, 50);
        },
        std::chrono::seconds(20));
    EXPECT_TRUE(painted);

    ASSERT_TRUE(engine.Reset());
    for (std::uint32_t i = 0; i < 2; ++i) {
        const auto attaches = Messages(consumers[i], WM_ATTACHSTREAM);
        ASSERT_EQ(attaches.size(), 2u);
        EXPECT_EQ(attaches[1].WParam, i);
        EXPECT_EQ(attaches[1].LParam, 0);
        EXPECT_TRUE(attaches[1].InterfacesAlive) << "detached before its interfaces were released";
    }
    EXPECT_EQ(engine.StreamCount, 0u);
    EXPECT_EQ(engine.Streams[0].VideoWindow.Get(), nullptr);
}

TEST_F(Engine, DestructionDetachesConsumersAndRemovesTheVideoWindows) {
    HWND consumer = NewWindow(160, 120);
    OAHWND videoWindow = 0;
    {
        CKestravion engine;
        ASSERT_TRUE(engine.AddFile(Path(Media(Content::Video, 1.0)).c_str(), consumer));
        ASSERT_TRUE(engine.Prepare());
        ASSERT_TRUE(engine.Run());
        auto probe = media_test::Query<IVideoFrameProbe>(engine.Streams[0].VideoWindow.Get(), IID_IVideoFrameProbe);
        probe->GetWindowHandle(&videoWindow);
        EXPECT_EQ(GetParent(static_cast<HWND>(videoWindow)), consumer);
    }
    const auto attaches = Messages(consumer, WM_ATTACHSTREAM);
    ASSERT_EQ(attaches.size(), 2u);
    EXPECT_EQ(attaches[1].LParam, 0);
    EXPECT_TRUE(attaches[1].InterfacesAlive);
    EXPECT_FALSE(IsWindow(static_cast<HWND>(videoWindow)));
}

TEST_F(Engine, AnAudioOnlyFileHasNoVideoIsNeverAttachedAndTakesVolume) {
    HWND consumer = NewWindow(160, 120);
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Audio, 1.0)).c_str(), consumer));
    EXPECT_EQ(engine.Streams[0].VideoWindow.Get(), nullptr);
    EXPECT_EQ(engine.Streams[0].BasicVideo.Get(), nullptr);
    EXPECT_NE(engine.Streams[0].BasicAudio.Get(), nullptr);
    ASSERT_TRUE(engine.Prepare());
    EXPECT_TRUE(Messages(consumer, WM_ATTACHSTREAM).empty());
    EXPECT_EQ(engine.Streams[0].Attached, 1);
    EXPECT_TRUE(engine.SetVolume(0, 0.5));
    EXPECT_TRUE(engine.SetPan(0, -0.25));
}

TEST_F(Engine, AFileWithoutAudioRefusesVolumeAndPan) {
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Video, 1.0)).c_str(), 0));
    EXPECT_EQ(engine.Streams[0].BasicAudio.Get(), nullptr);
    EXPECT_FALSE(engine.SetVolume(0, 0.5));
    EXPECT_FALSE(engine.SetPan(0, 0.5));
    double volume = -1, pan = -1;
    EXPECT_TRUE(engine.GetAudioLevels(0, &volume, &pan));
    EXPECT_EQ(volume, 1.0);
    EXPECT_EQ(pan, 0.0);
}

TEST_F(Engine, ASecondFileOfTheSameKindClaimsOnlyItsOwnRenderers) {
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 1.0)).c_str(), 0));
    const StreamEntry before = engine.Streams[0];
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 2.0)).c_str(), 0));
    const StreamEntry& first = engine.Streams[0];
    const StreamEntry& second = engine.Streams[1];
    EXPECT_EQ(first.VideoWindow.Get(), before.VideoWindow.Get());
    EXPECT_EQ(first.BasicAudio.Get(), before.BasicAudio.Get());
    ASSERT_TRUE(second.VideoWindow && second.BasicVideo && second.BasicAudio);
    EXPECT_NE(second.VideoWindow.Get(), first.VideoWindow.Get());
    EXPECT_NE(second.BasicVideo.Get(), first.BasicVideo.Get());
    EXPECT_NE(second.BasicAudio.Get(), first.BasicAudio.Get());
    // The second stream's renderers are the second file's: they are the
    // graph's last ones.
    auto audio = media_test::RenderersOf<IBasicAudio>(engine.GraphBuilder.Get(), IID_IBasicAudio);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[1].Get(), second.BasicAudio.Get());
}

TEST_F(Engine, AStreamWithoutAWindowOrWithADeadOneIsMarkedAttachedAndPlaysWithTheGroup) {
    HWND notify = NewWindow(10, 10);
    HWND gone = NewWindow(10, 10);
    DestroyWindow(gone);
    CKestravion engine;
    engine.SetNotifyWindow(notify);
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Video, 0.5)).c_str(), 0));
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Video, 1.0)).c_str(), gone));
    ASSERT_TRUE(engine.Prepare());
    EXPECT_EQ(engine.Streams[0].Attached, 1);
    EXPECT_EQ(engine.Streams[1].Attached, 1);
    HWND later = NewWindow(100, 100);
    engine.Streams[1].ConsumerHandle = later;  // as if the window had appeared since
    ASSERT_TRUE(engine.Prepare());
    EXPECT_TRUE(Messages(later, WM_ATTACHSTREAM).empty()) << "not tried again until Reset";
    OAHWND owner = -1;
    engine.Streams[0].VideoWindow->get_Owner(&owner);
    EXPECT_EQ(owner, 0);
    ASSERT_TRUE(engine.Run());
    EXPECT_TRUE(PumpMessagesUntil([&] { return Completions(notify) == 1; }, std::chrono::seconds(20)));
}

TEST_F(Engine, SeekThenPeekWhilePausedGivesTheExactPosition) {
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 3.0)).c_str(), 0));
    ASSERT_TRUE(engine.Pause());
    ASSERT_TRUE(engine.Seek(1500.5));
    EXPECT_EQ(engine.Peek(), 1500.5);
    EXPECT_NEAR(engine.PeekEnd(), 3000.0, 34.0);
    EXPECT_EQ(engine.State, 2) << "seeking leaves the state alone";
    // A position no 64-bit count of 100 ns can hold is refused, not converted.
    EXPECT_FALSE(engine.Seek(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(engine.Seek(1e300));
    EXPECT_STREQ(engine.GetErrorText(), "IMediaSeeking->SetPositions() failed");
    EXPECT_EQ(engine.Peek(), 1500.5);
}

TEST_F(Engine, VolumeAndPanMapOntoTheRendererWithTruncationAndReadBack) {
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 1.0)).c_str(), 0));
    IBasicAudio* audio = engine.Streams[0].BasicAudio.Get();
    ASSERT_NE(audio, nullptr);
    LONG value = 1;
    const struct {
        double Volume;
        LONG Expected;
    } volumes[] = {{1.0, 0}, {0.0, -10000}, {0.33333, -6666}, {0.5, -5000}};
    for (auto& row : volumes) {
        EXPECT_TRUE(engine.SetVolume(0, row.Volume)) << row.Volume;
        audio->get_Volume(&value);
        EXPECT_EQ(value, row.Expected) << row.Volume;
    }
    double volume = 0, pan = 0;
    EXPECT_TRUE(engine.GetAudioLevels(0, &volume, nullptr));
    EXPECT_EQ(volume, 0.5000000126310624);
    EXPECT_FALSE(engine.SetVolume(0, 1.5)) << "5000 is passed on and the renderer refuses it";
    audio->get_Volume(&value);
    EXPECT_EQ(value, -5000);

    EXPECT_TRUE(engine.SetPan(0, -1.0));
    audio->get_Balance(&value);
    EXPECT_EQ(value, -10000);
    EXPECT_TRUE(engine.SetPan(0, 1.0));
    EXPECT_TRUE(engine.GetAudioLevels(0, nullptr, &pan));
    EXPECT_EQ(pan, 0.9999999747378752);

    EXPECT_FALSE(engine.SetVolume(-1, 1.0));
    EXPECT_FALSE(engine.SetVolume(1, 1.0)) << "index equal to the stream count";
    EXPECT_FALSE(engine.SetPan(1, 0.0));
    // Values no 32-bit level can hold are refused, not converted.
    EXPECT_FALSE(engine.SetVolume(0, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(engine.SetPan(0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(engine.SetPan(0, 1e12));
    audio->get_Balance(&value);
    EXPECT_EQ(value, 10000);
}

TEST_F(Engine, CompletionArrivesOnceAfterTheLongestFileAndStopStillWorks) {
    HWND notify = NewWindow(10, 10);
    CKestravion engine;
    engine.SetNotifyWindow(notify);
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Audio, 0.4)).c_str(), 0));
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::AudioVideo, 1.0)).c_str(), 0));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine.Run());
    ASSERT_TRUE(PumpMessagesUntil([&] { return Completions(notify) >= 1; }, std::chrono::seconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    PumpMessages(std::chrono::milliseconds(600));
    EXPECT_EQ(Completions(notify), 1u);
    const auto notices = Messages(notify, WM_GRAPHNOTIFY);
    EXPECT_EQ(notices.back().LParam, 0);
    EXPECT_EQ(engine.State, 1) << "completion does not change the state";
    EXPECT_TRUE(engine.Stop());
    EXPECT_EQ(engine.Peek(), 0.0);
}

TEST_F(Engine, AnEmptyGroupRunsAndCompletesAtOnce) {
    HWND notify = NewWindow(10, 10);
    CKestravion engine;
    engine.SetNotifyWindow(notify);
    ASSERT_TRUE(engine.Run());
    EXPECT_TRUE(PumpMessagesUntil([&] { return Completions(notify) == 1; }, std::chrono::seconds(5)))
        << "a host waiting for the group's end hears it";
    EXPECT_EQ(engine.State, 1);
}

TEST_F(Engine, AFailedRunFollowedByAPauseKeepsTheRunFailureText) {
    // An output that refuses to start playing: the graph's run fails for real.
    ASSERT_TRUE(SetAudioOutput(AudioOutput::Custom, "fakesink sync=true state-error=paused-to-playing"));
    CKestravion engine;
    ASSERT_TRUE(engine.AddFile(Path(Media(Content::Audio, 1.0)).c_str(), 0));
    EXPECT_FALSE(engine.Run());
    EXPECT_STREQ(engine.GetErrorText(), "IMediaControl->Run() failed");
    EXPECT_EQ(engine.State, 0);
    EXPECT_TRUE(engine.Pause());
    EXPECT_EQ(engine.State, 2);
    EXPECT_STREQ(engine.GetErrorText(), "IMediaControl->Run() failed");
}

TEST_F(Engine, RefusesMissingFilesLongNamesAndASeventeenthStreamWithoutTouchingTheTable) {
    CKestravion engine;
    EXPECT_FALSE(engine.AddFile("/no/such/file.webm", 0));
    EXPECT_STREQ(engine.GetErrorText(), "Cannot render the specified media file...");
    EXPECT_FALSE(engine.AddFile(nullptr, 0));
    const std::string longName = "/" + std::string(259, 'a');  // 260 units and the terminator
    EXPECT_FALSE(engine.AddFile(longName.c_str(), 0));
    EXPECT_STREQ(engine.GetErrorText(), "The media file name is too long...");
    EXPECT_FALSE(engine.AddFile(std::string(259, 'b').c_str(), 0)) << "fits, but there is no such file";
    EXPECT_STREQ(engine.GetErrorText(), "Cannot render the specified media file...");
    EXPECT_EQ(engine.StreamCount, 0u);

    // A name in UTF-8 is kept as UTF-16.
    const auto original = Media(Content::Audio, 0.3);
    const auto named = MediaFolder() / "caf\xC3\xA9-\xF0\x9F\x8E\xB5.wav";
    std::filesystem::copy_file(original, named, std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(engine.AddFile(named.string().c_str(), 0));
    const std::string folder = MediaFolder().string();  // plain ASCII here
    EXPECT_EQ(std::u16string(engine.Streams[0].FileName),
              std::u16string(folder.begin(), folder.end()) + u"/caf\u00E9-\U0001F3B5.wav");
    for (std::uint32_t i = 1; i < CKestravion::MaxStreams; ++i) {
        ASSERT_TRUE(engine.AddFile(original.string().c_str(), 0)) << i;
    }
    ASSERT_EQ(engine.StreamCount, 16u);
    const StreamEntry last = engine.Streams[15];
    EXPECT_FALSE(engine.AddFile(original.string().c_str(), 0));
    EXPECT_STREQ(engine.GetErrorText(), "Cannot add more than 16 media files...");
    EXPECT_EQ(engine.StreamCount, 16u);
    EXPECT_EQ(engine.Streams[15].BasicAudio.Get(), last.BasicAudio.Get());
}

TEST_F(Engine, BufferingNoticesArriveFromAThrottledNetworkSource) {
    HWND notify = NewWindow(10, 10);
    const auto file = Media(Content::AudioVideo, 2.0);
    testkit::RangeServer server(MediaFolder(), static_cast<std::size_t>(std::filesystem::file_size(file) / 2.0 * 1.3));
    CKestravion engine;
    engine.SetNotifyWindow(notify);
    ASSERT_TRUE(engine.AddFile(server.Url(file.filename().string()).c_str(), 0));
    ASSERT_TRUE(engine.Run());
    ASSERT_TRUE(PumpMessagesUntil([&] { return Completions(notify) == 1; }, std::chrono::seconds(40)));
    std::vector<LPARAM> buffering;
    for (auto& notice : Messages(notify, WM_GRAPHNOTIFY)) {
        if (notice.WParam == 1) buffering.push_back(notice.LParam);
    }
    ASSERT_GE(buffering.size(), 2u);
    EXPECT_NE(buffering.front(), 0);
    EXPECT_EQ(buffering.back(), 0);
}

// The conversion the engine and the consumer control share for volume and
// balance: toward zero, and only what a 32-bit integer holds.
TEST(TruncateToLong, TruncatesTowardZeroAndRefusesWhatNo32BitIntegerHolds) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const struct {
        double Value;
        bool Converted;
        LONG Expected;
    } rows[] = {
        {0.0, true, 0},
        {-0.0, true, 0},
        {1e-310, true, 0},
        {0.999999, true, 0},
        {-0.999999, true, 0},
        {-6666.7, true, -6666},
        {6666.7, true, 6666},
        {-10000.0, true, -10000},
        {2147483647.0, true, 2147483647},
        {2147483647.999, true, 2147483647},
        {2147483648.0, false, 0},
        {-2147483648.0, true, -2147483647 - 1},
        {-2147483648.999, true, -2147483647 - 1},
        {-2147483649.0, false, 0},
        {1e300, false, 0},
        {-1e300, false, 0},
        {kInfinity, false, 0},
        {-kInfinity, false, 0},
        {kNaN, false, 0},
        {-kNaN, false, 0},
    };
    for (const auto& row : rows) {
        LONG result = 12345;
        EXPECT_EQ(TruncateToLong(row.Value, result), row.Converted) << row.Value;
        EXPECT_EQ(result, row.Converted ? row.Expected : 12345) << row.Value << ": a refused value leaves the result";
    }
}

}  // namespace
