#include "fleet/ResumeLog.h"

#include "fleet/StatusLog.h"
#include "platform/ErrorText.h"
#include "platform/InputFile.h"

#include <filesystem>
#include <string>

namespace fleet {

namespace {

// Far beyond the log of any list (a million units take some 40 MB); a larger
// file is no status log and is not read into memory.
constexpr std::uint64_t kLargestLog = 256ull * 1024 * 1024;

constexpr std::string_view kFileNamePrefix = "File Name: ";
constexpr std::string_view kUnitPrefix = "IP: ";

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

bool parseResumeLog(std::string_view bytes, ResumeLog& log, std::string* error) {
    log = ResumeLog{};
    const std::string programmed = " " + resultText(engine::ResultProgrammed);
    bool first = true;
    // Lines end in CR LF as the batch writes them; an LF alone (the log went
    // through an editor) is taken too. A target never holds either.
    for (std::size_t at = 0; at < bytes.size() || first;) {
        std::size_t end = bytes.find('\n', at);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        at = end + 1;
        if (first) {
            if (!line.starts_with(kFileNamePrefix)) {
                if (error)
                    *error =
                        "it does not begin with a \"File Name: \" line, so it is no status log";
                return false;
            }
            log.imagePath = std::string(line.substr(kFileNamePrefix.size()));
            first = false;
            continue;
        }
        if (line.starts_with(kUnitPrefix) && line.ends_with(programmed) &&
            line.size() > kUnitPrefix.size() + programmed.size())
            ++log.programmed[std::string(line.substr(
                kUnitPrefix.size(), line.size() - kUnitPrefix.size() - programmed.size()))];
    }
    return true;
}

bool readResumeLog(const std::string& path, ResumeLog& log, std::string* error) {
    const auto fail = [&](const std::string& reason) {
        if (error)
            *error = "cannot resume from the status log " + path + ": " + reason;
        return false;
    };
    platform::InputFile file;
    if (!file.openRegular(path)) {
        if (!file.notRegularKind().empty())
            return fail("it is " + file.notRegularKind() + ", not a regular file");
        return fail(withoutLineEnd(platform::systemErrorText(file.lastError())));
    }
    if (file.size() > kLargestLog)
        return fail("it is larger than any status log (" + std::to_string(file.size()) + " bytes)");
    std::string bytes;
    char block[64 * 1024];
    for (;;) {
        const long got = file.read(block, sizeof block);
        if (got < 0)
            return fail(withoutLineEnd(platform::systemErrorText(file.lastError())));
        if (got == 0)
            break;
        bytes.append(block, static_cast<std::size_t>(got));
        if (bytes.size() > kLargestLog)
            return fail("it is larger than any status log");
    }
    std::string reason;
    if (!parseResumeLog(bytes, log, &reason))
        return fail(reason);
    return true;
}

bool resumeLogNamesImage(const ResumeLog& log, const std::string& imagePath) {
    if (log.imagePath == imagePath)
        return true;
    if (log.imagePath.empty() || imagePath.empty())
        return false;
    std::error_code error;
    return std::filesystem::equivalent(log.imagePath, imagePath, error) && !error;
}

}  // namespace fleet
