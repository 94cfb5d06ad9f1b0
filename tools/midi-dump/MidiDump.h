#pragma once

#include <iosfwd>

namespace mididump {

// Runs the midi-dump command line: argv[0] is the program name. Writes the
// report to out and messages to err. Returns the exit status: 0 on success,
// 1 when the file cannot be opened, read or parsed or holds no tracks, 2 on
// a usage error.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The help text, as --help prints it.
const char* HelpText();

}  // namespace mididump
