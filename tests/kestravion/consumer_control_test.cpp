// The video consumer control through the host side: detached and attached
// to a stream of a source control, its sizes, zoom and full screen, the
// volume and pan it maps onto the stream, its gradient read back as pixels,
// its window and its source going away, and its saved properties.
#include <cmath>
#include <limits>

#include "ControlTestSupport.h"

namespace control_test {
namespace {

constexpr double kLevelScale = static_cast<double>(0.0001f);

class ConsumerTest : public ControlTest {
protected:
    // A source with one 320 x 240 file (with sound) shown in `consumer`.
    Hosted Attached(const Hosted& consumer, Content kind = Content::AudioVideo) {
        Hosted source = Make(kestravion::kVideoSourceProgId);
        if (!source) return source;
        AddFile(source, MediaFile(kind, 2.0), &consumer);
        EXPECT_TRUE(source.CallBool("Prepare"));
        EXPECT_TRUE(source.CallBool("Pause"));
        return source;
    }

    // The video window the engine put inside the consumer.
    static HWND VideoWindowOf(const Hosted& consumer) { return GetWindow(consumer.Window(), GW_CHILD); }

    static RECT Placement(HWND window, HWND relativeTo) {
        RECT rect{}, origin{};
        GetWindowRect(window, &rect);
        GetWindowRect(relativeTo, &origin);
        return OffsetRect(rect, -origin.left, -origin.top);
    }
};

struct SizeQuery {
    bool Result;
    std::int32_t X;
    std::int32_t Y;
};

SizeQuery QuerySize(const Hosted& consumer, const char* method) {
    std::int32_t x = -7, y = -7;
    const bool result = consumer.CallBool(method, {Variant(&x), Variant(&y)});
    return SizeQuery{result, x, y};
}

TEST_F(ConsumerTest, DetachedItReportsItsOwnSizeAndLeavesEveryVideoCallAlone) {
    Hosted consumer = Make(kestravion::kVideoConsumerProgId);
    ASSERT_TRUE(consumer);
    EXPECT_EQ(consumer.Call("GetHandle"), Variant(0)) << "no window before activation";
    SizeQuery twips = QuerySize(consumer, "GetOptimalSize");
    EXPECT_FALSE(twips.Result);
    EXPECT_EQ(twips.X, 1500) << "the container's extent (100 x 50) at the screen's 96 dpi";
    EXPECT_EQ(twips.Y, 750);

    ASSERT_EQ(consumer->Activate(Container, RECT{10, 50, 330, 290}), S_OK);
    EXPECT_EQ(consumer.Call("GetHandle"), Variant(static_cast<std::int32_t>(consumer.Window())));
    const SizeQuery pixels = QuerySize(consumer, "GetOptimalSizePixel");
    EXPECT_FALSE(pixels.Result);
    EXPECT_EQ(pixels.X, -7) << "the outputs are left as they were";
    EXPECT_EQ(pixels.Y, -7);
    twips = QuerySize(consumer, "GetOptimalSize");
    EXPECT_FALSE(twips.Result);
    EXPECT_EQ(twips.X, 4800);
    EXPECT_EQ(twips.Y, 3600);
    ASSERT_TRUE(SetLogicalDpi(120, 144));
    twips = QuerySize(consumer, "GetOptimalSize");
    ASSERT_TRUE(SetLogicalDpi(96, 96));
    EXPECT_EQ(twips.X, 3840) << "at the window's dots per inch";
    EXPECT_EQ(twips.Y, 2400);

    EXPECT_FALSE(consumer.CallBool("SetFullscreen", {Variant(true)}));
    consumer.Call("Zoom", {Variant(2.0)});
    consumer.Call("SetOptimalSize");
    EXPECT_EQ(ClientSize(consumer.Window()), (SIZE{320, 240}));
    EXPECT_EQ(consumer->Control()->IsDirty(), S_FALSE);
    consumer.Set("Volume", Variant(0.25));
    EXPECT_EQ(consumer.Get("Volume"), Variant(0.25));
    EXPECT_EQ(consumer->Control()->IsDirty(), S_OK) << "setting marks the control modified";
    consumer.Call("AboutBox");
    EXPECT_TRUE(consumer.Log->Names.empty());
}

TEST_F(ConsumerTest, AttachedItReportsTheNativeSizeAndZoomsWithTheWholePicture) {
    Hosted consumer = Consumer(RECT{10, 50, 330, 290});
    ASSERT_TRUE(consumer);
    Hosted source = Attached(consumer);
    ASSERT_TRUE(source);
    const SizeQuery pixels = QuerySize(consumer, "GetOptimalSizePixel");
    EXPECT_TRUE(pixels.Result);
    EXPECT_EQ(pixels.X, 320);
    EXPECT_EQ(pixels.Y, 240);
    const SizeQuery twips = QuerySize(consumer, "GetOptimalSize");
    EXPECT_TRUE(twips.Result);
    EXPECT_EQ(twips.X, 4800);
    EXPECT_EQ(twips.Y, 3600);
    ASSERT_TRUE(WaitForBars(consumer.Window()));

    const struct {
        double Scaling = 1.0;
        SIZE Expected;
    } zooms[] = {{1.5, {480, 360}}, {0.333, {107, 80}}, {1.0, {320, 240}}};
    for (const auto& zoom : zooms) {
        consumer.Call("Zoom", {Variant(zoom.Scaling)});
        EXPECT_EQ(ClientSize(consumer.Window()), zoom.Expected) << zoom.Scaling;
        EXPECT_EQ(Placement(consumer.Window(), Container).left, 10) << "it keeps its place";
        EXPECT_EQ(Placement(VideoWindowOf(consumer), consumer.Window()),
                  (RECT{0, 0, zoom.Expected.cx, zoom.Expected.cy}))
            << "the video fills it";
        EXPECT_TRUE(WaitForBars(consumer.Window(), zoom.Expected.cy / 4))
            << "the whole frame scaled to " << zoom.Scaling << ", not a part of it";
    }
    for (double refused : {std::numeric_limits<double>::quiet_NaN(), 1e6, -1.0}) {
        consumer.Call("Zoom", {Variant(refused)});
        EXPECT_EQ(ClientSize(consumer.Window()), (SIZE{320, 240})) << refused << " is no size";
    }
    consumer.Call("Zoom", {Variant(0.5)});
    consumer.Call("SetOptimalSize");
    EXPECT_EQ(ClientSize(consumer.Window()), (SIZE{320, 240}));
    EXPECT_TRUE(consumer.Log->Names.empty());
}

TEST_F(ConsumerTest, FullScreenCoversTheScreenAndComesBackIntoTheConsumer) {
    Hosted consumer = Consumer();
    ASSERT_TRUE(consumer);
    Hosted source = Attached(consumer);
    ASSERT_TRUE(source);
    const HWND video = VideoWindowOf(consumer);
    ASSERT_NE(video, 0u);
    EXPECT_TRUE(consumer.CallBool("SetFullscreen", {Variant(true)}));
    RECT rect{};
    GetWindowRect(video, &rect);
    EXPECT_EQ(rect, (RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}));
    EXPECT_TRUE(consumer.CallBool("SetFullscreen", {Variant(false)}));
    EXPECT_EQ(GetParent(video), consumer.Window());
    EXPECT_EQ(Placement(video, consumer.Window()), (RECT{0, 0, 320, 240}));
}

TEST_F(ConsumerTest, VolumeAndPanMapOntoTheStreamTruncatingAndSkippingWhatNoLevelHolds) {
    Hosted consumer = Consumer();
    ASSERT_TRUE(consumer);
    Hosted source = Attached(consumer);
    ASSERT_TRUE(source);
    // What the stream's renderer was given, read back through the source.
    const auto volumeLevel = [&] { return source.Call("GetVolume", {Variant(0)}).Double(); };
    const auto panLevel = [&] { return source.Call("GetPan", {Variant(0)}).Double(); };
    EXPECT_EQ(volumeLevel(), 1.0) << "attaching applies nothing";

    const struct {
        double Volume;
        LONG Level;
    } volumes[] = {{0.75, -2500}, {1.0, 0}, {0.00005, -10000}, {0.0, -10000}, {0.33333, -6667}};
    for (const auto& row : volumes) {
        consumer.Set("Volume", Variant(row.Volume));
        EXPECT_EQ(volumeLevel(), 1.0 + row.Level * kLevelScale) << row.Volume;
    }
    const struct {
        double Pan;
        LONG Balance;
    } pans[] = {{-0.5, -5000}, {0.99999, 9999}, {-1.0, -10000}, {0.00009, 0}};
    for (const auto& row : pans) {
        consumer.Set("Pan", Variant(row.Pan));
        EXPECT_EQ(panLevel(), row.Balance * kLevelScale) << row.Pan;
    }
    const double before = volumeLevel();
    for (double unheld : {std::numeric_limits<double>::quiet_NaN(), 1e300, -std::numeric_limits<double>::infinity()}) {
        consumer.Set("Volume", Variant(unheld));
        consumer.Set("Pan", Variant(unheld));
        EXPECT_EQ(volumeLevel(), before) << unheld;
        EXPECT_EQ(panLevel(), 0.0) << unheld;
    }
    consumer.Set("Volume", Variant(1e300));
    EXPECT_EQ(consumer.Get("Volume"), Variant(1e300)) << "the property keeps what the host set";
    EXPECT_TRUE(consumer.Log->Names.empty());
}

// Rows of the gradient read back from a consumer `height` pixels high.
struct GradientCase {
    const char* Name;
    OLE_COLOR Top;
    OLE_COLOR Bottom;
    int Height;
    std::vector<std::pair<int, COLORREF>> Rows;  // row, colour
};

void PrintTo(const GradientCase& c, std::ostream* out) { *out << c.Name; }

class GradientTest : public ControlTest, public ::testing::WithParamInterface<GradientCase> {};

TEST_P(GradientTest, PaintsSixtyFourBandsAcrossTheWholeWidth) {
    const GradientCase& c = GetParam();
    Hosted consumer = Make(kestravion::kVideoConsumerProgId);
    ASSERT_TRUE(consumer);
    consumer.Set("BackgroundColor", Variant::MakeColor(c.Top));
    consumer.Set("BackgroundColor2", Variant::MakeColor(c.Bottom));
    ASSERT_EQ(consumer->Activate(Container, RECT{30, 40, 130, 40 + c.Height}), S_OK);
    ASSERT_TRUE(Settle(consumer.Window()));
    const Image picture = host::CaptureWindow(consumer.Window());
    ASSERT_EQ(picture.Height(), c.Height);
    for (const auto& [row, colour] : c.Rows) {
        EXPECT_EQ(picture.PixelAt(0, row), colour) << "row " << row;
        EXPECT_EQ(picture.PixelAt(99, row), colour) << "row " << row << " to the right edge";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Colours, GradientTest,
    ::testing::Values(
        // Red rises by floor(255 * i / 64): the last band stops at 251.
        GradientCase{"BlackToRed",
                     0x000000,
                     0x0000FF,
                     64,
                     {{0, RGB(0, 0, 0)}, {1, RGB(3, 0, 0)}, {32, RGB(127, 0, 0)}, {63, RGB(251, 0, 0)}}},
        // Falling, the floor goes toward minus infinity: the last band has red 3.
        GradientCase{
            "RedToBlack", 0x0000FF, 0x000000, 64, {{0, RGB(255, 0, 0)}, {1, RGB(251, 0, 0)}, {63, RGB(3, 0, 0)}}},
        GradientCase{"MixedChannels",
                     0x00204080,
                     0x00806040,
                     128,
                     {{0, RGB(0x80, 0x40, 0x20)}, {2, RGB(0x7F, 0x40, 0x21)}, {127, RGB(0x41, 0x5F, 0x7E)}}},
        // Ten rows high: ten of the bands are one row each, the rest empty.
        GradientCase{
            "TenRowsHigh", 0x000000, 0x0000FF, 10, {{0, RGB(23, 0, 0)}, {4, RGB(123, 0, 0)}, {9, RGB(251, 0, 0)}}},
        // A system colour's flag byte is ignored: its low bytes are the colour.
        GradientCase{"SystemColour", 0x8000000F, 0x8000000F, 32, {{0, RGB(0x0F, 0, 0)}, {31, RGB(0x0F, 0, 0)}}}),
    ::testing::PrintToStringParamName());

TEST_F(ConsumerTest, AColourChangeRepaintsAndMarksTheControlModified) {
    Hosted consumer = Consumer(RECT{10, 50, 110, 114});
    ASSERT_TRUE(consumer);
    ASSERT_TRUE(Settle(consumer.Window()));
    EXPECT_EQ(host::CaptureWindow(consumer.Window()).PixelAt(5, 5), RGB(0, 0, 0)) << "black to black by default";
    consumer.Set("BackgroundColor2", Variant::MakeColor(0x00FF0000));
    ASSERT_TRUE(Settle(consumer.Window()));
    EXPECT_EQ(host::CaptureWindow(consumer.Window()).PixelAt(5, 63), RGB(0, 0, 251));
    EXPECT_EQ(consumer->Control()->IsDirty(), S_OK);
}

TEST_F(ConsumerTest, ItsWindowGoingFirstReleasesTheVideoAndForgetsTheStream) {
    Hosted consumer = Consumer();
    ASSERT_TRUE(consumer);
    Hosted source = Attached(consumer);
    ASSERT_TRUE(source);
    const HWND video = VideoWindowOf(consumer);
    ASSERT_NE(video, 0u);
    ASSERT_EQ(consumer->Deactivate(), S_OK);
    EXPECT_TRUE(IsWindow(video)) << "the video window is the engine's: it outlives the consumer's window";
    EXPECT_EQ(GetParent(video), 0u);
    EXPECT_FALSE(IsWindowVisible(video));
    EXPECT_EQ(GetWindowLongPtr(video, GWL_STYLE) & WS_POPUP, WS_POPUP);

    source = Hosted{};  // the engine and its entries go
    EXPECT_FALSE(IsWindow(video));
    // Nothing of the gone stream is touched (the sanitizers would say so).
    consumer.Set("Volume", Variant(0.5));
    consumer.Set("Pan", Variant(-0.5));
    consumer.Call("Zoom", {Variant(2.0)});
    EXPECT_FALSE(QuerySize(consumer, "GetOptimalSizePixel").Result);
    ASSERT_EQ(consumer->Activate(Container, RECT{10, 50, 330, 290}), S_OK);
    EXPECT_FALSE(consumer.CallBool("SetFullscreen", {Variant(true)}));
}

TEST_F(ConsumerTest, AConsumerReleasedWhileActiveGivesTheVideoBackFirst) {
    // Made and shown without HostedControl, which would deactivate it before
    // letting go: here the last reference goes while its window is up.
    void* raw = nullptr;
    std::shared_ptr<LoadedModule> module;
    std::string error;
    ASSERT_EQ(CreateRegisteredObject(kestravion::CLSID_VideoConsumerCtrl, IID_IControl, &raw, module, &error), S_OK)
        << error;
    auto consumer = ComPtr<IControl>::Attach(static_cast<IControl*>(raw));
    ASSERT_EQ(consumer->InitNew(), S_OK);
    ASSERT_EQ(consumer->InPlaceActivate(Container, RECT{10, 50, 330, 290}), S_OK);
    const HWND window = consumer->GetControlWindow();
    Hosted source = Make(kestravion::kVideoSourceProgId);
    ASSERT_TRUE(source);
    ASSERT_TRUE(source.CallBool("AddFile",
                                {Variant(MediaFile(Content::Video, 1.0)), Variant(static_cast<std::int32_t>(window))}));
    ASSERT_TRUE(source.CallBool("Prepare"));
    const HWND video = GetWindow(window, GW_CHILD);
    ASSERT_NE(video, 0u);

    consumer.Reset();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(IsWindow(video)) << "the stream's video window left before the consumer's window went";
    EXPECT_EQ(GetParent(video), 0u);
    EXPECT_TRUE(source.CallBool("Run"));
    EXPECT_TRUE(source.CallBool("Reset")) << "the detach goes to a window that is gone";
    EXPECT_FALSE(IsWindow(video));
}

TEST_F(ConsumerTest, ThePropertiesAreSavedAndLoadedWithTheirDefaults) {
    Hosted consumer = Make(kestravion::kVideoConsumerProgId);
    ASSERT_TRUE(consumer);
    consumer.Set("BackgroundColor", Variant::MakeColor(0x00FF8000));
    consumer.Set("BackgroundColor2", Variant::MakeColor(0x80000005));
    consumer.Set("Pan", Variant(-0.25));
    consumer.Set("Volume", Variant(0.5));
    PropertyBag bag;
    ASSERT_EQ(consumer->SaveProperties(bag), S_OK);
    EXPECT_EQ(bag.Names(),
              (std::vector<std::string>{"_Version", "BackgroundColor", "BackgroundColor2", "Pan", "Volume"}));
    EXPECT_EQ(*bag.Find("_Version"), "1.0");
    EXPECT_EQ(consumer->Control()->IsDirty(), S_FALSE) << "saving leaves it clean";

    Hosted loaded = Make(kestravion::kVideoConsumerProgId);
    ASSERT_TRUE(loaded);
    std::vector<std::string> issues;
    ASSERT_EQ(loaded->LoadProperties(PropertyBag::Parse(bag.ToText(), nullptr), &issues), S_OK);
    EXPECT_TRUE(issues.empty());
    EXPECT_EQ(loaded.Get("BackgroundColor"), Variant::MakeColor(0x00FF8000));
    EXPECT_EQ(loaded.Get("BackgroundColor2"), Variant::MakeColor(0x80000005));
    EXPECT_EQ(loaded.Get("Pan"), Variant(-0.25));
    EXPECT_EQ(loaded.Get("Volume"), Variant(0.5));
    EXPECT_EQ(loaded->Control()->IsDirty(), S_FALSE);

    // Missing entries take their defaults; a bad one is reported and defaulted.
    Hosted defaults = Make(kestravion::kVideoConsumerProgId);
    ASSERT_TRUE(defaults);
    defaults.Set("Volume", Variant(0.1));
    ASSERT_EQ(defaults->LoadProperties(PropertyBag::Parse("Pan = loud\nMuted = true\n", nullptr), &issues), S_OK);
    EXPECT_EQ(issues.size(), 2u);
    EXPECT_EQ(defaults.Get("Volume"), Variant(0.75));
    EXPECT_EQ(defaults.Get("Pan"), Variant(0.0));
    EXPECT_EQ(defaults.Get("BackgroundColor"), Variant::MakeColor(0));
}

}  // namespace
}  // namespace control_test
