// Measures the media graph engine on a group of streams played in one graph:
// how far apart the streams' pictures drift, the CPU time each stream costs
// against GStreamer's own player on the same file, and how long a seek takes
// until every stream shows the target frame.
//
//   media_bench [--seconds N] [--media-dir DIR] [--small-streams N] [--large-streams N]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "ProcessCpu.h"
#include "kestravion/CKestravion.h"
#include "platform/media/media.h"
#include "platform/media/testkit/TestMedia.h"

namespace {

using namespace platform;
using namespace platform::media;
using Clock = std::chrono::steady_clock;

struct Options {
    double Seconds = 30.0;
    int SmallStreams = 16;
    int LargeStreams = 4;
    std::filesystem::path MediaDir;
};

struct Figures {
    double MaxSpreadMs = 0;
    double MeanSpreadMs = 0;
    double CpuPerStreamS = 0;
    double PlayerCpuS = 0;
    double SeekPausedMaxMs = 0;
    double SeekPausedMedianMs = 0;
    double SeekRunningMaxMs = 0;
    double SeekRunningMedianMs = 0;
};

void Usage() {
    std::puts(
        "usage: media_bench [--seconds N] [--media-dir DIR] [--small-streams N] [--large-streams N]\n"
        "\n"
        "Plays N streams of 320x240 VP8 video with Vorbis audio (default 16), then N streams of\n"
        "1280x720 (default 4), in one graph each, for N seconds (default 30) on the null audio\n"
        "output, and reports: the largest difference between the streams' shown positions, the\n"
        "CPU time per stream against gst-launch-1.0 playbin playing one of the same files to the\n"
        "same kind of sinks, and the time from a seek until every stream shows the target frame.\n"
        "Media are generated once into --media-dir (default: a new temporary folder).");
}

std::vector<ComPtr<IVideoFrameProbe>> Probes(CKestravion& engine) {
    std::vector<ComPtr<IVideoFrameProbe>> probes;
    for (std::uint32_t i = 0; i < engine.StreamCount; ++i) {
        void* probe = nullptr;
        if (engine.Streams[i].VideoWindow &&
            SUCCEEDED(engine.Streams[i].VideoWindow->QueryInterface(IID_IVideoFrameProbe, &probe))) {
            probes.push_back(ComPtr<IVideoFrameProbe>::Attach(static_cast<IVideoFrameProbe*>(probe)));
        }
    }
    return probes;
}

// Each stream's position at one instant: the shown frame's position plus the
// time since it was shown. The spread is the largest minus the smallest.
double SpreadMs(std::vector<ComPtr<IVideoFrameProbe>>& probes) {
    const auto now = Clock::now();
    double low = 1e300, high = -1e300;
    for (auto& probe : probes) {
        VideoFrame frame;
        if (probe->GetCurrentFrame(&frame, FALSE) != S_OK || frame.StreamTime < 0) return -1;
        const double position =
            frame.StreamTime / 10000.0 + std::chrono::duration<double, std::milli>(now - frame.ReceivedAt).count();
        low = std::min(low, position);
        high = std::max(high, position);
    }
    return high - low;
}

// Seeks and waits until every stream has shown a new frame at the target.
double SeekMs(CKestravion& engine, std::vector<ComPtr<IVideoFrameProbe>>& probes, double targetMs) {
    std::vector<std::uint64_t> before;
    for (auto& probe : probes) {
        VideoFrame frame;
        probe->GetCurrentFrame(&frame, FALSE);
        before.push_back(frame.Sequence);
    }
    const auto start = Clock::now();
    if (!engine.Seek(targetMs)) return -1;
    const REFERENCE_TIME target = static_cast<REFERENCE_TIME>(targetMs * 10000);
    const REFERENCE_TIME frameTime = 10'000'000 / 30;
    for (;;) {
        bool all = true;
        for (std::size_t i = 0; i < probes.size() && all; ++i) {
            VideoFrame frame;
            probes[i]->GetCurrentFrame(&frame, FALSE);
            all = frame.Sequence != before[i] && frame.StreamTime >= target - frameTime &&
                  frame.StreamTime <= target + 2 * frameTime;
        }
        if (all) return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (Clock::now() - start > std::chrono::seconds(10)) return -1;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

double Median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// gst-launch-1.0 playbin on one file, video converted to the same pixels and
// both streams on clock-synchronised null sinks. Returns its CPU seconds.
double PlayerCpu(const std::filesystem::path& file) {
    return bench::ProgramCpuSeconds(
        {"gst-launch-1.0", "-q", "playbin", "uri=file://" + std::filesystem::absolute(file).string(),
         "video-sink=videoconvert ! video/x-raw,format=BGRx ! fakesink sync=true", "audio-sink=fakesink sync=true"});
}

bool RunGroup(const char* title, const std::filesystem::path& file, double fileSeconds, int streams, double seconds,
              Figures& out) {
    std::printf("%s: %d streams of %s\n", title, streams, file.filename().c_str());
    CKestravion engine;
    for (int i = 0; i < streams; ++i) {
        if (!engine.AddFile(file.c_str(), 0)) {
            std::fprintf(stderr, "media_bench: cannot add %s: %s\n", file.c_str(), engine.GetErrorText());
            return false;
        }
    }
    engine.Prepare();
    auto probes = Probes(engine);
    if (static_cast<int>(probes.size()) != streams) {
        std::fprintf(stderr, "media_bench: expected %d video renderers, found %zu\n", streams, probes.size());
        return false;
    }

    // Playing: CPU over the whole run, spread sampled every 100 ms after the
    // first second (the start-up is not steady state).
    const double cpuBefore = bench::CpuSeconds();
    const auto start = Clock::now();
    if (!engine.Run()) {
        std::fprintf(stderr, "media_bench: run failed: %s\n", engine.GetErrorText());
        return false;
    }
    std::vector<double> spreads;
    int lastReport = 0;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > 1.0) {
            const double spread = SpreadMs(probes);
            if (spread >= 0) spreads.push_back(spread);
        }
        if (static_cast<int>(elapsed) / 5 != lastReport) {
            lastReport = static_cast<int>(elapsed) / 5;
            std::printf("  %4.0f s played, position %.0f ms\n", elapsed, engine.Peek());
            std::fflush(stdout);
        }
    }
    const double cpu = bench::CpuSeconds() - cpuBefore;
    const double played = std::chrono::duration<double>(Clock::now() - start).count();
    out.CpuPerStreamS = cpu / streams / played;  // per second of playback
    out.MaxSpreadMs = spreads.empty() ? -1 : *std::max_element(spreads.begin(), spreads.end());
    double sum = 0;
    for (double s : spreads) sum += s;
    out.MeanSpreadMs = spreads.empty() ? -1 : sum / spreads.size();

    // Seeks while running, then while paused, to spread-out targets.
    const double targets[] = {5000, 12000, 2500, 20000, 9000, 15000, 1000, 25000};
    std::vector<double> running, paused;
    for (double target : targets) {
        if (target > seconds * 1000 - 2000) continue;
        running.push_back(SeekMs(engine, probes, target));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    engine.Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (double target : targets) {
        if (target > seconds * 1000 - 2000) continue;
        paused.push_back(SeekMs(engine, probes, target));
    }
    auto worst = [](const std::vector<double>& v) {
        return v.empty()
                   ? -1.0
                   : (std::find(v.begin(), v.end(), -1.0) != v.end() ? -1.0 : *std::max_element(v.begin(), v.end()));
    };
    out.SeekRunningMaxMs = worst(running);
    out.SeekRunningMedianMs = Median(running);
    out.SeekPausedMaxMs = worst(paused);
    out.SeekPausedMedianMs = Median(paused);
    engine.Stop();

    std::printf("  gst-launch-1.0 playbin on the same file...\n");
    std::fflush(stdout);
    out.PlayerCpuS = PlayerCpu(file) / fileSeconds;
    return true;
}

void Print(const char* title, int streams, const Figures& f) {
    std::printf("\n== %s, %d streams\n", title, streams);
    std::printf("  position spread between streams: max %.1f ms, mean %.1f ms (target < 33 ms)\n", f.MaxSpreadMs,
                f.MeanSpreadMs);
    std::printf(
        "  CPU per stream: %.1f ms per second played; playbin on one file: %.1f ms per second; "
        "ratio %.2f (target <= 1.2)\n",
        f.CpuPerStreamS * 1000, f.PlayerCpuS * 1000, f.PlayerCpuS > 0 ? f.CpuPerStreamS / f.PlayerCpuS : -1);
    std::printf(
        "  seek to every stream showing the target frame: paused median %.0f ms, max %.0f ms; "
        "running median %.0f ms, max %.0f ms (target < 200 ms)\n",
        f.SeekPausedMedianMs, f.SeekPausedMaxMs, f.SeekRunningMedianMs, f.SeekRunningMaxMs);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status =
        bench::ReadOptions("media_bench", argc, argv,
                           {
                               {"--seconds", [&](const char* v) { options.Seconds = std::stod(v); }},
                               {"--small-streams", [&](const char* v) { options.SmallStreams = std::stoi(v); }},
                               {"--large-streams", [&](const char* v) { options.LargeStreams = std::stoi(v); }},
                               {"--media-dir", [&](const char* v) { options.MediaDir = v; }},
                           },
                           Usage);
    if (status >= 0) return status;
    if (options.Seconds < 5 || options.SmallStreams < 0 || options.SmallStreams > 16 || options.LargeStreams < 0 ||
        options.LargeStreams > 16) {
        std::fprintf(stderr, "media_bench: --seconds must be at least 5 and stream counts 0 to 16\n");
        return 2;
    }
    if (options.MediaDir.empty()) {
        char pattern[] = "/tmp/media-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("media_bench: cannot make a temporary folder");
            return 1;
        }
        options.MediaDir = pattern;
    }
    SetAudioOutput(AudioOutput::Null);

    testkit::MediaSpec small;
    small.Kind = testkit::Content::AudioVideo;
    small.Seconds = options.Seconds + 2;
    testkit::MediaSpec large = small;
    large.Width = 1280;
    large.Height = 720;
    large.Bitrate = 2'000'000;
    std::filesystem::path smallFile, largeFile;
    try {
        std::printf("making media in %s...\n", options.MediaDir.c_str());
        std::fflush(stdout);
        if (options.SmallStreams) smallFile = testkit::MakeMedia(options.MediaDir, small);
        if (options.LargeStreams) largeFile = testkit::MakeMedia(options.MediaDir, large);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "media_bench: %s\n", error.what());
        return 1;
    }

    Figures smallFigures, largeFigures;
    bool ok = true;
    if (options.SmallStreams) {
        ok = RunGroup("320x240", smallFile, small.Seconds, options.SmallStreams, options.Seconds, smallFigures) && ok;
    }
    if (options.LargeStreams) {
        ok = RunGroup("1280x720", largeFile, large.Seconds, options.LargeStreams, options.Seconds, largeFigures) && ok;
    }
    if (options.SmallStreams) Print("320x240 VP8 + Vorbis", options.SmallStreams, smallFigures);
    if (options.LargeStreams) Print("1280x720 VP8 + Vorbis", options.LargeStreams, largeFigures);
    return ok ? 0 : 1;
}
