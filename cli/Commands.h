#pragma once

#include "cli/CliContext.h"

#include <string>
#include <vector>

namespace cli {

// One function per subcommand; each gets the arguments after its name.
int runSingle(const std::vector<std::string>& args, CliContext& context);
int runMultiple(const std::vector<std::string>& args, CliContext& context);
int runDiscover(const std::vector<std::string>& args, CliContext& context);
int runTimestamp(const std::vector<std::string>& args, CliContext& context);
int runQueues(const std::vector<std::string>& args, CliContext& context);
int runCheck(const std::vector<std::string>& args, CliContext& context);

// Prints "fwprog: <message>" and the subcommand's usage to stderr; returns kExitUsage.
int usageError(CliContext& context, const std::string& message, const char* usage);

// Text for the common options, shared by every usage text.
extern const char* const kCommonOptionsHelp;

}  // namespace cli

#include "engine/ProgramResult.h"

namespace cli {
// 0 for a programmed unit, 3 for an unconfirmed one, 1 for any failure.
int exitStatusForResult(ProgramResult result);
}  // namespace cli
