// Run: window-bench [--benchmark_filter=...]. The machine's other load shows
// in these figures; compare runs made side by side.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/window/host.h"
#include "platform/window/window.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

std::atomic<std::int64_t> Handled{0};

LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) return static_cast<LRESULT>(wParam) + 1;
    if (message == WM_APP + 1) {
        Handled.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        RECT client;
        GetClientRect(window, &client);
        HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtr(window, GWLP_USERDATA)));
        FillRect(dc, &client, brush);
        DeleteObject(brush);
        EndPaint(window, &ps);
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

const char* Class() {
    static const bool done = [] {
        WNDCLASS c;
        c.lpfnWndProc = Procedure;
        c.lpszClassName = "BenchWindow";
        return RegisterClass(&c) != 0;
    }();
    (void)done;
    return "BenchWindow";
}

HWND Make(int x, int y, int w, int h, HWND parent, COLORREF colour) {
    const HWND window = CreateWindowEx(0, Class(), "", WS_VISIBLE | (parent ? WS_CHILD : 0), x, y, w, h, parent,
                                       nullptr, nullptr, nullptr);
    SetWindowLongPtr(window, GWLP_USERDATA, static_cast<LONG_PTR>(colour));
    return window;
}

// What the 2 ms playback step does: one post to a window of another thread.
// Posts go in batches well below the queue's limit, drained between batches,
// so the figure is the accepted post, not the refusal of a full queue.
void PostToAnotherThread(benchmark::State& state) {
    constexpr std::int64_t kBatch = 1000;
    std::atomic<HWND> window{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        window = Make(0, 0, 1, 1, 0, 0);
        PumpMessagesUntil([&] { return stop.load(); }, 600s);
        DestroyWindow(window);
    });
    while (window == 0) std::this_thread::yield();
    std::int64_t refused = 0;
    std::int64_t posted = 0;
    Handled = 0;
    for (auto _ : state) {
        refused += PostMessage(window, WM_APP + 1, 0, 0) ? 0 : 1;
        if (++posted % kBatch == 0) {
            state.PauseTiming();
            while (Handled.load(std::memory_order_relaxed) < posted - refused) std::this_thread::yield();
            state.ResumeTiming();
        }
    }
    stop = true;
    owner.join();
    state.counters["refused"] = static_cast<double>(refused);
}
BENCHMARK(PostToAnotherThread);

// One SendMessage round trip to a window whose thread waits in its loop.
void SendToAnotherThread(benchmark::State& state) {
    std::atomic<HWND> window{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        window = Make(0, 0, 1, 1, 0, 0);
        PumpMessagesUntil([&] { return stop.load(); }, 600s);
        DestroyWindow(window);
    });
    while (window == 0) std::this_thread::yield();
    for (auto _ : state) benchmark::DoNotOptimize(SendMessage(window, WM_APP, 1, 0));
    stop = true;
    owner.join();
}
BENCHMARK(SendToAnotherThread);

// A full repaint of a 640 x 480 window with one child, then its composed picture.
void PaintAndCapture(benchmark::State& state) {
    const HWND top = Make(0, 0, 640, 480, 0, RGB(10, 20, 30));
    Make(100, 100, 320, 240, top, RGB(200, 100, 50));
    for (auto _ : state) {
        InvalidateRect(top, nullptr, FALSE);
        UpdateWindow(top);
        benchmark::DoNotOptimize(host::CaptureWindow(top).PixelAt(200, 200));
    }
    DestroyWindow(top);
}
BENCHMARK(PaintAndCapture)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
