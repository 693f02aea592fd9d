#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "engine/JsonText.h"

#include <ostream>

namespace cli {

namespace {

const char* const kQueuesUsage =
    "usage: fwprog queues [--json]\n"
    "  Lists this computer's print queues, one name a line, in the spooler's order.\n"
    "  Any of them can be given to `fwprog single --target` or named in a list file.\n"
    "  Nothing is listed when there are none or the spooler cannot be reached.\n";

}  // namespace

int runQueues(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context, kQueuesUsage))
            return kExitSuccess;
        if (!reader.common())
            reader.fail("unknown option: " + reader.current());
    }
    if (reader.error())
        return usageError(context, *reader.error(), kQueuesUsage);

    const std::vector<std::string> names = context.spooler.queueNames();
    if (common.json) {
        context.out << "{\"queues\": [";
        for (std::size_t i = 0; i < names.size(); ++i)
            context.out << (i ? ", " : "") << jsonString(names[i]);
        context.out << "]}\n";
    } else {
        for (const std::string& name : names)
            context.out << name << '\n';
    }
    context.out.flush();
    return kExitSuccess;
}

}  // namespace cli
