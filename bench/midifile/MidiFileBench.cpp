// Parse throughput and memory of MIDI::File, and the inputs to measure it on.
//
//   midifile-bench generate-songs DIR MEGABYTES    many realistic songs
//   midifile-bench generate-large FILE MEGABYTES   one large format-1 file
//   midifile-bench measure [--repeat N] PATH...    load files (or every .mid
//                                                   in a folder) and report
//
// "measure" reports, for the whole input: the load time (file read, parse and
// note durations, as MIDI::File::Load does it), the parse time from memory,
// MB/s and events/s, and for the largest file the peak memory a load takes
// against the size of the loaded song. bench/midifile/run.sh runs it beside
// midicsv on the same inputs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SmfBuilder.h"
#include "midiframework/midifile.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kMegabyte = 1e6;

// --- inputs -----------------------------------------------------------------

// Notes, controllers and bends as a sequencer writes them: running status,
// note-offs as note-ons of velocity 0, one- and two-byte delta times.
class PartWriter {
public:
    PartWriter(std::mt19937& random, int channel, int division)
        : Random(random), Channel(channel), Division(division) {}

    // Appends about `bytes` bytes of music to track.
    void Write(smf::TrackBuilder& track, std::size_t bytes) {
        const std::size_t target = track.Size() + bytes;
        const int scale[7] = {0, 2, 4, 5, 7, 9, 11};
        int root = 48 + static_cast<int>(Random() % 12);
        std::uint32_t pending = 0;  // delta owed to the next event
        while (track.Size() < target) {
            const unsigned choice = Random() % 100;
            if (choice < 80) {
                // A chord or a single note: on, then off after a musical length.
                const int voices = choice < 30 ? 3 : 1;
                const std::uint32_t length = static_cast<std::uint32_t>(Division / 4) * (1 + Random() % 8);
                int keys[3];
                for (int v = 0; v < voices; ++v) {
                    keys[v] = root + scale[Random() % 7] + 12 * static_cast<int>(Random() % 2);
                    Emit(track, pending, 0x90, keys[v], 40 + static_cast<int>(Random() % 80));
                    pending = 0;
                }
                for (int v = 0; v < voices; ++v) {
                    Emit(track, v == 0 ? length : 0, 0x90, keys[v], 0);
                }
                pending = static_cast<std::uint32_t>(Random() % 3 == 0 ? Division / 8 : 0);
            } else if (choice < 92) {
                // A controller sweep: expression or modulation.
                const int controller = choice < 86 ? 11 : 1;
                for (int step = 0; step < 8; ++step) {
                    Emit(track, pending, 0xB0, controller, 64 + step * 8);
                    pending = static_cast<std::uint32_t>(Division / 16);
                }
            } else if (choice < 97) {
                // A pitch-bend gesture.
                for (int step = 0; step <= 8; ++step) {
                    const int value = 8192 + (step < 5 ? step : 8 - step) * 512;
                    Emit(track, pending, 0xE0, value & 0x7F, value >> 7);
                    pending = static_cast<std::uint32_t>(Division / 32);
                }
            } else {
                root = 48 + static_cast<int>(Random() % 12);
                Emit(track, pending, 0xB0, 64, Random() % 2 ? 127 : 0);  // sustain pedal
            }
        }
    }

private:
    void Emit(smf::TrackBuilder& track, std::uint32_t delta, int kind, int data1, int data2) {
        const int status = kind | Channel;
        if (status == RunningStatus) {
            track.Running(delta, {data1, data2});
        } else {
            track.Channel(delta, kind, Channel, {data1, data2});
            RunningStatus = status;
        }
    }

    std::mt19937& Random;
    int Channel;
    int Division;
    int RunningStatus = -1;
};

smf::TrackBuilder ConductorTrack(std::mt19937& random, int songIndex) {
    smf::TrackBuilder track;
    track.Name(0, "Song " + std::to_string(songIndex))
        .MetaText(0, 0x02, "Generated for the benchmark")
        .Tempo(0, 400000 + static_cast<std::uint32_t>(random() % 400000))
        .TimeSignature(0, 4, 2)
        .SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7});
    for (int marker = 0; marker < 8; ++marker) {
        track.MetaText(1920 * 8, 0x06, "Section " + std::to_string(marker));
    }
    return track.EndOfTrack();
}

smf::Bytes Song(std::mt19937& random, int songIndex, std::size_t approximateBytes) {
    static const char* kNames[] = {"Piano", "Bass",  "Strings", "Guitar", "Organ", "Lead", "Pad",  "Brass",
                                   "Flute", "Choir", "Harp",    "Synth",  "Cello", "Sax",  "Bells"};
    const int divisions[] = {96, 192, 384, 480, 960};
    const int division = divisions[random() % 5];
    const int parts = 6 + static_cast<int>(random() % 10);
    smf::SmfBuilder builder(1, division);
    builder.AddTrack(ConductorTrack(random, songIndex));
    for (int p = 0; p < parts; ++p) {
        const int channel = p == parts - 1 ? 9 : p % 9;
        smf::TrackBuilder track;
        track.Name(0, kNames[p % 15])
            .Control(0, channel, 0, 0)
            .Control(0, channel, 7, 100)
            .Control(0, channel, 10, static_cast<int>(random() % 128))
            .Program(0, channel, static_cast<int>(random() % 128));
        PartWriter(random, channel, division).Write(track, approximateBytes / parts);
        builder.AddTrack(track.EndOfTrack());
    }
    return builder.Build();
}

int GenerateSongs(const fs::path& dir, double megabytes) {
    fs::create_directories(dir);
    std::mt19937 random(1234);
    const auto total = static_cast<std::size_t>(megabytes * kMegabyte);
    std::size_t written = 0;
    int count = 0;
    while (written < total) {
        // Song sizes spread from small to large, as a collection would.
        const std::size_t size = 8000 + random() % 150000;
        const smf::Bytes song = Song(random, count, size);
        char name[32];
        std::snprintf(name, sizeof name, "song-%05d.mid", count);
        smf::SmfBuilder::WriteFile((dir / name).string(), song);
        written += song.size();
        ++count;
        if (count % 200 == 0) {
            std::printf("generate-songs: %d files, %.1f MB\n", count, written / kMegabyte);
            std::fflush(stdout);
        }
    }
    std::printf("generate-songs: wrote %d files, %.1f MB, to %s\n", count, written / kMegabyte, dir.c_str());
    return 0;
}

int GenerateLarge(const fs::path& file, double megabytes) {
    std::mt19937 random(99);
    const auto total = static_cast<std::size_t>(megabytes * kMegabyte);
    constexpr int kTracks = 16;
    smf::SmfBuilder builder(1, 960);
    builder.AddTrack(ConductorTrack(random, 0));
    for (int t = 0; t < kTracks; ++t) {
        const int channel = t == kTracks - 1 ? 9 : t % 9;
        smf::TrackBuilder track;
        track.Name(0, "Part " + std::to_string(t)).Program(0, channel, t * 7 % 128);
        PartWriter(random, channel, 960).Write(track, total / kTracks);
        builder.AddTrack(track.EndOfTrack());
        std::printf("generate-large: track %d of %d\n", t + 1, kTracks);
        std::fflush(stdout);
    }
    const smf::Bytes bytes = builder.Build();
    smf::SmfBuilder::WriteFile(file.string(), bytes);
    std::printf("generate-large: wrote %s, %.1f MB\n", file.c_str(), bytes.size() / kMegabyte);
    return 0;
}

// --- measuring ----------------------------------------------------------------

smf::Bytes ReadAll(const fs::path& path) {
    smf::Bytes bytes(fs::file_size(path));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

long StatusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::atol(line.c_str() + length + 1);
        }
    }
    return -1;
}

// Resets the peak-RSS mark to the current RSS (Linux 4.0 and later).
bool ResetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// Bytes the loaded song holds: event arrays at their capacity, data blocks and
// the track objects.
std::size_t ModelBytes(const MIDI::File& file) {
    std::size_t bytes = sizeof(MIDI::File);
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        const MIDI::Track& track = *file.GetTrack(t);
        bytes += sizeof(MIDI::Track) + std::size_t(track.GetCapacity()) * sizeof(MIDI::Event);
        for (int i = 0; i < track.GetEventCount(); ++i) {
            const MIDI::Event& event = *track.GetEvent(i);
            if (event.kind == MIDI::kMeta || event.kind == MIDI::kSysEx) {
                bytes += sizeof(void*) + sizeof(MIDI::EventData) + event.aux.data->length;
            }
        }
    }
    return bytes;
}

std::size_t EventCount(const MIDI::File& file) {
    std::size_t events = 0;
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        events += static_cast<std::size_t>(file.GetTrack(t)->GetEventCount());
    }
    return events;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
    double Wall = 1e300;
    double Cpu = 1e300;
    void Add(const Timing& other) {
        Wall += other.Wall;
        Cpu += other.Cpu;
    }
    void Keep(const Timing& other) {
        Wall = std::min(Wall, other.Wall);
        Cpu = std::min(Cpu, other.Cpu);
    }
};

class Stopwatch {
public:
    Timing Elapsed() const { return {Seconds(Clock::now() - WallStart), CpuSeconds() - CpuStart}; }

private:
    Clock::time_point WallStart = Clock::now();
    double CpuStart = CpuSeconds();
};

int Measure(const std::vector<fs::path>& files, int repeat) {
    std::size_t bytes = 0;
    fs::path largest;
    std::uintmax_t largestSize = 0;
    for (const fs::path& file : files) {
        const std::uintmax_t size = fs::file_size(file);
        bytes += size;
        if (size > largestSize) {
            largestSize = size;
            largest = file;
        }
    }
    // Peak memory of one load of the largest file, against the loaded song;
    // measured first, while the process has not yet freed memory it could reuse.
    const long baseline = StatusKilobytes("VmRSS");
    if (baseline >= 0 && ResetPeakMemory()) {
        auto song = std::make_unique<MIDI::File>();
        song->Load(largest.c_str());
        const long peak = StatusKilobytes("VmHWM");
        const long after = StatusKilobytes("VmRSS");
        const double model = static_cast<double>(ModelBytes(*song));
        const double peakGrowth = (peak - baseline) * 1024.0;
        std::printf(
            "memory (%s, %.1f MB): song in memory %.1f MB (resident %.1f MB), peak during "
            "load +%.1f MB = %.2f x the song\n",
            largest.filename().c_str(), double(largestSize) / kMegabyte, model / kMegabyte,
            (after - baseline) * 1024.0 / kMegabyte, peakGrowth / kMegabyte, peakGrowth / model);
        std::printf("RESULT peak_ratio=%.2f\n", peakGrowth / model);
    } else {
        std::printf("memory: /proc/self/clear_refs is not writable here; peak not measured\n");
    }

    std::size_t events = 0;
    for (const fs::path& file : files) {
        MIDI::File song;
        try {
            song.Load(file.c_str());
        } catch (const char* text) {
            std::fprintf(stderr, "midifile-bench: %s: %s\n", file.c_str(), text);
            return 1;
        }
        events += EventCount(song);
    }

    // Load as the player does: read the file, parse, compute note durations.
    // Best of `repeat` runs, by wall clock and by this process's CPU time
    // (user and system), which other work on a shared machine disturbs less.
    // Releasing a song is timed apart: it is not part of reading one.
    Timing load;
    Timing release;
    for (int r = 0; r < repeat; ++r) {
        Timing loading{0, 0};
        Timing releasing{0, 0};
        for (const fs::path& file : files) {
            const Stopwatch loadWatch;
            auto song = std::make_unique<MIDI::File>();
            song->Load(file.c_str());
            loading.Add(loadWatch.Elapsed());
            const Stopwatch releaseWatch;
            song.reset();
            releasing.Add(releaseWatch.Elapsed());
        }
        load.Keep(loading);
        release.Keep(releasing);
    }
    // The parser alone, on bytes already in memory (one file at a time, so a
    // large set need not fit in memory at once).
    Timing parse;
    for (int r = 0; r < repeat; ++r) {
        Timing total{0, 0};
        for (const fs::path& file : files) {
            const smf::Bytes data = ReadAll(file);
            const Stopwatch watch;
            MIDI::File song;
            song.LoadFromMemory(data.data(), data.size());
            total.Add(watch.Elapsed());
        }
        parse.Keep(total);
    }

    const double megabytes = bytes / kMegabyte;
    const double millions = events / 1e6;
    std::printf("input: %zu files, %.1f MB, %zu events\n", files.size(), megabytes, events);
    std::printf("load (read + parse + durations), best of %d:\n", repeat);
    std::printf("  wall %.3f s: %.1f MB/s, %.1f M events/s\n", load.Wall, megabytes / load.Wall, millions / load.Wall);
    std::printf("  cpu  %.3f s: %.1f MB/s, %.1f M events/s\n", load.Cpu, megabytes / load.Cpu, millions / load.Cpu);
    std::printf("release of the loaded songs: wall %.3f s, cpu %.3f s\n", release.Wall, release.Cpu);
    std::printf("parse from memory:\n");
    std::printf("  wall %.3f s: %.1f MB/s, %.1f M events/s\n", parse.Wall, megabytes / parse.Wall,
                millions / parse.Wall);
    std::printf("  cpu  %.3f s: %.1f MB/s, %.1f M events/s\n", parse.Cpu, megabytes / parse.Cpu, millions / parse.Cpu);
    std::printf("RESULT load_wall_mb_per_s=%.1f load_cpu_mb_per_s=%.1f\n", megabytes / load.Wall, megabytes / load.Cpu);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "Usage: midifile-bench generate-songs DIR MEGABYTES\n"
                 "       midifile-bench generate-large FILE MEGABYTES\n"
                 "       midifile-bench measure [--repeat N] PATH...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::printf(
            "Measures how fast MIDI::File loads files, and how much memory a load takes.\n\n"
            "  midifile-bench generate-songs DIR MEGABYTES   writes realistic songs (8-160 kB)\n"
            "  midifile-bench generate-large FILE MEGABYTES  writes one 17-track format-1 file\n"
            "  midifile-bench measure [--repeat N] PATH...   loads the files (folders: their .mid\n"
            "                                                files) N times (default 3), reports\n"
            "                                                the best time\n");
        return 0;
    }
    try {
        if ((command == "generate-songs" || command == "generate-large") && argc == 4) {
            const double megabytes = std::atof(argv[3]);
            if (megabytes <= 0) {
                std::fprintf(stderr, "midifile-bench: MEGABYTES must be positive\n");
                return 2;
            }
            return command == "generate-songs" ? GenerateSongs(argv[2], megabytes) : GenerateLarge(argv[2], megabytes);
        }
        if (command == "measure") {
            int repeat = 3;
            std::vector<fs::path> files;
            for (int i = 2; i < argc; ++i) {
                if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
                    repeat = std::max(1, std::atoi(argv[++i]));
                } else if (fs::is_directory(argv[i])) {
                    for (const auto& entry : fs::directory_iterator(argv[i])) {
                        if (entry.path().extension() == ".mid") {
                            files.push_back(entry.path());
                        }
                    }
                } else if (fs::is_regular_file(argv[i])) {
                    files.emplace_back(argv[i]);
                } else {
                    std::fprintf(stderr, "midifile-bench: %s: no such file or folder\n", argv[i]);
                    return 1;
                }
            }
            if (files.empty()) {
                std::fprintf(stderr, "midifile-bench: no .mid files given\n");
                return 2;
            }
            std::sort(files.begin(), files.end());
            return Measure(files, repeat);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "midifile-bench: %s\n", error.what());
        return 1;
    }
    return Usage();
}
