#include "cli/MultipleRun.h"

#include "cli/BatchReport.h"
#include "cli/FleetDisplay.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/JsonText.h"
#include "fleet/Batch.h"
#include "fleet/StatusLog.h"

#include <functional>
#include <memory>
#include <ostream>
#include <vector>

namespace cli {

namespace {

// The terminal operator of a batch run one unit at a time: the unit counter
// becomes the progress line's prefix, and on a terminal each unit's start and
// outcome get a line.
class BatchOperator final : public TerminalOperator {
public:
    BatchOperator(std::ostream& err, bool terminal)
        : TerminalOperator(err, terminal), err_(err), terminal_(terminal) {}

    void setUnitCounter(const std::string& text) override { counter_ = text; }

    void unitStarting(const std::string& target) {
        setLabel(counter_);
        if (terminal_) {
            err_ << "[" << counter_ << "] " << target << '\n';
            err_.flush();
        }
    }
    void unitFinished(const std::string& target, engine::ProgramResult result) {
        finishProgressLine();
        if (terminal_) {
            err_ << "[" << counter_ << "] " << fleet::unitOutcomeText(target, result) << '\n';
            err_.flush();
        }
    }

private:
    std::ostream& err_;
    bool terminal_;
    std::string counter_;
};

void reportFailure(CliContext& context, bool json, const std::string& text) {
    context.err << "fwprog: " << text << '\n';
    context.err.flush();
    if (json) {
        context.out << engine::jsonLine({{"error", engine::jsonText(text)}}) << '\n';
        context.out.flush();
    }
}

// What `fwprog multiple` shows of the batch: file errors, notes and each
// unit's lines on stderr, the summary on stdout. One unit at a time its
// progress line; several at a time the fleet display.
class MultipleObserver final : public fleet::BatchObserver {
public:
    MultipleObserver(CliContext& context, const MultipleOptions& options)
        : context_(context),
          options_(options),
          oneByOne_(options.jobs <= 1),
          fileErrors_(context.err, false),
          unitOp_(context.err, oneByOne_ && context.stderrIsTerminal && !options.json),
          display_(context.err, !oneByOne_ && context.stderrIsTerminal && !options.json, 0),
          summary_(printSummary(context, options.json)) {}

    engine::Operator& batchOperator() override { return unitOp_; }
    // File errors are said once, on stderr, without the progress line.
    engine::Operator& fileOperator() override { return fileErrors_; }
    std::unique_ptr<engine::Operator> operatorFor(
        const fleet::ParallelScheduler::Unit& unit) override {
        return std::make_unique<FleetUnitOperator>(display_, unit.number, unit.target);
    }
    void refused(const std::string& text) override { reportFailure(context_, options_.json, text); }
    void statusPortUnavailable(std::uint16_t port, int error) override {
        reportStatusPortUnavailable(context_, port, error, options_.json);
    }
    void note(const std::string& text) override {
        context_.err << "fwprog: " << text << '\n';
        context_.err.flush();
    }
    void unitNote(const fleet::ParallelScheduler::Unit& unit, const std::string& text) override {
        if (oneByOne_)
            note(unit.target + ": " + text);
        else
            display_.message(unit.target, text);
    }
    void unitsToProgram(std::size_t count) override { display_.setTotal(count); }
    void unitStarted(const fleet::ParallelScheduler::Unit& unit) override {
        if (oneByOne_)
            unitOp_.unitStarting(unit.target);
        else
            display_.unitStarted(unit.number, unit.target, unit.number, unit.attempt > 1);
    }
    void attemptEnded(const fleet::ParallelScheduler::Unit& unit, engine::Operator&,
                      engine::ProgramResult result, const engine::UnitRun& run) override;
    void unitFinished(const fleet::ParallelScheduler::Unit& unit,
                      engine::ProgramResult result) override {
        if (!oneByOne_)
            display_.unitFinished(unit.number, fleet::unitOutcomeText(unit.target, result));
    }
    void unitsDone() override { display_.finish(); }
    bool stopRequested() override { return context_.stopRequested(); }
    bool showsSummary() const override { return true; }
    void showSummary(const std::string& text) override { summary_(text); }

private:
    CliContext& context_;
    const MultipleOptions& options_;
    const bool oneByOne_;
    TerminalOperator fileErrors_;
    BatchOperator unitOp_;
    FleetDisplay display_;
    std::function<void(const std::string&)> summary_;
};

void MultipleObserver::attemptEnded(const fleet::ParallelScheduler::Unit& unit, engine::Operator&,
                                    engine::ProgramResult result, const engine::UnitRun& run) {
    const std::uint16_t statusPort = options_.endpoints.statusPort;
    if (oneByOne_) {
        unitOp_.unitFinished(unit.target, result);
        reportRun(context_.err, run, options_.imagePath, unit.target + ": ");
        reportQuietStatusPort(context_.err, run, statusPort, unit.target + ": ");
        return;
    }
    if (run.imageCutOff)
        display_.message(unit.target, "the image was not delivered whole: " +
                                          std::to_string(run.bytesDelivered) + " of " +
                                          std::to_string(run.imageBytes) + " bytes");
    if (const std::string hint = quietStatusPortHint(run, statusPort); !hint.empty())
        display_.message(unit.target, hint);
}

fleet::BatchSettings batchSettings(const MultipleOptions& options, const CliContext& context) {
    fleet::BatchSettings settings;
    settings.files = {options.imagePath, options.listPath, options.logPath};
    settings.jobs = options.jobs;
    settings.anySender = options.anySender;
    settings.engine.endpoints = options.endpoints;
    settings.engine.stream = context.streamTimeouts;
    settings.engine.verdictWait = options.verdictWait;
    settings.engine.afterWait = options.afterWait;
    settings.policy.retries = options.retries;
    settings.policy.retryPause = options.retryPause;
    settings.policy.maxFailures = options.maxFailures;
    settings.policy.canary = options.canary;
    settings.resumeLog = options.resumeLog;
    settings.reportPath = options.reportPath;
    return settings;
}

// The batch's JSON beside its outcome: the slots, the datagrams the status
// port ignored or lost, the units skipped and why it stopped early.
nlohmann::ordered_json extraJsonFields(const MultipleOptions& options,
                                       const fleet::BatchResult& result) {
    nlohmann::ordered_json extra = nlohmann::ordered_json::object();
    if (options.jobs > 1)
        extra["jobs"] = options.jobs;
    extra["foreign_datagrams"] = result.foreignDatagrams;
    extra["status_datagrams_dropped"] = result.droppedDatagrams
                                            ? nlohmann::ordered_json(*result.droppedDatagrams)
                                            : nlohmann::ordered_json(nullptr);
    nlohmann::ordered_json skipped = nlohmann::ordered_json::array();
    for (const std::string& target : result.outcome.skipped)
        skipped.push_back(engine::jsonText(target));
    extra["skipped"] = std::move(skipped);
    const char* reason = result.stopReason();
    extra["stop_reason"] = reason ? engine::jsonText(reason) : nullptr;
    return extra;
}

}  // namespace

int runMultipleBatch(const MultipleOptions& options, CliContext& context) {
    MultipleObserver observer(context, options);
    fleet::Batch batch(batchSettings(options, context),
                       {context.sleeper, context.spooler, nullptr, {}}, observer);
    const fleet::BatchResult result = batch.run();
    switch (result.start) {
        case fleet::BatchResult::Start::Refused:
            return kExitFailure;
        case fleet::BatchResult::Start::ListNotOpened:
            reportListNotOpened(context, result.outcome);
            [[fallthrough]];
        case fleet::BatchResult::Start::LogNotCreated:
            printBatchOutcome(context, result.outcome, options.json);
            return exitStatusForBatch(result.outcome);
        case fleet::BatchResult::Start::Ran:
            break;
    }
    reportForeignDatagrams(context.err, result.foreignDatagrams);
    reportDroppedDatagrams(context.err, result.droppedDatagrams.value_or(0),
                           options.endpoints.statusPort);
    std::vector<nlohmann::ordered_json> unitFields;
    for (const fleet::BatchUnit& unit : result.units) {
        nlohmann::ordered_json fields = nlohmann::ordered_json::object();
        addRunJsonFields(fields, unit.last);
        fields["attempts"] = unit.attempts;
        unitFields.push_back(std::move(fields));
    }
    printBatchOutcome(context, result.outcome, options.json, extraJsonFields(options, result),
                      unitFields);
    return result.failedByRule() ? kExitFailure : exitStatusForBatch(result.outcome);
}

}  // namespace cli
