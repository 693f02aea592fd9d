#include "platform/Interrupts.h"

#include <windows.h>

namespace platform {

namespace {

// What the handler works with: set before it is installed, and only read by it.
std::atomic<int>* counted = nullptr;
std::atomic<int> exitStatus{1};

static_assert(std::atomic<int>::is_always_lock_free,
              "the interrupt handler needs a lock-free count");

// Windows calls this on a thread of its own for Ctrl-C, Ctrl-Break and the
// console window's closing; returning TRUE keeps the process alive.
BOOL WINAPI onInterrupt(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (counted == nullptr || counted->fetch_add(1) >= 1)
                ExitProcess(static_cast<UINT>(exitStatus.load()));
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void countInterrupts(std::atomic<int>& counter, int secondInterruptExit) {
    counted = &counter;
    exitStatus = secondInterruptExit;
    SetConsoleCtrlHandler(onInterrupt, TRUE);
}

}  // namespace platform
