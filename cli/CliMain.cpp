#include "cli/CliContext.h"
#include "cli/Commands.h"

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
    "  timestamp  [--yes]                        set every unit's clock to this computer's\n"
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

int runFwprog(const std::vector<std::string>& args, CliContext& context) {
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
    return usageError(context, "unknown command: " + command, kUsage);
}

}  // namespace cli
