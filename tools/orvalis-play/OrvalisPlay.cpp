#include "tools/orvalis-play/OrvalisPlay.h"

#include <algorithm>
#include <iomanip>

#include "platform/midi/midi.h"
#include "tools/orvalis-play/PlayOptions.h"

namespace orvalis_play {

std::string UsageText() {
    std::string text =
        "Usage: orvalis-play [OPTIONS]\n"
        "Plays Standard MIDI Files on a MIDI output device.\n"
        "\n"
        "Options:\n";
    std::size_t width = 0;
    std::vector<std::string> heads;
    for (const auto& spec : OptionTable()) {
        std::string head = spec.Short ? std::string(spec.Short) + ", " + spec.Long : std::string("    ") + spec.Long;
        if (spec.Value) {
            head += std::string(" ") + spec.Value;
        }
        width = std::max(width, head.size());
        heads.push_back(std::move(head));
    }
    for (std::size_t i = 0; i < heads.size(); ++i) {
        text += "  " + heads[i] + std::string(width - heads[i].size() + 2, ' ') + OptionTable()[i].Help + "\n";
    }
    text +=
        "\n"
        "MIDI output devices:\n"
        "  0   the built-in software synthesizer (General MIDI SoundFont)\n"
        "  1   capture: records every message with its time\n"
        "  2.. the system's MIDI output ports\n"
        "  -1  the default device (0)\n"
        "\n"
        "Exit status: 0 on success, 1 when the work failed, 2 for a bad command line.\n";
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

int RunOrvalisPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
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
    if (!options.Files.empty()) {
        err << "orvalis-play: playing files is not available yet; --list-ports lists the devices\n";
        return kExitUsage;
    }
    err << "orvalis-play: nothing to do\nTry 'orvalis-play --help'.\n";
    return kExitUsage;
}

}  // namespace orvalis_play
