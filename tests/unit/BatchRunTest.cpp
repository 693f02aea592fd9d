// The batch from list to log with a fake programming step: what is logged,
// when the batch pauses, goes on or ends, and how file failures are handled.
#include "engine/Timing.h"
#include "fleet/BatchRun.h"
#include "tests/support/OneByOneBatch.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <map>

using namespace std::string_literals;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// One ordered trace of what the batch did, so pauses can be placed between units.
struct Trace {
    std::vector<std::string> events;
};

class TracingOperator : public testing_support::RecordingOperator {
public:
    explicit TracingOperator(Trace& trace) : trace_(trace) {}
    void setUnitCounter(const std::string& text) override {
        RecordingOperator::setUnitCounter(text);
        trace_.events.push_back("counter " + text);
    }
    engine::BoxAnswer messageBox(const std::string& text, engine::BoxStyle style) override {
        trace_.events.push_back("box " + std::string(testing_support::iconName(style.icon)) + " " +
                                text);
        return RecordingOperator::messageBox(text, style);
    }

private:
    Trace& trace_;
};

class TracingSleeper final : public platform::Sleeper {
public:
    explicit TracingSleeper(Trace& trace) : trace_(trace) {}
    void sleepFor(std::chrono::milliseconds duration) override {
        trace_.events.push_back("sleep " + std::to_string(duration.count()));
    }

private:
    Trace& trace_;
};

const std::string kImage = "/firmware/release 7/unit.WQ1";
const std::string kHeader = "File Name: " + kImage + "\r\nDate: 03/07/04, Time: 09:05\r\n";

struct BatchRunTest : ::testing::Test {
    TempDir dir;
    Trace trace;
    TracingOperator op{trace};
    testing_support::RecordingWindow window;
    TracingSleeper sleeper{trace};
    std::map<std::string, engine::ProgramResult> results;  // by target; programmed otherwise
    std::vector<std::string> programmed;
    std::vector<std::string> logsClosed;
    std::function<void(const std::string&)> duringUnit;
    bool stop = false;
    int stopQuestions = 0;

    std::string listPath() const { return dir.file("units.txt").string(); }
    std::string logPath() const { return dir.file("Status.txt").string(); }
    std::string log() const { return readFile(logPath()); }

    testing_support::BatchTestHooks hooks() {
        testing_support::BatchTestHooks hooks;
        hooks.programUnit = [this](const std::string& target) {
            programmed.push_back(target);
            trace.events.push_back("program " + target);
            if (duringUnit)
                duringUnit(target);
            const auto found = results.find(target);
            return found == results.end() ? engine::ResultProgrammed : found->second;
        };
        hooks.stopRequested = [this] {
            ++stopQuestions;
            return stop;
        };
        hooks.localTime = [] {
            std::tm time{};
            time.tm_year = 104;  // 2004
            time.tm_mon = 2;
            time.tm_mday = 7;
            time.tm_hour = 9;
            time.tm_min = 5;
            time.tm_sec = 59;
            return time;
        };
        hooks.logClosed = [this](const std::string& path) { logsClosed.push_back(path); };
        hooks.window = &window;
        return hooks;
    }

    fleet::BatchOutcome run(const std::string& list, const std::string& log = {}) {
        writeFile(listPath(), list);
        return testing_support::runOneByOneBatch(
            {kImage, listPath(), log.empty() ? logPath() : log}, op, sleeper, hooks());
    }

    void TearDown() override {
        if (IsSkipped())
            return;
        EXPECT_EQ(window.waitCursorBegins, 1);
        EXPECT_EQ(window.waitCursorDepth, 0);
    }
};

using Events = std::vector<std::string>;

}  // namespace

TEST_F(BatchRunTest, AUnitThatRejectsTheImageIsLoggedAndTheBatchGoesOnWithoutAPause) {
    results["B"] = engine::ResultVerifyError;
    const fleet::BatchOutcome outcome = run("A\r\nB\r\nC\r\n");

    EXPECT_EQ(log(), kHeader +
                         "IP: A Successfully Programmed\r\n"
                         "IP: B Verify Error\r\n"
                         "IP: C Successfully Programmed\r\n"
                         "3 Units Updated\r\n");
    EXPECT_EQ(trace.events,
              (Events{"counter 1 of 3", "program A", "sleep 4000", "counter 2 of 3", "program B",
                      "counter 3 of 3", "program C", "sleep 4000",
                      "box exclamation 3 Units Updated\n2 programmed, 1 failed, 0 unconfirmed"}));
    EXPECT_EQ(outcome.end, fleet::BatchEnd::EndOfList);
    EXPECT_EQ(outcome.total, 3u);
    ASSERT_EQ(outcome.units.size(), 3u);
    EXPECT_EQ(outcome.units[1].target, "B");
    EXPECT_EQ(outcome.units[1].result, engine::ResultVerifyError);
    EXPECT_EQ(outcome.unitsUpdated, 3u);
    EXPECT_EQ(outcome.logPath, logPath());
    EXPECT_EQ(logsClosed, (Events{logPath()}));
    // Each unit starts from an empty progress bar.
    EXPECT_EQ(op.positions, (std::vector<std::uint64_t>{0, 0, 0}));
}

TEST_F(BatchRunTest, AFailureOnThisHostEndsTheBatchAfterItsLineWithoutASummary) {
    results["B"] = engine::ResultSocketError;
    const fleet::BatchOutcome outcome = run("A\r\nB\r\nC\r\n");

    EXPECT_EQ(log(), kHeader +
                         "IP: A Successfully Programmed\r\n"
                         "IP: B Socket Error\r\n");
    EXPECT_EQ(programmed, (Events{"A", "B"}));
    EXPECT_EQ(op.counters, (Events{"1 of 3", "2 of 3"}));
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(outcome.end, fleet::BatchEnd::UnitFailure);
    EXPECT_FALSE(outcome.summaryReached());
    EXPECT_EQ(outcome.units.size(), 2u);
    // The log is still handed on for the operator to read.
    EXPECT_EQ(logsClosed, (Events{logPath()}));
}

TEST_F(BatchRunTest, EveryResultHasItsLineAndItsNextStep) {
    struct Row {
        std::int32_t result;
        std::string line;
        bool pause;
        bool goesOn;
    };
    const std::vector<Row> table = {
        {0, "Successfully Programmed", true, true},
        {-1, "Status Unconfirmed", true, true},
        {-7, "Status Unconfirmed", true, true},
        {1, "Socket Error", false, false},
        {2, "Printer Port Error", false, false},
        {3, "File Not Found", false, false},
        {4, "Failed to Program (Error #4)", false, false},
        {99, "Failed to Program (Error #99)", false, false},
        {100, "Failed to Program (Error #100)", false, true},
        {101, "File Too Large", false, true},
        {102, "Verify Error", false, true},
        {103, "Incorrect Model Number", false, true},
        {355, "Failed to Program (Error #355)", false, true},
        {2147483647, "Failed to Program (Error #2147483647)", false, true},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.result);
        trace.events.clear();
        programmed.clear();
        results = {{"10.1.1.1", engine::ProgramResult(row.result)}};
        run("10.1.1.1\r\nqueue two");
        EXPECT_EQ(
            readFile(logPath()).substr(kHeader.size()),
            "IP: 10.1.1.1 " + row.line + "\r\n" +
                (row.goesOn ? "IP: queue two Successfully Programmed\r\n2 Units Updated\r\n" : ""));
        EXPECT_EQ(trace.events.size() > 2 && trace.events[2] == "sleep 4000", row.pause);
        EXPECT_EQ(programmed.size(), row.goesOn ? 2u : 1u);
        window.waitCursorBegins = 1;  // one per run; the fixture checks the last
    }
}

TEST_F(BatchRunTest, AStopRequestLetsTheUnitInProgressFinishAndStartsNoOther) {
    duringUnit = [this](const std::string& target) {
        if (target == "B")
            stop = true;
    };
    const fleet::BatchOutcome outcome = run("A\r\nB\r\nC\r\nD\r\n");

    EXPECT_EQ(log(), kHeader +
                         "IP: A Successfully Programmed\r\n"
                         "IP: B Successfully Programmed\r\n"
                         "2 Units Updated\r\n");
    // The programmed unit still gets its pause; the stop is seen only when the
    // next record has been read.
    EXPECT_EQ(trace.events,
              (Events{"counter 1 of 4", "program A", "sleep 4000", "counter 2 of 4", "program B",
                      "sleep 4000",
                      "box information 2 Units Updated\n2 programmed, 0 failed, 0 unconfirmed"}));
    EXPECT_EQ(stopQuestions, 3);
    EXPECT_EQ(outcome.end, fleet::BatchEnd::StopRequested);
    EXPECT_EQ(outcome.unitsUpdated, 2u);
    EXPECT_EQ(logsClosed.size(), 1u);
}

TEST_F(BatchRunTest, AStopRequestBeforeTheFirstUnitGivesAnEmptySummary) {
    stop = true;
    const fleet::BatchOutcome outcome = run("A\r\n");
    EXPECT_EQ(log(), kHeader + "0 Units Updated\r\n");
    EXPECT_TRUE(programmed.empty());
    EXPECT_EQ(outcome.end, fleet::BatchEnd::StopRequested);
}

struct EmptyList : BatchRunTest, ::testing::WithParamInterface<std::string> {};

TEST_P(EmptyList, EndsWithASummaryOfNone) {
    const fleet::BatchOutcome outcome = run(GetParam());
    EXPECT_EQ(log(), kHeader + "0 Units Updated\r\n");
    EXPECT_EQ(trace.events,
              (Events{"box information 0 Units Updated\n0 programmed, 0 failed, 0 unconfirmed"}));
    EXPECT_EQ(outcome.end, fleet::BatchEnd::EndOfList);
    EXPECT_EQ(outcome.unitsUpdated, 0u);
    EXPECT_EQ(stopQuestions, 0);
}

INSTANTIATE_TEST_SUITE_P(BatchRunTest, EmptyList, ::testing::Values(""s, "\r\n\r\n\n\r"s),
                         [](const auto& testCase) {
                             return testCase.param.empty() ? "Empty" : "BlankLinesOnly";
                         });

TEST_F(BatchRunTest, RecordsReachTheUnitAndTheLogVerbatimAndLongListsAreCountedWhole) {
    const std::string longTarget(300, 'q');
    const fleet::BatchOutcome outcome = run(" 10.0.0.1 \r\n" + longTarget + "\rone\ntwo\n");
    EXPECT_EQ(programmed, (Events{" 10.0.0.1 ", longTarget, "one", "two"}));
    EXPECT_EQ(log(), kHeader + "IP:  10.0.0.1  Successfully Programmed\r\n" + "IP: " + longTarget +
                         " Successfully Programmed\r\n" +
                         "IP: one Successfully Programmed\r\nIP: two Successfully Programmed\r\n"
                         "4 Units Updated\r\n");
    EXPECT_EQ(outcome.total, 4u);

    // More than 500 records: the counter's total covers every one of them.
    std::string list;
    for (int i = 1; i <= 510; ++i)
        list += "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "\r\n";
    programmed.clear();
    const fleet::BatchOutcome many = run(list);
    EXPECT_EQ(many.total, 510u);
    EXPECT_EQ(programmed.size(), 510u);
    EXPECT_EQ(op.counters.back(), "510 of 510");
    EXPECT_EQ(many.unitsUpdated, 510u);
    window.waitCursorBegins = 1;
}

TEST_F(BatchRunTest, TheLogNamesTheImageWholeAndEachDateFieldWithTwoDigits) {
    const std::string longImage = "/" + std::string(700, 'i') + "/fw.WQ1";
    writeFile(listPath(), "");
    testing_support::BatchTestHooks withClock = hooks();
    withClock.localTime = [] {
        std::tm time{};
        time.tm_year = 200;  // 2100
        time.tm_mon = 11;
        time.tm_mday = 31;
        time.tm_hour = 23;
        time.tm_min = 0;
        return time;
    };
    testing_support::runOneByOneBatch({longImage, listPath(), logPath()}, op, sleeper, withClock);
    EXPECT_EQ(log(),
              "File Name: " + longImage + "\r\nDate: 12/31/00, Time: 23:00\r\n0 Units Updated\r\n");
}

// A typed name that does not exist, and a folder: the same quiet end, and
// the log from before (the record a later batch may resume from) is left
// as it was.
struct UnopenableList : BatchRunTest, ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(UnopenableList, LeavesThePreviousLogAndSaysNothing) {
    const auto& [name, error] = GetParam();
    std::filesystem::create_directory(dir.file("a folder"));
    writeFile(logPath(), "the previous log\r\n");
    const std::string list = dir.file(name).string();
    const fleet::BatchOutcome outcome =
        testing_support::runOneByOneBatch({kImage, list, logPath()}, op, sleeper, hooks());
    EXPECT_EQ(log(), "the previous log\r\n");
    EXPECT_TRUE(op.messages.empty());
    EXPECT_TRUE(programmed.empty());
    EXPECT_TRUE(logsClosed.empty());
    EXPECT_EQ(outcome.end, fleet::BatchEnd::ListNotOpened);
    EXPECT_EQ(outcome.listOpenError, error);
    EXPECT_FALSE(outcome.logWritten);
}

INSTANTIATE_TEST_SUITE_P(BatchRunTest, UnopenableList,
                         ::testing::Values(std::pair{"typed name.txt", ENOENT},
                                           std::pair{"a folder", EISDIR}),
                         [](const auto& testCase) {
                             return testCase.param.second == ENOENT ? "Missing" : "Folder";
                         });

// Where the log goes, relative to the test's folder ("" is the folder itself).
struct UncreatableLog : BatchRunTest, ::testing::WithParamInterface<const char*> {};

TEST_P(UncreatableLog, StopsTheBatchBeforeAnyUnit) {
    const std::string where = GetParam();
    if (where == "read-only/Status.txt") {
        // The superuser may write into a read-only folder; anyone else may not.
        if (::geteuid() == 0)
            GTEST_SKIP() << "the superuser may write into a read-only folder";
        std::filesystem::create_directory(dir.file("read-only"));
        std::filesystem::permissions(dir.file("read-only"), std::filesystem::perms::owner_read |
                                                                std::filesystem::perms::owner_exec);
    }
    const std::string log = where.empty() ? dir.path().string() : dir.file(where).string();
    const fleet::BatchOutcome outcome = run("A\r\n", log);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(op.messages[0].text.find(log), std::string::npos) << op.messages[0].text;
    EXPECT_TRUE(op.counters.empty());
    EXPECT_TRUE(programmed.empty());
    EXPECT_TRUE(logsClosed.empty());
    EXPECT_EQ(outcome.end, fleet::BatchEnd::FileError);
    EXPECT_EQ(outcome.error, op.messages[0].text);
}

INSTANTIATE_TEST_SUITE_P(BatchRunTest, UncreatableLog,
                         ::testing::Values("no such folder/Status.txt", "", "read-only/Status.txt"),
                         [](const auto& testCase) {
                             const std::string where = testCase.param;
                             return where.empty()     ? "AFolder"
                                    : where[0] == 'n' ? "MissingFolder"
                                                      : "ReadOnlyFolder";
                         });

TEST_F(BatchRunTest, ALogHeldByAnotherBatchIsNeitherEmptiedNorShared) {
    fleet::StatusLog other;
    ASSERT_TRUE(other.create(logPath()));
    ASSERT_TRUE(other.write("IP: Z Successfully Programmed\r\n"));
    const fleet::BatchOutcome outcome = run("A\r\n");
    EXPECT_EQ(outcome.end, fleet::BatchEnd::FileError);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_NE(op.messages[0].text.find(logPath()), std::string::npos);
    EXPECT_TRUE(programmed.empty());
    EXPECT_EQ(log(), "IP: Z Successfully Programmed\r\n");
}

TEST_F(BatchRunTest, ALogThatWouldReplaceTheListOrTheImageIsRefused) {
    writeFile(logPath(), "A\r\nB\r\n");
    const fleet::BatchOutcome onList = testing_support::runOneByOneBatch(
        {kImage, logPath(), dir.path().string() + "/./Status.txt"}, op, sleeper, hooks());
    EXPECT_EQ(onList.end, fleet::BatchEnd::FileError);
    EXPECT_EQ(log(), "A\r\nB\r\n");

    writeFile(dir.file("fw.WQ1"), "image bytes");
    const fleet::BatchOutcome onImage = testing_support::runOneByOneBatch(
        {dir.file("fw.WQ1").string(), logPath(), dir.file("fw.WQ1").string()}, op, sleeper,
        hooks());
    EXPECT_EQ(onImage.end, fleet::BatchEnd::FileError);
    EXPECT_EQ(readFile(dir.file("fw.WQ1")), "image bytes");
    EXPECT_EQ(op.messages.size(), 2u);
    EXPECT_TRUE(programmed.empty());
    window.waitCursorBegins = 1;
}

TEST_F(BatchRunTest, AFullDeviceAsTheLogStopsTheBatchAtItsFirstLine) {
    const fleet::BatchOutcome outcome = run("A\r\n", "/dev/full");
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(op.messages[0].text.find("/dev/full"), std::string::npos);
    EXPECT_TRUE(programmed.empty());
    EXPECT_TRUE(logsClosed.empty());
    EXPECT_EQ(outcome.end, fleet::BatchEnd::FileError);
}

TEST_F(BatchRunTest, ALogThatFillsUpMidBatchKeepsEveryLineWrittenBeforeAndEndsThere) {
    // The file size limit makes the second unit's line fail like a full disk.
    const std::string kept = kHeader + "IP: A Successfully Programmed\r\n";
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    writeFile(listPath(), "A\r\nB\r\nC\r\n");
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = kept.size();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const fleet::BatchOutcome outcome =
        testing_support::runOneByOneBatch({kImage, listPath(), logPath()}, op, sleeper, hooks());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);

    EXPECT_EQ(log(), kept);
    EXPECT_EQ(programmed, (Events{"A", "B"}));
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(op.messages[0].text.find(logPath()), std::string::npos);
    EXPECT_EQ(outcome.end, fleet::BatchEnd::FileError);
    EXPECT_FALSE(outcome.summaryReached());
    EXPECT_TRUE(logsClosed.empty());
}

// The bad record comes last, so only a count of the whole list finds it.
struct NoList : BatchRunTest, ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(NoList, IsRefusedWhileCountingBeforeAnyUnitOrFile) {
    const auto& [list, reason] = GetParam();
    writeFile(logPath(), "the previous log\r\n");
    const fleet::BatchOutcome outcome = run(list);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_EQ(op.messages[0].text.rfind(
                  "The list file " + listPath() + " is not a list of targets: it " + reason, 0),
              0u)
        << op.messages[0].text;
    EXPECT_TRUE(programmed.empty());
    EXPECT_EQ(log(), "the previous log\r\n") << "the log was touched before the list was checked";
    EXPECT_EQ(outcome.end, fleet::BatchEnd::FileError);
    EXPECT_TRUE(logsClosed.empty());
}

INSTANTIATE_TEST_SUITE_P(
    BatchRunTest, NoList,
    ::testing::Values(std::pair{"10.0.0.1\r\n10.0.0.2\r\n" + std::string(1025, 'x'),
                                "has a line longer than 1024 bytes"s},
                      std::pair{"10.0.0.1\r\n10.0.0.2\r\nq\0ueue\r\n"s, "holds a NUL byte"s}),
    [](const auto& testCase) {
        return testCase.param.second == "holds a NUL byte" ? "NulByte" : "LongLine";
    });

TEST_F(BatchRunTest, AListThatCannotBeReadStopsTheBatchWithAMessageNamingIt) {
    // The process's own memory opens as a file, and its first page cannot be
    // read: a real read error.
    writeFile(logPath(), "the previous log\r\n");
    const fleet::BatchOutcome outcome = testing_support::runOneByOneBatch(
        {kImage, "/proc/self/mem", logPath()}, op, sleeper, hooks());
    EXPECT_EQ(log(), "the previous log\r\n") << "the log was touched before the list was read";
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(op.messages[0].text.find("Could not read the list file /proc/self/mem"),
              std::string::npos)
        << op.messages[0].text;
    EXPECT_TRUE(programmed.empty());
    EXPECT_EQ(outcome.end, fleet::BatchEnd::FileError);
}
