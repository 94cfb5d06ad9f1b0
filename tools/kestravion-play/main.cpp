#include <iostream>
#include <string>
#include <vector>

#include "KestravionPlay.h"
#include "tools/Interrupts.h"

namespace {

void OnInterrupt(int) { kestravion_play::RequestInterrupt(); }

}  // namespace

int main(int argc, char** argv) {
    // Ctrl-C and a polite kill end playback cleanly: the controls are taken down.
    tool_support::CatchInterrupts(&OnInterrupt);

    std::vector<std::string> args(argv + 1, argv + argc);
    const int status = kestravion_play::RunKestravionPlay(args, std::cout, std::cerr);
    std::cout.flush();
    if (!std::cout && status == kestravion_play::kExitOk) {
        std::cerr << "kestravion-play: cannot write the output\n";
        return kestravion_play::kExitFailure;
    }
    return status;
}
