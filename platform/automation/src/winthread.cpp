#include "platform/automation/winthread.h"

namespace platform {

std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC procedure, void* parameter, int, UINT, DWORD createFlags,
                                           void*) {
    if (!procedure || (createFlags & CREATE_SUSPENDED) != 0) return nullptr;
    auto thread = std::make_unique<CWinThread>();
    bool started = thread->Worker.Start("afx thread", [state = thread->Shared, procedure, parameter] {
        state->Id.store(GetCurrentThreadId(), std::memory_order_release);
        UINT code = procedure(parameter);
        state->Code.store(code, std::memory_order_release);
        state->Done.store(true, std::memory_order_release);
    });
    if (!started) return nullptr;
    return thread;
}

}  // namespace platform
