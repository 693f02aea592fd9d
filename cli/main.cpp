#include "cli/CliContext.h"
#include "platform/CupsSpooler.h"
#include "platform/DescriptorStream.h"
#include "platform/Sleeper.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <ostream>

namespace {

std::atomic<int> interrupts{0};

// The first interrupt asks the running command to stop: a batch after the unit
// in progress, anything else at once; a second one ends the process at once
// (every log line written so far is already on disk).
void onInterrupt(int) {
    if (interrupts.fetch_add(1) >= 1)
        ::_exit(130);
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    // No SA_RESTART: a read waiting on the terminal (the time stamp's
    // question) ends with the interrupt instead of going on waiting.
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    platform::RealSleeper sleeper;
    platform::CupsSpooler spooler;
    // Standard output written straight to its descriptor, so that a failed
    // write (a full disk, a closed pipe) is known with its reason.
    platform::DescriptorStreamBuffer stdoutBuffer(STDOUT_FILENO);
    std::ostream out(&stdoutBuffer);
    cli::CliContext context{
        out,     std::cerr, std::cin, ::isatty(STDERR_FILENO) == 1, ::isatty(STDIN_FILENO) == 1,
        sleeper, spooler};
    context.interrupts = &interrupts;
    context.outErrorNumber = [&stdoutBuffer] { return stdoutBuffer.lastError(); };
    return cli::runFwprog(std::vector<std::string>(argv + 1, argv + argc), context);
}
