#pragma once

#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "engine/UnitProgrammer.h"
#include "engine/WindowHooks.h"
#include "fleet/BatchRun.h"
#include "fleet/ParallelScheduler.h"
#include "platform/DatagramSocket.h"
#include "platform/Sleeper.h"
#include "platform/Spooler.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

// What a batch is asked to do: the list, the image and the rules it keeps.
struct BatchSettings {
    BatchRequest files;    // the image, the list and the log
    std::size_t jobs = 1;  // units programmed at once; 1 keeps the one-by-one batch
    // Take a verdict from any sender, not only from the unit's own address.
    bool anySender = false;
    // Ports, stream timeouts, the verdict wait and the wait after it. The
    // batch asks units who they are (identifyUnit) when it keeps a report.
    engine::EngineOptions engine;
    ParallelScheduler::Policy policy;      // retries, failure limit, canary
    std::optional<std::string> resumeLog;  // an earlier batch's record to go on from
    std::optional<std::string> reportPath;
    // The local time for the log's date line; the computer's clock when unset.
    std::function<std::tm()> localTime;
};

// What the batch needs of the computer, passed in.
struct BatchServices {
    platform::Sleeper& sleeper;
    platform::Spooler& spooler;
    // A status port the caller holds already (the window binds it before it
    // asks for the list); without one, the batch binds its own.
    platform::DatagramSocket* lentStatusPort = nullptr;
    // Programs one attempt instead of the batch's own programmer (tests).
    std::function<engine::ProgramResult(const ParallelScheduler::Unit&, engine::Operator&,
                                        engine::UnitRun&)>
        programUnit;
};

// What the front end shows of a batch and the operator's say in it. Every
// call but operatorFor comes one at a time; operatorFor and what the returned
// operator is told come from every unit in flight at once when jobs > 1.
class BatchObserver {
public:
    virtual ~BatchObserver() = default;

    // The operator of the batch's files (their errors get a box with the
    // stop icon) and, one unit at a time, of each unit's run: its counter
    // and its progress.
    virtual engine::Operator& batchOperator() = 0;
    // The window whose wait cursor shows over the whole batch; none by default.
    virtual engine::WindowHooks* window() { return nullptr; }
    // The operator the batch's file errors go to; the batch operator unless
    // the front end says them elsewhere.
    virtual engine::Operator& fileOperator() { return batchOperator(); }
    // Several units at a time: the operator of this unit's run.
    virtual std::unique_ptr<engine::Operator> operatorFor(const ParallelScheduler::Unit& unit);

    // The batch did not start: text says why; no unit was contacted.
    virtual void refused(const std::string& /*text*/) {}
    // The status port could not be bound (error: the system's error number).
    virtual void statusPortUnavailable(std::uint16_t port, int error) = 0;
    // A line for the operator about the batch as a whole (a unit skipped, a
    // record that could not be written, why it stopped early).
    virtual void note(const std::string& /*text*/) {}
    // A line about one unit (a retry to come, an image that did not go out whole).
    virtual void unitNote(const ParallelScheduler::Unit& /*unit*/, const std::string& /*text*/) {}

    // The units about to be programmed, once those an earlier batch did are
    // skipped; before the first starts.
    virtual void unitsToProgram(std::size_t /*count*/) {}
    // An attempt starts: before its operator is made.
    virtual void unitStarted(const ParallelScheduler::Unit& /*unit*/) {}
    // An attempt has ended, on the thread that ran it.
    virtual void attemptEnded(const ParallelScheduler::Unit& /*unit*/, engine::Operator& /*op*/,
                              engine::ProgramResult /*result*/, const engine::UnitRun& /*run*/) {}
    // A unit's final result, before its log line.
    virtual void unitFinished(const ParallelScheduler::Unit& /*unit*/,
                              engine::ProgramResult /*result*/) {}

    // The last unit has ended; what follows are the batch's closing lines.
    virtual void unitsDone() {}
    // Asked before each unit starts.
    virtual bool stopRequested() { return false; }
    // The summary; when not overridden, a box with the information icon, or
    // the warning icon when a unit was not programmed.
    virtual bool showsSummary() const { return false; }
    virtual void showSummary(const std::string& /*text*/) {}
    // Both files are closed (the window opens the log in an editor here).
    virtual void logClosed(const std::string& /*logPath*/) {}
};

// One unit as the batch's outcome keeps it.
struct BatchUnit {
    std::string target;
    engine::ProgramResult result;
    int attempts = 0;
    engine::UnitRun last;  // its last attempt
};

struct BatchResult {
    enum class Start {
        Refused,        // the batch said why (refused, statusPortUnavailable); no file changed
        ListNotOpened,  // the list is missing or unusable; no file changed
        LogNotCreated,  // the log could not be created or begun
        Ran,            // units were tried (perhaps none)
    };
    Start start = Start::Refused;
    BatchOutcome outcome;                 // the log's side: units tried, summary, file errors
    ParallelScheduler::Outcome schedule;  // attempted, failed, why it stopped
    std::vector<BatchUnit> units;         // in the order logged
    bool reportFailed = false;            // the report could not be written to its end
    std::uint64_t foreignDatagrams = 0;   // status datagrams from other senders, ignored
    // What the computer threw away on the status port; empty where it cannot tell.
    std::optional<std::uint64_t> droppedDatagrams;

    // Why it stopped before the end of its list: "log", "report",
    // "interrupt", "max-failures", "canary"; nullptr when it did not.
    const char* stopReason() const;
    // A record that could not be written, or a rule of the batch (failure
    // limit, canary), stopped it: it failed, however its units went.
    bool failedByRule() const;
};

// A batch of units from a list: the earlier record it goes on from, the status
// port, the list, the log, the report, the units in the list's order (one at a
// time with a pause after each unit that restarts, or several at once), the
// retries and rules of the policy, and the summary. fwprog's multiple and the
// window's Multiple both run this; they differ only in what they show.
class Batch {
public:
    Batch(BatchSettings settings, BatchServices services, BatchObserver& observer);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    BatchResult run();

private:
    class Run;
    BatchSettings settings_;
    BatchServices services_;
    BatchObserver& observer_;
};

}  // namespace fleet
