#pragma once

#include "cli/CliContext.h"
#include "engine/Endpoints.h"

#include <cstddef>
#include <string>

namespace cli {

// What `fwprog multiple` was asked to do, parsed and checked.
struct MultipleOptions {
    std::string imagePath;
    std::string listPath;
    std::string logPath;  // already resolved: --log, or "Status.txt" in the list's folder
    bool json = false;
    std::size_t jobs = 1;  // units programmed at once; more than 1 takes the parallel path
    Endpoints endpoints;
};

// Programs the list several units at a time; returns the command's exit status.
int runParallelBatch(const MultipleOptions& options, CliContext& context);

}  // namespace cli
