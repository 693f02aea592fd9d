#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// What an earlier batch's record says, for a batch that goes on where it left
// off: its status log, or its --report file (JSON lines or CSV). A unit is
// left alone only when that record proves it holds the very image bytes this
// batch would send (see planResume).
struct ResumeLog {
    enum class Kind { StatusLog, JsonReport, CsvReport };
    Kind kind = Kind::StatusLog;

    // A status log: the image its "File Name: " line names (escapes undone)
    // and when it was begun (its "Date: " line, to the minute).
    std::string imagePath;
    std::optional<std::tm> begun;

    // Each unit the record has as programmed (or skipped by its own resume),
    // in the record's own text for the target: a status log's bytes, a JSON
    // report's decoded string, a CSV report's cell without its quotes. A
    // report also says which image bytes each unit got.
    struct Programmed {
        std::string target;
        std::string imageSha256;  // reports only
        std::uint64_t imageBytes = 0;
    };
    std::vector<Programmed> programmed;
};

// Reads a record's bytes; which kind it is shows at its start ("File Name: ",
// "{", or the CSV header row). False with *error when the bytes are none of
// them or a report line is not one.
[[nodiscard]] bool parseResumeLog(std::string_view bytes, ResumeLog& log, std::string* error);

// Reads the whole record at path before anything else is written, so the log
// a batch goes on from may be the very file that batch replaces. False with
// *error (a whole sentence, without line end) when it cannot be read or is no
// record.
[[nodiscard]] bool readResumeLog(const std::string& path, ResumeLog& log, std::string* error);

// The image this batch sends, as it found it.
struct ResumeImage {
    std::string path;
    bool hashed = false;  // false: it could not be read, so nothing can match it
    std::string sha256;   // lower-case hex
    std::uint64_t bytes = 0;
};

// Which units to leave alone: by the record's text for the target, how many
// times (the same target may stand in a list more than once).
struct ResumePlan {
    std::map<std::string, std::size_t> skip;
    // Why nothing (or not every unit the record has as programmed) is
    // skipped; empty when the record proved every unit it lists.
    std::string notSkippedReason;
};

// A report proves a unit by the SHA-256 and size of the image it recorded for
// it. A status log holds no hash: its units count only when its "File Name: "
// resolves (a relative name against the log's own folder) to the image's very
// file and that file was last modified before the minute the log was begun;
// otherwise nothing is skipped.
ResumePlan planResume(const ResumeLog& log, const std::string& logPath, const ResumeImage& image);

}  // namespace fleet
