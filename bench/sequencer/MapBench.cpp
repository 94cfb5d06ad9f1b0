// Measures the sequencer's two options:
//   make-song OUT.mid MINUTES CHANGES
//                  a piano song of MINUTES with CHANGES tempo changes; its first
//                  and last notes stand alone, and the exact times of both under
//                  the tempo map (worked out here in whole units) are printed
//   render SONG OUT.wav
//                  renders SONG offline through the synthesizer, following the
//                  tempo map, and prints when the first and last note-ons went out
//   drift SONG     plays SONG in real time on the synthesizer, following the map,
//                  and prints when the first and last note-ons went out
//   onset WAV SECONDS
//                  the onset, in seconds, of the first note that sounds after
//                  SECONDS - 1.5 (the same rule for every renderer's file)
//   chase-size     the messages a seek into a dense orchestral song sends: the
//                  complete chase against replaying every earlier controller
//                  event, and the eight values per channel of the restore
//                  without the option
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
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
#include "platform/midi/midi.h"

namespace {

using namespace std::chrono_literals;

constexpr int kDivision = 960;
constexpr int kKey = 72;
constexpr int kVelocity = 110;

using Timed = smf::TimedTrack;

struct Change {
    std::uint32_t Tick;
    std::uint32_t Microseconds;
};

// The exact time of tick in microseconds: whole units of 1/division us summed
// stretch by stretch, divided once.
long double ExactMicroseconds(const std::vector<Change>& map, std::uint32_t tick) {
    long double units = 0;
    for (std::size_t i = 0; i < map.size() && map[i].Tick < tick; ++i) {
        const std::uint32_t to = i + 1 < map.size() ? std::min(map[i + 1].Tick, tick) : tick;
        units += static_cast<long double>(std::uint64_t{to - map[i].Tick} * map[i].Microseconds);
    }
    return units / kDivision;
}

int MakeSong(const char* path, int minutes, int changes) {
    std::mt19937 random(20241207);
    std::vector<Change> map;
    // 125 beats per minute at first: a tick is 0.5 ms, so the first note, at
    // tick 1000, sounds exactly on a 2 ms step.
    map.push_back({0, 480000});
    const double stretchSeconds = minutes * 60.0 / changes;
    std::uint32_t tick = 0;
    for (int i = 1; i < changes; ++i) {
        tick += static_cast<std::uint32_t>(stretchSeconds * 1e6 / map.back().Microseconds * kDivision);
        tick += static_cast<std::uint32_t>(random() % 97);
        map.push_back({tick, 333333 + static_cast<std::uint32_t>(random() % 666667)});  // 60 to 180 bpm
    }
    // The song runs on past the last change; the last note follows 3 s of
    // rest, on the tick whose exact time lies closest before a 2 ms step, so
    // that the step rule adds (almost) nothing to it.
    const std::uint32_t lastChange = map.back().Tick;
    const std::uint32_t restStart =
        lastChange + static_cast<std::uint32_t>(stretchSeconds * 1e6 / map.back().Microseconds * kDivision);
    const std::uint32_t ticksPerSecond = static_cast<std::uint32_t>(1e6 / map.back().Microseconds * kDivision);
    std::uint32_t lastNote = restStart + 3 * ticksPerSecond;
    long double bestGap = 1e9;
    for (std::uint32_t t = lastNote; t < lastNote + ticksPerSecond / 2; ++t) {
        const long double us = ExactMicroseconds(map, t);
        const long double gap = std::ceil(us / 2000.0L) * 2000.0L - us;
        if (gap < bestGap) {
            bestGap = gap;
            tick = t;
        }
    }
    lastNote = tick;
    const std::uint32_t end = lastNote + 2 * ticksPerSecond;

    smf::SmfBuilder builder(1, kDivision);
    Timed conductor;
    for (const Change& c : map) {
        conductor.B.Tempo(conductor.At(c.Tick), c.Microseconds);
    }
    conductor.B.EndOfTrack(conductor.At(end));
    builder.AddTrack(conductor.B);
    Timed piano;
    piano.B.Program(0, 0, 0).Control(0, 0, 7, 100);
    const std::uint32_t firstNote = 1000;
    piano.B.NoteOn(piano.At(firstNote), 0, kKey, kVelocity).NoteOff(piano.At(firstNote + 400), 0, kKey);
    // Chords every beat from 3 s in until the rest, quieter than the two notes.
    const int chords[][3] = {{48, 52, 55}, {53, 57, 60}, {55, 59, 62}, {50, 53, 57}};
    int bar = 0;
    for (std::uint32_t t = 6000; t + kDivision < restStart; t += kDivision, ++bar) {
        const int* chord = chords[bar / 4 % 4];
        piano.B.NoteOn(piano.At(t), 0, chord[0], 60).NoteOn(0, 0, chord[1], 55).NoteOn(0, 0, chord[2], 55);
        piano.B.NoteOff(piano.At(t + kDivision * 3 / 4), 0, chord[0]).NoteOff(0, 0, chord[1]).NoteOff(0, 0, chord[2]);
    }
    piano.B.NoteOn(piano.At(lastNote), 0, kKey, kVelocity).NoteOff(piano.At(lastNote + 400), 0, kKey);
    piano.B.EndOfTrack(piano.At(end));
    builder.AddTrack(piano.B);
    try {
        builder.WriteTo(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sequencer-map-bench: %s\n", e.what());
        return 1;
    }
    std::printf("wrote %s: %d tempo changes, %.1f s\n", path, changes,
                static_cast<double>(ExactMicroseconds(map, end) / 1e6L));
    std::printf("first note: tick %u, exact %.6f s\n", firstNote,
                static_cast<double>(ExactMicroseconds(map, firstNote) / 1e6L));
    std::printf("last note: tick %u, exact %.6f s (the step rule adds %.4f ms)\n", lastNote,
                static_cast<double>(ExactMicroseconds(map, lastNote) / 1e6L), static_cast<double>(bestGap / 1000));
    return 0;
}

std::unique_ptr<MIDI::File> ReadSong(const char* path) {
    auto file = std::make_unique<MIDI::File>();
    try {
        file->Load(path);
    } catch (const char* text) {
        std::fprintf(stderr, "sequencer-map-bench: %s: %s\n", path, text);
        return nullptr;
    }
    if (file->GetTrackCount() == 0) {
        std::fprintf(stderr, "sequencer-map-bench: %s: no tracks\n", path);
        return nullptr;
    }
    return file;
}

// When the first and the last note-on of the bench's key went out, on clock.
class NoteWatch final : public orvalis::NotificationSink {
public:
    explicit NoteWatch(platform::Clock& clock) : Clock(clock) {}
    void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t) noexcept override {
        const std::int64_t now = Clock.NowNs();
        if (message == orvalis::WM_SONG_END) {
            Ended.store(true, std::memory_order_release);
        } else if (message == orvalis::WM_NOTE_ON && (wParam >> 16 & 0xFF) == kKey &&
                   (wParam >> 8 & 0xFF) == kVelocity) {
            std::int64_t none = 0;
            FirstNs.compare_exchange_strong(none, now);
            LastNs.store(now, std::memory_order_relaxed);
        }
    }
    platform::Clock& Clock;
    std::atomic<std::int64_t> FirstNs{0};
    std::atomic<std::int64_t> LastNs{0};
    std::atomic<bool> Ended{false};
};

// Loads file into sequencer, which follows its tempo map and reports its notes to watch.
void FollowSong(orvalis::Sequencer& sequencer, NoteWatch& watch, std::unique_ptr<MIDI::File> file) {
    sequencer.SetNotificationSink(&watch);
    sequencer.SetMonitor(1);
    sequencer.SetFollowTempoMap(1);
    orvalis::SongTimeline timeline;
    timeline.PrepareSong(*file);
    sequencer.LoadSong(std::move(file), std::move(timeline));
}

bool OpenSynthesizer(MidiOutput& output) {
    if (output.Open(platform::kSynthesizerDevice)) {
        return true;
    }
    std::fprintf(stderr, "sequencer-map-bench: the synthesizer did not open: %s\n",
                 platform::MidiOutLastError().c_str());
    return false;
}

void Report(const char* what, const NoteWatch& watch, std::int64_t startNs) {
    std::printf("%s: first note-on sent %.6f s after Play, last %.6f s\n", what,
                static_cast<double>(watch.FirstNs.load() - startNs) / 1e9,
                static_cast<double>(watch.LastNs.load() - startNs) / 1e9);
}

int Render(const char* path, const char* wav, const char* soundFont) {
    std::unique_ptr<MIDI::File> file = ReadSong(path);
    if (!file) {
        return 1;
    }
    platform::ManualClock clock;
    platform::MidiOutConfig config = platform::MidiOutConfiguration();
    config.WavPath = wav;
    config.SoundFont = soundFont;
    config.TimeSource = &clock;
    platform::ConfigureMidiOut(config);
    MidiOutput output;
    if (!OpenSynthesizer(output)) {
        return 1;
    }
    {
        // The step is called here right after each advance of the clock; the
        // sequencer's own timer waits on a clock that never moves.
        platform::ManualClock idle;
        orvalis::Sequencer sequencer(output, &idle);
        NoteWatch watch(clock);
        FollowSong(sequencer, watch, std::move(file));
        const std::int64_t startNs = clock.NowNs();
        sequencer.Play();
        std::uint32_t elapsed = 0;
        const auto began = std::chrono::steady_clock::now();
        while (!watch.Ended.load()) {
            clock.Advance(2ms);
            elapsed += orvalis::Sequencer::kPeriodMs;
            sequencer.PlaybackStep(elapsed);
        }
        sequencer.Stop();
        clock.Advance(1000ms);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        Report("offline render", watch, startNs);
        std::printf("rendered %.1f s of song in %.2f s\n", elapsed / 1000.0, wall);
        sequencer.SetNotificationSink(nullptr);
    }
    output.Close();
    return 0;
}

int Drift(const char* path, int warmupSeconds) {
    std::unique_ptr<MIDI::File> file = ReadSong(path);
    if (!file) {
        return 1;
    }
    MidiOutput output;
    if (!OpenSynthesizer(output)) {
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(warmupSeconds));
    {
        NoteWatch watch(platform::RealClock());
        orvalis::Sequencer sequencer(output);
        FollowSong(sequencer, watch, std::move(file));
        const std::int64_t startNs = platform::RealClock().NowNs();
        if (!sequencer.Play()) {
            std::fprintf(stderr, "sequencer-map-bench: the timer did not start\n");
            return 1;
        }
        while (!watch.Ended.load()) {
            std::this_thread::sleep_for(10ms);
        }
        sequencer.Stop();
        Report("real time", watch, startNs);
        sequencer.SetNotificationSink(nullptr);
    }
    output.Close();
    return 0;
}

// 16-bit PCM WAV, any channel count: the samples of the first channel.
bool ReadWav(const char* path, std::vector<std::int16_t>& samples, int& rate) {
    std::ifstream in(path, std::ios::binary);
    char riff[12];
    if (!in.read(riff, 12) || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return false;
    }
    int channels = 0;
    int bits = 0;
    for (;;) {
        char header[8];
        if (!in.read(header, 8)) {
            return false;
        }
        std::uint32_t size = 0;
        std::memcpy(&size, header + 4, 4);
        if (std::memcmp(header, "fmt ", 4) == 0) {
            std::vector<char> fmt(size);
            in.read(fmt.data(), size);
            std::uint16_t c = 0, b = 0;
            std::uint32_t r = 0;
            std::memcpy(&c, fmt.data() + 2, 2);
            std::memcpy(&r, fmt.data() + 4, 4);
            std::memcpy(&b, fmt.data() + 14, 2);
            channels = c;
            rate = static_cast<int>(r);
            bits = b;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (bits != 16 || channels < 1) {
                return false;
            }
            std::vector<std::int16_t> all(size / 2);
            in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size() * 2));
            all.resize(static_cast<std::size_t>(in.gcount()) / 2);
            for (std::size_t i = 0; i < all.size(); i += static_cast<std::size_t>(channels)) {
                samples.push_back(all[i]);
            }
            return true;
        } else {
            in.seekg(size + (size & 1), std::ios::cur);
        }
    }
}

// The first sample from 1.5 s before the given time whose level reaches a
// tenth of the loudest sample of the 3 s around it: the note's onset.
int Onset(const char* path, double seconds) {
    std::vector<std::int16_t> samples;
    int rate = 0;
    if (!ReadWav(path, samples, rate) || rate <= 0) {
        std::fprintf(stderr, "sequencer-map-bench: %s: not a 16-bit PCM WAV file\n", path);
        return 1;
    }
    const auto from = static_cast<std::size_t>(std::max(0.0, (seconds - 1.5) * rate));
    const auto to = std::min(samples.size(), static_cast<std::size_t>((seconds + 1.5) * rate));
    int peak = 0;
    for (std::size_t i = from; i < to; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    }
    for (std::size_t i = from; i < to; ++i) {
        if (peak > 0 && std::abs(static_cast<int>(samples[i])) * 10 >= peak) {
            std::printf("%.6f\n", static_cast<double>(i) / rate);
            return 0;
        }
    }
    std::fprintf(stderr, "sequencer-map-bench: %s: nothing sounds near %.3f s\n", path, seconds);
    return 1;
}

// Sixteen channels of an orchestra for ten minutes: a GS reset, banks and
// programs, RPN bend range and fine tuning, NRPN vibrato and filter settings,
// effect sends, then expression swells every 20 ticks, modulation every 40,
// a sustain pedal each bar, bends and pressure.
smf::Bytes OrchestralSong(std::uint32_t& endTick) {
    constexpr std::uint32_t kBars = 300;  // 10 minutes at 120
    endTick = kBars * 1920;
    smf::SmfBuilder builder(1, 480);
    smf::TrackBuilder conductor;
    conductor.Tempo(0, 500000).SysEx(0, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
    conductor.EndOfTrack(endTick);
    builder.AddTrack(conductor);
    for (int c = 0; c < 16; ++c) {
        Timed t;
        t.B.Control(0, c, 0, c % 3).Control(0, c, 32, 1).Program(0, c, 40 + c).Control(0, c, 7, 100);
        t.B.Control(0, c, 10, 8 * c).Control(0, c, 91, 60).Control(0, c, 93, 20);
        t.B.Control(0, c, 101, 0).Control(0, c, 100, 0).Control(0, c, 6, 12).Control(0, c, 38, 0);
        t.B.Control(0, c, 101, 0).Control(0, c, 100, 1).Control(0, c, 6, 64).Control(0, c, 38, c);
        t.B.Control(0, c, 99, 1).Control(0, c, 98, 8).Control(0, c, 6, 70);
        t.B.Control(0, c, 99, 1).Control(0, c, 98, 32).Control(0, c, 6, 80);
        t.B.Control(0, c, 101, 127).Control(0, c, 100, 127);
        for (std::uint32_t tick = 20; tick < endTick; tick += 20) {
            const std::uint32_t d = t.At(tick);
            t.B.Control(d, c, 11, static_cast<int>(64 + 63 * std::sin(tick / 700.0 + c)) & 0x7F);
            if (tick % 40 == 0) t.B.Control(0, c, 1, static_cast<int>(tick / 40 % 128));
            if (tick % 1920 == 0) t.B.Control(0, c, 64, 127).NoteOn(0, c, 48 + c, 80);
            if (tick % 1920 == 1900) t.B.Control(0, c, 64, 0).NoteOff(0, c, 48 + c);
            if (tick % 960 == 480) t.B.PitchBend(0, c, 8192 + static_cast<int>(tick % 2000)).ChannelPressure(0, c, 40);
        }
        t.B.EndOfTrack(t.At(endTick));
        builder.AddTrack(t.B);
    }
    return builder.Build();
}

int ChaseSize() {
    std::uint32_t endTick = 0;
    const smf::Bytes bytes = OrchestralSong(endTick);
    auto file = std::make_unique<MIDI::File>();
    file->LoadFromMemory(bytes.data(), bytes.size());
    // Every earlier event that sets channel state (and the system exclusive),
    // which a chase by replaying would send.
    const std::uint32_t target = endTick / 2 / 1920 * 1920;
    std::size_t replayed = 0;
    for (int t = 0; t < file->GetTrackCount(); ++t) {
        const MIDI::Track& track = *file->GetTrack(t);
        for (int i = 0; i < track.GetEventCount(); ++i) {
            const MIDI::Event& e = *track.GetEvent(i);
            replayed += e.tick < target &&
                        (e.kind == MIDI::kControlChange || e.kind == MIDI::kProgramChange ||
                         e.kind == MIDI::kPitchBend || e.kind == MIDI::kChannelPressure || e.kind == MIDI::kSysEx);
        }
    }
    orvalis::SongTimeline timeline;
    timeline.PrepareSong(*file);
    MidiOutput output;
    orvalis::Sequencer sequencer(output);
    sequencer.LoadSong(std::move(file), std::move(timeline));
    orvalis::LocateSnapshot snapshot;
    const auto began = std::chrono::steady_clock::now();
    const std::int32_t tick = sequencer.LocateMeasure(static_cast<std::int32_t>(target / 1920), &snapshot);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    const std::size_t chased = snapshot.Chase.Count + (snapshot.Chase.Reset ? 1 : 0);
    std::printf("== chase size: a seek to bar %d (tick %d) of a 10-minute song on 16 channels\n", target / 1920 + 1,
                tick);
    std::printf("complete chase          %6zu messages (%zu steps of at most %zu), computed in %.1f ms\n", chased,
                (chased + orvalis::Sequencer::kChaseMessagesPerStep - 1) / orvalis::Sequencer::kChaseMessagesPerStep,
                orvalis::Sequencer::kChaseMessagesPerStep, ms);
    std::printf("replaying every earlier controller event %zu messages\n", replayed);
    std::printf(
        "eight values per channel (the restore without the option) %d messages, which lose bank LSB, RPN, NRPN, "
        "effects and modulation\n",
        16 * 8);
    return 0;
}

void Usage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: sequencer-map-bench make-song OUT.mid MINUTES CHANGES\n"
                 "       sequencer-map-bench render SONG.mid OUT.wav SOUNDFONT\n"
                 "       sequencer-map-bench drift SONG.mid [WARMUP_SECONDS]\n"
                 "       sequencer-map-bench onset FILE.wav SECONDS\n"
                 "       sequencer-map-bench chase-size\n");
}

int Dispatch(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        Usage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "make-song" && args.size() == 4) {
        return MakeSong(args[1].c_str(), std::atoi(args[2].c_str()), std::max(2, std::atoi(args[3].c_str())));
    }
    if (args[0] == "render" && args.size() == 4) {
        return Render(args[1].c_str(), args[2].c_str(), args[3].c_str());
    }
    if (args[0] == "drift" && args.size() >= 2) {
        return Drift(args[1].c_str(), args.size() > 2 ? std::atoi(args[2].c_str()) : 3);
    }
    if (args[0] == "onset" && args.size() == 3) {
        return Onset(args[1].c_str(), std::atof(args[2].c_str()));
    }
    if (args[0] == "chase-size" && args.size() == 1) {
        return ChaseSize();
    }
    Usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return Dispatch(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sequencer-map-bench: %s\n", e.what());
        return 1;
    }
}
