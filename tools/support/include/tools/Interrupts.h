#pragma once

// Ctrl-C (SIGINT), a polite kill (SIGTERM) and a closed terminal (SIGHUP)
// call `handler` instead of ending the process, so a tool can end what it is
// doing cleanly; a system call they interrupt fails with EINTR rather than
// going on. The handler runs in signal context: it may only set a flag.
namespace tool_support {

void CatchInterrupts(void (*handler)(int));

}  // namespace tool_support
