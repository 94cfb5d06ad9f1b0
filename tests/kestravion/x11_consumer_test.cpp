// The video consumer control on a display, inside a window another program
// owns: the stream shows there, SetFullscreen takes the video over the whole
// screen and brings it back into the consumer, inside that window.

#include "ControlTestSupport.h"
#include "X11TestKit.h"
#include "platform/window/backend.h"

namespace control_test {
namespace {

class ConsumerOnDisplay : public ControlTest {
protected:
    void SetUp() override {
        // The backend comes before the container window the fixture makes.
        X11_SERVER(display, 640, 480, true);
        Server = std::move(displayHolder);
        Look = std::make_unique<x11test::Client>(display);
        ASSERT_TRUE(Look->Ok());
        std::string error;
        ASSERT_TRUE(x11test::InstallBackend(display, std::chrono::seconds(2), &error)) << error;
        Installed = true;
        ControlTest::SetUp();
    }
    void TearDown() override {
        Consumer = Hosted{};
        Source = Hosted{};
        if (IsWindow(StandIn)) DestroyWindow(StandIn);
        ControlTest::TearDown();
        // The renderers' windows go with their last references, on this thread.
        if (Installed) {
            EXPECT_TRUE(x11test::Eventually([] { return host::InstallBackend(nullptr); }));
        }
        Look.reset();
        Server.reset();
    }

    std::unique_ptr<x11test::Server> Server;
    std::unique_ptr<x11test::Client> Look;
    bool Installed = false;
    HWND StandIn = 0;
    Hosted Consumer;
    Hosted Source;
};

TEST_F(ConsumerOnDisplay, EmbeddedInAForeignWindowItShowsTheStreamAndGoesFullScreenAndBack) {
    const xcb_window_t foreign = Look->MakeWindow(60, 40, 320, 240, 0x808080);
    StandIn = host::AttachForeignWindow(foreign);
    ASSERT_NE(StandIn, 0u);
    Consumer = Make(kestravion::kVideoConsumerProgId);
    ASSERT_TRUE(Consumer);
    ASSERT_EQ(Consumer->Activate(StandIn, RECT{0, 0, 320, 240}), S_OK);
    const auto consumerId = static_cast<xcb_window_t>(host::NativeWindowId(Consumer.Window()));
    EXPECT_TRUE(x11test::Eventually([&] { return Look->ParentOf(consumerId) == foreign; }));

    Source = Make(kestravion::kVideoSourceProgId);
    ASSERT_TRUE(Source);
    AddFile(Source, MediaFile(Content::Video, 2.0), &Consumer);
    ASSERT_TRUE(Source.CallBool("Prepare"));
    ASSERT_TRUE(Source.CallBool("Pause"));
    const HWND video = GetWindow(Consumer.Window(), GW_CHILD);
    ASSERT_NE(video, 0u);
    const auto videoId = static_cast<xcb_window_t>(host::NativeWindowId(video));
    EXPECT_TRUE(x11test::Eventually([&] { return Look->ParentOf(videoId) == consumerId; }));
    EXPECT_TRUE(
        x11test::Eventually([&] { return media_test::ShowsBars(Look->Picture(foreign, 320, 240), 0, 320, 60); }, 20s))
        << "the stream's colours inside the other program's window";

    ASSERT_TRUE(Consumer.CallBool("SetFullscreen", {Variant(true)}));
    EXPECT_EQ(Look->ParentOf(videoId), Look->Root()) << "the same X window leaves the consumer";
    EXPECT_EQ(Look->Geometry(videoId), (RECT{0, 0, 640, 480}));
    EXPECT_TRUE(x11test::Eventually([&] { return media_test::ShowsBars(Look->Screen(), 0, 640, 120); }, 10s))
        << "the picture covers the screen";
    EXPECT_EQ(Look->ParentOf(consumerId), foreign) << "the consumer itself stays where it is";

    ASSERT_TRUE(Consumer.CallBool("SetFullscreen", {Variant(false)}));
    EXPECT_EQ(GetParent(video), Consumer.Window());
    EXPECT_EQ(Look->ParentOf(videoId), consumerId);
    EXPECT_EQ(Look->Geometry(videoId), (RECT{0, 0, 320, 240}));
    EXPECT_TRUE(
        x11test::Eventually([&] { return media_test::ShowsBars(Look->Picture(foreign, 320, 240), 0, 320, 60); }, 10s))
        << "back inside the other program's window, with its colours";
    EXPECT_TRUE(Source.CallBool("Stop"));
}

}  // namespace
}  // namespace control_test
