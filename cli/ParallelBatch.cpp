#include "cli/ParallelBatch.h"

#include "cli/BatchReport.h"
#include "cli/FleetDisplay.h"
#include "cli/TerminalOperator.h"
#include "engine/UdpHelpers.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/ParallelScheduler.h"
#include "fleet/SharedStatusPort.h"
#include "fleet/StatusLog.h"

#include <atomic>
#include <ostream>

namespace cli {

int runParallelBatch(const MultipleOptions& options, CliContext& context) {
    // File errors and the port's failure are said once, as in a sequential batch.
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

    // One status port for every unit in flight; verdicts are told apart by
    // the address they come from.
    SharedStatusPort statusPort(options.endpoints.statusPort);
    int portError = 0;
    if (!statusPort.start(&portError))
        sessionOp.messageBox(socketCreateErrorText(portError), mb::kIconStop);

    FleetDisplay display(context.err, context.stderrIsTerminal && !options.json, targets.size());
    std::atomic<bool> logFailed{false};
    ParallelScheduler::Callbacks callbacks;
    callbacks.stopRequested = [&] { return logFailed.load() || context.stopRequested(); };
    callbacks.unitStarted = [&](const ParallelScheduler::Unit& unit) {
        display.unitStarted(unit.number, unit.target, unit.number);
    };
    callbacks.programUnit = [&](const ParallelScheduler::Unit& unit) {
        FleetUnitOperator op(display, unit.number, unit.target);
        UnitProgrammer programmer(op, context.sleeper, context.spooler,
                                  EngineOptions{options.endpoints, context.streamTimeouts});
        programmer.setStatusInboxFactory(
            [&](const std::string& target) { return statusPort.inboxFor(target); });
        return programmer.ProgramUnit(options.imagePath, unit.target);
    };
    callbacks.unitFinished = [&](const ParallelScheduler::Unit& unit, ProgramResult result) {
        if (logFailed)
            return;
        display.unitFinished(unit.number, unitOutcomeText(unit.target, result));
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
    printBatchOutcome(context, outcome, options.json,
                      ", \"jobs\": " + std::to_string(options.jobs) + ", \"foreign_datagrams\": " +
                          std::to_string(statusPort.foreignDatagrams()));
    return exitStatusForBatch(outcome);
}

}  // namespace cli
