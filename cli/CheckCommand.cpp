#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/RunReport.h"
#include "engine/JsonText.h"
#include "engine/UnitProgrammer.h"
#include "fleet/PreflightCheck.h"
#include "platform/ErrorText.h"

#include <algorithm>
#include <optional>
#include <ostream>

namespace cli {

namespace {

const char* activityText(platform::QueueState::Activity activity) {
    switch (activity) {
        case platform::QueueState::Activity::Idle:
            return "idle";
        case platform::QueueState::Activity::Processing:
            return "processing";
        case platform::QueueState::Activity::Stopped:
            return "stopped";
    }
    return "idle";
}

void printText(std::ostream& out, const fleet::TargetCheck& c, const engine::Endpoints& endpoints) {
    const std::string prefix = c.target + ": ";
    if (c.kind == fleet::TargetCheck::Kind::Queue) {
        if (c.queueExists) {
            out << prefix << "print queue, device " << c.device.value_or("unknown");
            if (c.queueState)
                out << ", " << activityText(c.queueState->activity)
                    << (c.queueState->acceptingJobs ? ", accepting jobs" : ", rejecting jobs");
            out << '\n';
        }
    } else if (c.validAddress && c.unicast) {
        if (c.routed) {
            out << prefix << "route: interface "
                << (c.interfaceName.empty() ? "?" : c.interfaceName) << ", source " << c.source;
            if (!c.subnet.empty())
                out << (c.inSubnet ? ", in its subnet " : ", outside its subnet ") << c.subnet
                    << (c.inSubnet ? "" : " (through a router)");
            out << '\n';
            out << prefix << "query: ";
            switch (c.answer) {
                case fleet::TargetCheck::Answer::Product:
                    out << "answered by " << c.product << '\n';
                    break;
                case fleet::TargetCheck::Answer::BootLoader:
                    out << "answered by the boot loader\n";
                    break;
                case fleet::TargetCheck::Answer::None:
                    out << "no answer within 1 s\n";
                    break;
            }
            out << prefix << "data port: TCP " << endpoints.unitTcpPort
                << (c.dataPortAccepts ? " accepts a connection"
                                      : ": " + platform::systemErrorMessage(c.dataPortError))
                << '\n';
        } else {
            out << prefix << "route: none (" << platform::systemErrorMessage(c.routeError) << ")\n";
        }
    }
    out << prefix << (c.ready() ? "ready" : "not ready: " + c.problem) << '\n';
}

nlohmann::ordered_json jsonOrNull(const std::string& text, bool present) {
    return present ? engine::jsonText(text) : nullptr;
}

nlohmann::ordered_json targetJson(const fleet::TargetCheck& c, const engine::Endpoints& endpoints) {
    nlohmann::ordered_json object = {{"target", engine::jsonText(c.target)}};
    if (c.kind == fleet::TargetCheck::Kind::Queue) {
        object["kind"] = "queue";
        object["exists"] = c.queueExists;
        object["device"] = jsonOrNull(c.device.value_or(""), c.device.has_value());
        object["state"] =
            c.queueState ? engine::jsonText(activityText(c.queueState->activity)) : nullptr;
        object["accepting_jobs"] =
            c.queueState ? nlohmann::ordered_json(c.queueState->acceptingJobs) : nullptr;
    } else {
        const bool routed = c.routed;
        object["kind"] = "address";
        object["address"] = jsonOrNull(c.address, c.validAddress);
        object["interface"] = jsonOrNull(c.interfaceName, !c.interfaceName.empty());
        object["source"] = jsonOrNull(c.source, routed);
        object["subnet"] = jsonOrNull(c.subnet, !c.subnet.empty());
        object["in_subnet"] = c.inSubnet;
        object["route_error"] =
            jsonOrNull(platform::systemErrorMessage(c.routeError), !routed && c.routeError);
        object["query"] = !routed ? nullptr
                          : c.answer == fleet::TargetCheck::Answer::Product
                              ? nlohmann::ordered_json("product")
                          : c.answer == fleet::TargetCheck::Answer::BootLoader
                              ? nlohmann::ordered_json("bootloader")
                              : nlohmann::ordered_json("none");
        object["product"] = jsonOrNull(c.product, c.answer == fleet::TargetCheck::Answer::Product);
        if (c.dataPortChecked)
            object["data_port"] = {
                {"port", endpoints.unitTcpPort},
                {"accepts", c.dataPortAccepts},
                {"error",
                 jsonOrNull(platform::systemErrorMessage(c.dataPortError), !c.dataPortAccepts)}};
        else
            object["data_port"] = nullptr;
    }
    object["ready"] = c.ready();
    object["problem"] = jsonOrNull(c.problem, !c.ready());
    return object;
}

// Reads the arguments into common and targets. An exit status when the
// command ends here (its help, or a usage error); nothing when the checks go on.
std::optional<int> readCheckArguments(const CommandSpec& command,
                                      const std::vector<std::string>& args, CliContext& context,
                                      CommonOptions& common, std::vector<std::string>& targets) {
    ArgumentReader reader(args, common, command);
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context))
            return kExitSuccess;
        if (reader.common())
            continue;
        if (reader.current().size() > 1 && reader.current()[0] == '-') {
            reader.fail("unknown option: " + reader.current());
        } else {
            targets.push_back(reader.current());
            reader.skip();
        }
    }
    if (!reader.error() && targets.empty())
        reader.fail("name at least one target (an address or a print queue)");
    if (reader.error())
        return usageError(context, *reader.error(), command);
    return std::nullopt;
}

// Whether this computer's status port can be bound, told first as text: every
// address target's verdict would arrive there.
fleet::StatusPortCheck checkStatusPortFirst(CliContext& context, const engine::Endpoints& endpoints,
                                            bool json) {
    const fleet::StatusPortCheck statusPort = fleet::checkStatusPort(endpoints.statusPort);
    if (!json) {
        context.out << "status port: UDP " << statusPort.port
                    << (statusPort.bindable ? " can be bound on this computer"
                                            : " cannot be bound on this computer: " +
                                                  platform::systemErrorMessage(statusPort.error))
                    << '\n';
        context.out.flush();
    }
    return statusPort;
}

// What the checks of the targets found, until the end or an interrupt.
struct CheckTally {
    std::size_t checked = 0;
    bool allReady = true;
    nlohmann::ordered_json checks = nlohmann::ordered_json::array();  // with --json
};

// Checks each target in turn, each shown as text as soon as it is known (as
// JSON, gathered in the tally).
CheckTally checkEachTarget(CliContext& context, const CommonOptions& common,
                           const std::vector<std::string>& targets,
                           const fleet::StatusPortCheck& statusPort) {
    fleet::PreflightCheck checker(context.sleeper, context.spooler, common.endpoints);
    checker.setStopCheck([&context] { return context.stopRequested(); });
    CheckTally tally;
    for (const std::string& target : targets) {
        if (context.stopRequested())
            break;
        const fleet::TargetCheck result = checker.check(target, statusPort);
        // A check cut short by the interrupt would tell of waits it never
        // finished: it is left out.
        if (context.stopRequested())
            break;
        ++tally.checked;
        tally.allReady = tally.allReady && result.ready();
        if (common.json) {
            tally.checks.push_back(targetJson(result, common.endpoints));
        } else {
            printText(context.out, result, common.endpoints);
            context.out.flush();
        }
    }
    return tally;
}

}  // namespace

int runCheck(const CommandSpec& command, const std::vector<std::string>& args,
             CliContext& context) {
    CommonOptions common{engine::Endpoints::fromEnvironment()};
    std::vector<std::string> targets;
    if (const auto exitStatus = readCheckArguments(command, args, context, common, targets))
        return *exitStatus;

    const bool anyAddress =
        std::any_of(targets.begin(), targets.end(), engine::readsAsDottedAddress);
    const fleet::StatusPortCheck statusPort =
        anyAddress ? checkStatusPortFirst(context, common.endpoints, common.json)
                   : fleet::StatusPortCheck{common.endpoints.statusPort, true, 0};
    CheckTally tally = checkEachTarget(context, common, targets, statusPort);
    const bool stopped = tally.checked < targets.size();
    if (common.json) {
        nlohmann::ordered_json port = nullptr;
        if (anyAddress)
            port = {{"port", statusPort.port},
                    {"bindable", statusPort.bindable},
                    {"error", jsonOrNull(platform::systemErrorMessage(statusPort.error),
                                         !statusPort.bindable)}};
        context.out << engine::jsonLine({{"status_port", std::move(port)},
                                         {"targets", std::move(tally.checks)},
                                         {"stopped", stopped}})
                    << '\n';
    }
    context.out.flush();
    if (stopped) {
        context.err << "fwprog: stopped by an interrupt; " << tally.checked << " of "
                    << targets.size() << " targets checked\n";
        return kExitInterrupted;
    }
    return tally.allReady ? kExitSuccess : kExitFailure;
}

}  // namespace cli
