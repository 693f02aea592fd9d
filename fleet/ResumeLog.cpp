#include "fleet/ResumeLog.h"

#include "engine/ProgramResult.h"
#include "fleet/StatusLog.h"
#include "platform/ErrorText.h"
#include "platform/InputFile.h"
#include "platform/SocketAddress.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fleet {

namespace {

// Far beyond the log of any list (a million units take some 40 MB, their
// report some 400 MB); a larger file is no record and is not read into memory.
constexpr std::uint64_t kLargestLog = 1024ull * 1024 * 1024;

constexpr std::string_view kFileNamePrefix = "File Name: ";
constexpr std::string_view kDatePrefix = "Date: ";
constexpr std::string_view kUnitPrefix = "IP: ";
constexpr std::string_view kCsvHeaderStart = "target,";

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// Calls take(line, number) for each line, its CR LF or LF taken off; false as
// soon as take does.
template <typename Take>
bool eachLine(std::string_view bytes, Take take) {
    std::size_t number = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t end = bytes.find('\n', at);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        at = end + 1;
        if (!take(line, ++number))
            return false;
    }
    return true;
}

// The "\xNN" escapes the log writes for control bytes in the image's path,
// undone; any other backslash is the path's own.
std::string unescapeLogText(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = i + 3 < text.size() ? platform::hexDigitValue(text[i + 2]) : -1;
        const int low = i + 3 < text.size() ? platform::hexDigitValue(text[i + 3]) : -1;
        if (text[i] == '\\' && text[i + 1] == 'x' && high >= 0 && low >= 0) {
            const int value = high * 16 + low;
            if (value < 0x20 || value == 0x7F) {
                bytes.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        bytes.push_back(text[i]);
    }
    return bytes;
}

std::optional<std::tm> parseDateLine(std::string_view line) {
    int month = 0, day = 0, year = 0, hour = 0, minute = 0;
    const std::string text(line);
    if (std::sscanf(text.c_str(), "Date: %2d/%2d/%2d, Time: %2d:%2d", &month, &day, &year, &hour,
                    &minute) != 5 ||
        month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59)
        return std::nullopt;
    std::tm time{};
    time.tm_year = 100 + year;  // the log's two digits are this century's
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_isdst = -1;
    return time;
}

bool parseStatusLog(std::string_view bytes, ResumeLog& log) {
    const std::string programmed = " " + resultText(engine::ResultProgrammed);
    // Lines end in CR LF as the batch writes them; an LF alone (the log went
    // through an editor) is taken too. A target never holds either.
    return eachLine(bytes, [&](std::string_view line, std::size_t number) {
        if (number == 1) {
            log.imagePath = unescapeLogText(line.substr(kFileNamePrefix.size()));
        } else if (number == 2 && line.starts_with(kDatePrefix)) {
            log.begun = parseDateLine(line);
        } else if (line.starts_with(kUnitPrefix) && line.ends_with(programmed) &&
                   line.size() > kUnitPrefix.size() + programmed.size()) {
            log.programmed.push_back(
                {std::string(line.substr(kUnitPrefix.size(),
                                         line.size() - kUnitPrefix.size() - programmed.size())),
                 {},
                 0});
        }
        return true;
    });
}

bool parseJsonReport(std::string_view bytes, ResumeLog& log, std::string* error) {
    return eachLine(bytes, [&](std::string_view line, std::size_t number) {
        if (line.empty())
            return true;
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        const auto has = [&](const char* name, nlohmann::json::value_t type) {
            return object.is_object() && object.contains(name) && object[name].type() == type;
        };
        using Type = nlohmann::json::value_t;
        if (!has("target", Type::string) || !has("image_sha256", Type::string) ||
            !has("image_bytes", Type::number_unsigned) || !has("skipped", Type::boolean) ||
            !object.contains("result") || !object["result"].is_number_integer()) {
            if (error)
                *error = "line " + std::to_string(number) + " is not a line of a --report file";
            return false;
        }
        if (object["result"].get<long long>() == engine::ResultProgrammed.value() ||
            object["skipped"].get<bool>())
            log.programmed.push_back({object["target"].get<std::string>(),
                                      object["image_sha256"].get<std::string>(),
                                      object["image_bytes"].get<std::uint64_t>()});
        return true;
    });
}

// One CSV row's cells, quotes taken off; false when a quote is left open.
bool csvCells(std::string_view line, std::vector<std::string>& cells) {
    cells.assign(1, {});
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cells.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cells.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    return !quoted;
}

bool parseCsvReport(std::string_view bytes, ResumeLog& log, std::string* error) {
    std::map<std::string, std::size_t> column;
    const char* const needed[] = {"target", "image_bytes", "image_sha256", "result", "skipped"};
    std::vector<std::string> cells;
    return eachLine(bytes, [&](std::string_view line, std::size_t number) {
        const auto notReport = [&] {
            if (error)
                *error = "line " + std::to_string(number) + " is not a line of a --report file";
            return false;
        };
        if (line.empty())
            return true;
        if (!csvCells(line, cells))
            return notReport();
        if (number == 1) {
            for (std::size_t i = 0; i < cells.size(); ++i)
                column[cells[i]] = i;
            for (const char* name : needed)
                if (!column.contains(name))
                    return notReport();
            return true;
        }
        for (const char* name : needed)
            if (column[name] >= cells.size())
                return notReport();
        const std::string& result = cells[column["result"]];
        const std::string& bytesText = cells[column["image_bytes"]];
        if (bytesText.empty() || bytesText.find_first_not_of("0123456789") != std::string::npos)
            return notReport();
        if (result == std::to_string(engine::ResultProgrammed.value()) ||
            cells[column["skipped"]] == "true")
            log.programmed.push_back(
                {cells[column["target"]], cells[column["image_sha256"]], std::stoull(bytesText)});
        return true;
    });
}

}  // namespace

bool parseResumeLog(std::string_view bytes, ResumeLog& log, std::string* error) {
    log = ResumeLog{};
    if (bytes.starts_with(kFileNamePrefix)) {
        log.kind = ResumeLog::Kind::StatusLog;
        return parseStatusLog(bytes, log);
    }
    if (bytes.starts_with("{")) {
        log.kind = ResumeLog::Kind::JsonReport;
        return parseJsonReport(bytes, log, error);
    }
    if (bytes.starts_with(kCsvHeaderStart)) {
        log.kind = ResumeLog::Kind::CsvReport;
        return parseCsvReport(bytes, log, error);
    }
    if (error)
        *error =
            "it does not begin with a \"File Name: \" line, so it is no status log, nor is it a "
            "--report file";
    return false;
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

namespace {

// Why the status log does not prove that its units hold this image; empty
// when it does.
std::string statusLogDoubt(const ResumeLog& log, const std::string& logPath,
                           const ResumeImage& image) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path named = log.imagePath;
    if (!log.imagePath.empty() && named.is_relative())
        named = fs::path(logPath).parent_path() / named;
    if (log.imagePath.empty() || !fs::equivalent(named, image.path, error) || error)
        return "it was written for the image " + log.imagePath + " (taken as " + named.string() +
               "), which is not the file " + image.path;
    if (!log.begun)
        return "it has no \"Date: \" line to tell when it was begun";
    const auto modified = fs::last_write_time(image.path, error);
    if (error)
        return "the time " + image.path + " was last modified cannot be read";
    std::tm begun = *log.begun;
    const std::time_t begunAt = std::mktime(&begun);
    if (begunAt == static_cast<std::time_t>(-1))
        return "its \"Date: \" line names no time this computer knows";
    // The log tells the minute only: a change within that minute may have come
    // after the batch began, so only one before it counts.
    if (std::chrono::file_clock::to_sys(modified) >=
        std::chrono::system_clock::from_time_t(begunAt))
        return "the image " + image.path +
               " was modified after the batch that wrote it began, so its units may hold other "
               "bytes";
    return {};
}

}  // namespace

ResumePlan planResume(const ResumeLog& log, const std::string& logPath, const ResumeImage& image) {
    ResumePlan plan;
    if (log.kind == ResumeLog::Kind::StatusLog) {
        plan.notSkippedReason = statusLogDoubt(log, logPath, image);
        if (!plan.notSkippedReason.empty())
            return plan;
        for (const auto& unit : log.programmed)
            ++plan.skip[unit.target];
        return plan;
    }
    if (!image.hashed) {
        plan.notSkippedReason = "the image " + image.path + " cannot be read to compare with it";
        return plan;
    }
    std::size_t other = 0;
    for (const auto& unit : log.programmed) {
        if (unit.imageSha256 == image.sha256 && unit.imageBytes == image.bytes)
            ++plan.skip[unit.target];
        else
            ++other;
    }
    if (other > 0)
        plan.notSkippedReason =
            std::to_string(other) + (other == 1 ? " unit it has" : " units it has") +
            " as programmed got other image bytes (SHA-256 and size) than " + image.path + ", so " +
            (other == 1 ? "it is" : "they are") + " not skipped";
    return plan;
}

}  // namespace fleet
