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
inline constexpr int kExitFailure = 1;   // the file could not be read or played, an output not written
inline constexpr int kExitUsage = 2;     // a bad command line, or a bar the song does not have
inline constexpr int kExitNoDevice = 3;  // the MIDI output device did not open
inline constexpr int kExitInterrupted = 130;

// What the tool may know about where it runs.
struct PlayEnvironment {
    // out is a terminal: show a live status line and a closing summary.
    bool Terminal = false;
};

std::string UsageText();

// Writes one line per MIDI output device: its number and its name.
void ListPorts(std::ostream& out);

// Asks a running RunOrvalisPlay to end as on Ctrl-C: sounding notes are
// released and the outputs written. Safe from a signal handler and from any
// thread. A later run starts afresh.
void RequestInterrupt() noexcept;

// args: the arguments after the program name. Returns the exit status.
int RunOrvalisPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   const PlayEnvironment& environment = {});

}  // namespace orvalis_play
