#pragma once

#include "engine/ProgramResult.h"
#include "platform/OutputFile.h"

#include <cstdint>
#include <string>

namespace fleet {

// One unit's line of a batch's report: what a technician needs to prove which
// unit got which image, and what it ran before and after.
struct ReportEntry {
    std::string target;
    std::string interfaceName;  // this host's interface and address towards the unit
    std::string sourceAddress;
    std::string productBefore;  // the unit's answer to the query before the entry header
    std::string productAfter;   // and once it answered as an application after the verdict
    std::string imagePath;
    std::uint64_t imageBytes = 0;
    std::string imageSha256;
    engine::ProgramResult result = engine::ResultProgrammed;
    int attempts = 0;  // 0: skipped, an earlier batch programmed it
    std::uint64_t bytesDelivered = 0;
    std::uint64_t foreignDatagrams = 0;
    std::string start;  // ISO 8601 with the zone; empty for a skipped unit
    std::string end;
    bool skipped = false;
};

// The report file: one JSON object a line, or CSV with a header row when its
// name ends in ".csv". Every line reaches the disk before write() returns
// (lines append()ed, at the next sync()). It
// is opened as the status log is: never through a symbolic link, never a
// FIFO or device, and not while another batch writes it.
class UnitReport {
public:
    // Creates (or empties) the file; false with failure() when it cannot.
    bool open(const std::string& path);
    bool write(const ReportEntry& entry);
    // Writes the entry's line without waiting for the disk; sync() hands
    // every line so far to it at once. For lines that come in bursts.
    bool append(const ReportEntry& entry);
    bool sync() { return file_.sync(); }
    // Flushes what was appended, then closes.
    bool close() {
        const bool synced = !file_.isOpen() || file_.sync();
        return file_.close() && synced;
    }

    bool csv() const { return csv_; }
    const platform::OutputFailure& failure() const { return file_.failure(); }

private:
    platform::OutputFile file_;
    bool csv_ = false;
};

// True for a report name that asks for CSV: it ends in ".csv", in any case.
bool reportWantsCsv(const std::string& path);

// The lines, each with its line end. Texts from outside (targets, the units'
// answers, paths) keep every byte: JSON escapes each byte outside printable
// ASCII as its Latin-1 code point, as fwprog's --json output does; CSV writes
// control bytes as visible escapes ("\x1b", "\x0a") in a quoted cell, so
// neither can act on a terminal that shows the file nor start a row, and puts
// a ' before a cell that starts with =, +, -, @, tab or CR, which a
// spreadsheet would take for a formula. JSON keeps the exact text.
std::string reportJsonLine(const ReportEntry& entry);
std::string reportCsvHeader();
std::string reportCsvLine(const ReportEntry& entry);

// A target as a report holds it, to find it there again: the string a JSON
// line decodes to, and the CSV cell's text without its quotes.
std::string reportJsonText(const std::string& bytes);
std::string reportCsvCellText(const std::string& bytes);

}  // namespace fleet
