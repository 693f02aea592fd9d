#include "cli/ArgumentReader.h"
#include "cli/BatchReport.h"
#include "cli/Commands.h"
#include "cli/ParallelBatch.h"
#include "cli/RunReport.h"
#include "cli/TerminalOperator.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

namespace cli {

namespace {

const char* const kMultipleUsage =
    "usage: fwprog multiple --image FILE --list FILE [--log PATH] [--jobs N] [--any-sender]\n"
    "                       [--json]\n"
    "  Programs every unit named in the list file (one dotted IPv4 address or print queue\n"
    "  per line) one after the other, and writes the status log \"Status.txt\" in the list\n"
    "  file's folder, or at PATH. The first interrupt (Ctrl-C) lets the unit in progress\n"
    "  finish and ends the batch with its summary; a second ends the program at once.\n"
    "  --jobs N programs up to N units at once (default 1: one after the other).\n"
    "  Only a status datagram from the unit's own address counts as its verdict;\n"
    "  --any-sender takes it from any address (one unit at a time only).\n"
    "  Exit status: 0 every unit programmed, 3 some unconfirmed and none failed,\n"
    "  1 a unit failed or the batch did not reach its summary, 2 usage error,\n"
    "  130 stopped by an interrupt before the end of the list.\n";

// The terminal operator of a batch: the unit counter becomes the progress
// line's prefix, and on a terminal each unit's start and outcome get a line.
class BatchOperator final : public TerminalOperator {
public:
    BatchOperator(std::ostream& err, bool terminal)
        : TerminalOperator(err, terminal), err_(err), terminal_(terminal) {}

    void setUnitCounter(const std::string& text) override { counter_ = text; }

    void unitStarting(const std::string& target) {
        setLabel(counter_);
        if (terminal_) {
            err_ << "[" << counter_ << "] " << target << '\n';
            err_.flush();
        }
    }
    void unitFinished(const std::string& target, ProgramResult result) {
        finishProgressLine();
        if (terminal_) {
            err_ << "[" << counter_ << "] " << unitOutcomeText(target, result) << '\n';
            err_.flush();
        }
    }

private:
    std::ostream& err_;
    bool terminal_;
    std::string counter_;
};

// Digits only, at least 1; a count beyond what any list could use is refused
// rather than wrapped round.
std::optional<std::size_t> parseJobs(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const std::size_t value = std::stoul(text);
    if (value < 1)
        return std::nullopt;
    return value;
}

std::string defaultLogPath(const std::string& listPath) {
    // The folder the list is in, never the list itself: "units/" names the
    // folder units, whose folder is where its log would go.
    std::string list = listPath;
    while (list.size() > 1 && list.back() == '/')
        list.pop_back();
    const std::filesystem::path folder = std::filesystem::path(list).parent_path();
    return (folder.empty() ? std::filesystem::path("Status.txt") : folder / "Status.txt").string();
}

}  // namespace

int runMultiple(const std::vector<std::string>& args, CliContext& context) {
    CommonOptions common{Endpoints::fromEnvironment()};
    ArgumentReader reader(args, common);
    std::string image, list, log, jobsText;
    bool haveImage = false, haveList = false, haveLog = false, anySender = false;
    std::size_t jobs = 1;
    while (!reader.atEnd()) {
        if (reader.helpOrVersion(context, kMultipleUsage))
            return kExitSuccess;
        if (reader.flag("--any-sender")) {
            anySender = true;
        } else if (reader.option("--image", image)) {
            haveImage = true;
        } else if (reader.option("--list", list)) {
            haveList = true;
        } else if (reader.option("--log", log)) {
            haveLog = true;
        } else if (reader.option("--jobs", jobsText)) {
            const std::optional<std::size_t> parsed = parseJobs(jobsText);
            if (parsed)
                jobs = *parsed;
            else
                reader.fail("--jobs needs a whole number of at least 1: " + jobsText);
        } else if (!reader.common()) {
            reader.fail("unknown option: " + reader.current());
        }
    }
    if (reader.error())
        return usageError(context, *reader.error(), kMultipleUsage);
    if (!haveImage || !haveList)
        return usageError(context, haveImage ? "--list is required" : "--image is required",
                          kMultipleUsage);
    if (haveLog && log.empty())
        return usageError(context, "--log needs a path", kMultipleUsage);
    // Units programmed at once share the status port and are told apart by
    // the address their verdict comes from.
    if (anySender && jobs > 1)
        return usageError(context, "--any-sender takes one unit at a time; leave out --jobs",
                          kMultipleUsage);

    if (jobs > 1) {
        MultipleOptions options;
        options.imagePath = image;
        options.listPath = list;
        options.logPath = haveLog ? log : defaultLogPath(list);
        options.json = common.json;
        options.jobs = jobs;
        options.endpoints = common.endpoints;
        return runParallelBatch(options, context);
    }

    // Held for the whole batch: bound before the first unit is contacted, and
    // no other program can take it between two units.
    platform::DatagramSocket statusPort;
    if (!bindStatusPort(context, common.endpoints.statusPort, statusPort, common.json))
        return kExitFailure;

    BatchOperator op(context.err, context.stderrIsTerminal && !common.json);
    // No stop check: a batch's stop lets the unit in progress finish.
    UnitProgrammer programmer(op, context.sleeper, context.spooler,
                              EngineOptions{common.endpoints, context.streamTimeouts, {}});
    programmer.setStatusInboxFactory([&](const std::string& unit) {
        return std::make_unique<SocketStatusInbox>(statusPort,
                                                   StatusSenders::unitAt(unit, anySender));
    });

    std::vector<std::string> unitFields;
    std::uint64_t foreign = 0;
    BatchHooks hooks;
    hooks.programUnit = [&](const std::string& target) {
        op.unitStarting(target);
        const ProgramResult result = programmer.ProgramUnit(image, target);
        op.unitFinished(target, result);
        const UnitRun& run = programmer.lastRun();
        reportRun(context.err, run, image, target + ": ");
        reportQuietStatusPort(context.err, run, common.endpoints.statusPort, target + ": ");
        unitFields.push_back(runJsonFields(run));
        foreign += run.foreignDatagrams;
        return result;
    };
    hooks.stopRequested = [&] { return context.stopRequested(); };
    hooks.showSummary = printSummary(context, common.json);

    const BatchOutcome outcome =
        runBatch({image, list, haveLog ? log : defaultLogPath(list)}, op, context.sleeper, hooks);

    reportListNotOpened(context, outcome);
    reportForeignDatagrams(context.err, foreign);
    printBatchOutcome(context, outcome, common.json,
                      ", \"foreign_datagrams\": " + std::to_string(foreign), unitFields);
    return exitStatusForBatch(outcome);
}

}  // namespace cli
