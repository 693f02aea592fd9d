#include "cli/MultipleRun.h"

#include "cli/BatchReport.h"
#include "cli/FleetDisplay.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "cli/UnitReport.h"
#include "engine/JsonText.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/ParallelScheduler.h"
#include "fleet/ResumeLog.h"
#include "fleet/SharedStatusPort.h"
#include "fleet/StatusLog.h"
#include "platform/DatagramSocket.h"
#include "platform/LocalClock.h"
#include "platform/Sha256.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <tuple>

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

// What the report needs of one unit, gathered over its attempts.
struct UnitRecord {
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    std::string productBefore;  // from its first attempt: what it ran before this batch
    std::uint64_t foreign = 0;  // over every attempt
    engine::UnitRun last;
};

// "10 s", "2.5 s".
std::string secondsText(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0')
            fraction.pop_back();
        text += "." + fraction;
    }
    return text + " s";
}

// Both name one file, or would once created: a report written over the log,
// the list or the image would destroy what the batch is about to use.
bool samePlace(const std::string& a, const std::string& b) {
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error) && !error)
        return true;
    const auto absoluteA = std::filesystem::absolute(a, error).lexically_normal();
    if (error)
        return false;
    const auto absoluteB = std::filesystem::absolute(b, error).lexically_normal();
    return !error && absoluteA == absoluteB;
}

void reportFailure(CliContext& context, bool json, const std::string& text) {
    context.err << "fwprog: " << text << '\n';
    context.err.flush();
    if (json) {
        context.out << engine::jsonLine({{"error", engine::jsonText(text)}}) << '\n';
        context.out.flush();
    }
}

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

void reportReportRefused(CliContext& context, bool json, const std::string& path,
                         const platform::OutputFailure& failure) {
    reportFailure(context, json,
                  failure.kind == platform::OutputFailure::Kind::InUse
                      ? "the report " + path +
                            " is in use by another batch on this computer; no unit was contacted"
                      : "cannot create the report " + path + ": " +
                            withoutLineEnd(failure.reason()) + "; no unit was contacted");
}

// What stopped a batch before the end of its list, for --json.
const char* stopReasonName(fleet::ParallelScheduler::StopReason reason) {
    switch (reason) {
        case fleet::ParallelScheduler::StopReason::None:
            return nullptr;
        case fleet::ParallelScheduler::StopReason::StopRequested:
            return "interrupt";
        case fleet::ParallelScheduler::StopReason::FailureLimit:
            return "max-failures";
        case fleet::ParallelScheduler::StopReason::CanaryFailed:
            return "canary";
    }
    return nullptr;
}

}  // namespace

int runMultipleBatch(const MultipleOptions& options, CliContext& context) {
    const bool oneByOne = options.jobs <= 1;

    // The log to go on from is read whole before anything is written: it may
    // be the very Status.txt this batch replaces.
    fleet::ResumeLog resume;
    if (options.resumeLog) {
        std::string error;
        if (!fleet::readResumeLog(*options.resumeLog, resume, &error)) {
            reportFailure(context, options.json, error + "; no unit was contacted");
            return kExitFailure;
        }
    }

    // The status port is bound before any unit is contacted: one socket lent
    // to each run in turn, or one port shared by every unit in flight whose
    // verdicts are told apart by the address they come from.
    platform::DatagramSocket ownPort;
    fleet::SharedStatusPort sharedPort(options.endpoints.statusPort);
    if (oneByOne) {
        if (!bindStatusPort(context, options.endpoints.statusPort, ownPort, options.json))
            return kExitFailure;
    } else if (int portError = 0; !sharedPort.start(&portError, options.jobs)) {
        reportStatusPortUnavailable(context, options.endpoints.statusPort, portError, options.json);
        return kExitFailure;
    }
    const bool ownPortCountsDrops = oneByOne && ownPort.setCountDrops(true);

    // The list first: a list that is missing, no regular file or no text list
    // ends the batch before any file changes. Its records are read ahead.
    TerminalOperator sessionOp(context.err, false);  // file errors are said once, on stderr
    fleet::BatchHooks hooks;
    hooks.showSummary = printSummary(context, options.json);
    fleet::BatchSession session(sessionOp, hooks);
    std::vector<std::string> records;
    bool ready = session.openList({options.imagePath, options.listPath, options.logPath});
    for (std::string record; ready;) {
        const fleet::BatchSession::Next next = session.nextRecord(record);
        if (next == fleet::BatchSession::Next::Error)
            ready = false;
        else if (next == fleet::BatchSession::Next::Record)
            records.push_back(record);
        else
            break;
    }
    if (!ready) {
        const fleet::BatchOutcome outcome = session.takeOutcome();
        reportListNotOpened(context, outcome);
        printBatchOutcome(context, outcome, options.json);
        return exitStatusForBatch(outcome);
    }

    // The report is checked before the log is created, and opened after it,
    // so that a report that cannot be written ends the batch before any file
    // changes or any unit is touched.
    if (options.reportPath) {
        const std::string& path = *options.reportPath;
        for (const auto& [other, what] :
             {std::pair{options.logPath, "status log"}, std::pair{options.listPath, "list file"},
              std::pair{options.imagePath, "firmware image"},
              std::pair{options.resumeLog.value_or(std::string()), "status log to resume from"}}) {
            if (!other.empty() && samePlace(path, other)) {
                reportFailure(context, options.json,
                              "the report " + path + " is the " + what +
                                  "; give the report a name of its own. No unit was contacted");
                return kExitFailure;
            }
        }
        if (const platform::OutputFailure refused = platform::checkOutputPath(path)) {
            reportReportRefused(context, options.json, path, refused);
            return kExitFailure;
        }
    }

    // The image as the batch found it, for the report and for the proof that
    // a unit an earlier batch programmed holds the same bytes; a run that
    // cannot read it reports that itself.
    fleet::ResumeImage image{options.imagePath, false, {}, 0};
    if (options.reportPath || options.resumeLog) {
        const platform::FileDigest digest = platform::sha256OfFile(options.imagePath);
        if (digest.ok)
            image = {options.imagePath, true, digest.hex, digest.bytes};
    }
    const std::string& imageSha256 = image.sha256;
    const std::uint64_t imageBytes = image.bytes;

    // Units an earlier batch programmed with these very bytes are left alone.
    fleet::ResumePlan plan;
    if (options.resumeLog) {
        plan = fleet::planResume(resume, *options.resumeLog, image);
        if (!plan.notSkippedReason.empty()) {
            context.err << "fwprog: " << *options.resumeLog << ": " << plan.notSkippedReason
                        << (plan.skip.empty() ? "; no unit is skipped" : "") << '\n';
            context.err.flush();
        }
    }

    if (!session.createLog()) {
        const fleet::BatchOutcome outcome = session.takeOutcome();
        printBatchOutcome(context, outcome, options.json);
        return exitStatusForBatch(outcome);
    }
    std::unique_ptr<UnitReport> report;
    if (options.reportPath) {
        report = std::make_unique<UnitReport>();
        if (!report->open(*options.reportPath)) {
            reportReportRefused(context, options.json, *options.reportPath, report->failure());
            return kExitFailure;
        }
    }

    // When the log or the report cannot be written, no further unit starts;
    // the units in flight finish and go into the records that still work.
    std::atomic<bool> logFailed{false};
    std::atomic<bool> reportFailed{false};
    const auto writeReport = [&](const ReportEntry& entry) {
        if (!report || reportFailed)
            return;
        if (!report->write(entry)) {
            reportFailed = true;
            context.err << "fwprog: could not write to the report " << *options.reportPath << ": "
                        << withoutLineEnd(report->failure().reason())
                        << "; no further unit is started\n";
            context.err.flush();
        }
    };
    const auto entryFor = [&](const std::string& target) {
        ReportEntry entry;
        entry.target = target;
        entry.imagePath = options.imagePath;
        entry.imageBytes = imageBytes;
        entry.imageSha256 = imageSha256;
        return entry;
    };

    // The skipped units' lines go into this log first, so it is a record of
    // the whole list even if this batch ends early.
    std::vector<std::string> targets;
    const auto resumeKey = [&](const std::string& record) {
        switch (resume.kind) {
            case fleet::ResumeLog::Kind::StatusLog:
                break;
            case fleet::ResumeLog::Kind::JsonReport:
                return reportJsonText(record);
            case fleet::ResumeLog::Kind::CsvReport:
                return reportCsvCellText(record);
        }
        return record;
    };
    for (const std::string& record : records) {
        auto done = plan.skip.empty() ? plan.skip.end() : plan.skip.find(resumeKey(record));
        if (done == plan.skip.end() || done->second == 0) {
            targets.push_back(record);
            continue;
        }
        --done->second;
        context.err << "fwprog: skipped " << record << ": Successfully Programmed in "
                    << *options.resumeLog << '\n';
        if (!session.unitSkipped(record)) {
            logFailed = true;
            break;
        }
        ReportEntry entry = entryFor(record);
        entry.skipped = true;
        writeReport(entry);
    }
    context.err.flush();

    FleetDisplay display(context.err, !oneByOne && context.stderrIsTerminal && !options.json,
                         targets.size());
    BatchOperator sequentialOp(context.err, oneByOne && context.stderrIsTerminal && !options.json);
    engine::EngineOptions engineOptions{options.endpoints, context.streamTimeouts, {}};
    engineOptions.verdictWait = options.verdictWait;
    engineOptions.identifyUnit = report != nullptr;
    engineOptions.afterWait = options.afterWait;
    // One unit at a time: one programmer, lent the bound status port.
    engine::UnitProgrammer sequentialProgrammer(sequentialOp, context.sleeper, context.spooler,
                                                engineOptions);
    sequentialProgrammer.setStatusInboxFactory([&](const std::string& unit) {
        return std::make_unique<engine::SocketStatusInbox>(
            ownPort, engine::StatusSenders::unitAt(unit, options.anySender));
    });

    std::mutex recordsMutex;
    std::map<std::size_t, UnitRecord> unitRecords;   // by unit number, until the unit is logged
    std::vector<nlohmann::ordered_json> unitFields;  // in the order units are logged
    std::uint64_t foreign = 0;
    const auto note = [&](const std::string& target, const std::string& text) {
        if (oneByOne) {
            context.err << "fwprog: " << target << ": " << text << '\n';
            context.err.flush();
        } else {
            display.message(target, text);
        }
    };

    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.stopRequested = [&] {
        return logFailed.load() || reportFailed.load() || context.stopRequested();
    };
    callbacks.slotsLimited = [&](std::size_t slots, std::size_t asked, const std::string& why) {
        context.err << "fwprog: only " << slots << " of the " << asked
                    << " units asked for can be programmed at once: " << why
                    << "; the batch goes on " << slots << " at a time\n";
        context.err.flush();
    };
    callbacks.unitStarted = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (!oneByOne)
            display.unitStarted(unit.number, unit.target, unit.number, unit.attempt > 1);
    };
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        {
            std::lock_guard lock(recordsMutex);
            if (unit.attempt == 1)
                unitRecords[unit.number].start = std::chrono::system_clock::now();
        }
        engine::ProgramResult result;
        engine::UnitRun run;
        if (oneByOne) {
            sequentialOp.setProgressPosition(0);
            sequentialOp.setUnitCounter(fleet::unitCounterText(unit.number, targets.size()));
            sequentialOp.unitStarting(unit.target);
            result = sequentialProgrammer.ProgramUnit(options.imagePath, unit.target);
            sequentialOp.unitFinished(unit.target, result);
            run = sequentialProgrammer.lastRun();
            reportRun(context.err, run, options.imagePath, unit.target + ": ");
            reportQuietStatusPort(context.err, run, options.endpoints.statusPort,
                                  unit.target + ": ");
        } else {
            FleetUnitOperator op(display, unit.number, unit.target);
            engine::UnitProgrammer programmer(op, context.sleeper, context.spooler, engineOptions);
            programmer.setStatusInboxFactory(
                [&](const std::string& target) { return sharedPort.inboxFor(target); });
            result = programmer.ProgramUnit(options.imagePath, unit.target);
            run = programmer.lastRun();
            if (run.imageCutOff)
                display.message(unit.target, "the image was not delivered whole: " +
                                                 std::to_string(run.bytesDelivered) + " of " +
                                                 std::to_string(run.imageBytes) + " bytes");
            if (const std::string hint = quietStatusPortHint(run, options.endpoints.statusPort);
                !hint.empty())
                display.message(unit.target, hint);
        }
        std::lock_guard lock(recordsMutex);
        UnitRecord& record = unitRecords[unit.number];
        if (unit.attempt == 1)
            record.productBefore = run.productBefore;
        record.foreign += run.foreignDatagrams;
        record.last = run;
        record.end = std::chrono::system_clock::now();
        return result;
    };
    callbacks.attemptRetried = [&](const fleet::ParallelScheduler::Unit& unit,
                                   engine::ProgramResult result) {
        note(unit.target, fleet::resultText(result) + "; trying again in " +
                              secondsText(options.retryPause) + " (attempt " +
                              std::to_string(unit.attempt + 1) + " of " +
                              std::to_string(options.retries + 1) + ")");
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult result) {
        UnitRecord record;
        {
            std::lock_guard lock(recordsMutex);
            record = unitRecords[unit.number];
            unitRecords.erase(unit.number);
        }
        foreign += record.foreign;
        if (!oneByOne)
            display.unitFinished(unit.number, fleet::unitOutcomeText(unit.target, result));
        nlohmann::ordered_json fields = nlohmann::ordered_json::object();
        addRunJsonFields(fields, record.last);
        fields["attempts"] = unit.attempt;
        unitFields.push_back(std::move(fields));
        // A unit finished after the log failed is still counted as tried and
        // goes into the report.
        if (!session.unitDone(unit.target, result))
            logFailed = true;
        ReportEntry entry = entryFor(unit.target);
        entry.interfaceName = record.last.interfaceName;
        entry.sourceAddress = record.last.sourceAddress;
        entry.productBefore = record.productBefore;
        entry.productAfter = record.last.productAfter;
        entry.result = result;
        entry.attempts = unit.attempt;
        entry.bytesDelivered = record.last.bytesDelivered;
        entry.foreignDatagrams = record.foreign;
        entry.start = platform::isoLocalTime(record.start);
        entry.end = platform::isoLocalTime(record.end);
        writeReport(entry);
    };

    fleet::ParallelScheduler::Policy policy;
    policy.retries = options.retries;
    policy.retryPause = options.retryPause;
    policy.maxFailures = options.maxFailures;
    policy.canary = options.canary;
    fleet::ParallelScheduler scheduler(options.jobs, context.sleeper, policy);
    fleet::ParallelScheduler::Outcome run;
    if (!logFailed)
        run = scheduler.run(targets, callbacks);
    display.finish();
    sharedPort.stop();
    if (!oneByOne)
        foreign = sharedPort.foreignDatagrams();
    // What the kernel threw away on the status port; null where it cannot tell.
    std::optional<std::uint64_t> dropped;
    if (oneByOne && ownPortCountsDrops) {
        ownPort.refreshDropCount();
        dropped = ownPort.droppedDatagrams();
    } else if (!oneByOne && sharedPort.countsDrops()) {
        dropped = sharedPort.droppedDatagrams();
    }

    if (!logFailed) {
        // A log that fails here has said so on stderr, and the session's
        // outcome, printed and turned into the exit status below, tells it.
        if (run.endedByFailure) {
            std::ignore = session.endAfterFailure();
        } else {
            if (run.stopped)
                session.noteStopRequested();
            std::ignore = session.summarise(run.attempted);
        }
    }
    if (report && !report->close() && !reportFailed) {
        reportFailed = true;
        context.err << "fwprog: could not write to the report " << *options.reportPath << ": "
                    << withoutLineEnd(report->failure().reason()) << '\n';
    }

    // Why the batch stopped before the end of its list, when not by an
    // interrupt (which says so itself).
    const std::size_t notStarted = targets.size() - run.attempted;
    if (run.stopped && run.reason == fleet::ParallelScheduler::StopReason::FailureLimit)
        context.err << "fwprog: stopped after " << run.failed << " units failed (--max-failures "
                    << options.maxFailures << "); " << notStarted << " of " << targets.size()
                    << " units were not started\n";
    if (run.stopped && run.reason == fleet::ParallelScheduler::StopReason::CanaryFailed)
        context.err << "fwprog: a canary unit failed (--canary " << options.canary << "); "
                    << notStarted << " of " << targets.size() << " units were not started\n";
    context.err.flush();

    const fleet::BatchOutcome outcome = session.takeOutcome();
    reportForeignDatagrams(context.err, foreign);
    reportDroppedDatagrams(context.err, dropped.value_or(0), options.endpoints.statusPort);
    nlohmann::ordered_json extra = nlohmann::ordered_json::object();
    if (!oneByOne)
        extra["jobs"] = options.jobs;
    extra["foreign_datagrams"] = foreign;
    extra["status_datagrams_dropped"] =
        dropped ? nlohmann::ordered_json(*dropped) : nlohmann::ordered_json(nullptr);
    nlohmann::ordered_json skipped = nlohmann::ordered_json::array();
    for (const std::string& target : outcome.skipped)
        skipped.push_back(engine::jsonText(target));
    extra["skipped"] = std::move(skipped);
    // A record that could not be written stopped the batch, even where every
    // unit of the list was already in flight.
    const char* reason = outcome.logFailed ? "log"
                         : reportFailed    ? "report"
                         : run.stopped     ? stopReasonName(run.reason)
                                           : nullptr;
    extra["stop_reason"] = reason ? engine::jsonText(reason) : nullptr;
    printBatchOutcome(context, outcome, options.json, extra, unitFields);

    // A batch that stopped for a failed unit, or whose report is incomplete,
    // failed, however its units went.
    if (outcome.logFailed || reportFailed)
        return kExitFailure;
    if (run.stopped && run.reason != fleet::ParallelScheduler::StopReason::StopRequested)
        return kExitFailure;
    return exitStatusForBatch(outcome);
}

}  // namespace cli
