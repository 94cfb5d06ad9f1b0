#include <cmath>
#include <mutex>

#include "MediaTestSupport.h"
#include "platform/window/host.h"
#include "platform/window/window.h"

using namespace media_test;

namespace {

using testkit::ColourNear;
using testkit::kSmpteBars;
constexpr int kTolerance = 28;  // VP8 and the colour conversion blur the bars a little

// ---------------------------------------------------------------- audio

// The energy of what one audio renderer played, per channel.
struct Levels {
    std::mutex Lock;
    double Sum[2] = {0, 0};
    std::size_t Frames = 0;

    AudioTapCallback Tap() {
        return [this](const float* samples, std::size_t frames, int channels, int, REFERENCE_TIME) {
            std::lock_guard guard(Lock);
            for (std::size_t i = 0; i < frames; ++i) {
                for (int c = 0; c < 2 && c < channels; ++c) {
                    const double s = samples[i * channels + c];
                    Sum[c] += s * s;
                }
            }
            Frames += frames;
        };
    }
    double Rms(int channel) {
        std::lock_guard guard(Lock);
        return Frames ? std::sqrt(Sum[channel] / Frames) : -1.0;
    }
};

TEST(AudioRenderers, RefuseLevelsOutsideTheirRangesAndKeepTheLastGoodOne) {
    auto graph = NewGraph();
    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 0.5)), S_OK);
    auto audio = RenderersOf<IBasicAudio>(graph.Get(), IID_IBasicAudio);
    ASSERT_EQ(audio.size(), 1u);
    LONG value = 1;
    EXPECT_EQ(audio[0]->get_Volume(&value), S_OK);
    EXPECT_EQ(value, 0) << "a new renderer plays at full volume";
    EXPECT_EQ(audio[0]->put_Volume(-2500), S_OK);
    EXPECT_EQ(audio[0]->put_Volume(5000), E_INVALIDARG);
    EXPECT_EQ(audio[0]->put_Volume(-10001), E_INVALIDARG);
    EXPECT_EQ(audio[0]->get_Volume(&value), S_OK);
    EXPECT_EQ(value, -2500);
    EXPECT_EQ(audio[0]->put_Balance(-10000), S_OK);
    EXPECT_EQ(audio[0]->put_Balance(10001), E_INVALIDARG);
    EXPECT_EQ(audio[0]->get_Balance(&value), S_OK);
    EXPECT_EQ(value, -10000);
    EXPECT_EQ(audio[0]->get_Volume(nullptr), E_POINTER);
}

TEST(AudioRenderers, VolumeAndBalanceChangeOnlyTheirOwnStreamsSound) {
    auto graph = NewGraph();
    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 0.6)), S_OK);
    ASSERT_EQ(Render(graph.Get(), Media(Content::AudioVideo, 0.6)), S_OK);
    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 0.5)), S_OK);
    auto audio = RenderersOf<IBasicAudio>(graph.Get(), IID_IBasicAudio);
    ASSERT_EQ(audio.size(), 3u);
    Levels levels[3];
    for (int i = 0; i < 3; ++i) {
        auto tap = Query<IAudioTap>(audio[i].Get(), IID_IAudioTap);
        ASSERT_TRUE(tap);
        ASSERT_EQ(tap->SetTap(levels[i].Tap()), S_OK);
    }
    ASSERT_EQ(audio[0]->put_Volume(-2000), S_OK);   // -20 dB: a tenth of the amplitude
    ASSERT_EQ(audio[1]->put_Balance(10000), S_OK);  // right only
    ASSERT_EQ(audio[2]->put_Volume(-10000), S_OK);  // silent

    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    std::vector<Event> seen;
    ASSERT_TRUE(WaitForEvent(events.Get(), EC_COMPLETE, seen));
    for (auto& level : levels) {
        auto tap = Query<IAudioTap>(audio[&level - levels].Get(), IID_IAudioTap);
        tap->SetTap({});
    }

    const double full = 0.5 / std::sqrt(2.0);  // a sine at half scale
    EXPECT_NEAR(levels[1].Rms(1), full, 0.03) << "the unattenuated side keeps its level";
    EXPECT_LT(levels[1].Rms(0), 0.001) << "full right balance silences the left channel";
    EXPECT_NEAR(levels[0].Rms(0), full / 10, 0.005);
    EXPECT_NEAR(levels[0].Rms(1), full / 10, 0.005);
    EXPECT_EQ(levels[2].Rms(0), 0.0);
    EXPECT_GT(levels[2].Frames, 0u) << "a silent stream still plays";
}

// ---------------------------------------------------------------- video

LRESULT HostProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        FillRect(dc, &client, white);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

class VideoInAWindow : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool registered = [] {
            WNDCLASS windowClass;
            windowClass.lpfnWndProc = &HostProcedure;
            windowClass.lpszClassName = "MediaTestHost";
            return RegisterClass(&windowClass) != 0;
        }();
        ASSERT_TRUE(registered);
        Host = CreateWindowEx(0, "MediaTestHost", "host", WS_POPUP | WS_VISIBLE, 0, 0, 640, 480, 0, nullptr, nullptr,
                              nullptr);
        ASSERT_NE(Host, 0u);
        Graph = NewGraph();
        ASSERT_EQ(Render(Graph.Get(), Media(Content::AudioVideo, 1.0)), S_OK);
        auto windows = RenderersOf<IVideoWindow>(Graph.Get(), IID_IVideoWindow);
        ASSERT_EQ(windows.size(), 1u);
        Window = windows[0];
        Video = Query<IBasicVideo>(Window.Get(), IID_IBasicVideo);
        Probe = Query<IVideoFrameProbe>(Window.Get(), IID_IVideoFrameProbe);
        ASSERT_TRUE(Video && Probe);
        OAHWND handle = 0;
        ASSERT_EQ(Probe->GetWindowHandle(&handle), S_OK);
        ASSERT_NE(handle, 0);
        VideoHandle = static_cast<HWND>(handle);
    }
    void TearDown() override {
        Window.Reset();
        Video.Reset();
        Probe.Reset();
        Graph.Reset();
        if (Host) DestroyWindow(Host);
    }

    void Attach(LONG width, LONG height) {
        ASSERT_EQ(Window->put_Visible(OAFALSE), S_OK);
        ASSERT_EQ(Window->put_Owner(static_cast<OAHWND>(Host)), S_OK);
        ASSERT_EQ(Window->put_WindowStyle(static_cast<LONG>(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN)), S_OK);
        ASSERT_EQ(Window->SetWindowPosition(0, 0, width, height), S_OK);
        ASSERT_EQ(Window->put_Visible(OATRUE), S_OK);
    }

    // Pumps until the host's picture shows colour at (x, y).
    bool Shows(int x, int y, unsigned colour) {
        Image picture;
        const bool shown = PumpMessagesUntil(
            [&] {
                picture = host::CaptureWindow(Host);
                return !picture.Empty() && ColourNear(Rgb(picture.PixelAt(x, y)), colour, kTolerance);
            },
            std::chrono::seconds(20));
        if (!shown && !picture.Empty()) {
            ADD_FAILURE() << "at " << x << "," << y << " found " << std::hex << Rgb(picture.PixelAt(x, y))
                          << " instead of " << colour;
        }
        return shown;
    }
    static unsigned Rgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

    HWND Host = 0;
    HWND VideoHandle = 0;
    ComPtr<IGraphBuilder> Graph;
    ComPtr<IVideoWindow> Window;
    ComPtr<IBasicVideo> Video;
    ComPtr<IVideoFrameProbe> Probe;
};

TEST_F(VideoInAWindow, StartsHiddenAndOwnerlessWithTheNativeSizeKnown) {
    LONG visible = 1, width = 0, height = 0;
    OAHWND owner = -1;
    EXPECT_EQ(Window->get_Visible(&visible), S_OK);
    EXPECT_EQ(visible, OAFALSE);
    EXPECT_EQ(Window->get_Owner(&owner), S_OK);
    EXPECT_EQ(owner, 0);
    EXPECT_FALSE(IsWindowVisible(VideoHandle));
    EXPECT_EQ(Video->GetVideoSize(&width, &height), S_OK);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_EQ(Window->put_Owner(0x7FFFFFF0), E_INVALIDARG) << "an owner that is no window";
}

TEST_F(VideoInAWindow, PaintsTheDecodedPictureScaledIntoItsOwnersWindow) {
    Attach(640, 480);
    EXPECT_EQ(GetParent(VideoHandle), Host);
    auto control = Query<IMediaControl>(Graph.Get(), IID_IMediaControl);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    for (int bar = 0; bar < 7; ++bar) {
        const int x = static_cast<int>((bar + 0.5) * 640 / 7);
        EXPECT_TRUE(Shows(x, 100, kSmpteBars[bar])) << "bar " << bar;
    }
    // The frame itself is read back unscaled.
    VideoFrame frame;
    ASSERT_EQ(Probe->GetCurrentFrame(&frame, TRUE), S_OK);
    ASSERT_EQ(frame.Width, 320);
    ASSERT_EQ(frame.Pixels.size(), 320u * 240u);
    EXPECT_TRUE(ColourNear(frame.Pixels[50 * 320 + 20], kSmpteBars[0], kTolerance));
    EXPECT_TRUE(ColourNear(frame.Pixels[50 * 320 + 300], kSmpteBars[6], kTolerance));
}

TEST_F(VideoInAWindow, ScalesTheSourceRectangleIntoTheDestinationRectangle) {
    Attach(640, 480);
    auto control = Query<IMediaControl>(Graph.Get(), IID_IMediaControl);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    EXPECT_EQ(Video->SetSourcePosition(0, 0, 640, 480), E_INVALIDARG) << "larger than the frame";
    EXPECT_EQ(Video->SetSourcePosition(-1, 0, 100, 100), E_INVALIDARG);
    EXPECT_EQ(Video->SetDestinationPosition(0, 0, 0, 10), E_INVALIDARG);
    // The left half of the frame (bars 0 to 3) into the right half of the window.
    ASSERT_EQ(Video->SetSourcePosition(0, 0, 160, 240), S_OK);
    ASSERT_EQ(Video->SetDestinationPosition(320, 0, 320, 480), S_OK);
    EXPECT_TRUE(Shows(100, 100, 0x000000)) << "outside the destination is black";
    EXPECT_TRUE(Shows(330, 100, kSmpteBars[0]));
    EXPECT_TRUE(Shows(630, 100, kSmpteBars[3]));
    LONG l, t, w, h;
    EXPECT_EQ(Video->GetSourcePosition(&l, &t, &w, &h), S_OK);
    EXPECT_EQ(w, 160);
    ASSERT_EQ(Video->SetDefaultDestinationPosition(), S_OK);
    EXPECT_EQ(Video->GetDestinationPosition(&l, &t, &w, &h), S_OK);
    EXPECT_EQ(w, 640) << "the default destination follows the window";
    EXPECT_EQ(h, 480);
}

TEST_F(VideoInAWindow, FullScreenCoversTheScreenAndComesBackToItsOwner) {
    Attach(320, 240);
    ASSERT_TRUE(host::SetScreenSize(800, 600));
    ASSERT_EQ(Window->put_FullScreenMode(OATRUE), S_OK);
    LONG mode = 0;
    EXPECT_EQ(Window->get_FullScreenMode(&mode), S_OK);
    EXPECT_EQ(mode, OATRUE);
    EXPECT_EQ(GetParent(VideoHandle), 0u);
    RECT rect;
    ASSERT_TRUE(GetWindowRect(VideoHandle, &rect));
    EXPECT_EQ(rect.right - rect.left, 800);
    EXPECT_EQ(rect.bottom - rect.top, 600);
    // A placement asked for meanwhile applies on the way back.
    ASSERT_EQ(Window->SetWindowPosition(10, 20, 200, 150), S_OK);
    ASSERT_EQ(Window->put_FullScreenMode(OAFALSE), S_OK);
    EXPECT_EQ(GetParent(VideoHandle), Host);
    ASSERT_TRUE(GetClientRect(VideoHandle, &rect));
    EXPECT_EQ(rect.right, 200);
    EXPECT_EQ(rect.bottom, 150);
    EXPECT_TRUE(IsWindowVisible(VideoHandle));
}

TEST_F(VideoInAWindow, OutlivesItsGraphOnlyAsLongAsItIsHeldAndTheNextOneGetsAWindowAgain) {
    Attach(320, 240);
    Graph.Reset();
    EXPECT_TRUE(IsWindow(VideoHandle)) << "the renderer is still held";
    Window.Reset();
    Video.Reset();
    Probe.Reset();
    EXPECT_FALSE(IsWindow(VideoHandle));
    // The window class went with the last video window and comes back with the next.
    auto again = NewGraph();
    ASSERT_EQ(Render(again.Get(), Media(Content::Video, 1.0)), S_OK);
    auto probes = RenderersOf<IVideoFrameProbe>(again.Get(), IID_IVideoFrameProbe);
    ASSERT_EQ(probes.size(), 1u);
    OAHWND handle = 0;
    probes[0]->GetWindowHandle(&handle);
    EXPECT_TRUE(IsWindow(static_cast<HWND>(handle)));
}

}  // namespace
