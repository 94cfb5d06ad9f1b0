#pragma once

#include <ostream>
#include <string>
#include <vector>

// kestravion-play: plays up to 16 media files as one group through the video
// controls, each picture in a display control of its own, or writes a
// snapshot of the pictures. The tool runs in-process (main and the tests call
// RunKestravionPlay); its output goes to the streams given.
namespace kestravion_play {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // a file could not be added, the controls not made, the snapshot not written
inline constexpr int kExitUsage = 2;    // a bad command line
inline constexpr int kExitInterrupted = 130;

std::string UsageText();

// Asks a running RunKestravionPlay to end as on Ctrl-C. Safe from a signal
// handler and from any thread. A later run starts afresh.
void RequestInterrupt() noexcept;

// args: the arguments after the program name. Returns the exit status.
int RunKestravionPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kestravion_play
