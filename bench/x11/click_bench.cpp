// A click on the video source control's Play button, on an X display, to the
// Play event in the host's handler: the server's input (XTEST, from a
// connection of the bench's own, as a user's mouse), the backend's reader
// thread, the owner thread's queue and the control. Measured while the group
// plays N streams of 320x240 into consumer controls, as kestravion-play shows
// them.
//
//   x11_click_bench [--clicks N] [--streams N] [--display NAME]

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "kestravion/KestravionIds.h"
#include "platform/automation/container.h"
#include "platform/automation/registry.h"
#include "platform/media/media.h"
#include "platform/media/testkit/TestMedia.h"
#include "platform/window/backend.h"
#include "platform/window/host.h"
#include "platform/window/x11.h"
#include "tools/OwnControls.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

struct Options {
    int Clicks = 300;
    int Streams = 16;
    std::string Display;
};

void Usage() {
    std::puts(
        "usage: x11_click_bench [--clicks N] [--streams N] [--display NAME]\n"
        "\n"
        "Shows the video source control's button strip and N consumer controls (default\n"
        "16) playing 320x240 streams on the X display (--display, else $DISPLAY), then\n"
        "clicks Play N times (default 300) through XTEST at random intervals of 20 to\n"
        "60 ms and reports the time from the click leaving this program to the Play\n"
        "event reaching the host's handler: median, p99 and the worst (target: p99\n"
        "under 20 ms). bench/x11/run.sh starts an Xvfb for it.\n"
        "Exit status: 0 when measured, 1 when a part failed, 2 for bad usage.");
}

// The events' side: written by the control's thread, read by the clicker.
std::atomic<std::uint64_t> PlayEvents{0};
std::atomic<std::int64_t> LastPlayNs{0};

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The user's mouse: a connection of its own that clicks at a point of the
// root window and times each click to the next Play event.
std::vector<double> ClickPlay(const std::string& display, int x, int y, int clicks, int& missed) {
    std::vector<double> latencies;
    xcb_connection_t* conn = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
    if (xcb_connection_has_error(conn)) {
        xcb_disconnect(conn);
        return latencies;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    xcb_test_fake_input(conn, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<std::int16_t>(x),
                        static_cast<std::int16_t>(y), 0);
    free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause(20, 60);
    for (int i = 0; i < clicks; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        const std::uint64_t before = PlayEvents.load(std::memory_order_acquire);
        const std::int64_t sent = NowNs();
        xcb_test_fake_input(conn, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(conn, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(conn);
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (PlayEvents.load(std::memory_order_acquire) == before && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (PlayEvents.load(std::memory_order_acquire) == before) {
            ++missed;
            continue;
        }
        latencies.push_back((LastPlayNs.load(std::memory_order_acquire) - sent) / 1e6);
    }
    xcb_disconnect(conn);
    return latencies;
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const std::size_t index =
        std::min(sorted.size() - 1, static_cast<std::size_t>(std::lround(p * (sorted.size() - 1))));
    return sorted[index];
}

int Measure(const Options& options, const std::filesystem::path& folder) {
    media::testkit::MediaSpec clip;
    clip.Kind = media::testkit::Content::Video;
    clip.Seconds = 60;
    std::filesystem::path file;
    try {
        file = media::testkit::MakeMedia(folder, clip);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "x11_click_bench: %s\n", error.what());
        return 1;
    }
    SetRegistryPath((folder / "registry").string());
    const int columns = 4;
    const HWND window = CreateContainerWindow(8 + columns * 328, 43 + 4 * 248, "x11_click_bench");
    std::string why;
    auto source = tool_support::MakeOwnControl(kestravion::kVideoSourceProgId, {"kestravion", KESTRAVION_MODULE}, why);
    if (!window || !source) {
        std::fprintf(stderr, "x11_click_bench: %s\n", why.empty() ? "cannot make the window" : why.c_str());
        return 1;
    }
    DWORD cookie = 0;
    source->Connect(
        [](const EventInfo& event, std::span<Variant>) {
            if (event.Id != kestravion::kEventPlay) return;
            LastPlayNs.store(NowNs(), std::memory_order_relaxed);
            PlayEvents.fetch_add(1, std::memory_order_release);
        },
        cookie);
    const RECT strip{8, 8, 8 + kestravion::kStripWidth, 8 + kestravion::kButtonSize};
    source->Activate(window, strip);
    std::vector<std::unique_ptr<HostedControl>> consumers;
    for (int i = 0; i < options.Streams; ++i) {
        auto consumer =
            tool_support::MakeOwnControl(kestravion::kVideoConsumerProgId, {"kestravion", KESTRAVION_MODULE}, why);
        if (!consumer) {
            std::fprintf(stderr, "x11_click_bench: %s\n", why.c_str());
            return 1;
        }
        const int x = 8 + (i % columns) * 328, y = 43 + (i / columns) * 248;
        consumer->Activate(window, RECT{x, y, x + 320, y + 240});
        Variant handle, ok;
        consumer->Call("GetHandle", {}, &handle, nullptr);
        std::vector<Variant> args{Variant(file.string()), handle};
        if (source->Call("AddFile", args, &ok, nullptr) != S_OK || !ok.Bool()) {
            std::fprintf(stderr, "x11_click_bench: cannot add %s\n", file.c_str());
            return 1;
        }
        consumers.push_back(std::move(consumer));
    }
    Variant ignored;
    source->Call("Run", {}, &ignored, nullptr);
    PumpMessages(std::chrono::seconds(1));

    // Where Play is on the screen: the strip's X window's origin on the root.
    const auto stripId = static_cast<xcb_window_t>(host::NativeWindowId(source->Window()));
    xcb_connection_t* look = xcb_connect(options.Display.empty() ? nullptr : options.Display.c_str(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(look)).data->root;
    auto* place =
        xcb_translate_coordinates_reply(look, xcb_translate_coordinates(look, stripId, root, 13, 13), nullptr);
    const int x = place ? place->dst_x : 21, y = place ? place->dst_y : 21;
    free(place);
    xcb_disconnect(look);

    std::printf("clicking Play %d times while %d streams play...\n", options.Clicks, options.Streams);
    std::fflush(stdout);
    std::atomic<bool> done{false};
    std::vector<double> latencies;
    int missed = 0;
    std::thread clicker([&] {
        latencies = ClickPlay(options.Display, x, y, options.Clicks, missed);
        done.store(true, std::memory_order_release);
    });
    PumpMessagesUntil([&] { return done.load(std::memory_order_acquire); }, std::chrono::minutes(5));
    clicker.join();
    source->Call("Stop", {}, &ignored, nullptr);
    source.reset();
    consumers.clear();
    DestroyWindow(window);
    PumpMessages(std::chrono::milliseconds(200));

    std::sort(latencies.begin(), latencies.end());
    std::printf("\n== click on Play to the Play event, %zu clicks, %d streams playing, on %s\n", latencies.size(),
                options.Streams, options.Display.empty() ? std::getenv("DISPLAY") : options.Display.c_str());
    std::printf("  median %.2f ms, p99 %.2f ms (target < 20), worst %.2f ms; %d clicks without an event\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.99), latencies.empty() ? 0.0 : latencies.back(),
                missed);
    return latencies.empty() || missed > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = bench::ReadOptions("x11_click_bench", argc, argv,
                                          {
                                              {"--clicks", [&](const char* v) { options.Clicks = std::stoi(v); }},
                                              {"--streams", [&](const char* v) { options.Streams = std::stoi(v); }},
                                              {"--display", [&](const char* v) { options.Display = v; }},
                                          },
                                          Usage);
    if (status >= 0) return status;
    if (options.Clicks < 1 || options.Streams < 0 || options.Streams > 16) {
        std::fprintf(stderr, "x11_click_bench: --clicks must be at least 1 and --streams 0 to 16\n");
        return 2;
    }
    std::string error;
    auto display = MakeX11Backend(options.Display.c_str(), &error);
    if (!display || !host::InstallBackend(std::move(display))) {
        std::fprintf(stderr, "x11_click_bench: %s (bench/x11/run.sh starts an Xvfb)\n", error.c_str());
        return 1;
    }
    char pattern[] = "/tmp/x11-click-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("x11_click_bench: cannot make a temporary folder");
        return 1;
    }
    media::SetAudioOutput(media::AudioOutput::Null);
    const int result = Measure(options, pattern);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return result;
}
