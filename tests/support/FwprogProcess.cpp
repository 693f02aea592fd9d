#include "tests/support/FwprogProcess.h"

#include "tests/support/TestEnvironment.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

extern char** environ;

namespace testing_support {

namespace {

// True while the signal waits to be delivered to the process (or one of its
// threads), as /proc tells; false once a handler has taken it or it ended the
// process.
bool signalPending(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const unsigned long long bit = 1ULL << (signal - 1);
    for (std::string line; std::getline(status, line);) {
        for (const std::string_view field : {"SigPnd:", "ShdPnd:"}) {
            if (line.starts_with(field) &&
                (std::stoull(line.substr(field.size()), nullptr, 16) & bit) != 0)
                return true;
        }
    }
    return false;
}

}  // namespace

std::string fwprogBinary() {
    // Another build of fwprog can stand in for this one, such as the Windows
    // fwprog.exe run through Wine (see fwprogLauncher()).
    if (const char* other = std::getenv("FWPROG_TEST_EXECUTABLE"); other && *other)
        return other;
#ifdef FWPROG_BINARY_DIR
    return std::string(FWPROG_BINARY_DIR) + "/cli/fwprog";
#else
    return "fwprog";
#endif
}

std::string fwprogLauncher() {
    const char* launcher = std::getenv("FWPROG_TEST_LAUNCHER");
    return launcher ? launcher : "";
}

bool fwprogRunsUnderWine() {
    return fwprogLauncher().find("wine") != std::string::npos;
}

FwprogResult runFwprogProcess(const std::vector<std::string>& args, const FwprogRun& how) {
    FwprogResult result;
    TempDir scratch;
    const std::string errPath = scratch.file("stderr").string();

    // Everything the child needs is built before the fork: after it, only
    // calls that are safe in a child of a threaded process are made.
    std::vector<std::string> argStrings = how.wrapper;
    if (const std::string launcher = fwprogLauncher(); !launcher.empty())
        argStrings.push_back(launcher);
    argStrings.push_back(fwprogBinary());
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), how.environment.begin(), how.environment.end());
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // A pseudo-terminal in raw mode: the bytes the program writes arrive
    // exactly as written. The parent's end in master, the child's returned.
    const auto openTerminal = [](int& master) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return -1;
        const int child = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (child < 0 || ::tcgetattr(child, &raw) != 0)
            return -1;
        ::cfmakeraw(&raw);
        ::tcsetattr(child, TCSANOW, &raw);
        return child;
    };

    int readFd = -1;    // the parent's end of a pipe or the terminal's master
    int childOut = -1;  // what becomes the child's standard output
    if (how.stdoutKind == FwprogRun::Stdout::Pipe) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return result;
        readFd = fds[0];
        childOut = fds[1];
    } else if (how.stdoutKind == FwprogRun::Stdout::Terminal) {
        childOut = openTerminal(readFd);
        if (childOut < 0)
            return result;
    } else {
        childOut = ::open(how.stdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
        if (childOut < 0)
            return result;
    }
    int errReadFd = -1;  // the terminal's master when standard error is one
    const int errFd = how.stderrTerminal
                          ? openTerminal(errReadFd)
                          : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int inFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (errFd < 0 || inFd < 0)
        return result;

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(inFd, 0);
        ::dup2(childOut, 1);
        ::dup2(errFd, 2);
        if (how.addressSpace) {
            rlimit limit{*how.addressSpace, *how.addressSpace};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (how.processLimit) {
            rlimit limit{*how.processLimit, *how.processLimit};
            ::setrlimit(RLIMIT_NPROC, &limit);
        }
        if (how.userId) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(*how.userId) != 0 ||
                ::setuid(*how.userId) != 0)
                ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(childOut);
    ::close(errFd);
    ::close(inFd);
    if (pid < 0) {
        if (readFd >= 0)
            ::close(readFd);
        if (errReadFd >= 0)
            ::close(errReadFd);
        return result;
    }
    result.started = true;
    if (how.whileRunning)
        how.whileRunning(pid);

    const auto started = std::chrono::steady_clock::now();
    const auto end = started + how.deadline;
    bool interrupted = false;
    int status = 0;
    bool reaped = false;
    bool drained = readFd < 0;
    bool errDrained = errReadFd < 0;
    // Reads what waits on fd into text; false once it has ended.
    const auto readSome = [](int fd, std::string& text) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0)
            return true;
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        // The end of the pipe, or EIO once the terminal is let go.
        return got > 0 || (got < 0 && errno == EINTR);
    };
    while (!(reaped && drained && errDrained)) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        if (how.interruptAfter && !interrupted &&
            std::chrono::steady_clock::now() >= started + *how.interruptAfter) {
            ::kill(pid, SIGINT);
            interrupted = true;
        }
        if (!reaped && result.signalsSent < how.signals.size()) {
            const auto& next = how.signals[result.signalsSent];
            const bool previousDelivered =
                result.signalsSent == 0 ||
                !signalPending(pid, how.signals[result.signalsSent - 1].number);
            if (previousDelivered && (!next.when || next.when())) {
                ::kill(pid, next.number);
                ++result.signalsSent;
            }
        }
        if (!drained)
            drained = !readSome(readFd, result.out);
        if (!errDrained)
            errDrained = !readSome(errReadFd, result.err);
        if (drained && errDrained)
            ::usleep(10000);
        if (!reaped && ::waitpid(pid, &status, WNOHANG) == pid)
            reaped = true;
    }
    if (!reaped)
        ::waitpid(pid, &status, 0);
    if (readFd >= 0)
        ::close(readFd);
    if (errReadFd >= 0)
        ::close(errReadFd);
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    if (!how.stderrTerminal)
        result.err = readFile(errPath);
    return result;
}

}  // namespace testing_support
