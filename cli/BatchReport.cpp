#include "cli/BatchReport.h"

#include "cli/ArgumentReader.h"
#include "engine/JsonText.h"
#include "platform/ErrorText.h"

#include <ostream>

namespace cli {

void printBatchOutcome(CliContext& context, const BatchOutcome& outcome, bool json,
                       const std::string& extraJsonFields,
                       const std::vector<std::string>& unitJsonFields) {
    if (json) {
        context.out << "{\"log\": " << (outcome.logWritten ? jsonString(outcome.logPath) : "null")
                    << ", \"units\": [";
        for (std::size_t i = 0; i < outcome.units.size(); ++i) {
            context.out << (i ? ", " : "") << "{\"target\": " << jsonString(outcome.units[i].target)
                        << ", \"result\": " << outcome.units[i].result
                        << (i < unitJsonFields.size() ? unitJsonFields[i] : std::string()) << "}";
        }
        context.out << "], \"summary\": ";
        if (outcome.unitsUpdated)
            context.out << *outcome.unitsUpdated;
        else
            context.out << "null";
        context.out << ", \"stopped\": " << (outcome.stopped() ? "true" : "false")
                    << ", \"attempted\": " << outcome.units.size()
                    << ", \"total\": " << outcome.total << extraJsonFields << "}\n";
    } else if (outcome.logWritten) {
        // Only a log that was written is worth looking for.
        context.out << "log: " << outcome.logPath << '\n';
    }
    context.out.flush();
}

std::function<void(const std::string&)> printSummary(CliContext& context, bool json) {
    return [&context, json](const std::string& text) {
        if (!json) {
            context.out << text << '\n';
            context.out.flush();
        }
    };
}

void reportListNotOpened(CliContext& context, const BatchOutcome& outcome) {
    if (outcome.end != BatchEnd::ListNotOpened)
        return;
    std::string reason = platform::systemErrorText(outcome.listOpenError);
    if (!reason.empty() && reason.back() == '\n')
        reason.pop_back();
    context.err << "fwprog: cannot open the list file " << outcome.listPath << ": " << reason
                << '\n';
}

int exitStatusForBatch(const BatchOutcome& outcome) {
    // Units of the list were never tried: a script must not take that for
    // success, whatever the units tried reported.
    if (outcome.stopped() && outcome.summaryReached())
        return kExitInterrupted;
    const bool summarised = outcome.summaryReached() && (outcome.end == BatchEnd::EndOfList ||
                                                         outcome.end == BatchEnd::StopRequested);
    if (!summarised)
        return kExitFailure;
    bool unconfirmed = false;
    for (const BatchUnitResult& unit : outcome.units) {
        if (unit.result > 0)
            return kExitFailure;
        unconfirmed = unconfirmed || unit.result < 0;
    }
    return unconfirmed ? kExitUnconfirmed : kExitSuccess;
}

}  // namespace cli
