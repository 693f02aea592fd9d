#pragma once

#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "fleet/BatchCounts.h"
#include "fleet/ListReader.h"
#include "fleet/StatusLog.h"

#include <cstddef>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

// What the batch does after a unit's log line.
enum class AfterUnit {
    PauseThenNext,  // programmed or unconfirmed: the unit gets time to restart
    Next,           // the unit itself refused the image: on at once
    EndBatch,       // this host could not program it (1 to 99): stop here
};
AfterUnit afterUnit(engine::ProgramResult result);

// The unit counter's text, "%d of %d".
std::string unitCounterText(std::size_t number, std::size_t total);

// How a batch ended.
enum class BatchEnd {
    EndOfList,      // every record was tried; summary shown and logged
    StopRequested,  // the operator stopped it between units; summary shown and logged
    UnitFailure,    // a result from 1 to 99 ended it after that unit's line; no summary
    ListNotOpened,  // the list does not exist or is a folder; no file was written
    FileError,      // a file could not be created, read or written; message shown
};

struct BatchUnitResult {
    std::string target;
    engine::ProgramResult result = engine::ResultProgrammed;
};

struct BatchOutcome {
    BatchEnd end = BatchEnd::FileError;
    std::size_t total = 0;               // records found by the count pass
    std::vector<BatchUnitResult> units;  // every unit tried, in the order tried
    std::vector<std::string> skipped;    // units not tried, logged as an earlier batch had them
    std::optional<std::size_t> unitsUpdated;  // the summary's count, when it was reached
    std::string logPath;                      // the log's full path
    bool logWritten = false;                  // the log holds at least its two header lines
    std::string listPath;                     // the list's full path
    std::string error;                        // the file error's message, when there was one
    bool logFailed = false;                   // the log could not be written to its end
    int listOpenError = 0;                    // the system's error when the list was not opened

    bool summaryReached() const { return unitsUpdated.has_value(); }
    // How the units tried ended (the units skipped are not among them).
    BatchCounts counts() const;
    // A stop request ended the batch before the end of its list.
    bool stopped() const { return end == BatchEnd::StopRequested; }
};

struct BatchRequest {
    std::string imagePath;  // written whole into the log's first line
    std::string listPath;
    std::string logPath;  // chosen by the caller; usually "Status.txt" in the list's folder
};

// What the batch's files tell the front end.
struct BatchHooks {
    // The local time for the log's date line; the computer's clock when unset.
    std::function<std::tm()> localTime;
    // Shows the summary, "%d Units Updated" and on a line of its own how many
    // of them were programmed, failed and unconfirmed; when unset, a message
    // box with the information icon, or the warning icon when a unit was not
    // programmed.
    std::function<void(const std::string& text)> showSummary;
    // Called with the log's full path once both files are closed, when the
    // batch ended at the end of the list, on a stop request or after a unit
    // that ended it (the window opens the log in an editor here).
    std::function<void(const std::string& logPath)> logClosed;
};

// One batch's files and bookkeeping, step by step (fleet::Batch takes them in
// order): the list reading, the log format, the file error handling and the
// outcome. Every failing step has
// already shown its message box (stop icon) and closed both files when it
// returns false; outcome() then tells the rest.
class BatchSession {
public:
    BatchSession(engine::Operator& op, BatchHooks hooks);

    // openList() and then createLog(): a batch that contacts no unit because
    // its list is wrong changes no file.
    [[nodiscard]] bool begin(const BatchRequest& request);
    // Opens the list (a regular file only, never waiting on a FIFO), counts
    // its records, so that a list that is no text list is refused here, and
    // goes back to its start. Nothing is written yet.
    [[nodiscard]] bool openList(const BatchRequest& request);
    // Creates the log and writes its two header lines.
    [[nodiscard]] bool createLog();

    enum class Next { Record, EndOfList, Error };
    // Reads the next record into target.
    [[nodiscard]] Next nextRecord(std::string& target);

    // Writes the unit's log line; false on a write error, and for every unit
    // after one, which is still counted as tried in the outcome (a unit in
    // flight when the log failed was programmed all the same).
    // The line waits in the file for syncLog(), which the batch calls before
    // any further unit starts.
    [[nodiscard]] bool unitDone(const std::string& target, engine::ProgramResult result);
    // Hands the unit lines written since the last sync to the disk at once;
    // false on a write error, as unitDone.
    [[nodiscard]] bool syncLog();
    // Writes the line of a unit an earlier batch programmed, which this one
    // leaves alone, so the log stays a record of the whole list; false on a
    // write error.
    [[nodiscard]] bool unitSkipped(const std::string& target);

    // Shows the summary and writes its first line as the log's last line,
    // then closes both files; units is the number of units tried.
    [[nodiscard]] bool summarise(std::size_t units);
    // Records that a stop request, not the end of the list, ended the batch
    // (for runs that take the records ahead of programming them).
    void noteStopRequested() { outcome_.end = BatchEnd::StopRequested; }
    // Closes both files after a unit that ended the batch.
    [[nodiscard]] bool endAfterFailure();

    const BatchOutcome& outcome() const { return outcome_; }
    BatchOutcome takeOutcome() { return std::move(outcome_); }

private:
    bool fail(const std::string& message);
    bool logWriteFailed();
    bool listReadFailed(long result);
    [[nodiscard]] bool closeBoth();

    engine::Operator& op_;
    BatchHooks hooks_;
    ListFile list_;
    StatusLog log_;
    std::string imagePath_;
    BatchOutcome outcome_;
};

// Both name one file, or would once created: a record written over the
// list, the image or another record would destroy what the batch is about to
// use. False when either is empty.
bool samePlace(const std::string& a, const std::string& b);

}  // namespace fleet
