#pragma once

// Ctrl-C (SIGINT) and a polite kill (SIGTERM) call `handler` instead of
// ending the process, so a tool can end what it is doing cleanly. The handler
// runs in signal context: it may only set a flag.
namespace tool_support {

void CatchInterrupts(void (*handler)(int));

}  // namespace tool_support
