#pragma once

#include <atomic>

namespace platform {

// From now on the operator's interrupts (Ctrl-C, a request to terminate the
// process, and the loss of its terminal or session: SIGINT, SIGTERM and SIGHUP;
// on Windows Ctrl-C, Ctrl-Break and the console's closing) no longer end the
// process: each one is counted in counter, and the work in progress looks at
// it. A second interrupt ends the process at once with secondInterruptExit;
// the image connections it leaves open are reset as it ends (see
// StreamSocket::close). A read that waits on the terminal ends with
// an interrupt instead of going on waiting, and a write to a pipe nobody reads
// any more fails with an error instead of ending the process.
//
// The system delivers interrupts to the process as a whole, so there is one
// counter per process: counter must outlive the process's work, and a later
// call takes the place of an earlier one.
void countInterrupts(std::atomic<int>& counter, int secondInterruptExit);

}  // namespace platform
