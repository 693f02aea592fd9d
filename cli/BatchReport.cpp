#include "cli/BatchReport.h"

#include "cli/ArgumentReader.h"
#include "engine/JsonText.h"
#include "platform/ErrorText.h"

#include <ostream>

namespace cli {

void printBatchOutcome(CliContext& context, const fleet::BatchOutcome& outcome, bool json,
                       const nlohmann::ordered_json& extraJsonFields,
                       const std::vector<nlohmann::ordered_json>& unitJsonFields) {
    if (json) {
        nlohmann::ordered_json units = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < outcome.units.size(); ++i) {
            nlohmann::ordered_json unit = {{"target", engine::jsonText(outcome.units[i].target)},
                                           {"result", outcome.units[i].result.value()}};
            if (i < unitJsonFields.size())
                unit.update(unitJsonFields[i]);
            units.push_back(std::move(unit));
        }
        const fleet::BatchCounts counts = outcome.counts();
        nlohmann::ordered_json object = {
            {"log", outcome.logWritten ? engine::jsonText(outcome.logPath) : nullptr},
            {"units", std::move(units)},
            {"summary",
             outcome.unitsUpdated ? nlohmann::ordered_json(*outcome.unitsUpdated) : nullptr},
            {"programmed", counts.programmed},
            {"failed", counts.failed},
            {"unconfirmed", counts.unconfirmed},
            {"stopped", outcome.stopped()},
            {"attempted", outcome.units.size()},
            {"total", outcome.total}};
        object.update(extraJsonFields);
        context.out << engine::jsonLine(object) << '\n';
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

void reportListNotOpened(CliContext& context, const fleet::BatchOutcome& outcome) {
    if (outcome.end != fleet::BatchEnd::ListNotOpened)
        return;
    std::string reason = platform::systemErrorText(outcome.listOpenError);
    if (!reason.empty() && reason.back() == '\n')
        reason.pop_back();
    context.err << "fwprog: cannot open the list file " << outcome.listPath << ": " << reason
                << '\n';
}

int exitStatusForBatch(const fleet::BatchOutcome& outcome) {
    // Units of the list were never tried: a script must not take that for
    // success, whatever the units tried reported.
    if (outcome.stopped() && outcome.summaryReached())
        return kExitInterrupted;
    const bool summarised =
        outcome.summaryReached() && (outcome.end == fleet::BatchEnd::EndOfList ||
                                     outcome.end == fleet::BatchEnd::StopRequested);
    if (!summarised)
        return kExitFailure;
    bool unconfirmed = false;
    for (const fleet::BatchUnitResult& unit : outcome.units) {
        if (unit.result.isHostFailure() || unit.result.isUnitVerdict())
            return kExitFailure;
        unconfirmed = unconfirmed || unit.result.isUnconfirmed();
    }
    return unconfirmed ? kExitUnconfirmed : kExitSuccess;
}

}  // namespace cli
