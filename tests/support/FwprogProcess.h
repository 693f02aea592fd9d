#pragma once
// Runs the real fwprog executable the way a shell or a script would: its
// standard output on a pipe, a pseudo-terminal or a named file (/dev/full),
// optionally under an address-space limit, and never longer than a deadline
// (a program that hangs is killed and reported, not waited for forever).

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct FwprogRun {
    enum class Stdout { Pipe, Terminal, Path };
    Stdout stdoutKind = Stdout::Pipe;
    std::string stdoutPath;                     // for Stdout::Path
    std::optional<unsigned long> addressSpace;  // RLIMIT_AS in bytes for the child
    std::chrono::milliseconds deadline{20000};  // killed after this long
    std::vector<std::string> environment;       // "NAME=value" added to the child's
    // A program fwprog is run through, with its arguments (e.g. a shell that
    // prepares a private mount namespace first and then runs "$@").
    std::vector<std::string> wrapper;
    // When set, the child gets SIGINT (Ctrl-C) this long after it started.
    std::optional<std::chrono::milliseconds> interruptAfter;
    // Runs the child as this user and group, which needs root: a user no
    // other process has makes processLimit count this child alone.
    std::optional<unsigned> userId;
    // RLIMIT_NPROC for the child: its threads and processes together (the
    // kernel holds every user but root to it).
    std::optional<unsigned long> processLimit;
    // Called once the child runs, with its process id; the child's output is
    // read after it returns, and the deadline counts from then.
    std::function<void(int pid)> whileRunning;
    // Signals sent to the child in this order, each once its condition holds
    // (looked at every 20 ms) and the one before it has been delivered: two
    // of a kind sent at once would reach the process as one.
    struct Signal {
        int number;
        std::function<bool()> when;
    };
    std::vector<Signal> signals;
    // Standard error on a pseudo-terminal of its own (raw mode) instead of a
    // file, as an operator at a terminal sees it.
    bool stderrTerminal = false;
};

struct FwprogResult {
    bool started = false;
    bool timedOut = false;        // killed at the deadline
    int exitStatus = -1;          // when it exited
    int signal = 0;               // when a signal ended it
    std::string out;              // what reached the pipe or terminal (raw bytes, terminal
                                  // set to raw mode so nothing is translated)
    std::string err;              // standard error, from a file or its terminal (raw bytes)
    std::size_t signalsSent = 0;  // of FwprogRun::signals
};

// The fwprog executable of this build, or the one FWPROG_TEST_EXECUTABLE names.
std::string fwprogBinary();
// The program fwprog is run with (FWPROG_TEST_LAUNCHER, e.g. the path of
// wine); empty when it runs on its own.
std::string fwprogLauncher();
// True when fwprog is the Windows build run under Wine: a test that needs
// what Wine does not give (signals, terminals, POSIX file kinds) skips then.
bool fwprogRunsUnderWine();

FwprogResult runFwprogProcess(const std::vector<std::string>& args, const FwprogRun& how = {});

}  // namespace testing_support
