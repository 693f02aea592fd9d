#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/TerminalOperator.h"
#include "engine/Protocol.h"
#include "fleet/Discovery.h"

#include <ostream>

namespace cli {

namespace {

const char* const kDiscoverUsage =
    "usage: fwprog discover [--wait MS] [--save FILE] [--json]\n"
    "  Broadcasts the query and lists every unit that answers: product and version,\n"
    "  a tab, the address, ordered as the window's list orders them.\n"
    "  --wait MS     how long to wait for replies before collecting them (default 5)\n"
    "  --save FILE   also write the addresses, one per line with CR LF (a batch list)\n";

}  // namespace

int runDiscover(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    std::string waitText, savePath;
    bool save = false;
    while (!reader.atEnd()) {
        if (reader.flag("--help") || reader.flag("-h")) {
            context.out << kDiscoverUsage << '\n' << kCommonOptionsHelp;
            return kExitSuccess;
        }
        if (reader.flag("--version")) {
            context.out << FWPROG_VERSION_TEXT << '\n';
            return kExitSuccess;
        }
        if (reader.option("--wait", waitText))
            continue;
        if (reader.option("--save", savePath)) {
            save = true;
            continue;
        }
        if (!reader.common())
            reader.fail("unknown option: " + reader.current());
    }
    long waitMs = 5;
    if (!waitText.empty()) {
        char* end = nullptr;
        waitMs = std::strtol(waitText.c_str(), &end, 10);
        if (*end != '\0' || waitMs < 0 || waitMs > 600000)
            reader.fail("--wait takes milliseconds from 0 to 600000: " + waitText);
    }
    if (save && savePath.empty())
        reader.fail("--save needs a file name");
    if (reader.error())
        return usageError(context, *reader.error(), kDiscoverUsage);

    TerminalOperator op(context.err, false);
    DeviceList list;
    if (!refreshDeviceList(op, context.sleeper, common.endpoints, list,
                           std::chrono::milliseconds(waitMs)))
        return kExitFailure;

    if (common.json) {
        context.out << "{\"units\": [";
        const char* separator = "";
        for (const auto& line : list.lines()) {
            const auto tab = line.find('\t');
            context.out << separator << "{\"product\": " << jsonString(line.substr(0, tab))
                        << ", \"address\": " << jsonString(proto::addressFromListLine(line)) << "}";
            separator = ", ";
        }
        context.out << "]}\n";
    } else {
        for (const auto& line : list.lines())
            context.out << line << '\n';
    }
    context.out.flush();

    if (save) {
        std::string failure;
        if (saveDeviceList(list, savePath, &failure) != SaveListOutcome::Saved) {
            op.messageBox(failure, mb::kIconStop);
            return kExitFailure;
        }
    }
    return kExitSuccess;
}

}  // namespace cli
