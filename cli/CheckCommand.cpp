#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/RunReport.h"
#include "engine/JsonText.h"
#include "engine/UnitProgrammer.h"
#include "fleet/PreflightCheck.h"
#include "platform/ErrorText.h"

#include <algorithm>
#include <ostream>

namespace cli {

namespace {

const char* const kCheckUsage =
    "usage: fwprog check TARGET... [--json]\n"
    "  Checks, without programming anything, what stands between this computer and\n"
    "  programming each target. An address: the interface and source address that\n"
    "  reach it and whether it lies in that interface's subnet; the unit's answer to\n"
    "  the query within 1 s; whether its data port accepts a connection (opened and\n"
    "  closed at once); and, once, whether this computer's status port can be bound.\n"
    "  A print queue: whether it exists, where it prints, and whether it takes jobs.\n"
    "  Each target ends with a line \"TARGET: ready\" or \"TARGET: not ready: \" and the\n"
    "  first thing that will fail, with what to do about it.\n"
    "  An interrupt (Ctrl-C) stops it at once; the targets checked so far are shown.\n"
    "  Exit status: 0 every target ready, 1 otherwise, 2 usage error, 130 stopped\n"
    "  by an interrupt.\n";

std::string reason(int error) {
    std::string text = platform::systemErrorText(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

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

void printText(std::ostream& out, const fleet::TargetCheck& c, const Endpoints& endpoints) {
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
                << (c.dataPortAccepts ? " accepts a connection" : ": " + reason(c.dataPortError))
                << '\n';
        } else {
            out << prefix << "route: none (" << reason(c.routeError) << ")\n";
        }
    }
    out << prefix << (c.ready() ? "ready" : "not ready: " + c.problem) << '\n';
}

std::string jsonOrNull(const std::string& text, bool present) {
    return present ? jsonString(text) : "null";
}

void printJson(std::ostream& out, const fleet::TargetCheck& c, const Endpoints& endpoints) {
    out << "{\"target\": " << jsonString(c.target);
    if (c.kind == fleet::TargetCheck::Kind::Queue) {
        out << ", \"kind\": \"queue\", \"exists\": " << (c.queueExists ? "true" : "false")
            << ", \"device\": " << jsonOrNull(c.device.value_or(""), c.device.has_value())
            << ", \"state\": "
            << (c.queueState ? jsonString(activityText(c.queueState->activity)) : "null")
            << ", \"accepting_jobs\": "
            << (c.queueState ? (c.queueState->acceptingJobs ? "true" : "false") : "null");
    } else {
        const bool routed = c.routed;
        out << ", \"kind\": \"address\", \"address\": " << jsonOrNull(c.address, c.validAddress)
            << ", \"interface\": " << jsonOrNull(c.interfaceName, !c.interfaceName.empty())
            << ", \"source\": " << jsonOrNull(c.source, routed)
            << ", \"subnet\": " << jsonOrNull(c.subnet, !c.subnet.empty())
            << ", \"in_subnet\": " << (c.inSubnet ? "true" : "false")
            << ", \"route_error\": " << jsonOrNull(reason(c.routeError), !routed && c.routeError)
            << ", \"query\": "
            << (!routed                                              ? "null"
                : c.answer == fleet::TargetCheck::Answer::Product    ? "\"product\""
                : c.answer == fleet::TargetCheck::Answer::BootLoader ? "\"bootloader\""
                                                                     : "\"none\"")
            << ", \"product\": "
            << jsonOrNull(c.product, c.answer == fleet::TargetCheck::Answer::Product)
            << ", \"data_port\": ";
        if (c.dataPortChecked)
            out << "{\"port\": " << endpoints.unitTcpPort
                << ", \"accepts\": " << (c.dataPortAccepts ? "true" : "false")
                << ", \"error\": " << jsonOrNull(reason(c.dataPortError), !c.dataPortAccepts)
                << "}";
        else
            out << "null";
    }
    out << ", \"ready\": " << (c.ready() ? "true" : "false")
        << ", \"problem\": " << jsonOrNull(c.problem, !c.ready()) << "}";
}

}  // namespace

int runCheck(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    std::vector<std::string> targets;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context, kCheckUsage))
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
        return usageError(context, *reader.error(), kCheckUsage);

    const bool anyAddress = std::any_of(targets.begin(), targets.end(), readsAsDottedAddress);
    fleet::StatusPortCheck statusPort{common.endpoints.statusPort, true, 0};
    if (anyAddress) {
        statusPort = fleet::checkStatusPort(common.endpoints.statusPort);
        if (!common.json) {
            context.out << "status port: UDP " << statusPort.port
                        << (statusPort.bindable
                                ? " can be bound on this computer"
                                : " cannot be bound on this computer: " + reason(statusPort.error))
                        << '\n';
            context.out.flush();
        }
    }

    fleet::PreflightCheck checker(context.sleeper, context.spooler, common.endpoints);
    checker.setStopCheck([&context] { return context.stopRequested(); });
    bool allReady = true;
    std::size_t checked = 0;
    if (common.json) {
        context.out << "{\"status_port\": ";
        if (anyAddress)
            context.out << "{\"port\": " << statusPort.port
                        << ", \"bindable\": " << (statusPort.bindable ? "true" : "false")
                        << ", \"error\": "
                        << jsonOrNull(reason(statusPort.error), !statusPort.bindable) << "}";
        else
            context.out << "null";
        context.out << ", \"targets\": [";
    }
    const char* separator = "";
    for (const std::string& target : targets) {
        if (context.stopRequested())
            break;
        const fleet::TargetCheck result = checker.check(target, statusPort);
        // A check cut short by the interrupt would tell of waits it never
        // finished: it is left out.
        if (context.stopRequested())
            break;
        ++checked;
        allReady = allReady && result.ready();
        if (common.json) {
            context.out << separator;
            printJson(context.out, result, common.endpoints);
            separator = ", ";
        } else {
            printText(context.out, result, common.endpoints);
            context.out.flush();
        }
    }
    const bool stopped = checked < targets.size();
    if (common.json)
        context.out << "], \"stopped\": " << (stopped ? "true" : "false") << "}\n";
    context.out.flush();
    if (stopped) {
        context.err << "fwprog: stopped by an interrupt; " << checked << " of " << targets.size()
                    << " targets checked\n";
        return kExitInterrupted;
    }
    return allReady ? kExitSuccess : kExitFailure;
}

}  // namespace cli
