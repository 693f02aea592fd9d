#pragma once
// Runs the real fwprog executable the way a shell or a script would: its
// standard output on a pipe, a pseudo-terminal or a named file (/dev/full),
// optionally under an address-space limit, and never longer than a deadline
// (a program that hangs is killed and reported, not waited for forever).

#include <chrono>
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
    // When set, the child gets SIGINT (Ctrl-C) this long after it started.
    std::optional<std::chrono::milliseconds> interruptAfter;
    // Standard error on a pseudo-terminal of its own (raw mode) instead of a
    // file, as an operator at a terminal sees it.
    bool stderrTerminal = false;
};

struct FwprogResult {
    bool started = false;
    bool timedOut = false;  // killed at the deadline
    int exitStatus = -1;    // when it exited
    int signal = 0;         // when a signal ended it
    std::string out;        // what reached the pipe or terminal (raw bytes, terminal
                            // set to raw mode so nothing is translated)
    std::string err;        // standard error, from a file or its terminal (raw bytes)
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
