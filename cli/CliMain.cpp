#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "engine/VisibleText.h"
#include "generated/Version.h"
#include "platform/ErrorText.h"

#include <ostream>

namespace cli {

namespace {

// A usage error is two lines on stderr, as other command-line tools have them:
// what is wrong, and where the whole help is. Nothing goes to stdout.
int usageError(CliContext& context, const std::string& message, const std::string& helpCommand) {
    context.err << "fwprog: " << message << '\n'
                << "Try '" << helpCommand << " --help' for more information.\n";
    return kExitUsage;
}

}  // namespace

int usageError(CliContext& context, const std::string& message, const CommandSpec& command) {
    return usageError(context, message, std::string("fwprog ") + command.name);
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
    engine::VisibleTextBuffer filter_;
    std::streambuf* original_;
};

int runCommand(const std::vector<std::string>& args, CliContext& context) {
    if (args.empty())
        return usageError(context, "no command given", "fwprog");
    const std::string& command = args.front();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        context.out << programHelp() << '\n' << commonOptionsHelp();
        return kExitSuccess;
    }
    if (command == "--version") {
        context.out << kProductVersionText << '\n';
        return kExitSuccess;
    }
    if (const CommandSpec* entry = findCommand(command))
        return entry->run(*entry, rest, context);
    return usageError(context, "unknown command: " + command, "fwprog");
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
