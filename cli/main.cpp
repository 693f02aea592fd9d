#include "cli/CliContext.h"
#include "platform/Interrupts.h"
#include "platform/Sleeper.h"
#include "platform/StandardStream.h"
#include "platform/SystemSpooler.h"

#include <atomic>
#include <iostream>
#include <ostream>

int main(int argc, char** argv) {
    // The first interrupt asks the running command to stop: a batch after the
    // unit in progress, anything else at once; a second one ends the process
    // at once (every log line written so far is already on disk).
    platform::setUpStandardStreams();
    static std::atomic<int> interrupts{0};
    platform::countInterrupts(interrupts, cli::kExitInterrupted);

    platform::RealSleeper sleeper;
    const auto spooler = platform::systemSpooler();
    // Standard output written straight to the process's own stream, so that a
    // failed write (a full disk, a closed pipe) is known with its reason.
    platform::StandardStreamBuffer stdoutBuffer(platform::StandardStream::Output);
    std::ostream out(&stdoutBuffer);
    cli::CliContext context{out,
                            std::cerr,
                            std::cin,
                            platform::isTerminal(platform::StandardStream::Error),
                            platform::isTerminal(platform::StandardStream::Input),
                            sleeper,
                            *spooler};
    context.interrupts = &interrupts;
    context.outErrorNumber = [&stdoutBuffer] { return stdoutBuffer.lastError(); };
    context.stdoutIsTerminal = platform::isTerminal(platform::StandardStream::Output);
    return cli::runFwprog(platform::commandLineArguments(argc, argv), context);
}
