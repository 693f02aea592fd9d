#include "cli/Commands.h"

#include <ostream>

namespace cli {

// Not built yet: the command refuses to run rather than pretend.
int runDiscover(const std::vector<std::string>&, CliContext& context) {
    context.err << "fwprog: the discover command is not available in this build\n";
    return kExitFailure;
}

}  // namespace cli
