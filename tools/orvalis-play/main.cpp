#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "OrvalisPlay.h"
#include "tools/Interrupts.h"

namespace {

void OnInterrupt(int) { orvalis_play::RequestInterrupt(); }

}  // namespace

int main(int argc, char** argv) {
    // Ctrl-C, a polite kill and a closed terminal end playback cleanly: notes
    // released, files written.
    tool_support::CatchInterrupts(&OnInterrupt);

    std::vector<std::string> args(argv + 1, argv + argc);
    orvalis_play::PlayEnvironment environment;
    environment.Terminal = isatty(STDOUT_FILENO) == 1;
    int status = orvalis_play::RunOrvalisPlay(args, std::cout, std::cerr, environment);
    std::cout.flush();
    if (!std::cout && status == orvalis_play::kExitOk) {
        std::cerr << "orvalis-play: cannot write the output\n";
        return orvalis_play::kExitFailure;
    }
    return status;
}
