// A video renderer's window on a display: inside a window another program
// owns, with the stream's colours, full screen from there and back.

#include "MediaTestSupport.h"
#include "X11TestKit.h"
#include "platform/window/backend.h"
#include "platform/window/host.h"

using namespace media_test;
using x11test::Eventually;
using namespace std::chrono_literals;

namespace {

class VideoOnDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        X11_SERVER(display, 640, 480, true);
        Server = std::move(displayHolder);
        Look = std::make_unique<x11test::Client>(display);
        ASSERT_TRUE(Look->Ok());
        std::string error;
        ASSERT_TRUE(x11test::InstallBackend(display, std::chrono::seconds(2), &error)) << error;
        Installed = true;
    }
    void TearDown() override {
        Window.Reset();
        Graph.Reset();
        if (StandIn) DestroyWindow(StandIn);
        if (Installed) {
            // The renderer's window goes with its last reference, on this thread.
            EXPECT_TRUE(Eventually([] { return host::InstallBackend(nullptr); }));
        }
        Look.reset();
        Server.reset();
    }

    std::unique_ptr<x11test::Server> Server;
    std::unique_ptr<x11test::Client> Look;
    bool Installed = false;
    HWND StandIn = 0;
    ComPtr<IGraphBuilder> Graph;
    ComPtr<IVideoWindow> Window;
};

}  // namespace

TEST_F(VideoOnDisplay, AVideoInAnotherProgramsWindowShowsTheStreamAndGoesFullScreenAndBack) {
    const xcb_window_t foreign = Look->MakeWindow(40, 30, 320, 240, 0x808080);
    StandIn = host::AttachForeignWindow(foreign);
    ASSERT_NE(StandIn, 0u);
    Graph = NewGraph();
    ASSERT_EQ(Render(Graph.Get(), Media(Content::Video, 2.0)), S_OK);
    auto windows = RenderersOf<IVideoWindow>(Graph.Get(), IID_IVideoWindow);
    ASSERT_EQ(windows.size(), 1u);
    Window = windows[0];
    ASSERT_EQ(Window->put_Owner(static_cast<OAHWND>(StandIn)), S_OK);
    ASSERT_EQ(Window->put_WindowStyle(static_cast<LONG>(WS_CHILD | WS_CLIPSIBLINGS)), S_OK);
    ASSERT_EQ(Window->SetWindowPosition(0, 0, 320, 240), S_OK);
    ASSERT_EQ(Window->put_Visible(OATRUE), S_OK);
    auto control = Query<IMediaControl>(Graph.Get(), IID_IMediaControl);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    auto probe = Query<IVideoFrameProbe>(Window.Get(), IID_IVideoFrameProbe);
    OAHWND handle = 0;
    ASSERT_EQ(probe->GetWindowHandle(&handle), S_OK);
    const auto video = static_cast<xcb_window_t>(host::NativeWindowId(static_cast<HWND>(handle)));
    EXPECT_TRUE(Eventually([&] { return Look->ParentOf(video) == foreign; }));

    EXPECT_TRUE(Eventually([&] { return ShowsBars(Look->Picture(foreign, 320, 240), 0, 320, 60); }, 20s))
        << "the stream's colours inside the other program's window";

    ASSERT_EQ(Window->put_FullScreenMode(OATRUE), S_OK);
    EXPECT_EQ(Look->ParentOf(video), Look->Root());
    EXPECT_TRUE(Eventually([&] { return ShowsBars(Look->Screen(), 0, 640, 120); }, 10s))
        << "the picture covers the screen";

    ASSERT_EQ(Window->put_FullScreenMode(OAFALSE), S_OK);
    EXPECT_EQ(Look->ParentOf(video), foreign);
    EXPECT_EQ(Look->Geometry(video), (RECT{0, 0, 320, 240}));
    EXPECT_TRUE(Eventually([&] { return ShowsBars(Look->Picture(foreign, 320, 240), 0, 320, 60); }, 10s))
        << "back inside, with its colours";
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
}
