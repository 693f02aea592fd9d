#pragma once

#include "cli/CliContext.h"
#include "engine/Endpoints.h"
#include "engine/Timing.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace cli {

// What `fwprog multiple` was asked to do, parsed and checked.
struct MultipleOptions {
    std::string imagePath;
    std::string listPath;
    std::string logPath;  // already resolved: --log, or "Status.txt" in the list's folder
    bool json = false;
    std::size_t jobs = 1;  // units programmed at once
    bool anySender = false;
    engine::Endpoints endpoints;
    int retries = 0;
    std::chrono::milliseconds retryPause{10000};
    std::chrono::milliseconds verdictWait = engine::timing::kVerdictWait;
    std::optional<std::string> resumeLog;
    std::size_t maxFailures = 0;  // 0: no limit
    std::size_t canary = 0;
    std::optional<std::string> reportPath;
    std::chrono::milliseconds afterWait = engine::timing::kIdentifyAfterWait;
};

// Programs the list, one unit after the other or several at a time; returns
// the command's exit status.
int runMultipleBatch(const MultipleOptions& options, CliContext& context);

}  // namespace cli
