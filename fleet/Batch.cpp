#include "fleet/Batch.h"

#include "fleet/ResumeLog.h"
#include "fleet/SharedStatusPort.h"
#include "fleet/StatusLog.h"
#include "fleet/UnitReport.h"
#include "platform/LocalClock.h"
#include "platform/Sha256.h"

#include <atomic>
#include <map>
#include <mutex>
#include <tuple>

namespace fleet {

namespace {

// "10 s", "2.5 s".
std::string secondsText(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0')
            fraction.pop_back();
        text += "." + fraction;
    }
    return text + " s";
}

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

const char* stopReasonName(ParallelScheduler::StopReason reason) {
    switch (reason) {
        case ParallelScheduler::StopReason::None:
            return nullptr;
        case ParallelScheduler::StopReason::StopRequested:
            return "interrupt";
        case ParallelScheduler::StopReason::FailureLimit:
            return "max-failures";
        case ParallelScheduler::StopReason::CanaryFailed:
            return "canary";
    }
    return nullptr;
}

// The summary and the log's closing go to the front end.
BatchHooks sessionHooks(BatchObserver& observer, const BatchSettings& settings) {
    BatchHooks hooks;
    hooks.localTime = settings.localTime;
    if (observer.showsSummary())
        hooks.showSummary = [&observer](const std::string& text) { observer.showSummary(text); };
    hooks.logClosed = [&observer](const std::string& path) { observer.logClosed(path); };
    return hooks;
}

}  // namespace

std::unique_ptr<engine::Operator> BatchObserver::operatorFor(const ParallelScheduler::Unit&) {
    return nullptr;
}

const char* BatchResult::stopReason() const {
    if (outcome.logFailed)
        return "log";
    if (reportFailed)
        return "report";
    return schedule.stopped ? stopReasonName(schedule.reason) : nullptr;
}

bool BatchResult::failedByRule() const {
    return outcome.logFailed || reportFailed ||
           (schedule.stopped && schedule.reason != ParallelScheduler::StopReason::StopRequested);
}

// One run of a batch: its steps in the order they happen, and what they share.
// The scheduler calls programUnit from several threads at once when jobs > 1;
// everything it touches of this object is either read-only by then or guarded
// by recordsMutex_. Every other scheduler callback comes one at a time.
class Batch::Run {
public:
    Run(const BatchSettings& settings, BatchServices& services, BatchObserver& observer)
        : settings_(settings),
          services_(services),
          observer_(observer),
          oneByOne_(settings.jobs <= 1),
          sharedPort_(settings.engine.endpoints.statusPort),
          session_(observer.fileOperator(), sessionHooks(observer, settings)) {}

    BatchResult run() {
        engine::NoWindow noWindow;
        engine::WindowHooks* window = observer_.window();
        const engine::WaitCursor cursor(window ? *window : noWindow);
        if (!readResumeLog() || !openStatusPort())
            return std::move(result_);
        if (!readList()) {
            result_.start = BatchResult::Start::ListNotOpened;
            result_.outcome = session_.takeOutcome();
            return std::move(result_);
        }
        if (!reportMayBeWritten())
            return std::move(result_);
        planSkips();
        if (!session_.createLog()) {
            result_.start = BatchResult::Start::LogNotCreated;
            result_.outcome = session_.takeOutcome();
            return std::move(result_);
        }
        if (!openReport())
            return std::move(result_);
        result_.start = BatchResult::Start::Ran;
        skipUnitsDone();
        runUnits();
        closeRecords();
        return std::move(result_);
    }

private:
    // What the report needs of one unit, gathered over its attempts.
    struct UnitRecord {
        std::chrono::system_clock::time_point start;
        std::chrono::system_clock::time_point end;
        std::string productBefore;  // from its first attempt: what it ran before this batch
        std::uint64_t foreign = 0;  // over every attempt
        engine::UnitRun last;
    };

    // The log to go on from is read whole before anything is written: it may
    // be the very Status.txt this batch replaces.
    bool readResumeLog() {
        if (!settings_.resumeLog)
            return true;
        std::string error;
        if (fleet::readResumeLog(*settings_.resumeLog, resume_, &error))
            return true;
        observer_.refused(error + "; no unit was contacted");
        return false;
    }

    // The status port is bound before any unit is contacted: one socket lent
    // to each run in turn, or one port shared by every unit in flight whose
    // verdicts are told apart by the address they come from.
    bool openStatusPort() {
        const std::uint16_t port = settings_.engine.endpoints.statusPort;
        if (oneByOne_) {
            port_ = services_.lentStatusPort;
            if (!port_) {
                port_ = &ownPort_;
                if (!ownPort_.create(port)) {
                    observer_.statusPortUnavailable(port, ownPort_.lastError());
                    return false;
                }
            }
            portCountsDrops_ = port_->setCountDrops(true);
            return true;
        }
        if (int error = 0; !sharedPort_.start(&error, settings_.jobs)) {
            observer_.statusPortUnavailable(port, error);
            return false;
        }
        interfaces_ =
            std::make_shared<const platform::Ipv4Interfaces>(platform::listIpv4Interfaces());
        return true;
    }

    // The list first: a list that is missing, no regular file or no text list
    // ends the batch before any file changes. Its records are read ahead.
    bool readList() {
        if (!session_.openList(settings_.files))
            return false;
        for (std::string record;;) {
            const BatchSession::Next next = session_.nextRecord(record);
            if (next == BatchSession::Next::Error)
                return false;
            if (next != BatchSession::Next::Record)
                return true;
            records_.push_back(record);
        }
    }

    void refuseReport(const platform::OutputFailure& failure) {
        const std::string& path = *settings_.reportPath;
        observer_.refused(failure.kind == platform::OutputFailure::Kind::InUse
                              ? "the report " + path +
                                    " is in use by another batch on this computer; no unit "
                                    "was contacted"
                              : "cannot create the report " + path + ": " +
                                    withoutLineEnd(failure.reason()) + "; no unit was contacted");
    }

    // The report is checked before the log is created, and opened after it,
    // so that a report that cannot be written ends the batch before any file
    // changes or any unit is touched.
    bool reportMayBeWritten() {
        if (!settings_.reportPath)
            return true;
        const std::string& path = *settings_.reportPath;
        const BatchRequest& files = settings_.files;
        for (const auto& [other, what] :
             {std::pair{files.logPath, "status log"}, std::pair{files.listPath, "list file"},
              std::pair{files.imagePath, "firmware image"},
              std::pair{settings_.resumeLog.value_or(std::string()),
                        "status log to resume from"}}) {
            if (samePlace(path, other)) {
                observer_.refused("the report " + path + " is the " + what +
                                  "; give the report a name of its own. No unit was contacted");
                return false;
            }
        }
        if (const platform::OutputFailure refused = platform::checkOutputPath(path)) {
            refuseReport(refused);
            return false;
        }
        return true;
    }

    // The image as the batch found it, for the report and for the proof that
    // a unit an earlier batch programmed holds the same bytes (a run that
    // cannot read it reports that itself); then the units an earlier batch
    // programmed with these very bytes, which are left alone.
    void planSkips() {
        image_ = {settings_.files.imagePath, false, {}, 0};
        if (settings_.reportPath || settings_.resumeLog) {
            const platform::FileDigest digest = platform::sha256OfFile(image_.path);
            if (digest.ok)
                image_ = {image_.path, true, digest.hex, digest.bytes};
        }
        if (!settings_.resumeLog)
            return;
        plan_ = planResume(resume_, *settings_.resumeLog, image_);
        if (!plan_.notSkippedReason.empty())
            observer_.note(*settings_.resumeLog + ": " + plan_.notSkippedReason +
                           (plan_.skip.empty() ? "; no unit is skipped" : ""));
    }

    bool openReport() {
        if (!settings_.reportPath)
            return true;
        report_ = std::make_unique<UnitReport>();
        if (report_->open(*settings_.reportPath))
            return true;
        refuseReport(report_->failure());
        return false;
    }

    ReportEntry entryFor(const std::string& target) const {
        ReportEntry entry;
        entry.target = target;
        entry.imagePath = settings_.files.imagePath;
        entry.imageBytes = image_.bytes;
        entry.imageSha256 = image_.sha256;
        return entry;
    }

    // When the report cannot be written, no further unit starts; the units in
    // flight finish and go into the records that still work.
    void writeReport(const ReportEntry& entry, bool syncNow = true) {
        if (!report_ || reportFailed_)
            return;
        if (!(syncNow ? report_->write(entry) : report_->append(entry))) {
            reportFailed_ = true;
            observer_.note("could not write to the report " + *settings_.reportPath + ": " +
                           withoutLineEnd(report_->failure().reason()) +
                           "; no further unit is started");
        }
    }

    // A record's target as the resume record spells it.
    std::string resumeKey(const std::string& record) const {
        switch (resume_.kind) {
            case ResumeLog::Kind::StatusLog:
                break;
            case ResumeLog::Kind::JsonReport:
                return reportJsonText(record);
            case ResumeLog::Kind::CsvReport:
                return reportCsvCellText(record);
        }
        return record;
    }

    // The skipped units' lines go into this log first, so it is a record of
    // the whole list even if this batch ends early.
    void skipUnitsDone() {
        for (const std::string& record : records_) {
            auto done = plan_.skip.empty() ? plan_.skip.end() : plan_.skip.find(resumeKey(record));
            if (done == plan_.skip.end() || done->second == 0) {
                targets_.push_back(record);
                continue;
            }
            --done->second;
            observer_.note("skipped " + record + ": Successfully Programmed in " +
                           *settings_.resumeLog);
            if (!session_.unitSkipped(record)) {
                logFailed_ = true;
                return;
            }
            ReportEntry entry = entryFor(record);
            entry.skipped = true;
            writeReport(entry);
        }
    }

    engine::EngineOptions engineOptions() const {
        engine::EngineOptions options = settings_.engine;
        options.identifyUnit = report_ != nullptr;
        return options;
    }

    // One attempt at one unit: one unit at a time with the batch's operator
    // and the status port lent to each run in turn; several at once each with
    // an operator of its own and the shared port's inbox for its address.
    engine::ProgramResult programUnit(const ParallelScheduler::Unit& unit) {
        if (unit.attempt == 1) {
            std::lock_guard lock(recordsMutex_);
            unitRecords_[unit.number].start = std::chrono::system_clock::now();
        }
        engine::Operator& batchOp = observer_.batchOperator();
        std::unique_ptr<engine::Operator> ownOp;
        if (oneByOne_) {
            batchOp.setProgressPosition(0);
            batchOp.setUnitCounter(unitCounterText(unit.number, targets_.size()));
            observer_.unitStarted(unit);
        } else {
            ownOp = observer_.operatorFor(unit);
        }
        engine::Operator& op = ownOp ? *ownOp : batchOp;
        engine::UnitRun run;
        const engine::ProgramResult result = attempt(unit, op, run);
        observer_.attemptEnded(unit, op, result, run);
        std::lock_guard lock(recordsMutex_);
        UnitRecord& record = unitRecords_[unit.number];
        if (unit.attempt == 1)
            record.productBefore = run.productBefore;
        record.foreign += run.foreignDatagrams;
        record.last = run;
        record.end = std::chrono::system_clock::now();
        return result;
    }

    engine::ProgramResult attempt(const ParallelScheduler::Unit& unit, engine::Operator& op,
                                  engine::UnitRun& run) {
        if (services_.programUnit)
            return services_.programUnit(unit, op, run);
        if (oneByOne_) {
            auto [result, lastRun] = engine::programWithLentPort(
                op, services_.sleeper, services_.spooler, engineOptions(), *port_,
                settings_.anySender, settings_.files.imagePath, unit.target);
            run = std::move(lastRun);
            return result;
        }
        engine::UnitProgrammer programmer(op, services_.sleeper, services_.spooler,
                                          engineOptions());
        programmer.setStatusInboxFactory(
            [this](const std::string& target) { return sharedPort_.inboxFor(target); });
        programmer.setKnownInterfaces(interfaces_);
        const engine::ProgramResult result =
            programmer.ProgramUnit(settings_.files.imagePath, unit.target);
        run = programmer.lastRun();
        return result;
    }

    // A unit's final result: its log line, its report line and its place in
    // the outcome. A unit finished after the log failed is still counted as
    // tried and goes into the report.
    void unitFinished(const ParallelScheduler::Unit& unit, engine::ProgramResult result) {
        UnitRecord record;
        {
            std::lock_guard lock(recordsMutex_);
            record = unitRecords_[unit.number];
            unitRecords_.erase(unit.number);
        }
        foreign_ += record.foreign;
        observer_.unitFinished(unit, result);
        result_.units.push_back({unit.target, result, unit.attempt, record.last});
        if (!session_.unitDone(unit.target, result))
            logFailed_ = true;
        ReportEntry entry = entryFor(unit.target);
        entry.interfaceName = record.last.interfaceName;
        entry.sourceAddress = record.last.sourceAddress;
        entry.productBefore = record.productBefore;
        entry.productAfter = record.last.productAfter;
        entry.result = result;
        entry.attempts = unit.attempt;
        entry.bytesDelivered = record.last.bytesDelivered;
        entry.foreignDatagrams = record.foreign;
        entry.start = platform::isoLocalTime(record.start);
        entry.end = platform::isoLocalTime(record.end);
        writeReport(entry, /*syncNow=*/false);
    }

    // The lines of the units that ended together reach the disk before any
    // further unit starts: one flush for them all rather than one a line
    // (thousands of units end within a second of each other).
    void syncRecords() {
        if (!logFailed_ && !session_.syncLog())
            logFailed_ = true;
        if (report_ && !reportFailed_ && !report_->sync()) {
            reportFailed_ = true;
            observer_.note("could not write to the report " + *settings_.reportPath + ": " +
                           withoutLineEnd(report_->failure().reason()) +
                           "; no further unit is started");
        }
    }

    ParallelScheduler::Callbacks callbacks() {
        ParallelScheduler::Callbacks callbacks;
        callbacks.stopRequested = [this] {
            return logFailed_.load() || reportFailed_.load() || observer_.stopRequested();
        };
        callbacks.slotsLimited = [this](std::size_t slots, std::size_t asked,
                                        const std::string& why) {
            observer_.note("only " + std::to_string(slots) + " of the " + std::to_string(asked) +
                           " units asked for can be programmed at once: " + why +
                           "; the batch goes on " + std::to_string(slots) + " at a time");
        };
        if (!oneByOne_)
            callbacks.unitStarted = [this](const ParallelScheduler::Unit& unit) {
                observer_.unitStarted(unit);
            };
        callbacks.programUnit = [this](const ParallelScheduler::Unit& unit) {
            return programUnit(unit);
        };
        callbacks.attemptRetried = [this](const ParallelScheduler::Unit& unit,
                                          engine::ProgramResult result) {
            const ParallelScheduler::Policy& policy = settings_.policy;
            observer_.unitNote(unit, resultText(result) + "; trying again in " +
                                         secondsText(policy.retryPause) + " (attempt " +
                                         std::to_string(unit.attempt + 1) + " of " +
                                         std::to_string(policy.retries + 1) + ")");
        };
        callbacks.unitFinished = [this](const ParallelScheduler::Unit& unit,
                                        engine::ProgramResult result) {
            unitFinished(unit, result);
        };
        callbacks.endsTold = [this] { syncRecords(); };
        return callbacks;
    }

    void runUnits() {
        ParallelScheduler scheduler(settings_.jobs, services_.sleeper, settings_.policy);
        if (!logFailed_) {
            observer_.unitsToProgram(targets_.size());
            result_.schedule = scheduler.run(targets_, callbacks());
        }
        observer_.unitsDone();
        sharedPort_.stop();
        if (oneByOne_) {
            result_.foreignDatagrams = foreign_;
            if (portCountsDrops_) {
                port_->refreshDropCount();
                result_.droppedDatagrams = port_->droppedDatagrams();
            }
        } else {
            result_.foreignDatagrams = sharedPort_.foreignDatagrams();
            if (sharedPort_.countsDrops())
                result_.droppedDatagrams = sharedPort_.droppedDatagrams();
        }
    }

    // The log's summary or its end after a failure, the report's close, and
    // why the batch stopped before the end of its list when not by a stop
    // request (which says so itself).
    void closeRecords() {
        const ParallelScheduler::Outcome& schedule = result_.schedule;
        if (!logFailed_) {
            // A log that fails here has said so, and the outcome tells it.
            if (schedule.endedByFailure) {
                std::ignore = session_.endAfterFailure();
            } else {
                if (schedule.stopped)
                    session_.noteStopRequested();
                std::ignore = session_.summarise(schedule.attempted);
            }
        }
        if (report_ && !report_->close() && !reportFailed_) {
            reportFailed_ = true;
            observer_.note("could not write to the report " + *settings_.reportPath + ": " +
                           withoutLineEnd(report_->failure().reason()));
        }
        result_.reportFailed = reportFailed_;
        const std::size_t total = targets_.size();
        const std::string notStarted = std::to_string(total - schedule.attempted) + " of " +
                                       std::to_string(total) + " units were not started";
        if (schedule.stopped && schedule.reason == ParallelScheduler::StopReason::FailureLimit)
            observer_.note("stopped after " + std::to_string(schedule.failed) +
                           " units failed (--max-failures " +
                           std::to_string(settings_.policy.maxFailures) + "); " + notStarted);
        if (schedule.stopped && schedule.reason == ParallelScheduler::StopReason::CanaryFailed)
            observer_.note("a canary unit failed (--canary " +
                           std::to_string(settings_.policy.canary) + "); " + notStarted);
        result_.outcome = session_.takeOutcome();
    }

    const BatchSettings& settings_;
    BatchServices& services_;
    BatchObserver& observer_;
    const bool oneByOne_;

    platform::DatagramSocket ownPort_;
    platform::DatagramSocket* port_ = nullptr;  // one by one: the port lent to each run
    bool portCountsDrops_ = false;
    SharedStatusPort sharedPort_;  // several at once

    BatchSession session_;
    ResumeLog resume_;
    ResumeImage image_;
    ResumePlan plan_;
    std::vector<std::string> records_;  // the list's records
    std::vector<std::string> targets_;  // the records not skipped
    std::unique_ptr<UnitReport> report_;
    // Several units at once: listed once for the batch rather than once a unit.
    std::shared_ptr<const platform::Ipv4Interfaces> interfaces_;
    std::atomic<bool> logFailed_{false};
    std::atomic<bool> reportFailed_{false};

    std::mutex recordsMutex_;
    std::map<std::size_t, UnitRecord> unitRecords_;  // by unit number, until the unit is logged
    std::uint64_t foreign_ = 0;                      // one by one: over every unit's runs
    BatchResult result_;
};

Batch::Batch(BatchSettings settings, BatchServices services, BatchObserver& observer)
    : settings_(std::move(settings)), services_(std::move(services)), observer_(observer) {}

Batch::~Batch() = default;

BatchResult Batch::run() {
    Run run(settings_, services_, observer_);
    return run.run();
}

}  // namespace fleet
