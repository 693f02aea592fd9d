#pragma once

#include "engine/Endpoints.h"
#include "platform/Sleeper.h"
#include "platform/Spooler.h"
#include "platform/StreamSocket.h"

#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

// What a command may touch of the process it runs in. main() fills it with the
// real streams, clock and spooler; tests fill it with string streams, a scaled
// sleeper and a private spooler.
struct CliContext {
    std::ostream& out;
    std::ostream& err;
    std::istream& in;
    bool stderrIsTerminal = false;
    bool stdinIsTerminal = false;
    platform::Sleeper& sleeper;
    platform::Spooler& spooler;
    platform::StreamTimeouts streamTimeouts{};
    // Count of interrupts (SIGINT/SIGTERM/SIGHUP) so far; the first is a stop request.
    const std::atomic<int>* interrupts = nullptr;

    // The system's error number when a write to out has failed, where the
    // stream under out can tell it (0 otherwise).
    std::function<int()> outErrorNumber{};
    // Standard output is a terminal: a command may show what it finds as it
    // finds it (discover's answers) instead of all at the end.
    bool stdoutIsTerminal = false;

    bool stopRequested() const { return interrupts && interrupts->load() > 0; }
};

// Options every subcommand takes.
struct CommonOptions {
    engine::Endpoints endpoints;  // from the environment, then overridden by options
    bool json = false;
};

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnconfirmed = 3;
// A batch stopped before the end of its list; single, discover and timestamp
// ended by an interrupt.
inline constexpr int kExitInterrupted = 130;

int runFwprog(const std::vector<std::string>& args, CliContext& context);

}  // namespace cli
