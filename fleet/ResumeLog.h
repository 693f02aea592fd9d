#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace fleet {

// What an earlier batch's status log says, for a batch that goes on where it
// left off: the image it programmed and the units it programmed successfully.
struct ResumeLog {
    std::string imagePath;  // from its "File Name: " line, as written there
    // Each target logged "Successfully Programmed", with how many times (the
    // same address may stand in a list more than once).
    std::map<std::string, std::size_t> programmed;
};

// Reads a status log's lines. False with *error when the bytes are not one
// (the first line is not a "File Name: " line).
[[nodiscard]] bool parseResumeLog(std::string_view bytes, ResumeLog& log, std::string* error);

// Reads the whole log at path before anything else is written, so the log a
// batch goes on from may be the very file that batch replaces. False with
// *error (a whole sentence, without line end) when it cannot be read or is no
// status log.
[[nodiscard]] bool readResumeLog(const std::string& path, ResumeLog& log, std::string* error);

// True when the log's "File Name: " line names the image at imagePath: the
// same text, or a path to the same file.
bool resumeLogNamesImage(const ResumeLog& log, const std::string& imagePath);

}  // namespace fleet
