#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/OptionTable.h"

// The command line of orvalis-play, kept apart from what the tool does with
// it. Each option is one row of a table: parsing and --help both come from it.
//
// Bars and channels are counted from 1 here, as musicians count them; the
// player converts to the sequencer's numbering (from 0).
namespace orvalis_play {

struct LoopBars {
    int First = 0;  // first bar of the loop, from 1
    int Last = 0;   // last bar of the loop, inclusive
};

struct PlayOptions {
    bool Help = false;
    bool ListPorts = false;
    std::vector<std::string> Files;

    std::optional<int> Port;  // device number; -1 (the default device) when not given
    std::string SoundFont;
    int SampleRate = 48000;
    double Gain = 0.5;
    bool Offline = false;
    std::string WavPath;
    std::string CaptureLogPath;
    std::string CaptureMidiPath;

    std::optional<double> Tempo;      // beats per minute, as given
    std::optional<double> SongTempo;  // beats per minute, clamped by the sequencer
    std::vector<int> Mutes;           // channels 1..16
    std::optional<LoopBars> Loop;
    std::optional<int> Repeat;  // passes through the loop before playing on
    std::optional<int> SeekBar;
    bool Monitor = false;
    bool FollowTempo = false;  // play the song's tempo changes; --tempo is then a speed
    bool FullChase = false;    // a seek or loop wrap restores everything the song set before it
    std::string RegistryPath;  // the control registry; empty: the process's (the default one)

    // True when the output is a file rendered on the manual clock.
    bool RendersOffline() const { return Offline || !WavPath.empty(); }
    bool Captures() const { return !CaptureLogPath.empty() || !CaptureMidiPath.empty(); }
};

using OptionSpec = tool_support::OptionRow<PlayOptions>;

const std::vector<OptionSpec>& OptionTable();

struct ParseResult {
    PlayOptions Options;
    std::string Error;  // "" when the command line was understood
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after '=' (--port=1); "--" ends the options. Options
// that cannot go together are refused here too.
ParseResult ParsePlayOptions(const std::vector<std::string>& args);

}  // namespace orvalis_play
