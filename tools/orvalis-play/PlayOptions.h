#pragma once

#include <functional>
#include <string>
#include <vector>

// The command line of orvalis-play, kept apart from what the tool does with
// it. Each option is one row of a table: parsing and --help both come from it.
namespace orvalis_play {

struct PlayOptions {
    bool Help = false;
    bool ListPorts = false;
    std::vector<std::string> Files;
};

struct OptionSpec {
    const char* Long;   // "--list-ports"
    const char* Short;  // "-h", or nullptr
    const char* Value;  // the value's name in the help ("N"), or nullptr for a switch
    const char* Help;
    // Stores the option; returns an error text, or "" when the value is fine.
    std::function<std::string(PlayOptions&, const std::string& value)> Apply;
};

const std::vector<OptionSpec>& OptionTable();

struct ParseResult {
    PlayOptions Options;
    std::string Error;  // "" when the command line was understood
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after '=' (--port=1); "--" ends the options.
ParseResult ParsePlayOptions(const std::vector<std::string>& args);

}  // namespace orvalis_play
