#include "tools/Interrupts.h"

#include <signal.h>

namespace tool_support {

void CatchInterrupts(void (*handler)(int)) {
    // Without SA_RESTART: a system call that waits (the open of a FIFO nobody
    // writes to) is cut short too, so the tool can see the flag.
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

}  // namespace tool_support
