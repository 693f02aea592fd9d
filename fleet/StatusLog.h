#pragma once

#include "engine/ProgramResult.h"
#include "platform/OutputFile.h"

#include <cstddef>
#include <ctime>
#include <string>

namespace fleet {

// The batch's status log: raw bytes, CR LF line ends. Each line is handed to
// the disk before write() returns (lines append()ed, at the next sync()), so
// a batch that is killed, or a computer that loses power, keeps every line
// written before it.
class StatusLog {
public:
    // Creates the file or empties an existing one, for this batch alone: while
    // another batch holds the same log, creation fails rather than truncating
    // the other batch's lines. A symbolic link, a FIFO or a device at the path
    // is refused and left untouched. False with failure() when it cannot.
    [[nodiscard]] bool create(const std::string& path) { return file_.createExclusive(path); }
    // Writes all of bytes and flushes them to the disk; false with failure().
    [[nodiscard]] bool write(const std::string& bytes) { return file_.write(bytes); }
    // Writes all of bytes; sync() flushes every line so far to the disk at
    // once, for lines that come in bursts. False with failure().
    [[nodiscard]] bool append(const std::string& bytes) { return file_.append(bytes); }
    [[nodiscard]] bool sync() { return file_.sync(); }
    // Flushes what was appended, then closes; false with failure() when the
    // system reports a write error.
    [[nodiscard]] bool close() {
        const bool synced = !file_.isOpen() || file_.sync();
        return file_.close() && synced;
    }

    bool isOpen() const { return file_.isOpen(); }
    const platform::OutputFailure& failure() const { return file_.failure(); }

private:
    platform::OutputFile file_;
};

// The log's lines, each with its CR LF. The image's path keeps every byte but
// the control bytes, which are written as "\x0a" and the like.
std::string logFileNameLine(const std::string& imagePath);
std::string logDateLine(const std::tm& localTime);
std::string logUnitLine(const std::string& target, engine::ProgramResult result);
// The outcome part of a unit's line: "Successfully Programmed", "Verify Error", ...
std::string resultText(engine::ProgramResult result);
// The unit's line without its CR LF, as displays show it.
std::string unitOutcomeText(const std::string& target, engine::ProgramResult result);
std::string logSummaryLine(std::size_t unitsUpdated);

// "%d Units Updated": the summary as the operator sees it and, with CR LF, the
// log's last line.
std::string unitsUpdatedText(std::size_t unitsUpdated);

}  // namespace fleet
