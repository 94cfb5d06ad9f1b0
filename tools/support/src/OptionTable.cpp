#include "tools/OptionTable.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tool_support {

std::string SplitArguments(const std::vector<RowShape>& rows, const std::vector<std::string>& args,
                           const ApplyOption& apply, std::vector<std::string>& operands) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        if (std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const RowShape& shape) {
            return name == shape.Long || (shape.Short && name == shape.Short);
        });
        if (row == rows.end()) return "unknown option " + name;
        if (row->Value) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) return name + " needs a value (" + row->Value + ")";
                value = args[++i];
            }
        } else if (inlineValue) {
            return name + " takes no value";
        }
        if (std::string error = apply(static_cast<std::size_t>(row - rows.begin()), value); !error.empty()) {
            return name + ": " + error;
        }
    }
    return {};
}

std::string HelpLines(const std::vector<RowShape>& rows) {
    std::size_t width = 0;
    std::vector<std::string> heads;
    for (const auto& row : rows) {
        std::string head = row.Short ? std::string(row.Short) + ", " + row.Long : std::string("    ") + row.Long;
        if (row.Value) head += std::string(" ") + row.Value;
        width = std::max(width, head.size());
        heads.push_back(std::move(head));
    }
    std::string text;
    for (std::size_t i = 0; i < heads.size(); ++i) {
        text += "  " + heads[i] + std::string(width - heads[i].size() + 2, ' ') + rows[i].Help + "\n";
    }
    return text;
}

std::string ParseInt(const std::string& text, int low, int high, int& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE) return "'" + text + "' is not a whole number";
    if (parsed < low || parsed > high) {
        return std::to_string(parsed) + " is outside " + std::to_string(low) + " to " + std::to_string(high);
    }
    value = static_cast<int>(parsed);
    return {};
}

std::string ParseNumber(const std::string& text, double& value) {
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(parsed)) {
        return "'" + text + "' is not a number";
    }
    value = parsed;
    return {};
}

std::string NeedsPath(const std::string& value, std::string& path) {
    if (value.empty()) return "the file name is empty";
    path = value;
    return {};
}

std::string FormatNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

}  // namespace tool_support
