#include "cli/ParallelBatch.h"

#include "cli/BatchReport.h"
#include "cli/FleetDisplay.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/ParallelScheduler.h"
#include "fleet/SharedStatusPort.h"
#include "fleet/StatusLog.h"

#include <atomic>
#include <map>
#include <mutex>
#include <ostream>

namespace cli {

int runParallelBatch(const MultipleOptions& options, CliContext& context) {
    // One status port for every unit in flight; verdicts are told apart by
    // the address they come from. Bound before any unit is contacted.
    SharedStatusPort statusPort(options.endpoints.statusPort);
    if (int portError = 0; !statusPort.start(&portError)) {
        reportStatusPortUnavailable(context, options.endpoints.statusPort, portError, options.json);
        return kExitFailure;
    }

    // File errors are said once, as in a sequential batch.
    TerminalOperator sessionOp(context.err, false);
    BatchHooks hooks;
    hooks.showSummary = printSummary(context, options.json);
    BatchSession session(sessionOp, hooks);

    std::vector<std::string> targets;
    bool ready = session.begin({options.imagePath, options.listPath, options.logPath});
    for (std::string record; ready;) {
        const BatchSession::Next next = session.nextRecord(record);
        if (next == BatchSession::Next::Error)
            ready = false;
        else if (next == BatchSession::Next::Record)
            targets.push_back(record);
        else
            break;
    }
    if (!ready) {
        const BatchOutcome outcome = session.takeOutcome();
        reportListNotOpened(context, outcome);
        printBatchOutcome(context, outcome, options.json);
        return exitStatusForBatch(outcome);
    }

    FleetDisplay display(context.err, context.stderrIsTerminal && !options.json, targets.size());
    std::atomic<bool> logFailed{false};
    ParallelScheduler::Callbacks callbacks;
    callbacks.stopRequested = [&] { return logFailed.load() || context.stopRequested(); };
    callbacks.unitStarted = [&](const ParallelScheduler::Unit& unit) {
        display.unitStarted(unit.number, unit.target, unit.number);
    };
    std::mutex runsMutex;
    std::map<std::size_t, UnitRun> runs;  // by unit number, until the unit is logged
    std::vector<std::string> unitFields;  // in the order units are logged
    callbacks.programUnit = [&](const ParallelScheduler::Unit& unit) {
        FleetUnitOperator op(display, unit.number, unit.target);
        UnitProgrammer programmer(op, context.sleeper, context.spooler,
                                  EngineOptions{options.endpoints, context.streamTimeouts, {}});
        programmer.setStatusInboxFactory(
            [&](const std::string& target) { return statusPort.inboxFor(target); });
        const ProgramResult result = programmer.ProgramUnit(options.imagePath, unit.target);
        const UnitRun run = programmer.lastRun();
        if (run.imageCutOff)
            display.message(unit.target, "the image was not delivered whole: " +
                                             std::to_string(run.bytesDelivered) + " of " +
                                             std::to_string(run.imageBytes) + " bytes");
        if (const std::string hint = quietStatusPortHint(run, options.endpoints.statusPort);
            !hint.empty())
            display.message(unit.target, hint);
        std::lock_guard lock(runsMutex);
        runs[unit.number] = run;
        return result;
    };
    callbacks.unitFinished = [&](const ParallelScheduler::Unit& unit, ProgramResult result) {
        if (logFailed)
            return;
        display.unitFinished(unit.number, unitOutcomeText(unit.target, result));
        {
            std::lock_guard lock(runsMutex);
            unitFields.push_back(runJsonFields(runs[unit.number]));
            runs.erase(unit.number);
        }
        if (!session.unitDone(unit.target, result))
            logFailed = true;
    };

    ParallelScheduler scheduler(options.jobs, context.sleeper);
    const ParallelScheduler::Outcome run = scheduler.run(targets, callbacks);
    display.finish();
    statusPort.stop();

    if (!logFailed) {
        if (run.endedByFailure) {
            session.endAfterFailure();
        } else {
            if (run.stopped)
                session.noteStopRequested();
            session.summarise(run.attempted);
        }
    }
    const BatchOutcome outcome = session.takeOutcome();
    reportForeignDatagrams(context.err, statusPort.foreignDatagrams());
    printBatchOutcome(context, outcome, options.json,
                      ", \"jobs\": " + std::to_string(options.jobs) + ", \"foreign_datagrams\": " +
                          std::to_string(statusPort.foreignDatagrams()),
                      unitFields);
    return exitStatusForBatch(outcome);
}

}  // namespace cli
