#include "PlayOptions.h"

#include <cctype>

namespace kestravion_play {
namespace {

using tool_support::NeedsPath;
using tool_support::ParseInt;
using tool_support::ParseNumber;

constexpr double kMaxPositionMs = 1e9;  // about eleven and a half days
constexpr double kMinZoom = 0.01;
constexpr double kMaxZoom = 16.0;

std::string ParseRanged(const std::string& text, double low, double high, const char* what, double& value) {
    if (std::string error = ParseNumber(text, value); !error.empty()) return error;
    if (value < low || value > high) {
        return std::string(what) + " must lie between " + tool_support::FormatNumber(low) + " and " +
               tool_support::FormatNumber(high) + ", not " + text;
    }
    return {};
}

// "I=V": a stream (from 1) and its level in [low, high].
std::string ParseLevel(const std::string& text, double low, double high, const char* what,
                       std::vector<StreamLevel>& levels) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return "expected STREAM=VALUE, for example 2=0.5";
    StreamLevel level;
    if (std::string error = ParseInt(text.substr(0, equals), 1, static_cast<int>(kMaxFiles), level.Stream);
        !error.empty()) {
        return "stream " + error;
    }
    if (std::string error = ParseRanged(text.substr(equals + 1), low, high, what, level.Value); !error.empty()) {
        return error;
    }
    levels.push_back(level);
    return {};
}

// "#RRGGBB" or "RRGGBB", as an OLE colour (red in the low byte).
std::string ParseColour(const std::string& text, unsigned& colour) {
    const std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (digits.size() != 6) return "'" + text + "' is not a colour like #FF8000";
    unsigned rgb = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "'" + text + "' is not a colour like #FF8000";
        rgb = rgb * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    colour = ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
    return {};
}

// An X window id as another program reports it: decimal, or hexadecimal after 0x.
std::string ParseWindowId(const std::string& text, std::uint64_t& id) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    std::uint64_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        if (!(hex ? std::isxdigit(u) : std::isdigit(u))) {
            valid = false;
            break;
        }
        value = value * (hex ? 16 : 10) +
                static_cast<std::uint64_t>(std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10);
    }
    // X ids have 29 bits; 0 is no window.
    if (!valid || value == 0 || value > 0x1FFFFFFFu) {
        return "'" + text + "' is not an X window id like 0x3a00007 or 60817415";
    }
    id = value;
    return {};
}

// Combinations that make no sense, said in the words of the options.
std::string CheckTogether(const PlayOptions& o) {
    if (o.Help) return {};
    if (o.Files.empty()) return "nothing to play: name one to 16 media files";
    if (o.Files.size() > kMaxFiles) return "at most 16 media files play as one group";
    for (const auto* levels : {&o.Volumes, &o.Pans}) {
        for (const StreamLevel& level : *levels) {
            if (static_cast<std::size_t>(level.Stream) > o.Files.size()) {
                return "there is no stream " + std::to_string(level.Stream) + ": " + std::to_string(o.Files.size()) +
                       " file(s) given";
            }
        }
    }
    if (o.SnapshotAtMs && o.SnapshotPath.empty()) return "--at says when to take a --snapshot: add --snapshot OUT.png";
    const bool onDisplay = o.Display || o.IntoWindow != 0;
    if (o.Headless && onDisplay) return "--headless draws off screen: leave out --display and --into";
    if (!o.SnapshotPath.empty() && onDisplay) return "--snapshot draws off screen: leave out --display and --into";
    return {};
}

}  // namespace

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--volume", nullptr, "I=V", "volume of stream I (the I-th file, from 1): 0 silent to 1 full; may be repeated",
         [](PlayOptions& o, const std::string& v) { return ParseLevel(v, 0.0, 1.0, "a volume", o.Volumes); }},
        {"--pan", nullptr, "I=P", "balance of stream I: -1 left to 1 right; may be repeated",
         [](PlayOptions& o, const std::string& v) { return ParseLevel(v, -1.0, 1.0, "a pan", o.Pans); }},
        {"--seek", "-s", "MS", "start MS milliseconds into the group",
         [](PlayOptions& o, const std::string& v) {
             double ms = 0;
             std::string error = ParseRanged(v, 0.0, kMaxPositionMs, "a position", ms);
             o.SeekMs = ms;
             return error;
         }},
        {"--zoom", "-z", "F", "size each picture to F times the video's own size (0.01 to 16)",
         [](PlayOptions& o, const std::string& v) {
             double zoom = 0;
             std::string error = ParseRanged(v, kMinZoom, kMaxZoom, "the zoom", zoom);
             o.Zoom = zoom;
             return error;
         }},
        {"--colors", nullptr, "TOP,BOTTOM", "the gradient behind each picture, as #RRGGBB,#RRGGBB (default black)",
         [](PlayOptions& o, const std::string& v) {
             const std::size_t comma = v.find(',');
             if (comma == std::string::npos) return std::string("expected two colours, for example #000040,#4060C0");
             unsigned top = 0, bottom = 0;
             std::string error = ParseColour(v.substr(0, comma), top);
             if (error.empty()) error = ParseColour(v.substr(comma + 1), bottom);
             if (error.empty()) {
                 o.TopColour = top;
                 o.BottomColour = bottom;
             }
             return error;
         }},
        {"--snapshot", nullptr, "OUT.png",
         "do not play: show the pictures at --at, write the whole window as a PNG file, then exit",
         [](PlayOptions& o, const std::string& v) { return NeedsPath(v, o.SnapshotPath); }},
        {"--at", nullptr, "MS", "where the --snapshot is taken, in milliseconds (default: --seek, else 0)",
         [](PlayOptions& o, const std::string& v) {
             double ms = 0;
             std::string error = ParseRanged(v, 0.0, kMaxPositionMs, "a position", ms);
             o.SnapshotAtMs = ms;
             return error;
         }},
        {"--into", nullptr, "XID",
         "lay the buttons and pictures out inside another program's X window (a Tk frame's winfo_id(), "
         "a Qt widget's winId()...), following its size; the tool ends when that window goes",
         [](PlayOptions& o, const std::string& v) { return ParseWindowId(v, o.IntoWindow); }},
        {"--display", nullptr, "NAME", "the X display to show the windows on (default: $DISPLAY)",
         [](PlayOptions& o, const std::string& v) {
             if (v.empty()) return std::string("needs a display name such as :0");
             o.Display = v;
             return std::string();
         }},
        {"--headless", nullptr, nullptr, "draw the windows off screen even when a display is there",
         [](PlayOptions& o, const std::string&) {
             o.Headless = true;
             return std::string();
         }},
        tool_support::RegistryRow(
            &PlayOptions::RegistryPath,
            "the control registry that names the video controls (default: ~/.local/share/ocx/registry); "
            "the tool's own module is registered there when it is missing"),
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

}  // namespace kestravion_play
