#include "cli/ParallelBatch.h"

#include <ostream>

namespace cli {

// Not built yet: the command refuses to run rather than pretend.
int runParallelBatch(const MultipleOptions&, CliContext& context) {
    context.err << "fwprog: programming several units at once (--jobs) is not available in this "
                   "build\n";
    return kExitFailure;
}

}  // namespace cli
