#include "PlayOptions.h"

namespace orvalis_play {
namespace {

constexpr double kMinTempo = 1.0;
constexpr double kMaxTempo = 1000.0;
constexpr int kMaxBar = 1000000;

using tool_support::NeedsPath;
using tool_support::ParseInt;
using tool_support::ParseNumber;

std::string ParseTempo(const std::string& text, std::optional<double>& tempo) {
    double bpm = 0;
    if (std::string error = ParseNumber(text, bpm); !error.empty()) {
        return error;
    }
    if (bpm < kMinTempo || bpm > kMaxTempo) {
        return "a tempo between 1 and 1000 beats per minute, please";
    }
    tempo = bpm;
    return {};
}

// Combinations that make no sense, said in the words of the options.
std::string CheckTogether(const PlayOptions& o) {
    if (o.Help || o.ListPorts) {
        return {};
    }
    if (!o.WavPath.empty() && o.Captures()) {
        return "choose one output: --wav, or --capture/--capture-midi";
    }
    if (o.Port && (!o.WavPath.empty() || o.Captures())) {
        return "--port cannot be combined with --wav, --capture or --capture-midi, which choose the device";
    }
    if (o.Offline && o.WavPath.empty() && !o.Captures()) {
        return "--offline renders to a file: add --wav, --capture or --capture-midi";
    }
    if (o.Tempo && o.SongTempo) {
        return "give --tempo or --song-tempo, not both";
    }
    if (o.Repeat && !o.Loop) {
        return "--repeat counts passes through a loop: add --loop A:B";
    }
    if (o.Loop && !o.Repeat && o.RendersOffline()) {
        return "a loop rendered offline needs --repeat N, or it would never end";
    }
    return {};
}

}  // namespace

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--port", "-p", "N", "MIDI output device to play on (see --list-ports); default -1, the default device",
         [](PlayOptions& o, const std::string& v) {
             int port = 0;
             std::string error = ParseInt(v, -1, 255, port);
             o.Port = port;
             return error;
         }},
        {"--list-ports", nullptr, nullptr, "list the MIDI output devices with their numbers, then exit",
         [](PlayOptions& o, const std::string&) {
             o.ListPorts = true;
             return std::string();
         }},
        {"--soundfont", nullptr, "PATH", "SoundFont for the software synthesizer (default: a General MIDI one)",
         [](PlayOptions& o, const std::string& v) { return NeedsPath(v, o.SoundFont); }},
        {"--sample-rate", nullptr, "HZ", "sample rate of the software synthesizer (default 48000)",
         [](PlayOptions& o, const std::string& v) { return ParseInt(v, 8000, 96000, o.SampleRate); }},
        {"--gain", nullptr, "G", "output gain of the software synthesizer, 0 to 10 (default 0.5)",
         [](PlayOptions& o, const std::string& v) {
             double gain = 0;
             if (std::string error = ParseNumber(v, gain); !error.empty()) return error;
             if (gain < 0.0 || gain > 10.0) return "the gain must lie between 0 and 10, not " + v;
             o.Gain = gain;
             return std::string();
         }},
        {"--offline", nullptr, nullptr,
         "render as fast as possible instead of in real time; the same input gives the same output",
         [](PlayOptions& o, const std::string&) {
             o.Offline = true;
             return std::string();
         }},
        {"--wav", "-w", "OUT.wav", "render the song through the software synthesizer into a WAV file (offline)",
         [](PlayOptions& o, const std::string& v) { return NeedsPath(v, o.WavPath); }},
        {"--capture", nullptr, "OUT.txt", "play to the capture device and write what it received, one message a line",
         [](PlayOptions& o, const std::string& v) { return NeedsPath(v, o.CaptureLogPath); }},
        {"--capture-midi", nullptr, "OUT.mid", "play to the capture device and write what it received as a MIDI file",
         [](PlayOptions& o, const std::string& v) { return NeedsPath(v, o.CaptureMidiPath); }},
        {"--tempo", "-t", "BPM", "play at this tempo (1 to 1000 beats per minute)",
         [](PlayOptions& o, const std::string& v) { return ParseTempo(v, o.Tempo); }},
        {"--song-tempo", nullptr, "BPM", "play at this tempo, kept within 40 to 220 beats per minute",
         [](PlayOptions& o, const std::string& v) {
             double bpm = 0;
             std::string error = ParseNumber(v, bpm);
             if (error.empty()) {
                 o.SongTempo = bpm;
             }
             return error;
         }},
        {"--mute", "-m", "CH", "silence the notes of channel CH (1 to 16); may be given again",
         [](PlayOptions& o, const std::string& v) {
             int channel = 0;
             std::string error = ParseInt(v, 1, 16, channel);
             if (error.empty()) {
                 o.Mutes.push_back(channel);
             }
             return error;
         }},
        {"--loop", "-l", "A:B", "repeat bars A to B (inclusive, bars counted from 1)",
         [](PlayOptions& o, const std::string& v) {
             const std::size_t colon = v.find(':');
             if (colon == std::string::npos) {
                 return std::string("expected two bars as A:B, for example 5:8");
             }
             LoopBars loop;
             std::string error = ParseInt(v.substr(0, colon), 1, kMaxBar, loop.First);
             if (error.empty()) {
                 error = ParseInt(v.substr(colon + 1), 1, kMaxBar, loop.Last);
             }
             if (error.empty() && loop.Last < loop.First) {
                 error = "the loop's last bar comes before its first";
             }
             if (error.empty()) {
                 o.Loop = loop;
             }
             return error;
         }},
        {"--repeat", "-r", "N", "play N passes through the loop, then play on to the end",
         [](PlayOptions& o, const std::string& v) {
             int passes = 0;
             std::string error = ParseInt(v, 1, 1000000, passes);
             o.Repeat = passes;
             return error;
         }},
        {"--seek", "-s", "BAR", "start at bar BAR (counted from 1)",
         [](PlayOptions& o, const std::string& v) {
             int bar = 0;
             std::string error = ParseInt(v, 1, kMaxBar, bar);
             o.SeekBar = bar;
             return error;
         }},
        {"--follow-tempo", nullptr, nullptr,
         "play the song's tempo changes; --tempo then sets the speed (its first tempo plays it as written)",
         [](PlayOptions& o, const std::string&) {
             o.FollowTempo = true;
             return std::string();
         }},
        {"--full-chase", nullptr, nullptr,
         "let --seek and each loop pass restore every controller, bank, RPN and NRPN set before them",
         [](PlayOptions& o, const std::string&) {
             o.FullChase = true;
             return std::string();
         }},
        {"--monitor", nullptr, nullptr, "print every note as it is sent",
         [](PlayOptions& o, const std::string&) {
             o.Monitor = true;
             return std::string();
         }},
        tool_support::RegistryRow(
            &PlayOptions::RegistryPath,
            "the control registry that names the player control (default: ~/.local/share/ocx/registry); "
            "the player's own module is registered there when it is missing"),
        tool_support::HelpRow(&PlayOptions::Help),
    };
    return table;
}

ParseResult ParsePlayOptions(const std::vector<std::string>& args) {
    ParseResult result;
    result.Error = tool_support::ParseOptionTable(OptionTable(), args, result.Options, result.Options.Files);
    if (result.Error.empty()) result.Error = CheckTogether(result.Options);
    return result;
}

}  // namespace orvalis_play
