#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>

namespace bench {

// One option of a benchmark program: its name and what its value sets. Set
// may throw (std::stoi and the like) for a value it cannot take.
struct OptionRow {
    const char* Name;
    std::function<void(const char* value)> Set;
};

// Reads argv by the rows, every option taking one value; --help and -h print
// the usage. Returns the exit status when the program should end now (0 after
// the usage, 2 for a bad command line, with the reason on standard error),
// or -1 to go on.
inline int ReadOptions(const char* program, int argc, char** argv, std::initializer_list<OptionRow> rows,
                       void (*usage)()) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        const OptionRow* found = nullptr;
        for (const OptionRow& row : rows) {
            if (arg == row.Name) found = &row;
        }
        if (!found) {
            std::fprintf(stderr, "%s: unknown option %s (see --help)\n", program, arg.c_str());
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s: %s needs a value\n", program, found->Name);
            return 2;
        }
        try {
            found->Set(argv[++i]);
        } catch (const std::exception&) {
            std::fprintf(stderr, "%s: bad value for %s\n", program, arg.c_str());
            return 2;
        }
    }
    return -1;
}

}  // namespace bench
