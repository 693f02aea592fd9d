#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "engine/JsonText.h"

#include <optional>
#include <ostream>

namespace cli {

int runQueues(const CommandSpec& command, const std::vector<std::string>& args,
              CliContext& context) {
    CommonOptions common{engine::Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common, command);
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context))
            return kExitSuccess;
        if (!reader.common())
            reader.fail("unknown option: " + reader.current());
    }
    if (reader.error())
        return usageError(context, *reader.error(), command);

    std::string problem;
    const std::optional<std::vector<std::string>> listed = context.spooler.listQueues(&problem);
    if (!listed) {
        context.err << "fwprog: " << problem << '\n';
        context.err.flush();
        if (common.json)
            context.out << engine::jsonLine({{"error", engine::jsonText(problem)}}) << '\n';
        context.out.flush();
        return kExitFailure;
    }
    const std::vector<std::string>& names = *listed;
    if (common.json) {
        nlohmann::ordered_json queues = nlohmann::ordered_json::array();
        for (const std::string& name : names)
            queues.push_back(engine::jsonText(name));
        context.out << engine::jsonLine({{"queues", std::move(queues)}}) << '\n';
    } else {
        for (const std::string& name : names)
            context.out << name << '\n';
    }
    context.out.flush();
    return kExitSuccess;
}

}  // namespace cli
