#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/JsonText.h"
#include "engine/Protocol.h"
#include "fleet/DeviceDiscovery.h"
#include "fleet/DeviceList.h"
#include "platform/ErrorText.h"

#include <chrono>
#include <optional>
#include <ostream>

namespace cli {

namespace {

const char* const kDiscoverUsage =
    "usage: fwprog discover [--wait MS] [--save FILE] [--json]\n"
    "  Broadcasts the query and lists every unit that has answered a moment later:\n"
    "  product and version, a tab, the address, in the order the window's list shows.\n"
    "  --wait MS     let replies arrive for MS milliseconds before collecting them\n"
    "                (default and least 5, the units' own pace; at most 600000)\n"
    "  --save FILE   also write the listed addresses to FILE, one per line ended by\n"
    "                CR LF (a list for `fwprog multiple`); an address holding control\n"
    "                characters is left out, and the number left out said on stderr\n"
    "  An interrupt (Ctrl-C) stops the wait at once; nothing is listed.\n"
    "  Exit status: 0 listed (possibly no units), 1 failed, 2 usage error,\n"
    "  130 stopped by an interrupt.\n";

constexpr long kLongestWait = 600000;

std::optional<long> parseWait(const std::string& text) {
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < timing::kDiscoveryPause.count() || value > kLongestWait)
        return std::nullopt;
    return value;
}

void printList(std::ostream& out, const fleet::DeviceList& list, bool json) {
    if (!json) {
        for (const std::string& line : list.lines())
            out << line << '\n';
        return;
    }
    out << "{\"units\": [";
    const char* separator = "";
    for (const std::string& line : list.lines()) {
        out << separator << "{\"product\": " << jsonString(line.substr(0, line.find('\t')))
            << ", \"address\": " << jsonString(proto::addressFromListLine(line)) << "}";
        separator = ", ";
    }
    out << "]}\n";
}

}  // namespace

int runDiscover(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    std::string waitText, savePath;
    bool save = false;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context, kDiscoverUsage))
            return kExitSuccess;
        if (reader.option("--wait", waitText)) {
            if (!reader.error() && !parseWait(waitText))
                reader.fail("--wait takes milliseconds from 5 to 600000: " + waitText);
        } else if (reader.option("--save", savePath)) {
            save = true;
            if (!reader.error() && savePath.empty())
                reader.fail("--save needs a file name");
        } else if (!reader.common()) {
            reader.fail("unknown option: " + reader.current());
        }
    }
    if (reader.error())
        return usageError(context, *reader.error(), kDiscoverUsage);

    TerminalOperator op(context.err, false);
    fleet::DeviceDiscovery discovery(op, context.sleeper, common.endpoints);
    if (!waitText.empty())
        discovery.setPause(std::chrono::milliseconds(*parseWait(waitText)));
    discovery.setStopCheck([&context] { return context.stopRequested(); });
    fleet::DeviceList list;
    if (!discovery.refresh(list)) {
        if (discovery.stopped()) {
            context.err << "fwprog: stopped by an interrupt; nothing was listed\n";
            if (common.json)
                context.out << "{\"error\": \"stopped by an interrupt\"}\n";
            return kExitInterrupted;
        }
        if (common.json)
            context.out << "{\"error\": " << jsonString(op.lastMessage()) << "}\n";
        return kExitFailure;
    }
    printList(context.out, list, common.json);
    context.out.flush();

    if (save) {
        const fleet::SaveResult saved = fleet::saveAddressList(op, list.lines(), savePath);
        // The window stays silent when the chooser left no file; here the file
        // was named on purpose, so not creating it is a failure to report.
        if (saved.outcome == fleet::SaveOutcome::NotCreated)
            op.messageBox("Cannot create the list file " + savePath + "\n" +
                              platform::systemErrorText(saved.error),
                          mb::kIconStop);
        if (saved.outcome != fleet::SaveOutcome::Written)
            return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace cli
