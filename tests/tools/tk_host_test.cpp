// examples/tk_host.py on a display: a plain Tk program starts kestravion-play
// inside its frame; the pictures show inside the Tk window, follow the
// window's size, and go when the Tk program is told to end.

#include <unistd.h>

#include <filesystem>

#include "MediaTestSupport.h"
#include "X11TestKit.h"

namespace {

using media_test::Content;
using platform::RECT;
using x11test::Child;
using namespace std::chrono_literals;

constexpr int kMargin = 8;
constexpr int kGridTop = 2 * kMargin + 27;

TEST(TkHost, TheVideoPlaysInsideTheTkFrameFollowsTheWindowsSizeAndEndsWithIt) {
    X11_SERVER(display, 800, 600, true);
    x11test::Client look(display);
    ASSERT_TRUE(look.Ok());
    char pattern[] = "/tmp/tk-host-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    int out = -1;
    std::string error, pending, line;
    auto host =
        Child::Start({"/usr/bin/python3", TK_HOST, "--player", KESTRAVION_PLAY, "--registry", folder + "/registry",
                      media_test::Media(Content::Video, 4.0).string(), media_test::Media(Content::Video, 3.0).string()},
                     display, nullptr, &out, &error);
    ASSERT_TRUE(host) << error;
    ASSERT_TRUE(x11test::ReadLine(out, pending, line, 10s)) << "tk_host.py said nothing (is python3-tk there?)";
    ASSERT_EQ(line.rfind("frame 0x", 0), 0u) << line;
    const auto frame = static_cast<xcb_window_t>(std::stoul(line.substr(6), nullptr, 16));

    xcb_window_t grid = 0;
    ASSERT_TRUE(x11test::Eventually(
        [&] {
            const auto children = look.ChildrenOf(frame);
            grid = children.empty() ? 0 : children.front();
            return grid != 0 && look.Viewable(grid);
        },
        10s))
        << "kestravion-play put its window into the Tk frame";
    const RECT before = look.Geometry(frame);
    EXPECT_EQ(look.Geometry(grid), (RECT{0, 0, before.right - before.left, before.bottom - before.top}));
    const auto showsBars = [&](int width) {
        const platform::Image picture = look.Picture(frame, kMargin + width, kGridTop + 100);
        return media_test::ShowsBars(picture, kMargin, width, kGridTop + 50);
    };
    const int cell = static_cast<int>((before.right - before.left - kMargin) / 2 - kMargin);
    EXPECT_TRUE(x11test::Eventually([&] { return showsBars(cell); }, 10s)) << "the video inside the Tk window";

    // The Tk window grows as a window manager would grow it; its frame and
    // the pictures in it follow.
    xcb_window_t top = frame;
    while (look.ParentOf(top) != look.Root() && look.ParentOf(top) != 0) top = look.ParentOf(top);
    const RECT outer = look.Geometry(top);
    look.Resize(top, static_cast<int>(outer.right - outer.left) + 200,
                static_cast<int>(outer.bottom - outer.top) + 100);
    RECT after{};
    EXPECT_TRUE(x11test::Eventually([&] {
        after = look.Geometry(frame);
        return after.right - after.left == before.right - before.left + 200 &&
               look.Geometry(grid) == (RECT{0, 0, after.right - after.left, after.bottom - after.top});
    })) << "the frame and the player's window follow the Tk window";
    const int wider = static_cast<int>((after.right - after.left - kMargin) / 2 - kMargin);
    EXPECT_TRUE(x11test::Eventually([&] { return showsBars(wider); }, 10s)) << "the pictures grow with it";

    host->Stop();
    EXPECT_TRUE(x11test::Eventually([&] { return !look.Exists(grid); }, 10s)) << "the player ends with the Tk program";
    ::close(out);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
