#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/VisibleText.h"
#include "platform/ErrorText.h"

#include <ostream>

namespace cli {

const char* const kCommonOptionsHelp =
    "Options every command takes (they win over the environment variables):\n"
    "  --unit-udp-port N   units' management port (FWPROG_UNIT_UDP_PORT, default 6000)\n"
    "  --unit-tcp-port N   units' raw data port (FWPROG_UNIT_TCP_PORT, default 9100)\n"
    "  --status-port N     this host's status port (FWPROG_STATUS_PORT, default 40001)\n"
    "  --broadcast ADDR    broadcast address (FWPROG_BROADCAST, default 255.255.255.255)\n"
    "  --json              one JSON object on stdout instead of text\n";

namespace {

const char* const kUsage =
    "usage: fwprog COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  single     --image FILE --target TARGET   program one unit (address or print queue)\n"
    "  multiple   --image FILE --list FILE       program every unit of a list file\n"
    "  discover   [--wait MS] [--save FILE]      list the units that answer a broadcast\n"
    "             [--interface NAME] [--range RANGE] [--rate N]\n"
    "  timestamp  [--yes] [--interface NAME]     set every unit's clock to this computer's\n"
    "  check      TARGET...                      what stands between this computer and\n"
    "                                            programming each target\n"
    "  queues                                    list this computer's print queues\n"
    "\n"
    "  fwprog COMMAND --help   options of one command\n"
    "  fwprog --version        the program's version\n";

}  // namespace

int usageError(CliContext& context, const std::string& message, const char* usage) {
    if (!message.empty())
        context.err << "fwprog: " << message << '\n';
    context.err << usage;
    return kExitUsage;
}

namespace {

// Puts the visible-text filter under a stream for one run and takes it away
// again, whatever way the run ends.
class FilteredStream {
public:
    explicit FilteredStream(std::ostream& stream)
        : stream_(stream), filter_(stream.rdbuf()), original_(stream.rdbuf(&filter_)) {}
    ~FilteredStream() { restore(); }
    FilteredStream(const FilteredStream&) = delete;
    FilteredStream& operator=(const FilteredStream&) = delete;

    // Flushes through the filter and puts the stream's own buffer back; false
    // when anything written could not be passed on.
    bool restore() {
        if (original_ != nullptr) {
            stream_.flush();
            filter_.pubsync();
            stream_.rdbuf(original_);
            original_ = nullptr;
        }
        return filter_.good();
    }

private:
    std::ostream& stream_;
    VisibleTextBuffer filter_;
    std::streambuf* original_;
};

int runCommand(const std::vector<std::string>& args, CliContext& context) {
    if (args.empty())
        return usageError(context, "no command given", kUsage);
    const std::string& command = args.front();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        context.out << kUsage << '\n' << kCommonOptionsHelp;
        return kExitSuccess;
    }
    if (command == "--version") {
        context.out << FWPROG_VERSION_TEXT << '\n';
        return kExitSuccess;
    }
    if (command == "single")
        return runSingle(rest, context);
    if (command == "multiple")
        return runMultiple(rest, context);
    if (command == "discover")
        return runDiscover(rest, context);
    if (command == "timestamp")
        return runTimestamp(rest, context);
    if (command == "queues")
        return runQueues(rest, context);
    if (command == "check")
        return runCheck(rest, context);
    return usageError(context, "unknown command: " + command, kUsage);
}

}  // namespace

int runFwprog(const std::vector<std::string>& args, CliContext& context) {
    FilteredStream out(context.out), err(context.err);
    const int status = runCommand(args, context);
    if (out.restore())
        return status;
    // Output that never arrived is no success, whatever the command achieved;
    // the status log, if any, is complete all the same.
    const int error = context.outErrorNumber ? context.outErrorNumber() : 0;
    std::string reason = error ? platform::systemErrorText(error) : "write error\n";
    context.err << "fwprog: could not write to standard output: " << reason;
    context.err.flush();
    return kExitFailure;
}

}  // namespace cli
