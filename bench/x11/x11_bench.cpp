// Streams on screen: the media graph engine plays a group of 320x240 streams
// into windows of the window layer on an X display, and this measures the CPU
// time each stream costs beside gst-launch-1.0 playbin with ximagesink on the
// same file, and how many frames per second each stream's window presents on
// the display against the file's rate.
//
//   x11_bench [--seconds N] [--streams N] [--media-dir DIR] [--display NAME]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BenchOptions.h"
#include "ProcessCpu.h"
#include "kestravion/CKestravion.h"
#include "platform/media/media.h"
#include "platform/media/testkit/TestMedia.h"
#include "platform/window/backend.h"
#include "platform/window/host.h"
#include "platform/window/x11.h"

namespace {

using namespace platform;
using namespace platform::media;
using Clock = std::chrono::steady_clock;

constexpr int kFramesPerSecond = 30;

struct Options {
    double Seconds = 20.0;
    int Streams = 16;
    std::filesystem::path MediaDir;
    std::string Display;
};

void Usage() {
    std::puts(
        "usage: x11_bench [--seconds N] [--streams N] [--media-dir DIR] [--display NAME]\n"
        "\n"
        "Plays N streams (default 16) of one 320x240 VP8 file at 30 frames per second in one\n"
        "graph, each in a window of a 4 x 4 grid on the X display (--display, else $DISPLAY),\n"
        "for N seconds (default 20), and reports the CPU time per stream against\n"
        "gst-launch-1.0 playbin showing the same file with ximagesink on the same display,\n"
        "and the frames per second each stream's window presented on the display and\n"
        "received from its decoder. bench/x11/run.sh starts an Xvfb for it.\n"
        "Exit status: 0 when measured, 1 when a part failed, 2 for bad usage.");
}

// The display backend with a count of the pictures each window presented.
class CountingBackend final : public WindowBackend {
public:
    explicit CountingBackend(std::unique_ptr<WindowBackend> inner) : Inner(std::move(inner)) {}

    // Owner threads count, the bench reads after they stopped painting.
    std::uint64_t Presented(HWND window) {
        std::lock_guard lock(Lock);
        const auto it = Counts.find(window);
        return it == Counts.end() ? 0 : it->second->load(std::memory_order_relaxed);
    }

    const char* Name() const noexcept override { return Inner->Name(); }
    std::unique_ptr<WindowPeer> CreatePeer(const WindowPeerState& state) override {
        auto peer = Inner->CreatePeer(state);
        if (!peer) return nullptr;
        auto counter = std::make_shared<std::atomic<std::uint64_t>>(0);
        {
            std::lock_guard lock(Lock);
            Counts[state.Window] = counter;
        }
        return std::make_unique<Peer>(std::move(peer), std::move(counter));
    }
    Image Capture(HWND window) override { return Inner->Capture(window); }
    Image CaptureScreen() override { return Inner->CaptureScreen(); }
    Image CaptureFromScreen(HWND window) override { return Inner->CaptureFromScreen(window); }
    SIZE ScreenSize() const override { return Inner->ScreenSize(); }
    bool SetScreenSize(SIZE size) override { return Inner->SetScreenSize(size); }
    DWORD QueryForeignWindow(std::uint64_t id, SIZE& size) override { return Inner->QueryForeignWindow(id, size); }
    void CaptureChanged(HWND window) override { Inner->CaptureChanged(window); }

private:
    class Peer final : public WindowPeer {
    public:
        Peer(std::unique_ptr<WindowPeer> inner, std::shared_ptr<std::atomic<std::uint64_t>> counter)
            : Inner(std::move(inner)), Counter(std::move(counter)) {}
        void Update(const WindowPeerState& state) override { Inner->Update(state); }
        cairo_surface_t* BeginDraw() override { return Inner->BeginDraw(); }
        void EndDraw(const RECT& damage) override {
            Inner->EndDraw(damage);
            if (!IsRectEmpty(damage)) Counter->fetch_add(1, std::memory_order_relaxed);
        }
        Image Snapshot() const override { return Inner->Snapshot(); }
        DWORD SwitchFullScreen(const WindowPeerState& state) override { return Inner->SwitchFullScreen(state); }
        std::uint64_t NativeId() const noexcept override { return Inner->NativeId(); }

    private:
        std::unique_ptr<WindowPeer> Inner;
        std::shared_ptr<std::atomic<std::uint64_t>> Counter;
    };

    std::unique_ptr<WindowBackend> Inner;
    std::mutex Lock;
    std::map<HWND, std::shared_ptr<std::atomic<std::uint64_t>>> Counts;
};

LRESULT GridProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(window, message, wParam, lParam);
}

// gst-launch-1.0 playbin showing file with ximagesink on the display.
// Returns its CPU seconds, -1 when it failed.
double PlayerCpu(const std::filesystem::path& file) {
    return bench::ProgramCpuSeconds({"gst-launch-1.0", "-q", "playbin",
                                     "uri=file://" + std::filesystem::absolute(file).string(), "video-sink=ximagesink",
                                     "audio-sink=fakesink sync=true"});
}

struct Spread {
    double Min = 0, Median = 0, Max = 0;
};

Spread SpreadOf(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return Spread{values.front(), values[values.size() / 2], values.back()};
}

int Measure(const Options& options, CountingBackend& counting) {
    testkit::MediaSpec clip;
    clip.Kind = testkit::Content::Video;
    clip.Seconds = options.Seconds + 2;
    clip.FramesPerSecond = kFramesPerSecond;
    std::filesystem::path file;
    try {
        std::printf("making media in %s...\n", options.MediaDir.c_str());
        std::fflush(stdout);
        file = testkit::MakeMedia(options.MediaDir, clip);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "x11_bench: %s\n", error.what());
        return 1;
    }

    WNDCLASS gridClass{};
    gridClass.lpfnWndProc = &GridProcedure;
    gridClass.lpszClassName = "X11BenchGrid";
    gridClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    RegisterClass(&gridClass);
    const HWND grid = CreateWindowEx(0, "X11BenchGrid", "x11_bench", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 4 * 320, 4 * 240,
                                     0, nullptr, nullptr, nullptr);
    std::vector<HWND> cells;
    cells.reserve(static_cast<std::size_t>(std::max(options.Streams, 0)));
    for (int i = 0; i < options.Streams; ++i) {
        cells.push_back(CreateWindowEx(0, "X11BenchGrid", "", WS_CHILD | WS_VISIBLE, (i % 4) * 320, (i / 4) * 240, 320,
                                       240, grid, nullptr, nullptr, nullptr));
    }
    int result = 0;
    {
        CKestravion engine;
        for (HWND cell : cells) {
            if (!engine.AddFile(file.c_str(), cell)) {
                std::fprintf(stderr, "x11_bench: cannot add %s: %s\n", file.c_str(), engine.GetErrorText());
                return 1;
            }
        }
        engine.Prepare();
        std::vector<ComPtr<IVideoFrameProbe>> probes;
        std::vector<HWND> videos;
        for (std::uint32_t i = 0; i < engine.StreamCount; ++i) {
            void* raw = nullptr;
            if (!engine.Streams[i].VideoWindow ||
                FAILED(engine.Streams[i].VideoWindow->QueryInterface(IID_IVideoFrameProbe, &raw)))
                continue;
            probes.push_back(ComPtr<IVideoFrameProbe>::Attach(static_cast<IVideoFrameProbe*>(raw)));
            OAHWND handle = 0;
            probes.back()->GetWindowHandle(&handle);
            videos.push_back(static_cast<HWND>(handle));
        }
        if (static_cast<int>(videos.size()) != options.Streams) {
            std::fprintf(stderr, "x11_bench: expected %d video windows, found %zu\n", options.Streams, videos.size());
            return 1;
        }
        PumpMessages(std::chrono::milliseconds(500));  // the first pictures, before the clock starts

        // Steady state only: the first second is left out.
        if (!engine.Run()) {
            std::fprintf(stderr, "x11_bench: run failed: %s\n", engine.GetErrorText());
            return 1;
        }
        PumpMessages(std::chrono::seconds(1));
        auto sequences = [&] {
            std::vector<std::uint64_t> s;
            s.reserve(probes.size());
            for (auto& probe : probes) {
                VideoFrame frame;
                probe->GetCurrentFrame(&frame, FALSE);
                s.push_back(frame.Sequence);
            }
            return s;
        };
        std::vector<std::uint64_t> presentedBefore;
        presentedBefore.reserve(videos.size());
        for (HWND video : videos) presentedBefore.push_back(counting.Presented(video));
        const std::vector<std::uint64_t> receivedBefore = sequences();
        const double cpuBefore = bench::CpuSeconds();
        const auto start = Clock::now();
        std::printf("playing %d streams for %.0f s...\n", options.Streams, options.Seconds);
        std::fflush(stdout);
        PumpMessages(std::chrono::milliseconds(static_cast<long>(options.Seconds * 1000)));
        const double cpu = bench::CpuSeconds() - cpuBefore;
        const double played = std::chrono::duration<double>(Clock::now() - start).count();
        const std::vector<std::uint64_t> receivedAfter = sequences();
        std::vector<double> presented, received;
        for (std::size_t i = 0; i < videos.size(); ++i) {
            presented.push_back((counting.Presented(videos[i]) - presentedBefore[i]) / played);
            received.push_back((receivedAfter[i] - receivedBefore[i]) / played);
        }
        engine.Stop();
        PumpMessages(std::chrono::milliseconds(100));

        std::printf("gst-launch-1.0 playbin with ximagesink on the same file...\n");
        std::fflush(stdout);
        const double player = PlayerCpu(file) / clip.Seconds;
        const double perStream = cpu / options.Streams / played;
        const Spread shown = SpreadOf(presented), decoded = SpreadOf(received);
        std::printf("\n== %d streams of 320x240 at %d frames per second on %s\n", options.Streams, kFramesPerSecond,
                    options.Display.empty() ? std::getenv("DISPLAY") : options.Display.c_str());
        std::printf(
            "  CPU per stream: %.1f ms per second played; playbin with ximagesink on one file: %.1f ms per "
            "second; ratio %.2f (target <= 1.2)\n",
            perStream * 1000, player * 1000, player > 0 ? perStream / player : -1.0);
        std::printf(
            "  frames presented on the display per stream and second: min %.1f, median %.1f, max %.1f "
            "(the file's rate: %d)\n",
            shown.Min, shown.Median, shown.Max, kFramesPerSecond);
        std::printf("  frames received from the decoders per stream and second: min %.1f, median %.1f, max %.1f\n",
                    decoded.Min, decoded.Median, decoded.Max);
        if (player <= 0) result = 1;
    }
    PumpMessages(std::chrono::milliseconds(100));
    DestroyWindow(grid);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = bench::ReadOptions("x11_bench", argc, argv,
                                          {
                                              {"--seconds", [&](const char* v) { options.Seconds = std::stod(v); }},
                                              {"--streams", [&](const char* v) { options.Streams = std::stoi(v); }},
                                              {"--media-dir", [&](const char* v) { options.MediaDir = v; }},
                                              {"--display", [&](const char* v) { options.Display = v; }},
                                          },
                                          Usage);
    if (status >= 0) return status;
    if (options.Seconds < 2 || options.Streams < 1 || options.Streams > 16) {
        std::fprintf(stderr, "x11_bench: --seconds must be at least 2 and --streams 1 to 16\n");
        return 2;
    }
    if (!options.Display.empty()) setenv("DISPLAY", options.Display.c_str(), 1);  // for gst-launch-1.0 too
    std::string error;
    auto display = MakeX11Backend(options.Display.c_str(), &error);
    if (!display) {
        std::fprintf(stderr, "x11_bench: %s (bench/x11/run.sh starts an Xvfb)\n", error.c_str());
        return 1;
    }
    auto counting = std::make_unique<CountingBackend>(std::move(display));
    CountingBackend& counts = *counting;
    host::InstallBackend(std::move(counting));
    const SIZE screen = host::Backend().ScreenSize();
    if (screen.cx < 4 * 320 || screen.cy < 4 * 240)
        std::printf("note: the screen (%ldx%ld) is smaller than the grid; part of it is off screen\n",
                    static_cast<long>(screen.cx), static_cast<long>(screen.cy));
    if (options.MediaDir.empty()) {
        char pattern[] = "/tmp/x11-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("x11_bench: cannot make a temporary folder");
            return 1;
        }
        options.MediaDir = pattern;
    }
    SetAudioOutput(AudioOutput::Null);
    return Measure(options, counts);
}
