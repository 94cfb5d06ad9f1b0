#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/OptionTable.h"

// The command line of kestravion-play, kept apart from what the tool does
// with it. Each option is one row of a table: parsing and --help both come
// from it. Streams are counted from 1 here, in the order of the files; the
// controls count them from 0.
namespace kestravion_play {

inline constexpr std::size_t kMaxFiles = 16;

// A level for one stream: --volume 2=0.5 is {2, 0.5}.
struct StreamLevel {
    int Stream = 0;  // from 1
    double Value = 0.0;
};

struct PlayOptions {
    bool Help = false;
    std::vector<std::string> Files;
    std::string RegistryPath;

    std::vector<StreamLevel> Volumes;  // 0.0 silent to 1.0 full
    std::vector<StreamLevel> Pans;     // -1.0 left to 1.0 right
    std::optional<double> SeekMs;
    std::optional<double> Zoom;
    // The consumers' gradient, as OLE colours (0x00BBGGRR).
    std::optional<unsigned> TopColour;
    std::optional<unsigned> BottomColour;

    std::string SnapshotPath;
    std::optional<double> SnapshotAtMs;

    // Where the windows go: a display (the one named, else $DISPLAY), inside
    // another program's window on it, or off screen.
    bool Headless = false;
    std::optional<std::string> Display;
    std::uint64_t IntoWindow = 0;  // an X window id; 0: a window of our own
};

using OptionSpec = tool_support::OptionRow<PlayOptions>;

const std::vector<OptionSpec>& OptionTable();

struct ParseResult {
    PlayOptions Options;
    std::string Error;  // "" when the command line was understood
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after '=' (--zoom=2); "--" ends the options. Options
// that cannot go together, and streams the files do not have, are refused
// here too.
ParseResult ParsePlayOptions(const std::vector<std::string>& args);

}  // namespace kestravion_play
