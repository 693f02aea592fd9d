#pragma once

#include "cli/CliContext.h"
#include "engine/JsonText.h"
#include "fleet/BatchRun.h"

#include <functional>
#include <string>
#include <vector>

namespace cli {

// What a batch prints on stdout once it is over: "log: PATH" when the log was
// written, or with --json one object with the log (null when not written),
// every unit tried, the summary (null when the batch did not reach it), how
// many of the units tried were programmed, failed and unconfirmed, whether a
// stop request ended it, and how many units were attempted of the list's
// total. The members of extraJsonFields, when given, follow those; the members
// of unitJsonFields[i] follow those of outcome.units[i].
void printBatchOutcome(
    CliContext& context, const fleet::BatchOutcome& outcome, bool json,
    const nlohmann::ordered_json& extraJsonFields = nlohmann::ordered_json::object(),
    const std::vector<nlohmann::ordered_json>& unitJsonFields = {});

// Prints the batch's summary on stdout ("3 Units Updated", then "2 programmed,
// 1 failed, 0 unconfirmed"), unless the outcome goes out as JSON.
std::function<void(const std::string&)> printSummary(CliContext& context, bool json);

// The reason a list could not be opened, on stderr: the window ends quietly
// there, but a script deserves to know why nothing ran.
void reportListNotOpened(CliContext& context, const fleet::BatchOutcome& outcome);

// 130 stopped before the end of the list; otherwise 0 every unit programmed,
// 3 some unconfirmed and none failed (summary reached), 1 otherwise.
int exitStatusForBatch(const fleet::BatchOutcome& outcome);

}  // namespace cli
