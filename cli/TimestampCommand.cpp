#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/TerminalOperator.h"
#include "fleet/TimeStamp.h"

#include <istream>
#include <ostream>

namespace cli {

namespace {

const char* const kTimestampUsage =
    "usage: fwprog timestamp [--yes] [--json]\n"
    "  Sets the clock of every unit on the network to this computer's local time and\n"
    "  zone with one broadcast. Asks first on a terminal; without one, --yes is needed.\n";

// Asks on the terminal; true for an explicit yes.
bool confirm(CliContext& context) {
    context.err << kTimeStampQuestion << "? [y/N] ";
    context.err.flush();
    std::string answer;
    if (!std::getline(context.in, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "ok" ||
           answer == "OK";
}

}  // namespace

int runTimestamp(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    bool yes = false;
    while (!reader.atEnd()) {
        if (reader.flag("--help") || reader.flag("-h")) {
            context.out << kTimestampUsage << '\n' << kCommonOptionsHelp;
            return kExitSuccess;
        }
        if (reader.flag("--version")) {
            context.out << FWPROG_VERSION_TEXT << '\n';
            return kExitSuccess;
        }
        if (reader.flag("--yes") || reader.flag("-y")) {
            yes = true;
            continue;
        }
        if (!reader.common())
            reader.fail("unknown option: " + reader.current());
    }
    if (reader.error())
        return usageError(context, *reader.error(), kTimestampUsage);
    if (!yes && !context.stdinIsTerminal)
        return usageError(context,
                          "no terminal to confirm on: pass --yes to set every unit's clock",
                          kTimestampUsage);
    if (!yes && !confirm(context)) {
        context.err << "fwprog: cancelled; nothing was sent\n";
        return kExitFailure;
    }

    TerminalOperator op(context.err, false);
    const TimeStampOutcome outcome = broadcastTimeStamp(op, common.endpoints, /*ask=*/false);
    if (outcome.kind != TimeStampOutcome::Sent)
        return kExitFailure;
    if (common.json)
        context.out << "{\"sent\": " << jsonString(outcome.text) << "}\n";
    return kExitSuccess;
}

}  // namespace cli
