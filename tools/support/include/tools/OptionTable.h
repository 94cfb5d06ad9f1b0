#pragma once

#include <functional>
#include <string>
#include <vector>

// A tool's command line as one table: each option is a row, and parsing and
// the help's option list both come from it.
namespace tool_support {

template <class Options>
struct OptionRow {
    const char* Long;   // "--port"
    const char* Short;  // "-p", or nullptr
    const char* Value;  // the value's name in the help ("N"), or nullptr for a switch
    const char* Help;
    // Stores the option; returns an error text, or "" when the value is fine.
    std::function<std::string(Options&, const std::string& value)> Apply;
};

// The table's names and whether each takes a value, for the parser.
struct RowShape {
    const char* Long;
    const char* Short;
    const char* Value;
    const char* Help;
};

// Hands each option of args, in order, to apply (its row's index, its name as
// written, its value) and collects the operands. Options take their value as
// the next argument or after '=' (--port=1); "--" ends the options; "-" and
// anything not starting with '-' is an operand. Returns the first error: an
// unknown option, a missing value, a value given to a switch, or what apply
// returned (with the option's name in front).
using ApplyOption = std::function<std::string(std::size_t row, const std::string& value)>;
std::string SplitArguments(const std::vector<RowShape>& rows, const std::vector<std::string>& args,
                           const ApplyOption& apply, std::vector<std::string>& operands);

// The option list of a help text: "  -p, --port N  help" a line, aligned.
std::string HelpLines(const std::vector<RowShape>& rows);

// A whole number in [low, high], the whole text and nothing else; "" or why not.
std::string ParseInt(const std::string& text, int low, int high, int& value);
// A finite number, the whole text and nothing else; "" or why not.
std::string ParseNumber(const std::string& text, double& value);
// A number for a message: up to ten significant digits, no exponent below 1e10.
std::string FormatNumber(double value);
// A file name, stored in `path`; "" or why not (it is empty).
std::string NeedsPath(const std::string& value, std::string& path);

// The rows every tool has: --help, and --registry for the tools that host
// controls (`help` says which).
template <class Options>
OptionRow<Options> HelpRow(bool Options::*help) {
    return {"--help", "-h", nullptr, "show this help, then exit", [help](Options& o, const std::string&) {
                o.*help = true;
                return std::string();
            }};
}

template <class Options>
OptionRow<Options> RegistryRow(std::string Options::*path, const char* help) {
    return {"--registry", nullptr, "FILE", help,
            [path](Options& o, const std::string& value) { return NeedsPath(value, o.*path); }};
}

template <class Options>
std::vector<RowShape> Shapes(const std::vector<OptionRow<Options>>& table) {
    std::vector<RowShape> rows;
    rows.reserve(table.size());
    for (const auto& row : table) rows.push_back({row.Long, row.Short, row.Value, row.Help});
    return rows;
}

// Parses args against the table into options and operands; "" or the first
// error (see SplitArguments).
template <class Options>
std::string ParseOptionTable(const std::vector<OptionRow<Options>>& table, const std::vector<std::string>& args,
                             Options& options, std::vector<std::string>& operands) {
    return SplitArguments(
        Shapes(table), args,
        [&](std::size_t row, const std::string& value) { return table[row].Apply(options, value); }, operands);
}

template <class Options>
std::string HelpLines(const std::vector<OptionRow<Options>>& table) {
    return HelpLines(Shapes(table));
}

}  // namespace tool_support
