#include "tools/orvalis-play/PlayOptions.h"

namespace orvalis_play {

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--list-ports", nullptr, nullptr, "list the MIDI output devices with their numbers, then exit",
         [](PlayOptions& o, const std::string&) {
             o.ListPorts = true;
             return std::string();
         }},
        {"--help", "-h", nullptr, "show this help, then exit",
         [](PlayOptions& o, const std::string&) {
             o.Help = true;
             return std::string();
         }},
    };
    return table;
}

namespace {

const OptionSpec* Find(const std::string& name) {
    for (const auto& spec : OptionTable()) {
        if (name == spec.Long || (spec.Short && name == spec.Short)) {
            return &spec;
        }
    }
    return nullptr;
}

}  // namespace

ParseResult ParsePlayOptions(const std::vector<std::string>& args) {
    ParseResult result;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            result.Options.Files.push_back(arg);
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
        const OptionSpec* spec = Find(name);
        if (!spec) {
            result.Error = "unknown option " + name;
            return result;
        }
        if (spec->Value) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    result.Error = name + " needs a value (" + spec->Value + ")";
                    return result;
                }
                value = args[++i];
            }
        } else if (inlineValue) {
            result.Error = name + " takes no value";
            return result;
        }
        if (std::string error = spec->Apply(result.Options, value); !error.empty()) {
            result.Error = name + ": " + error;
            return result;
        }
    }
    return result;
}

}  // namespace orvalis_play
