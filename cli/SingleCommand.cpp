#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/JsonText.h"
#include "engine/ResultMessages.h"
#include "engine/UnitProgrammer.h"
#include "platform/SocketAddress.h"

#include <memory>
#include <ostream>

namespace cli {

namespace {

// Line ends as a terminal shows them, and exactly one at the end.
std::string forTerminal(const std::string& message) {
    std::string text;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n')
            continue;
        text += message[i];
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text + "\n";
}

}  // namespace

int exitStatusForResult(engine::ProgramResult result) {
    if (result.isProgrammed())
        return kExitSuccess;
    return result.isUnconfirmed() ? kExitUnconfirmed : kExitFailure;
}

int runSingle(const CommandSpec& command, const std::vector<std::string>& args,
              CliContext& context) {
    CommonOptions common{engine::Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common, command);
    std::string image, target;
    bool haveImage = false, haveTarget = false, anySender = false;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context))
            return kExitSuccess;
        if (reader.flag("--any-sender")) {
            anySender = true;
        } else if (reader.option("--image", image)) {
            haveImage = true;
        } else if (reader.option("--target", target)) {
            haveTarget = true;
        } else if (!reader.common()) {
            reader.fail("unknown option: " + reader.current());
        }
    }
    if (reader.error())
        return usageError(context, *reader.error(), command);
    if (!haveImage || !haveTarget)
        return usageError(context, haveImage ? "--target is required" : "--image is required",
                          command);
    // Four dotted numbers take the network path; text that reads so but names
    // no address would end there in a socket error that blames the network.
    if (engine::readsAsDottedAddress(target) && !platform::ipv4AsReached(target))
        return usageError(context,
                          "--target " + target +
                              ": not an IPv4 address (four numbers from 0 to 255 joined by dots)",
                          command);

    platform::DatagramSocket statusPort;
    if (!bindStatusPort(context, common.endpoints.statusPort, statusPort, common.json))
        return kExitFailure;

    TerminalOperator op(context.err, context.stderrIsTerminal && !common.json);
    engine::EngineOptions options;
    options.endpoints = common.endpoints;
    options.stream = context.streamTimeouts;
    options.stop = [&context] { return context.stopRequested(); };
    const auto [result, run] = engine::programWithLentPort(
        op, context.sleeper, context.spooler, options, statusPort, anySender, image, target);
    op.finishProgressLine();
    reportRun(context.err, run, image);
    reportForeignDatagrams(context.err, run.foreignDatagrams);
    reportQuietStatusPort(context.err, run, common.endpoints.statusPort);

    const std::string message = engine::singleResultMessage(result, target);
    if (common.json) {
        nlohmann::ordered_json object = {{"target", engine::jsonText(target)},
                                         {"result", result.value()},
                                         {"message", engine::jsonText(message)}};
        addRunJsonFields(object, run);
        object["foreign_datagrams"] = run.foreignDatagrams;
        context.out << engine::jsonLine(object) << '\n';
    } else {
        context.out << forTerminal(message);
    }
    context.out.flush();
    return run.stopped ? kExitInterrupted : exitStatusForResult(result);
}

}  // namespace cli
