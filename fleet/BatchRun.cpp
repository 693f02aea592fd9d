#include "fleet/BatchRun.h"

#include "platform/ErrorText.h"
#include "platform/LocalClock.h"

#include <filesystem>
#include <tuple>

namespace fleet {

namespace {

// The path as the operator should see it in a message: whole and absolute,
// so a relative name cannot leave them guessing which folder was meant.
std::string fullPath(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    if (error || path.empty())
        return path;
    return absolute.lexically_normal().string();
}

}  // namespace

bool samePlace(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty())
        return false;
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error) && !error)
        return true;
    const auto absoluteA = std::filesystem::absolute(a, error).lexically_normal();
    if (error)
        return false;
    const auto absoluteB = std::filesystem::absolute(b, error).lexically_normal();
    return !error && absoluteA == absoluteB;
}

BatchCounts BatchOutcome::counts() const {
    BatchCounts counts;
    for (const BatchUnitResult& unit : units)
        counts.add(unit.result);
    return counts;
}

AfterUnit afterUnit(engine::ProgramResult result) {
    if (result.isProgrammed() || result.isUnconfirmed())
        return AfterUnit::PauseThenNext;
    return result.isHostFailure() ? AfterUnit::EndBatch : AfterUnit::Next;
}

std::string unitCounterText(std::size_t number, std::size_t total) {
    return std::to_string(number) + " of " + std::to_string(total);
}

BatchSession::BatchSession(engine::Operator& op, BatchHooks hooks)
    : op_(op), hooks_(std::move(hooks)) {}

bool BatchSession::fail(const std::string& message) {
    // Both files close before the operator reads the message, so whatever
    // the log holds by then is on disk and free for an editor.
    list_.close();
    // The batch fails with this message whatever the close says: a late
    // write error of the log would only repeat that the log is incomplete.
    std::ignore = log_.close();
    outcome_.end = BatchEnd::FileError;
    outcome_.error = message;
    op_.messageBox(message, engine::BoxIcon::Stop);
    return false;
}

bool BatchSession::logWriteFailed() {
    outcome_.logFailed = true;
    return fail("Could not write to the status log " + outcome_.logPath + "\n" +
                log_.failure().reason());
}

bool BatchSession::listReadFailed(long result) {
    if (result == kListRecordTooLong)
        return fail("The list file " + outcome_.listPath +
                    " is not a list of targets: it has a line longer than " +
                    std::to_string(kListRecordLimit) +
                    " bytes.\nA list holds one address or print-queue name per line.\n");
    if (result == kListRecordHasNul)
        return fail("The list file " + outcome_.listPath +
                    " is not a list of targets: it holds a NUL byte, so it is not text.\nA list "
                    "holds one address or print-queue name per line.\n");
    return fail("Could not read the list file " + outcome_.listPath + "\n" +
                platform::systemErrorText(list_.lastError()));
}

bool BatchSession::closeBoth() {
    list_.close();
    if (!log_.close())
        return logWriteFailed();
    if (hooks_.logClosed)
        hooks_.logClosed(outcome_.logPath);
    return true;
}

bool BatchSession::begin(const BatchRequest& request) {
    return openList(request) && createLog();
}

bool BatchSession::openList(const BatchRequest& request) {
    outcome_ = BatchOutcome{};
    imagePath_ = request.imagePath;
    outcome_.logPath = fullPath(request.logPath);
    outcome_.listPath = fullPath(request.listPath);

    // Creating the log empties it: when it is the list or the image itself,
    // that would destroy the very file the batch is about to use.
    if (samePlace(outcome_.logPath, outcome_.listPath))
        return fail("Could not create the status log " + outcome_.logPath +
                    "\nIt is the list file itself; the log needs a name of its own.\n");
    if (samePlace(outcome_.logPath, request.imagePath))
        return fail("Could not create the status log " + outcome_.logPath +
                    "\nIt is the firmware image itself; the log needs a name of its own.\n");

    // A list that does not exist, or is a folder, ends the batch quietly: the
    // operator may have typed a name. The log from before is left as it was,
    // as it may be the very record a later batch resumes from.
    if (!list_.open(outcome_.listPath)) {
        if (!list_.notRegularKind().empty())
            return fail("The list file " + outcome_.listPath + " is not a list of targets: it is " +
                        list_.notRegularKind() +
                        ", not a regular file.\nA list holds one address or print-queue name per "
                        "line.\n");
        outcome_.end = BatchEnd::ListNotOpened;
        outcome_.listOpenError = list_.lastError();
        return false;
    }

    std::string record;
    for (;;) {
        const long length = ReadListLine(list_, record);
        if (length < 0)
            return listReadFailed(length);
        if (length == 0)
            break;
        ++outcome_.total;
    }
    if (!list_.rewind())
        return fail("Could not go back to the start of the list file " + outcome_.listPath + "\n" +
                    platform::systemErrorText(list_.lastError()));
    return true;
}

bool BatchSession::createLog() {
    if (!log_.create(outcome_.logPath)) {
        if (log_.failure().kind == platform::OutputFailure::Kind::InUse)
            return fail("Could not start the batch: the status log " + outcome_.logPath +
                        " is in use by another batch on this computer\nWait for it to end, or "
                        "give this batch a log of its own.\n");
        return fail("Could not create the status log " + outcome_.logPath + "\n" +
                    log_.failure().reason());
    }
    const std::tm now = hooks_.localTime ? hooks_.localTime() : platform::readLocalClock().local;
    if (!log_.write(logFileNameLine(imagePath_)) || !log_.write(logDateLine(now)))
        return logWriteFailed();
    outcome_.logWritten = true;
    return true;
}

BatchSession::Next BatchSession::nextRecord(std::string& target) {
    const long length = ReadListLine(list_, target);
    if (length < 0) {
        listReadFailed(length);
        return Next::Error;
    }
    if (length == 0) {
        outcome_.end = BatchEnd::EndOfList;
        return Next::EndOfList;
    }
    return Next::Record;
}

bool BatchSession::unitDone(const std::string& target, engine::ProgramResult result) {
    outcome_.units.push_back({target, result});
    if (outcome_.logFailed)
        return false;
    if (!log_.append(logUnitLine(target, result)))
        return logWriteFailed();
    return true;
}

bool BatchSession::syncLog() {
    if (outcome_.logFailed)
        return false;
    if (!log_.isOpen() || log_.sync())
        return true;
    return logWriteFailed();
}

bool BatchSession::unitSkipped(const std::string& target) {
    outcome_.skipped.push_back(target);
    if (!log_.write(logUnitLine(target, engine::ResultProgrammed)))
        return logWriteFailed();
    return true;
}

bool BatchSession::summarise(std::size_t units) {
    // The count is every unit tried, whatever its result; the line below it
    // says how many of them really were programmed.
    const BatchCounts counts = outcome_.counts();
    const std::string text = unitsUpdatedText(units) + "\n" + countsText(counts);
    if (hooks_.showSummary)
        hooks_.showSummary(text);
    else
        op_.messageBox(text, counts.allProgrammed() ? engine::BoxIcon::Information
                                                    : engine::BoxIcon::Exclamation);
    if (!log_.write(logSummaryLine(units)))
        return logWriteFailed();
    outcome_.unitsUpdated = units;
    return closeBoth();
}

bool BatchSession::endAfterFailure() {
    outcome_.end = BatchEnd::UnitFailure;
    return closeBoth();
}

}  // namespace fleet
