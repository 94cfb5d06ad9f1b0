#include "OrvalisPlay.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <thread>

#include "PlayOptions.h"
#include "Playback.h"
#include "midiframework/midifile.h"
#include "orvalis/OrvalisIds.h"
#include "orvalis/Sequencer.h"
#include "orvalis/SongTimeline.h"
#include "platform/automation/registry.h"
#include "platform/clock/manualclock.h"
#include "platform/file/file.h"
#include "platform/midi/midi.h"
#include "platform/notice/notice.h"

namespace orvalis_play {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> InterruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestInterrupt runs in a signal handler");

constexpr auto kStatusInterval = 100ms;
// Released notes of a synthesizer ring on for this long before it closes.
constexpr auto kSynthesizerTail = 1000ms;

// The MIDI output configuration is process-wide; every way out of a run puts
// the caller's back.
class ConfigurationScope {
public:
    explicit ConfigurationScope(const platform::MidiOutConfig& config) : Saved(platform::MidiOutConfiguration()) {
        platform::ConfigureMidiOut(config);
    }
    ~ConfigurationScope() { platform::ConfigureMidiOut(Saved); }
    ConfigurationScope(const ConfigurationScope&) = delete;
    ConfigurationScope& operator=(const ConfigurationScope&) = delete;

private:
    platform::MidiOutConfig Saved;
};

std::string MinutesSeconds(double seconds) {
    seconds = std::max(seconds, 0.0);
    const long tenths = std::lround(seconds * 10);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

std::string NoteName(int note) {
    static const char* const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return std::string(kNames[note % 12]) + std::to_string(note / 12 - 1);
}

std::string DeviceLabel(int device) {
    if (device == platform::MIDI_MAPPER) {
        return "-1 (the default device)";
    }
    for (const auto& info : platform::EnumerateMidiOutDevices()) {
        if (info.Number == device) {
            return std::to_string(device) + " (" + info.Name + ")";
        }
    }
    return std::to_string(device);
}

bool Interrupted() { return InterruptRequested.load(std::memory_order_relaxed); }

// Reads the song at path into song. On failure says why on err and returns
// the exit status.
int ReadSong(const std::string& path, platform::NoticeCapture& notices, std::ostream& err,
             std::unique_ptr<MIDI::File>& song) {
    auto file = std::make_unique<MIDI::File>();
    const std::size_t noticesBefore = notices.Count();
    try {
        file->Load(path.c_str());
    } catch (const char* text) {
        err << "orvalis-play: " << path << ": the file cannot be played: " << text << '\n';
        return kExitFailure;
    } catch (const std::bad_alloc&) {
        err << "orvalis-play: " << path << ": out of memory\n";
        return kExitFailure;
    }
    if (notices.Count() > noticesBefore) {
        // A FIFO nobody writes to blocks the open until Ctrl-C cuts it short.
        if (Interrupted()) {
            return kExitInterrupted;
        }
        const std::string& why = file->GetReadFailure();
        err << "orvalis-play: " << path << ": " << (why.empty() ? notices.Texts()[noticesBefore] : why) << '\n';
        return kExitFailure;
    }
    if (file->GetTrackCount() == 0) {
        err << "orvalis-play: " << path << ": not a Standard MIDI File (it has no tracks)\n";
        return kExitFailure;
    }
    song = std::move(file);
    return kExitOk;
}

// The files a run writes, with the options that name them.
std::vector<std::pair<const char*, std::string>> Outputs(const PlayOptions& options) {
    std::vector<std::pair<const char*, std::string>> outputs;
    if (!options.WavPath.empty()) outputs.emplace_back("--wav", options.WavPath);
    if (!options.CaptureLogPath.empty()) outputs.emplace_back("--capture", options.CaptureLogPath);
    if (!options.CaptureMidiPath.empty()) outputs.emplace_back("--capture-midi", options.CaptureMidiPath);
    return outputs;
}

// An output that would overwrite the song, or another output, is a mistake
// on the command line: it is refused before anything is read or written.
int CheckOutputNames(const PlayOptions& options, const std::string& song, std::ostream& err) {
    const auto outputs = Outputs(options);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (platform::NameSameFile(outputs[i].second, song)) {
            err << "orvalis-play: " << outputs[i].first << " " << outputs[i].second
                << " names the song itself; choose another file\n";
            return kExitUsage;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (platform::NameSameFile(outputs[i].second, outputs[j].second)) {
                err << "orvalis-play: " << outputs[j].first << " and " << outputs[i].first << " name the same file ("
                    << outputs[i].second << "); give each its own\n";
                return kExitUsage;
            }
        }
    }
    return kExitOk;
}

// Whether each output could be written, found before the device opens (and
// makes its files): a file made beside it and dropped again leaves nothing.
int CheckOutputsWritable(const PlayOptions& options, std::ostream& err) {
    for (const auto& [option, path] : Outputs(options)) {
        platform::AtomicFile probe;
        std::string why;
        if (!probe.Open(path, &why)) {
            err << "orvalis-play: " << option << ": " << why << '\n';
            return kExitFailure;
        }
    }
    return kExitOk;
}

// The registry is process-wide too; --registry names it for one run.
class RegistryScope {
public:
    explicit RegistryScope(const std::string& path) : Saved(platform::GetRegistryPath()), Changed(!path.empty()) {
        if (Changed) {
            platform::SetRegistryPath(path);
        }
    }
    ~RegistryScope() {
        if (Changed) {
            platform::SetRegistryPath(Saved);
        }
    }
    RegistryScope(const RegistryScope&) = delete;
    RegistryScope& operator=(const RegistryScope&) = delete;

private:
    std::string Saved;
    bool Changed;
};

// One playback of one song, from the device opening to the outputs written.
class Session {
public:
    Session(const PlayOptions& options, std::ostream& out, std::ostream& err, const PlayEnvironment& environment)
        : Options(options), Out(out), Err(err), Terminal(environment.Terminal) {}

    int Run(const std::string& path) {
        // Everything that can refuse the run is looked at before the device
        // opens, since opening it is what makes its output files.
        if (const int status = CheckOutputNames(Options, path, Err); status != kExitOk) {
            return status;
        }
        platform::NoticeCapture notices;
        std::unique_ptr<MIDI::File> file;
        if (const int status = ReadSong(path, notices, Err, file); status != kExitOk) {
            return status;
        }
        Timeline.PrepareSong(*file);
        Division = file->GetDivision();
        if (const int status = CheckSong(); status != kExitOk) {
            return status;
        }
        if (const int status = CheckOutputsWritable(Options, Err); status != kExitOk) {
            return status;
        }

        const bool offline = Options.RendersOffline();
        platform::MidiOutConfig config = platform::MidiOutConfiguration();
        config.SoundFont = Options.SoundFont;
        config.SampleRate = Options.SampleRate;
        config.Gain = Options.Gain;
        config.WavPath = Options.WavPath;
        config.CaptureLogPath = Options.CaptureLogPath;
        config.CaptureMidiPath = Options.CaptureMidiPath;
        config.TimeSource = offline ? &Manual : nullptr;
        ConfigurationScope scope(config);
        RegistryScope registry(Options.RegistryPath);

        if (offline) {
            Player = MakeOfflinePlayback(Manual);
        } else {
            std::string why;
            Player = MakeControlPlayback(why);
            if (!Player) {
                Err << "orvalis-play: the player control " << orvalis::kOrvalisCtrlProgId
                    << " cannot be created: " << why << '\n';
                return kExitFailure;
            }
        }
        Device = !Options.WavPath.empty() ? platform::kSynthesizerDevice
                 : Options.Captures()     ? platform::kCaptureDevice
                                          : Options.Port.value_or(platform::MIDI_MAPPER);
        if (Device == platform::MIDI_MAPPER) {
            Device = config.DefaultDevice;
        }
        if (!Player->OpenDevice(Device)) {
            Err << "orvalis-play: the MIDI output device " << DeviceLabel(Device)
                << " did not open: " << platform::MidiOutLastError() << '\n';
            return kExitNoDevice;
        }
        const std::size_t noticesBefore = notices.Count();
        int status = Play(std::move(file), path);
        Player->CloseDevice();
        Player.reset();
        const std::vector<std::string> texts = notices.Texts();
        for (std::size_t i = noticesBefore; i < texts.size(); ++i) {
            Err << "orvalis-play: " << texts[i] << '\n';
            if (status == kExitOk) {
                status = kExitFailure;
            }
        }
        if (status == kExitOk && Terminal && !Options.WavPath.empty()) {
            Out << "Wrote " << Options.WavPath << '\n';
        }
        return status;
    }

private:
    int Play(std::unique_ptr<MIDI::File> file, const std::string& path) {
        Player->SetMonitor(Options.Monitor);
        Player->SetFollowTempoMap(Options.FollowTempo);
        Player->SetFullChase(Options.FullChase);
        std::string why;
        if (!Player->LoadSong(path, std::move(file), Timeline, why)) {
            Err << "orvalis-play: " << path << ": the file cannot be played: " << why << '\n';
            return kExitFailure;
        }
        if (int status = Prepare(); status != kExitOk) {
            return status;
        }
        if (Terminal) {
            Out << "Playing " << path << " on MIDI output device " << DeviceLabel(Device) << '\n';
        }
        if (!Player->Play()) {
            Err << "orvalis-play: the playback timer did not start\n";
            return kExitFailure;
        }
        StartNs = Player->NowNs();
        const bool interrupted = RunUntilTheEnd();
        // Releases every note still sounding.
        Player->Stop();
        Drain();
        EndStatusLine();
        if (!interrupted && Device == platform::kSynthesizerDevice) {
            Player->Linger(kSynthesizerTail, &Interrupted);
        }
        if (Options.Monitor && Player->Dropped() > 0) {
            Err << "orvalis-play: " << Player->Dropped() << " notifications were not shown in time\n";
        }
        return interrupted ? kExitInterrupted : kExitOk;
    }

    // Checks the options that depend on the song: bars it does not have are
    // refused with its own bar count, and a song without timing cannot play.
    int CheckSong() {
        const std::int64_t endTick = Timeline.SongEndTick;
        Bars =
            endTick > 0
                ? Timeline.TickToMeasure(static_cast<std::int32_t>(std::min<std::int64_t>(endTick - 1, INT32_MAX))) + 1
                : 1;
        auto pastTheEnd = [&](const char* option, int bar) {
            Err << "orvalis-play: " << option << ": bar " << bar << " lies past the end of the song (it has " << Bars
                << (Bars == 1 ? " bar)\n" : " bars)\n");
            return kExitUsage;
        };
        if (Division <= 0) {
            Err << "orvalis-play: the song gives no timing (its division is " << Division
                << " ticks per quarter note), so it cannot be played\n";
            return kExitFailure;
        }
        if (Options.Loop && Timeline.MeasureToTick(Options.Loop->Last) > endTick) {
            return pastTheEnd("--loop", Options.Loop->Last);
        }
        // As the sequencer takes a seek: to the start of a bar that lies
        // within the song, its very end included.
        if (Options.SeekBar) {
            const std::int32_t tick = Timeline.MeasureToTick(*Options.SeekBar - 1);
            if (tick < 0 || tick > endTick) {
                return pastTheEnd("--seek", *Options.SeekBar);
            }
        }
        return kExitOk;
    }

    // Applies the options that depend on the song, which CheckSong has
    // found playable.
    int Prepare() {
        // The tempo playback runs at, as the sequencer keeps it; following
        // the map, the tempo at tick 0 plays the song as written.
        Tempo = Options.FollowTempo ? static_cast<float>(Timeline.TempoAtTick(0)) : Timeline.FileTempo;
        if (Options.Tempo) {
            Player->SetTempo(*Options.Tempo);
            Tempo = static_cast<float>(*Options.Tempo);
        } else if (Options.SongTempo) {
            Player->SetSongTempo(*Options.SongTempo);
            Tempo = std::clamp(static_cast<float>(*Options.SongTempo), orvalis::Sequencer::kMinSongTempo,
                               orvalis::Sequencer::kMaxSongTempo);
        }
        for (int channel : Options.Mutes) {
            Player->Mute(channel - 1);
        }
        if (Options.Loop) {
            Player->SetLoop(Options.Loop->First - 1, Options.Loop->Last);
            LoopOn = true;
        }
        if (Options.SeekBar && !Player->Seek(*Options.SeekBar - 1)) {
            Err << "orvalis-play: --seek: the player refused bar " << *Options.SeekBar << '\n';
            return kExitUsage;
        }
        return kExitOk;
    }

    // Plays until the first song-end notification or an interrupt. Returns
    // true when interrupted.
    bool RunUntilTheEnd() {
        bool loopOpen = Options.Loop && Options.Repeat;
        auto nextStatus = std::chrono::steady_clock::now();
        std::int32_t lastTick = Player->PollTick();
        for (;;) {
            if (Interrupted()) {
                return true;
            }
            // A pass ends where the position falls back to the loop's start;
            // after N - 1 of them the loop opens, so the Nth pass plays on.
            if (loopOpen && Wraps + 1 >= static_cast<std::uint64_t>(*Options.Repeat)) {
                Player->EnableLoop(false);
                loopOpen = false;
                LoopOn = false;
            }
            Player->Wait(&Interrupted);
            if (LoopOn) {
                const std::int32_t tick = Player->PollTick();
                if (tick < lastTick) {
                    ++Wraps;
                }
                lastTick = tick;
            }
            if (Drain()) {
                return false;
            }
            if (Terminal && std::chrono::steady_clock::now() >= nextStatus) {
                ShowStatus();
                nextStatus = std::chrono::steady_clock::now() + kStatusInterval;
            }
        }
    }

    // Shows the notes taken from the queue; true once the song has ended.
    bool Drain() {
        NotificationQueue::Entry entry;
        bool ended = false;
        while (Player->Take(entry)) {
            if (entry.Message == orvalis::WM_SONG_END) {
                ended = true;
                continue;
            }
            const int channel = static_cast<int>(entry.WParam >> 24 & 0xFF);
            const int note = static_cast<int>(entry.WParam >> 16 & 0xFF);
            const int velocity = static_cast<int>(entry.WParam >> 8 & 0xFF);
            char line[96];
            std::snprintf(line, sizeof line, "%9.3f  %-8s  ch %2d  %-4s (%3d)  vel %3d\n",
                          SecondsPlayed(entry.TimeNs < 0 ? Player->NowNs() : entry.TimeNs),
                          entry.Message == orvalis::WM_NOTE_ON ? "note on" : "note off", channel + 1,
                          NoteName(note).c_str(), note, velocity);
            ClearStatusLine();
            Out << line;
            // In real time the lines are for watching as they come, also
            // through a pipe.
            if (!Options.RendersOffline()) {
                Out << std::flush;
            }
        }
        return ended;
    }

    double SecondsPlayed(std::int64_t nowNs) const { return static_cast<double>(nowNs - StartNs) / 1e9; }

    void ShowStatus() {
        const std::int32_t tick = Player->PollTick();
        double seconds = 0;
        double length = 0;
        double tempo = Tempo;
        if (Options.FollowTempo) {
            // The song's own clock: where the position lies under the map,
            // and the map's tempo there at the speed the host chose.
            seconds = Player->PollTime() / 1000.0;
            length = Player->GetSongLength();
            tempo = Timeline.TempoAtTick(tick) * (Tempo / Timeline.TempoAtTick(0));
        } else {
            seconds = SecondsPlayed(Player->NowNs());
            length = Timeline.SongEndTick / (Division * static_cast<double>(Tempo) / 60.0);
        }
        std::ostringstream line;
        // Past the last note the position runs on; the bar count does not.
        line << "bar " << std::min(Player->PollMeasure() + 1, Bars) << '/' << Bars << "  tick " << tick << "  "
             << MinutesSeconds(seconds) << " / " << MinutesSeconds(length) << "  notes " << std::setw(3)
             << Player->GetPolyCount() << "  " << std::fixed << std::setprecision(1) << tempo << " bpm";
        if (LoopOn) {
            line << "  loop pass " << Wraps + 1;
            if (Options.Repeat) {
                line << '/' << *Options.Repeat;
            }
        }
        Out << "\r\033[K" << line.str() << std::flush;
        StatusShown = true;
    }

    void ClearStatusLine() {
        if (StatusShown) {
            Out << "\r\033[K";
            StatusShown = false;
        }
    }

    void EndStatusLine() {
        if (Terminal) {
            ShowStatus();
            Out << '\n';
            StatusShown = false;
        }
    }

    const PlayOptions& Options;
    std::ostream& Out;
    std::ostream& Err;
    const bool Terminal;

    // The tool's own reading of the song: bars, length and timing for the
    // options and the status line, which the control does not offer.
    orvalis::SongTimeline Timeline;
    std::int32_t Division = 0;
    float Tempo = orvalis::SongTimeline::kDefaultTempo;

    platform::ManualClock Manual;
    std::unique_ptr<Playback> Player;
    int Device = 0;
    std::int64_t StartNs = 0;
    std::uint64_t Wraps = 0;
    bool LoopOn = false;
    int Bars = 0;
    bool StatusShown = false;
};

}  // namespace

std::string UsageText() {
    std::string text =
        "Usage: orvalis-play [OPTIONS] FILE\n"
        "Plays a Standard MIDI File on a MIDI output device, or renders it to a file.\n"
        "\n"
        "Options:\n";
    text += tool_support::HelpLines(OptionTable());
    text +=
        "\n"
        "MIDI output devices:\n"
        "  0   the built-in software synthesizer (General MIDI SoundFont)\n"
        "  1   capture: records every message with its time\n"
        "  2.. the system's MIDI output ports\n"
        "  -1  the default device (0)\n"
        "\n"
        "Playback ends at the end of the song, after the --repeat passes and the rest of\n"
        "the song, or on Ctrl-C; every sounding note is released. On a terminal a status\n"
        "line shows the bar, tick, time, sounding notes and tempo (with --follow-tempo,\n"
        "the time and tempo under the song's tempo map).\n"
        "\n"
        "Examples:\n"
        "  orvalis-play song.mid                        play on the default device\n"
        "  orvalis-play --wav song.wav song.mid         render to a WAV file\n"
        "  orvalis-play --loop 5:8 --repeat 3 song.mid  play bars 5 to 8 three times, then on\n"
        "\n"
        "Outputs (--wav, --capture, --capture-midi) are written whole when playback\n"
        "ends, Ctrl-C included, through a file beside them, or not at all: a run that\n"
        "is refused or fails leaves an earlier file as it was. An output may not name\n"
        "the song or another output, nor a device, FIFO or folder.\n"
        "\n"
        "Exit status: 0 on success, 1 when the file could not be read or played or an\n"
        "output not written, 2 for a bad command line (an output naming the song or\n"
        "another output included), 3 when the MIDI output device did not open,\n"
        "130 when interrupted.\n";
    return text;
}

void ListPorts(std::ostream& out) {
    int defaultDevice = platform::MidiOutConfiguration().DefaultDevice;
    for (const auto& device : platform::EnumerateMidiOutDevices()) {
        out << std::setw(4) << device.Number << "  " << device.Name;
        if (device.Number == defaultDevice) {
            out << " (default)";
        }
        out << '\n';
    }
}

void RequestInterrupt() noexcept { InterruptRequested.store(true, std::memory_order_relaxed); }

int RunOrvalisPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   const PlayEnvironment& environment) {
    InterruptRequested.store(false, std::memory_order_relaxed);
    ParseResult parsed = ParsePlayOptions(args);
    if (!parsed.Error.empty()) {
        err << "orvalis-play: " << parsed.Error << "\nTry 'orvalis-play --help'.\n";
        return kExitUsage;
    }
    const PlayOptions& options = parsed.Options;
    if (options.Help) {
        out << UsageText();
        return kExitOk;
    }
    if (options.ListPorts) {
        ListPorts(out);
        return out ? kExitOk : kExitFailure;
    }
    if (options.Files.size() != 1) {
        err << "orvalis-play: "
            << (options.Files.empty() ? "nothing to do: name a MIDI file to play" : "one MIDI file at a time, please")
            << "\nTry 'orvalis-play --help'.\n";
        return kExitUsage;
    }
    return Session(options, out, err, environment).Run(options.Files.front());
}

}  // namespace orvalis_play
