#include "cli/ArgumentReader.h"
#include "cli/Commands.h"
#include "cli/MultipleRun.h"
#include "cli/NumberText.h"
#include "fleet/ParallelScheduler.h"

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace cli {

namespace {

// The most units at once: why there is a most is told beside kMostJobs.
static_assert(fleet::ParallelScheduler::kMostJobs == 5000, "say the new most in kJobsNeeds");
constexpr const char* kJobsNeeds = "a whole number from 1 to 5000";

std::string defaultLogPath(const std::string& listPath) {
    // The folder the list is in, never the list itself: "units/" names the
    // folder units, whose folder is where its log would go.
    std::string list = listPath;
    while (list.size() > 1 && list.back() == '/')
        list.pop_back();
    const std::filesystem::path folder = std::filesystem::path(list).parent_path();
    return (folder.empty() ? std::filesystem::path("Status.txt") : folder / "Status.txt").string();
}

// Which options the command line gave, beside their values.
struct GivenOptions {
    bool image = false, list = false, log = false, afterWait = false;
    std::optional<std::string> resume, report;
};

// Reads the command line into options; false when it asked for the help or
// the version, which the reader has printed. Usage errors stay in the reader.
bool readMultipleArguments(ArgumentReader& reader, CliContext& context, MultipleOptions& options,
                           GivenOptions& given) {
    std::string text;
    // Reads the option's value into target, or fails the reader with what it needs.
    auto count = [&](const char* name, std::size_t low, std::size_t high, auto& target,
                     const char* needs) {
        if (!reader.option(name, text))
            return false;
        if (const auto value = parseCount(text, low, high))
            target = static_cast<std::remove_reference_t<decltype(target)>>(*value);
        else
            reader.fail(std::string(name) + " needs " + needs + ": " + text);
        return true;
    };
    auto seconds = [&](const char* name, std::chrono::milliseconds low,
                       std::chrono::milliseconds& target, const char* needs) {
        if (!reader.option(name, text))
            return false;
        if (const auto value = parseSeconds(text, low))
            target = *value;
        else
            reader.fail(std::string(name) + " needs " + needs + ": " + text);
        return true;
    };
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context))
            return false;
        if (reader.flag("--any-sender")) {
            options.anySender = true;
        } else if (reader.option("--image", options.imagePath)) {
            given.image = true;
        } else if (reader.option("--list", options.listPath)) {
            given.list = true;
        } else if (reader.option("--log", options.logPath)) {
            given.log = true;
        } else if (reader.option("--resume", text)) {
            given.resume = text;
        } else if (reader.option("--report", text)) {
            given.report = text;
        } else if (count("--jobs", 1, fleet::ParallelScheduler::kMostJobs, options.jobs,
                         kJobsNeeds) ||
                   count("--retries", 0, 100, options.retries, "a whole number from 0 to 100") ||
                   count("--max-failures", 1, 999999999, options.maxFailures,
                         "a whole number of at least 1") ||
                   count("--canary", 0, 999999999, options.canary, "a whole number") ||
                   seconds("--retry-pause", std::chrono::milliseconds(0), options.retryPause,
                           "seconds, up to a day") ||
                   seconds("--verdict-wait", std::chrono::milliseconds(100), options.verdictWait,
                           "seconds, at least 0.1 and up to a day")) {
        } else if (seconds("--after-wait", std::chrono::milliseconds(0), options.afterWait,
                           "seconds, up to a day")) {
            given.afterWait = true;
        } else if (!reader.common()) {
            reader.fail("unknown option: " + reader.current());
        }
    }
    return true;
}

// What the options say together that none says alone; nothing when they agree.
std::optional<std::string> optionsMismatch(const MultipleOptions& options,
                                           const GivenOptions& given) {
    if (!given.image || !given.list)
        return given.image ? "--list is required" : "--image is required";
    if (given.log && options.logPath.empty())
        return "--log needs a path";
    if (given.resume && given.resume->empty())
        return "--resume needs the path of a status log";
    if (given.report && given.report->empty())
        return "--report needs a path";
    if (given.afterWait && !given.report)
        return "--after-wait needs --report: it tells the report how long to ask";
    // Units programmed at once share the status port and are told apart by
    // the address their verdict comes from.
    if (options.anySender && options.jobs > 1)
        return "--any-sender takes one unit at a time; leave out --jobs";
    return std::nullopt;
}

}  // namespace

int runMultiple(const CommandSpec& command, const std::vector<std::string>& args,
                CliContext& context) {
    CommonOptions common{engine::Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common, command);
    MultipleOptions options;
    GivenOptions given;
    if (!readMultipleArguments(reader, context, options, given))
        return kExitSuccess;
    if (reader.error())
        return usageError(context, *reader.error(), command);
    if (const auto mismatch = optionsMismatch(options, given))
        return usageError(context, *mismatch, command);

    if (!given.log)
        options.logPath = defaultLogPath(options.listPath);
    options.resumeLog = given.resume;
    options.reportPath = given.report;
    options.json = common.json;
    options.endpoints = common.endpoints;
    return runMultipleBatch(options, context);
}

}  // namespace cli
