#pragma once

#include "cli/CliContext.h"
#include "cli/CommandTable.h"

#include <string>
#include <vector>

namespace cli {

// One function per subcommand (the table in CommandTable.cpp names them); each
// gets its table entry and the arguments after its name.
int runSingle(const CommandSpec& command, const std::vector<std::string>& args,
              CliContext& context);
int runMultiple(const CommandSpec& command, const std::vector<std::string>& args,
                CliContext& context);
int runDiscover(const CommandSpec& command, const std::vector<std::string>& args,
                CliContext& context);
int runTimestamp(const CommandSpec& command, const std::vector<std::string>& args,
                 CliContext& context);
int runQueues(const CommandSpec& command, const std::vector<std::string>& args,
              CliContext& context);
int runCheck(const CommandSpec& command, const std::vector<std::string>& args, CliContext& context);

// Prints "fwprog: <message>" and where the subcommand's help is to stderr;
// returns kExitUsage.
int usageError(CliContext& context, const std::string& message, const CommandSpec& command);

}  // namespace cli

#include "engine/ProgramResult.h"

namespace cli {
// 0 for a programmed unit, 3 for an unconfirmed one, 1 for any failure.
int exitStatusForResult(engine::ProgramResult result);
}  // namespace cli
