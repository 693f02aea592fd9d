#include "platform/Interrupts.h"

#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

// What the handler works with: set before it is installed, and only read by it.
std::atomic<int>* counted = nullptr;
volatile sig_atomic_t exitStatus = 1;

static_assert(std::atomic<int>::is_always_lock_free,
              "the interrupt handler needs a lock-free count");

void onInterrupt(int) {
    if (counted == nullptr || counted->fetch_add(1) >= 1)
        ::_exit(exitStatus);
}

}  // namespace

void countInterrupts(std::atomic<int>& counter, int secondInterruptExit) {
    counted = &counter;
    exitStatus = secondInterruptExit;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    // No SA_RESTART: a read waiting on the terminal (the time stamp's
    // question) ends with the interrupt instead of going on waiting.
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    // A hang-up (the terminal or SSH session that ran us is gone) and a
    // request to terminate are the operator's interrupts as much as Ctrl-C.
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A hang-up that was ignored when the process began (nohup) stays
    // ignored: the operator asked for the run to outlive the session.
    struct sigaction inherited {};
    if (::sigaction(SIGHUP, nullptr, &inherited) != 0 || inherited.sa_handler != SIG_IGN)
        ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
