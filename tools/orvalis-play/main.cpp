#include <iostream>
#include <string>
#include <vector>

#include "tools/orvalis-play/OrvalisPlay.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int status = orvalis_play::RunOrvalisPlay(args, std::cout, std::cerr);
    std::cout.flush();
    if (!std::cout && status == orvalis_play::kExitOk) {
        std::cerr << "orvalis-play: cannot write the output\n";
        return orvalis_play::kExitFailure;
    }
    return status;
}
