#pragma once

#include <ostream>
#include <string>
#include <vector>

// orvalis-play: plays Standard MIDI Files on a MIDI output device. The tool
// runs in-process (main and the tests call RunOrvalisPlay); its output goes
// to the streams given.
namespace orvalis_play {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

std::string UsageText();

// Writes one line per MIDI output device: its number and its name.
void ListPorts(std::ostream& out);

// args: the arguments after the program name. Returns the exit status.
int RunOrvalisPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace orvalis_play
