#include "cli/ArgumentReader.h"
#include "cli/BroadcastNotes.h"
#include "cli/Commands.h"
#include "cli/NumberText.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/JsonText.h"
#include "engine/Protocol.h"
#include "engine/VisibleText.h"
#include "fleet/AddressRanges.h"
#include "fleet/DeviceDiscovery.h"
#include "fleet/DeviceList.h"
#include "platform/ErrorText.h"

#include <chrono>
#include <optional>
#include <ostream>
#include <sstream>

namespace cli {

namespace {

constexpr std::size_t kLongestWait = 600000;
// Long enough for answers over a busy or distant network; the units' own 5 ms
// (the window's pace) misses a unit that answers late.
constexpr long kDefaultWait = 1000;

std::optional<long> parseWait(const std::string& text) {
    const auto value = parseCount(
        text, static_cast<std::size_t>(engine::timing::kDiscoveryPause.count()), kLongestWait);
    return value ? std::optional<long>(static_cast<long>(*value)) : std::nullopt;
}

std::optional<int> parseRate(const std::string& text) {
    const auto value = parseCount(text, 1, fleet::DeviceDiscovery::kHighestQueryRate);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

// Why a query may go unanswered, each with what to do about it.
void reportNoAnswer(std::ostream& err, long waited, const engine::Endpoints& endpoints) {
    err << "fwprog: no unit answered within " << waited << " ms; likely reasons:\n"
        << "fwprog:   the units are on another network of this computer: name its interface\n"
        << "fwprog:     with --interface\n"
        << "fwprog:   a firewall here drops their answers: allow inbound UDP from port "
        << endpoints.unitUdpPort << "\n"
        << "fwprog:   they are on another subnet, which no broadcast reaches: query it with\n"
        << "fwprog:     --range (such as --range 10.20.0.0/24)\n";
    err.flush();
}

void printList(std::ostream& out, const fleet::DeviceList& list,
               const fleet::DeviceDiscovery& discovery, bool json) {
    const auto& lines = list.lines();
    const auto& interfaces = list.interfaces();
    const auto& senders = list.senders();
    if (!json) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            out << lines[i] << '\t' << interfaces[i] << '\n';
        return;
    }
    nlohmann::ordered_json units = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        // The address the unit claims, and beside it the one its reply came
        // from: a unit behind address translation, or a forgery, shows there.
        units.push_back({{"product", engine::jsonText(line.substr(0, line.find('\t')))},
                         {"address", engine::jsonText(engine::proto::addressFromListLine(line))},
                         {"sender", engine::jsonText(senders[i])},
                         {"interface", engine::jsonText(interfaces[i])}});
    }
    out << engine::jsonLine({{"units", std::move(units)},
                             {"refused_replies", discovery.refusedReplies()},
                             {"surplus_replies", discovery.surplusReplies()}})
        << '\n';
}

// "queried 1200 of 65536 addresses", redrawn in place on a terminal each time
// the percentage moves.
class SweepProgress {
public:
    explicit SweepProgress(std::ostream& err) : err_(err) {}
    ~SweepProgress() { finish(); }

    void operator()(std::uint64_t queried, std::uint64_t total) {
        const auto percent = static_cast<int>(queried * 100 / total);
        if (percent == percent_ && queried != total)
            return;
        percent_ = percent;
        engine::writeControl(err_, "\r");
        err_ << "fwprog: queried " << queried << " of " << total << " addresses";
        err_.flush();
        drawn_ = true;
    }
    void finish() {
        if (drawn_)
            err_ << '\n';
        drawn_ = false;
    }

private:
    std::ostream& err_;
    int percent_ = -1;
    bool drawn_ = false;
};

// What the command line asks of a discovery, besides the common options.
struct DiscoverRequest {
    std::string waitText, rateText, savePath;
    fleet::AddressRanges ranges;
    bool save = false;
};

// Reads the arguments into common and request, checking each value where it
// is read. An exit status when the command ends here (its help, or a usage
// error); nothing when the discovery goes on.
std::optional<int> readDiscoverArguments(const CommandSpec& command,
                                         const std::vector<std::string>& args, CliContext& context,
                                         CommonOptions& common, DiscoverRequest& request) {
    ArgumentReader reader(args, common, command);
    std::string rangeText;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context))
            return kExitSuccess;
        if (reader.option("--wait", request.waitText)) {
            if (!reader.error() && !parseWait(request.waitText))
                reader.fail("--wait takes milliseconds from 5 to 600000: " + request.waitText);
        } else if (reader.option("--range", rangeText)) {
            std::string why;
            if (!reader.error() && !request.ranges.add(rangeText, &why))
                reader.fail("--range " + why);
        } else if (reader.option("--rate", request.rateText)) {
            if (!reader.error() && !parseRate(request.rateText))
                reader.fail("--rate takes queries a second from 1 to 10000: " + request.rateText);
        } else if (reader.option("--save", request.savePath)) {
            request.save = true;
            if (!reader.error() && request.savePath.empty())
                reader.fail("--save needs a file name");
        } else if (!reader.interfaceOption() && !reader.common()) {
            reader.fail("unknown option: " + reader.current());
        }
    }
    if (!reader.error() && !request.rateText.empty() && request.ranges.empty())
        reader.fail("--rate paces the queries of --range; give a --range too");
    reader.checkInterfaceNames();
    if (reader.error())
        return usageError(context, *reader.error(), command);
    return std::nullopt;
}

// After a discovery that did not finish: why, on stderr (and stdout as JSON).
// The exit status.
int reportUnfinished(CliContext& context, const fleet::DeviceDiscovery& discovery,
                     const TerminalOperator& op, std::size_t shown, bool json) {
    if (discovery.stopped()) {
        context.err << (shown > 0 ? "fwprog: stopped by an interrupt\n"
                                  : "fwprog: stopped by an interrupt; nothing was listed\n");
        if (json)
            context.out << engine::jsonLine({{"error", "stopped by an interrupt"}}) << '\n';
        return kExitInterrupted;
    }
    if (json)
        context.out << engine::jsonLine({{"error", engine::jsonText(op.lastMessage())}}) << '\n';
    return kExitFailure;
}

// What the list leaves out, on stderr: queries of the ranges that could not
// be sent, and the answers that were not listed.
void reportLeftOut(std::ostream& err, const fleet::DeviceDiscovery& discovery,
                   const fleet::AddressRanges& ranges) {
    if (discovery.unsentQueries() > 0)
        err << "fwprog: " << discovery.unsentQueries() << " of " << ranges.count()
            << " queries could not be sent: "
            << (discovery.unsentError() ? platform::systemErrorText(discovery.unsentError())
                                        : "only part of a query left\n");
    std::istringstream notListed(fleet::notListedText(discovery));
    for (std::string note; std::getline(notListed, note);)
        err << "fwprog: " << note << '\n';
}

// Writes the listed addresses to savePath. The exit status.
int saveList(TerminalOperator& op, const fleet::DeviceList& list, const std::string& savePath) {
    const fleet::SaveResult saved = fleet::saveAddressList(op, list.lines(), savePath);
    // The window stays silent when the chooser left no file; here the file
    // was named on purpose, so not creating it is a failure to report.
    if (saved.outcome == fleet::SaveOutcome::NotCreated)
        op.messageBox("Cannot create the list file " + savePath + "\n" +
                          platform::systemErrorText(saved.error),
                      engine::BoxIcon::Stop);
    return saved.outcome == fleet::SaveOutcome::Written ? kExitSuccess : kExitFailure;
}

}  // namespace

int runDiscover(const CommandSpec& command, const std::vector<std::string>& args,
                CliContext& context) {
    CommonOptions common{engine::Endpoints::fromEnvironment()};
    DiscoverRequest request;
    if (const auto exitStatus = readDiscoverArguments(command, args, context, common, request))
        return *exitStatus;

    TerminalOperator op(context.err, false);
    fleet::DeviceDiscovery discovery(op, context.sleeper, common.endpoints);
    const long wait = request.waitText.empty() ? kDefaultWait : *parseWait(request.waitText);
    discovery.setPause(std::chrono::milliseconds(wait));
    discovery.setStopCheck([&context] { return context.stopRequested(); });
    // On a terminal each unit is shown as its answer arrives; through a pipe
    // (and as JSON) the list comes whole, in its order, at the end.
    const bool asTheyCome = context.stdoutIsTerminal && !common.json;
    std::size_t shown = 0;
    if (asTheyCome)
        discovery.setArrival([&](const std::string& line, const std::string& interfaceName) {
            context.out << line << '\t' << interfaceName << '\n';
            context.out.flush();
            ++shown;
        });
    SweepProgress progress(context.err);
    if (!request.ranges.empty()) {
        discovery.setRanges(request.ranges, request.rateText.empty()
                                                ? fleet::DeviceDiscovery::kDefaultQueryRate
                                                : *parseRate(request.rateText));
        if (context.stderrIsTerminal)
            discovery.setProgress(std::ref(progress));
    }
    fleet::DeviceList list;
    const bool refreshed = discovery.refresh(list);
    progress.finish();
    printBroadcastNotes(context.err, "query", discovery.broadcastReport());
    if (!refreshed)
        return reportUnfinished(context, discovery, op, shown, common.json);
    reportLeftOut(context.err, discovery, request.ranges);
    if (!asTheyCome)
        printList(context.out, list, discovery, common.json);
    context.out.flush();
    if (list.lines().empty())
        reportNoAnswer(context.err, wait, common.endpoints);
    return request.save ? saveList(op, list, request.savePath) : kExitSuccess;
}

}  // namespace cli
