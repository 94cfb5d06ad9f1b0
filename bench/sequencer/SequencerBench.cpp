// Measures the sequencer:
//   step            cost of one PlaybackStep on a dense song (64 tracks, hundreds
//                   of events due per step): mean, percentiles, allocations
//   make-song OUT S a realistic song of about S seconds for the render and
//                   drift measurements (run.sh compares the render with fluidsynth)
//   drift SONG      plays SONG in real time on the default device and reports
//                   how far the song-end notification lies from its expected time
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "SmfBuilder.h"
#include "midiframework/midifile.h"
#include "midiframework/midioutput.h"
#include "orvalis/Sequencer.h"
#include "orvalis/SongTimeline.h"
#include "platform/clock/clock.h"
#include "platform/clock/manualclock.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"

// Every allocation of this program passes here; those made on a thread while
// it runs a step are counted.
namespace {
thread_local bool InStep = false;
std::atomic<std::uint64_t> StepAllocations{0};

void* Allocate(std::size_t size) {
    if (InStep) {
        StepAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

std::unique_ptr<MIDI::File> Parse(const smf::Bytes& bytes) {
    auto file = std::make_unique<MIDI::File>();
    file->LoadFromMemory(bytes.data(), bytes.size());
    return file;
}

void Load(orvalis::Sequencer& sequencer, std::unique_ptr<MIDI::File> file) {
    orvalis::SongTimeline timeline;
    timeline.PrepareSong(*file);
    sequencer.LoadSong(std::move(file), std::move(timeline));
}

// 64 tracks on 16 channels; every tick of every track carries a note-off, a
// note-on and a controller or pitch bend, so at 120 beats per minute and 480
// ticks per quarter each 2 ms step has about 370 events due.
// With tempoChanges, a conductor track changes the tempo every 24 ticks.
smf::Bytes DenseSong(std::uint32_t ticks, bool tempoChanges) {
    smf::SmfBuilder builder(1, 480);
    if (tempoChanges) {
        smf::TrackBuilder conductor;
        for (std::uint32_t tick = 0; tick < ticks; tick += 24) {
            conductor.Tempo(tick == 0 ? 0 : 24, 400000 + (tick * 7919) % 200000);
        }
        conductor.EndOfTrack(0);
        builder.AddTrack(conductor);
    }
    for (int track = 0; track < 64; ++track) {
        smf::TrackBuilder t;
        const int channel = track % 16;
        t.Program(0, channel, track % 128);
        int previous = 36 + track % 48;
        t.NoteOn(0, channel, previous, 80);
        for (std::uint32_t tick = 1; tick < ticks; ++tick) {
            const int note = 36 + (track * 7 + static_cast<int>(tick) * 5) % 60;
            t.NoteOff(1, channel, previous).NoteOn(0, channel, note, 60 + static_cast<int>(tick % 60));
            if (tick % 2) {
                t.Control(0, channel, (tick % 4 == 1) ? 7 : 11, static_cast<int>(tick % 128));
            } else {
                t.PitchBend(0, channel, static_cast<int>((tick * 37) % 16384));
            }
            previous = note;
        }
        t.NoteOff(1, channel, previous).EndOfTrack(0);
        builder.AddTrack(t);
    }
    return builder.Build();
}

int RunStepBench(int device, bool follow, bool fullChase) {
    const char* deviceName = device == platform::kCaptureDevice ? "capture device" : "no open device";
    std::printf("== step cost, dense song, %s%s%s\n", deviceName,
                follow ? ", following the tempo map (a change every 24 ticks)" : "",
                fullChase ? ", complete chase" : "");
    platform::ManualClock clock;
    platform::MidiOutConfig config = platform::MidiOutConfiguration();
    config.TimeSource = &clock;
    platform::ConfigureMidiOut(config);
    MidiOutput output;
    if (device >= 0 && !output.Open(device)) {
        std::fprintf(stderr, "sequencer-bench: device %d did not open: %s\n", device,
                     platform::MidiOutLastError().c_str());
        return 1;
    }
    orvalis::Sequencer sequencer(output, &clock);
    constexpr std::uint32_t kTicks = 12000;
    sequencer.SetFollowTempoMap(follow ? 1 : 0);
    sequencer.SetFullChase(fullChase ? 1 : 0);
    Load(sequencer, Parse(DenseSong(kTicks, follow)));
    // Loop over most of the song so that wraps (release and restore) are
    // among the measured steps, and seek now and then.
    sequencer.SetLoopStart(0);
    sequencer.SetLoopEnd(3);
    sequencer.EnableLoop(1);
    sequencer.Play();

    constexpr int kSteps = 10000;
    std::vector<double> micros;
    micros.reserve(kSteps);
    std::uint64_t elapsed = 0;
    StepAllocations = 0;
    for (int i = 0; i < kSteps; ++i) {
        if (i % 2500 == 1250) {
            sequencer.Seek(i / 2500 % 3);
        }
        // The capture device grows its recording on a thread of its own, in
        // time for steps 2 ms apart; back-to-back steps would outrun it.
        if (device >= 0) {
            std::this_thread::sleep_for(250us);
        }
        const auto begin = Steady::now();
        InStep = true;
        sequencer.PlaybackStep(static_cast<std::uint32_t>(elapsed));
        InStep = false;
        micros.push_back(std::chrono::duration<double, std::micro>(Steady::now() - begin).count());
        elapsed += orvalis::Sequencer::kPeriodMs;
    }
    sequencer.Stop();
    std::vector<double> sorted = micros;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double m : micros) {
        sum += m;
    }
    auto at = [&](double q) { return sorted[static_cast<std::size_t>(q * (sorted.size() - 1))]; };
    std::printf("steps %d, loop wraps %llu, events due per step about %.0f\n", kSteps,
                static_cast<unsigned long long>(sequencer.GetLoopWraps()), 64 * 3 * 1.92);
    std::printf("mean %.1f us   p50 %.1f us   p99 %.1f us   max %.1f us   (budget 2000 us)\n", sum / kSteps, at(0.50),
                at(0.99), sorted.back());
    std::printf("allocations in the step: %llu\n", static_cast<unsigned long long>(StepAllocations.load()));
    if (device >= 0) {
        std::printf("messages recorded %zu, lost %llu\n", platform::CapturedMessages().size(),
                    static_cast<unsigned long long>(platform::CapturedMessagesDropped()));
    }
    output.Close();
    return StepAllocations.load() == 0 ? 0 : 1;
}

using Timed = smf::TimedTrack;

// A song of about the given seconds at 120 beats per minute: piano chords, a
// bass line, drums, a string pad and a melody, with controllers and bends, so
// that a synthesizer has some twenty voices to render.
int MakeSong(const char* path, int seconds) {
    const int bars = std::max(1, seconds / 2);  // 4/4 at 120: two seconds a bar
    const auto end = static_cast<std::uint32_t>(bars) * 1920;
    smf::SmfBuilder builder(1, 480);
    smf::TrackBuilder conductor;
    conductor.Tempo(0, 500000).TimeSignature(0, 4, 2).EndOfTrack(end);
    builder.AddTrack(conductor);
    const int roots[] = {48, 53, 55, 50};
    Timed piano, bass, drums, pad, lead;
    piano.B.Program(0, 0, 0).Control(0, 0, 7, 100);
    bass.B.Program(0, 1, 33).Control(0, 1, 7, 110);
    drums.B.Control(0, 9, 7, 100);
    pad.B.Program(0, 2, 48).Control(0, 2, 7, 70).Control(0, 2, 10, 40);
    lead.B.Program(0, 3, 73).Control(0, 3, 7, 90);
    for (int bar = 0; bar < bars; ++bar) {
        const int root = roots[bar % 4];
        const auto barTick = static_cast<std::uint32_t>(bar) * 1920;
        for (std::uint32_t beat = 0; beat < 4; ++beat) {
            const std::uint32_t t = barTick + beat * 480;
            piano.B.NoteOn(piano.At(t), 0, root + 12, 80).NoteOn(0, 0, root + 16, 75).NoteOn(0, 0, root + 19, 75);
            piano.B.NoteOff(piano.At(t + 440), 0, root + 12).NoteOff(0, 0, root + 16).NoteOff(0, 0, root + 19);
            const int bassNote = root - 12 + static_cast<int>(beat % 2) * 7;
            bass.B.NoteOn(bass.At(t), 1, bassNote, 100).NoteOff(bass.At(t + 400), 1, bassNote);
            bass.B.Control(bass.At(t + 420), 1, 1, static_cast<int>(beat) * 20);
            for (std::uint32_t eighth = 0; eighth < 2; ++eighth) {
                const int kick = eighth == 0 && beat % 2 == 0 ? 36 : 38;
                drums.B.NoteOn(drums.At(t + eighth * 240), 9, 42, 70).NoteOn(0, 9, kick, 100);
                drums.B.NoteOff(drums.At(t + eighth * 240 + 120), 9, 42).NoteOff(0, 9, kick);
            }
        }
        pad.B.NoteOn(pad.At(barTick), 2, root, 60).NoteOn(0, 2, root + 7, 60);
        pad.B.PitchBend(pad.At(barTick + 960), 2, 8192 + 600).PitchBend(pad.At(barTick + 1860), 2, 8192);
        pad.B.NoteOff(pad.At(barTick + 1900), 2, root).NoteOff(0, 2, root + 7);
        for (std::uint32_t step = 0; step < 8; ++step) {
            const int note = 72 + (bar * 3 + static_cast<int>(step) * 5) % 12;
            lead.B.NoteOn(lead.At(barTick + step * 240), 3, note, 90)
                .NoteOff(lead.At(barTick + step * 240 + 200), 3, note);
        }
    }
    for (Timed* t : {&piano, &bass, &drums, &pad, &lead}) {
        t->B.EndOfTrack(t->At(end));
        builder.AddTrack(t->B);
    }
    try {
        builder.WriteTo(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sequencer-bench: %s\n", e.what());
        return 1;
    }
    std::printf("wrote %s: %d bars, %d s at 120 beats per minute\n", path, bars, bars * 2);
    return 0;
}

// Notes the real-clock time of the first song end.
class EndWatch final : public orvalis::NotificationSink {
public:
    void Post(std::uint32_t message, std::uintptr_t, std::intptr_t) noexcept override {
        if (message == orvalis::WM_SONG_END) {
            std::int64_t none = 0;
            EndNs.compare_exchange_strong(none, platform::RealClock().NowNs());
        }
    }
    std::atomic<std::int64_t> EndNs{0};
};

// Counts the ticks the timer delivers: with merged pulses there are fewer
// ticks than periods, which is what a step counting calls would lose.
class CountingSequencer final : public orvalis::Sequencer {
public:
    using Sequencer::Sequencer;
    ~CountingSequencer() override { EndTimerThread(); }
    void OnTick(std::uint32_t elapsedMs) override {
        Ticks.fetch_add(1, std::memory_order_relaxed);
        Sequencer::OnTick(elapsedMs);
    }
    std::atomic<std::uint64_t> Ticks{0};
};

int RunDrift(const char* path, int device, int warmupSeconds) {
    MIDI::File probe;
    try {
        probe.Load(path);
    } catch (const char* text) {
        std::fprintf(stderr, "sequencer-bench: %s: %s\n", path, text);
        return 1;
    }
    if (probe.GetTrackCount() == 0) {
        std::fprintf(stderr, "sequencer-bench: %s: no tracks\n", path);
        return 1;
    }
    MidiOutput output;
    if (!output.Open(device)) {
        std::fprintf(stderr, "sequencer-bench: device %d did not open: %s\n", device,
                     platform::MidiOutLastError().c_str());
        return 1;
    }
    std::printf("== real-time drift on device %d, %d s warm-up\n", device, warmupSeconds);
    std::this_thread::sleep_for(std::chrono::seconds(warmupSeconds));
    EndWatch watch;
    CountingSequencer sequencer(output);
    sequencer.SetNotificationSink(&watch);
    auto file = std::make_unique<MIDI::File>();
    file->Load(path);
    Load(sequencer, std::move(file));
    const orvalis::SongTimeline& timeline = sequencer.Timeline();

    // The step that first sees the position past the end: the k-th period
    // after the timer started, with the position summed as the step sums it.
    const double increment = sequencer.GetTickIncrement();
    double position = 0;
    std::uint64_t periods = 0;
    while (position <= static_cast<double>(timeline.SongEndTick)) {
        position += increment;
        ++periods;
    }
    const double expectedMs = static_cast<double>(periods * orvalis::Sequencer::kPeriodMs);
    const double nominalMs = timeline.SongEndTick * 60000.0 / (timeline.Division * sequencer.GetTempo());

    const std::int64_t startNs = platform::RealClock().NowNs();
    if (!sequencer.Play()) {
        std::fprintf(stderr, "sequencer-bench: the timer did not start\n");
        return 1;
    }
    while (watch.EndNs.load() == 0) {
        std::this_thread::sleep_for(1ms);
    }
    const double actualMs = static_cast<double>(watch.EndNs.load() - startNs) / 1e6;
    const std::uint64_t ticks = sequencer.Ticks.load();
    sequencer.Stop();
    std::printf("song %.3f s (nominal %.3f s); expected song end after %.3f s of %llu periods\n", expectedMs / 1000,
                nominalMs / 1000, expectedMs / 1000, static_cast<unsigned long long>(periods));
    std::printf("song end came after %.3f s: drift %+.3f ms\n", actualMs / 1000, actualMs - expectedMs);
    std::printf("timer ticks %llu for %llu periods: %llu pulses merged (a step counting calls would be %.0f ms late)\n",
                static_cast<unsigned long long>(ticks), static_cast<unsigned long long>(periods),
                static_cast<unsigned long long>(periods > ticks ? periods - ticks : 0),
                periods > ticks ? static_cast<double>(periods - ticks) * orvalis::Sequencer::kPeriodMs : 0.0);
    output.Close();
    return 0;
}

void Usage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: sequencer-bench step [--device N] [--follow-tempo] [--full-chase]\n"
                 "       sequencer-bench make-song OUT.mid SECONDS\n"
                 "       sequencer-bench drift SONG.mid [--device N] [--warmup SECONDS]\n"
                 "step: cost of the 2 ms step on a dense song (default: the capture device;\n"
                 "      --device -2 sends to no open device; --follow-tempo and --full-chase\n"
                 "      switch the options on); exits 1 if the step allocated.\n"
                 "drift: plays SONG in real time (default device 0, the synthesizer) and\n"
                 "      reports the song end's distance from its expected time.\n");
}

}  // namespace

int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape): running out of memory ends the bench
    // Notices go to standard error; keep the figures in order with them.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        Usage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    auto option = [&](const char* name, int fallback) {
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == name) {
                return std::atoi(args[i + 1].c_str());
            }
        }
        return fallback;
    };
    if (args[0] == "step") {
        const auto has = [&](const char* name) { return std::find(args.begin(), args.end(), name) != args.end(); };
        return RunStepBench(option("--device", platform::kCaptureDevice), has("--follow-tempo"), has("--full-chase"));
    }
    if (args[0] == "make-song" && args.size() == 3) {
        return MakeSong(args[1].c_str(), std::atoi(args[2].c_str()));
    }
    if (args[0] == "drift" && args.size() >= 2) {
        return RunDrift(args[1].c_str(), option("--device", platform::kSynthesizerDevice), option("--warmup", 3));
    }
    Usage(stderr);
    return 2;
}
