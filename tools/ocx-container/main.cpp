// ocx-container: the test container. Creates controls by ProgID and drives
// them from a script, from standard input, or interactively on a terminal.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "ScriptReader.h"
#include "Session.h"
#include "platform/automation/registry.h"
#include "platform/window/host.h"
#include "platform/window/x11.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: ocx-container [--registry FILE] [--display NAME] [SCRIPT]\n"
                 "\n"
                 "Creates controls registered with ocx-register and drives them: calls,\n"
                 "properties, events, a window to show them in, clicks, saved properties.\n"
                 "Commands come from SCRIPT, or from standard input (with a prompt on a\n"
                 "terminal). An error is reported with its line number and the session goes\n"
                 "on.\n"
                 "\n"
                 "Options:\n"
                 "  --registry FILE   use this registry file instead of the default\n"
                 "                    (%s)\n"
                 "  --display NAME    show the windows on this X display (\"\" for $DISPLAY)\n"
                 "                    instead of keeping them off screen\n"
                 "  -h, --help        show this help and the commands\n"
                 "\n"
                 "Exit status: 0 when every command succeeded, 1 when one failed, 2 for bad\n"
                 "usage, an unreadable script or a display that cannot be opened.\n\n",
                 platform::DefaultRegistryPath().c_str());
    std::fputs(Session::HelpText().c_str(), out);
}

// The next script line; on a display the windows are served while the person
// at the prompt thinks.
ocx_container::LineStatus ReadLine(std::istream& in, bool serveWindows, std::string& line) {
    if (serveWindows && &in == &std::cin) {
        for (;;) {
            if (std::cin.rdbuf()->in_avail() > 0) break;
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (::poll(&input, 1, 0) != 0) break;
            platform::PumpMessages(std::chrono::milliseconds(20));
        }
    }
    return ocx_container::ReadScriptLine(in, line);
}

}  // namespace

int main(int argc, char** argv) {
    // Standard input gets a buffer of its own, so that what is already read
    // shows in in_avail() while the windows are served between lines.
    std::ios::sync_with_stdio(false);
    std::string script;
    bool onDisplay = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--registry") {
            if (++i == argc) {
                std::fprintf(stderr, "ocx-container: --registry needs a file name\n");
                return 2;
            }
            platform::SetRegistryPath(argv[i]);
        } else if (arg.rfind("--registry=", 0) == 0) {
            platform::SetRegistryPath(arg.substr(11));
        } else if (arg == "--display" || arg.rfind("--display=", 0) == 0) {
            if (arg == "--display" && ++i == argc) {
                std::fprintf(stderr, "ocx-container: --display needs a display name (\"\" for $DISPLAY)\n");
                return 2;
            }
            const std::string name = arg == "--display" ? argv[i] : arg.substr(10);
            std::string error;
            auto backend = platform::MakeX11Backend(name.c_str(), &error);
            if (!backend) {
                std::fprintf(stderr, "ocx-container: %s\n", error.c_str());
                return 2;
            }
            platform::host::InstallBackend(std::move(backend));
            onDisplay = true;
        } else if (arg != "-" && !arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "ocx-container: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        } else if (!script.empty()) {
            std::fprintf(stderr, "ocx-container: one script at a time (see --help)\n");
            return 2;
        } else {
            script = arg;
        }
    }

    std::ifstream file;
    std::istream* in = &std::cin;
    if (!script.empty() && script != "-") {
        file.open(script);
        if (!file) {
            std::fprintf(stderr, "ocx-container: cannot read the script %s\n", script.c_str());
            return 2;
        }
        in = &file;
    }
    const bool interactive = in == &std::cin && ::isatty(STDIN_FILENO);
    if (interactive) std::printf("ocx-container: type help for the commands, quit to leave\n");

    bool failed = false;
    {
        Session session(stdout, stderr);
        std::string line;
        int lineNumber = 0;
        while (!session.QuitRequested()) {
            if (interactive) {
                std::printf("ocx> ");
                std::fflush(stdout);
            }
            const ocx_container::LineStatus status = ReadLine(*in, onDisplay, line);
            if (status == ocx_container::LineStatus::End) break;
            ++lineNumber;
            if (status == ocx_container::LineStatus::TooLong) {
                session.Reject(lineNumber, "the line is longer than " + std::to_string(ocx_container::kMaxLineBytes) +
                                               " bytes; it is skipped");
                failed = true;
                continue;
            }
            if (!session.Execute(line, lineNumber)) failed = true;
        }
        if (interactive) std::printf("\n");
    }
    return failed ? 1 : 0;
}
