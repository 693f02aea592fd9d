#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A CUPS scheduler of the test's own: configuration, spool and logs under a
// fresh temporary root, listening on a local socket in that root and on one
// free loopback port, with browsing and every network lookup switched off.
// While it runs, libcups in this process talks to it and to nothing else.
//
// Typical use, one daemon per test suite:
//   static PrivateCupsd* cupsd;                         // SetUpTestSuite: new + start()
//   if (!cupsd->running()) GTEST_SKIP() << cupsd->failure();   // in SetUp
class PrivateCupsd {
public:
    PrivateCupsd() = default;
    ~PrivateCupsd();
    PrivateCupsd(const PrivateCupsd&) = delete;
    PrivateCupsd& operator=(const PrivateCupsd&) = delete;

    // Writes the configuration, starts the daemon and waits until it answers;
    // then points CUPS_SERVER and libcups's server of the calling thread at
    // it. False with failure() set when the machine cannot run one.
    bool start();
    // Stops the daemon by its process id, removes the root and restores the
    // CUPS_SERVER this process had; safe to call more than once.
    void stop();

    bool running() const { return pid_ > 0; }
    // Why start() or a queue operation failed, with the daemon's log tail.
    const std::string& failure() const { return failure_; }

    const std::filesystem::path& root() const { return root_; }
    // The daemon's local socket, what CUPS_SERVER names while it runs.
    std::string socketPath() const { return (root_ / "run" / "cups.sock").string(); }
    std::uint16_t port() const { return port_; }

    // Points libcups of the calling thread at this daemon (libcups keeps its
    // server per thread, so a thread other than start()'s calls this itself).
    void useFromThisThread() const;

    // A raw queue that hands each job to a TCP listener, as a printer port
    // would: socket://ADDRESS:PORT/?contimeout=3, giving up a connection after 3 s.
    // Queue defaults (lpadmin -o NAME=VALUE) may be given, e.g. "copies-default=2".
    bool addSocketQueue(const std::string& name, const std::string& address, std::uint16_t port,
                        const std::vector<std::string>& defaults = {});
    // A queue that writes its jobs into a file (file:/dev/null by default).
    bool addFileQueue(const std::string& name, const std::string& path = "/dev/null");
    // Any device URI; enabled, accepting, and aborting a failed job rather
    // than stopping the queue. Raw unless a driver is named (lpadmin -m, e.g.
    // "drv:///sample.drv/generic.ppd"), whose filters then convert what is not raw.
    bool addQueue(const std::string& name, const std::string& deviceUri,
                  const std::string& driver = {}, const std::vector<std::string>& defaults = {});
    bool removeQueue(const std::string& name);
    // Lets a queue take new jobs or turns them away (cupsaccept / cupsreject).
    bool setAccepting(const std::string& name, bool accepting);
    // Starts or stops a queue (cupsenable / cupsdisable): a stopped queue
    // keeps its jobs without printing them.
    bool setEnabled(const std::string& name, bool enabled);

    // Jobs of a queue in a state ("completed" or "not-completed") by asking
    // the daemon; nothing when it cannot be asked.
    std::optional<std::vector<int>> jobIds(const std::string& queue, const std::string& which);

private:
    // Runs a CUPS client program against the daemon; its output goes to
    // *output when given. Returns the exit status, -1 when it could not run.
    int runClient(const std::vector<std::string>& argv, std::string* output = nullptr);
    std::string logTail() const;
    void fail(std::string reason);

    std::filesystem::path root_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string failure_;
    std::optional<std::string> savedServer_;
    bool serverSet_ = false;
};

}  // namespace testing_support
