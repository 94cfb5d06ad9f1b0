// kestravion-play on a display, run as a user runs it: a window of its own
// whose button strip answers the mouse and whose close ends the tool, and
// the grid laid into another program's window, following its size and
// ending with it.

#include <unistd.h>

#include <filesystem>

#include "MediaTestSupport.h"
#include "X11TestKit.h"

namespace {

using media_test::Content;
using platform::RECT;
using x11test::Child;
using namespace std::chrono_literals;

// The strip's place in the tool's window and the first display's.
constexpr int kMargin = 8;
constexpr int kButton = 27;
constexpr int kGridTop = 2 * kMargin + kButton;

class KestravionPlayOnDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        X11_SERVER(display, 800, 600, true);
        Server = std::move(displayHolder);
        Display = display;
        Look = std::make_unique<x11test::Client>(display);
        ASSERT_TRUE(Look->Ok());
        char pattern[] = "/tmp/kestravion-play-x11-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Folder = pattern;
        Files = {media_test::Media(Content::Video, 4.0).string(), media_test::Media(Content::Video, 3.0).string()};
    }
    void TearDown() override {
        if (Out >= 0) ::close(Out);
        Tool.reset();
        Look.reset();
        Server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }

    void Start(std::vector<std::string> options) {
        std::vector<std::string> argv{KESTRAVION_PLAY, "--registry", Folder + "/registry"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), Files.begin(), Files.end());
        std::string error;
        Tool = Child::Start(argv, Display, nullptr, &Out, &error);
        ASSERT_TRUE(Tool) << error;
    }
    // The tool's next line, or "(nothing)".
    std::string Hear() {
        std::string line;
        return x11test::ReadLine(Out, Pending, line, 10s) ? line : "(nothing)";
    }
    // Hears lines until `wanted` comes; false when it does not.
    bool HearUntil(const std::string& wanted) {
        for (int i = 0; i < 20; ++i) {
            if (Hear() == wanted) return true;
        }
        return false;
    }
    // The tool's top-level window: the root's child that shows something.
    xcb_window_t TopLevel() {
        for (xcb_window_t child : Look->ChildrenOf(Look->Root())) {
            const RECT r = Look->Geometry(child);
            if (Look->Viewable(child) && r.right - r.left > 100) return child;
        }
        return 0;
    }
    bool HasChildAt(xcb_window_t window, const RECT& place) {
        for (xcb_window_t child : Look->ChildrenOf(window)) {
            if (Look->Geometry(child) == place) return true;
        }
        return false;
    }
    // The bars of the first picture, at the first cell of `window`.
    bool ShowsFirstPicture(xcb_window_t window, int width) {
        const platform::Image picture = Look->Picture(window, kMargin + width, kGridTop + 120);
        return media_test::ShowsBars(picture, kMargin, width, kGridTop + 60);
    }

    std::unique_ptr<x11test::Server> Server;
    std::string Display;
    std::unique_ptr<x11test::Client> Look;
    std::string Folder;
    std::vector<std::string> Files;
    std::unique_ptr<Child> Tool;
    int Out = -1;
    std::string Pending;
};

TEST_F(KestravionPlayOnDisplay, ItsOwnWindowShowsThePicturesFollowsItsSizeTakesClicksAndClosingEndsTheTool) {
    Start({});
    ASSERT_EQ(Hear(), "playing 2 files");
    xcb_window_t top = 0;
    ASSERT_TRUE(x11test::Eventually([&] { return (top = TopLevel()) != 0; }));
    EXPECT_TRUE(x11test::Eventually([&] { return ShowsFirstPicture(top, 320); }, 10s)) << "the first stream's bars";

    // The user makes the window larger: the pictures share it, keeping their shape.
    Look->Resize(top, 760, 400);
    const int cell = (760 - kMargin) / 2 - kMargin;
    EXPECT_TRUE(x11test::Eventually([&] {
        return HasChildAt(top, RECT{kMargin, kGridTop, kMargin + cell, kGridTop + cell * 3 / 4});
    })) << "the displays follow the window's size";

    const platform::POINT origin = Look->OnRoot(top);
    Look->Click(top, kMargin + kButton + kButton / 2, kMargin + kButton / 2);  // Pause
    EXPECT_TRUE(HearUntil("pause"));
    Look->Click(top, kMargin + kButton / 2, kMargin + kButton / 2);  // Play
    EXPECT_TRUE(HearUntil("play"));
    // A press on Stop let go outside the strip is no click.
    Look->MoveTo(origin.x + kMargin + 2 * kButton + kButton / 2, origin.y + kMargin + kButton / 2);
    Look->Press(1);
    Look->MoveTo(origin.x + 300, origin.y + 200);
    Look->Release(1);
    Look->Sync();

    Look->Close(top);
    ASSERT_TRUE(Tool->Ended(10s)) << "closing the window ends the tool";
    EXPECT_EQ(Tool->Status(), 0);
    std::string rest, line;
    while (x11test::ReadLine(Out, Pending, line, 1s)) rest += line + "\n";
    EXPECT_EQ(rest.find("stop"), std::string::npos) << rest;
}

TEST_F(KestravionPlayOnDisplay, IntoAnotherProgramsWindowItFillsItFollowsItsSizeAndEndsWithIt) {
    const xcb_window_t foreign = Look->MakeWindow(20, 20, 500, 320, 0x808080);
    Start({"--into", std::to_string(foreign)});
    ASSERT_EQ(Hear(), "playing 2 files");
    xcb_window_t grid = 0;
    ASSERT_TRUE(x11test::Eventually([&] {
        const auto children = Look->ChildrenOf(foreign);
        grid = children.empty() ? 0 : children.front();
        return grid != 0 && Look->Viewable(grid);
    }));
    EXPECT_EQ(Look->Geometry(grid), (RECT{0, 0, 500, 320}));
    // Two cells side by side share the width, keeping the pictures' shape.
    const int cell = (500 - kMargin) / 2 - kMargin;
    EXPECT_TRUE(x11test::Eventually([&] {
        return HasChildAt(grid, RECT{kMargin, kGridTop, kMargin + cell, kGridTop + cell * 3 / 4});
    }));
    EXPECT_TRUE(x11test::Eventually([&] { return ShowsFirstPicture(foreign, cell); }, 10s))
        << "the first stream's bars inside the other program's window";

    Look->Resize(foreign, 700, 420);
    const int wider = (700 - kMargin) / 2 - kMargin;
    EXPECT_TRUE(x11test::Eventually([&] {
        return HasChildAt(grid, RECT{kMargin, kGridTop, kMargin + wider, kGridTop + wider * 3 / 4});
    }));
    EXPECT_TRUE(x11test::Eventually([&] { return Look->Geometry(grid) == (RECT{0, 0, 700, 420}); }));
    EXPECT_TRUE(x11test::Eventually([&] { return ShowsFirstPicture(foreign, wider); }, 10s))
        << "the pictures grow with the window";

    Look->Destroy(foreign);
    Look->Sync();
    ASSERT_TRUE(Tool->Ended(10s)) << "the tool ends with the window it lived in";
    EXPECT_EQ(Tool->Status(), 0);
}

TEST_F(KestravionPlayOnDisplay, AWindowThatIsNotThereOrNoDisplayIsAFailureWithItsReason) {
    const auto missing = x11test::Run(
        {KESTRAVION_PLAY, "--registry", Folder + "/registry", "--into", "0x400001", Files[0]}, Display, "");
    EXPECT_EQ(missing.Status, 1);
    EXPECT_NE(missing.Err.find("there is no X window 0x400001 on the display"), std::string::npos) << missing.Err;

    const auto noDisplay = x11test::Run(
        {KESTRAVION_PLAY, "--registry", Folder + "/registry", "--display", ":4711", "--into", "0x400001", Files[0]}, "",
        "");
    EXPECT_EQ(noDisplay.Status, 1);
    EXPECT_NE(noDisplay.Err.find(":4711"), std::string::npos) << noDisplay.Err;
}

}  // namespace
