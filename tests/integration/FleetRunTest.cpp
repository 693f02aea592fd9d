// `fwprog multiple` options for fleets that must finish the job: retries,
// a longer verdict wait, resuming from a log, a failure limit, canary units
// and the report. Each runs against simulated units, in-process with scaled
// time, one unit after the other and several at a time.
#include "cli/CliContext.h"
#include "platform/Sha256.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

// One batch mode: "1" is the batch one unit after the other, "3" three at a time.
struct FleetRun : ::testing::TestWithParam<const char*>, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.01};
    // The report's tests ask units who they are within a few scaled seconds:
    // time runs slower for them, so a busy machine cannot make a prompt
    // answer look late.
    testing_support::ScaledSleeper slowerSleeper{0.05};
    platform::Sleeper* pace = &sleeper;
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupts{0};
    std::string image = testing_support::makeImage(12 * 1460 + 5);

    FleetRun() {
        writeFile(dir.file("fw.bin"), image);
        // Written well before any batch here begins, as a real image is: a
        // status log proves its units only for an image older than the log.
        std::filesystem::last_write_time(dir.file("fw.bin"),
                                         std::filesystem::file_time_type::clock::now() - 1h);
    }

    std::string imagePath() const { return dir.file("fw.bin").string(); }
    std::string listPath() const { return dir.file("units.txt").string(); }
    std::string logPath() const { return dir.file("Status.txt").string(); }
    std::string log() const { return readFile(logPath()); }
    bool oneByOne() const { return std::string(GetParam()) == "1"; }

    void start(const std::vector<sim::UnitSettings>& units) {
        writeFile(listPath(), listOf(units));
        ASSERT_TRUE(startSimulator(units));
    }

    int fwprog(std::vector<std::string> extra = {}) {
        out.str({});
        err.str({});
        cli::CliContext context{out, err, in, false, false, *pace, spooler};
        context.streamTimeouts.refusedRetryPause = 30ms;
        context.interrupts = &interrupts;
        std::vector<std::string> args = {"multiple", "--image", imagePath(), "--list",
                                         listPath(), "--jobs",  GetParam()};
        for (const auto& option : portOptions())
            args.push_back(option);
        for (auto& option : extra)
            args.push_back(std::move(option));
        return cli::runFwprog(args, context);
    }

    // Where in the simulator's events the nth (0-based) event of a kind for a unit stands.
    std::size_t eventIndex(const std::string& kind, const std::string& unit,
                           std::size_t nth = 0) const {
        const auto events = simulator->events();
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i].kind == kind && events[i].unit == unit && nth-- == 0)
                return i;
        return events.size();
    }

    static std::string line(const std::string& target, const char* outcome) {
        return "IP: " + target + " " + outcome + "\r\n";
    }
};

INSTANTIATE_TEST_SUITE_P(BothModes, FleetRun, ::testing::Values("1", "3"),
                         [](const auto& testCase) {
                             return std::string(testCase.param) == "1" ? "OneByOne" : "ThreeAtOnce";
                         });

}  // namespace

// --- retries ------------------------------------------------------------

TEST_P(FleetRun, AnUnconfirmedUnitIsTriedAgainWhileTheOthersGoOnAndLoggedOnce) {
    auto flaky = unit();
    flaky.failFirstImages = 2;  // no verdict for its first two images
    std::vector<sim::UnitSettings> units = {flaky, unit(), unit(), unit()};
    start(units);
    EXPECT_EQ(fwprog({"--retries", "2", "--retry-pause", "60", "--json"}), cli::kExitSuccess)
        << err.str();

    EXPECT_EQ(simulator->count("image", flaky.address), 3u);
    const std::string text = log();
    EXPECT_EQ(text.find(flaky.address), text.rfind(flaky.address)) << "one line a unit: " << text;
    EXPECT_NE(text.find(line(flaky.address, "Successfully Programmed")), std::string::npos);
    EXPECT_NE(text.find("4 Units Updated\r\n"), std::string::npos) << text;
    // The other units did not wait for the flaky one's pause: the next one
    // had its image before the flaky unit's second attempt.
    EXPECT_LT(eventIndex("image", units[1].address), eventIndex("header", flaky.address, 1));
    EXPECT_NE(err.str().find(flaky.address + ": Status Unconfirmed; trying again in 60 s "
                                             "(attempt 2 of 3)"),
              std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("\"target\": \"" + flaky.address + "\", \"result\": 0"),
              std::string::npos);
    EXPECT_NE(out.str().find("\"attempts\": 3"), std::string::npos) << out.str();
}

TEST_P(FleetRun, RetriesRunOutAndTheLastResultIsLogged) {
    auto flaky = unit();
    flaky.failFirstImages = 5;
    start({flaky, unit()});
    EXPECT_EQ(fwprog({"--retries", "1", "--retry-pause", "1"}), cli::kExitUnconfirmed);
    EXPECT_EQ(simulator->count("image", flaky.address), 2u);
    EXPECT_NE(log().find(line(flaky.address, "Status Unconfirmed")), std::string::npos);
    EXPECT_NE(log().find("2 Units Updated\r\n"), std::string::npos);
}

TEST_P(FleetRun, ASocketErrorIsTriedAgainAndEndsTheBatchOnlyOnTheLastAttempt) {
    // Starting up: its data port refuses for a second of real time, then takes
    // connections. The retry pause (3 s of real time here) outlasts it.
    auto starting = unit();
    starting.refuseFor = 1000ms;
    auto dead = unit();
    dead.refuse = true;
    auto other = unit();
    start({starting, dead, other});
    EXPECT_EQ(fwprog({"--retries", "1", "--retry-pause", "300"}), cli::kExitFailure);

    EXPECT_EQ(simulator->count("image", starting.address), 1u);
    EXPECT_EQ(simulator->count("image", other.address), 1u)
        << "a socket error with an attempt left must not end the batch";
    const std::string text = log();
    EXPECT_NE(text.find(line(starting.address, "Successfully Programmed")), std::string::npos)
        << text;
    // The unit that never takes a connection ends the batch after its last
    // attempt, without a summary.
    EXPECT_EQ(simulator->count("header", dead.address), 0u);
    EXPECT_NE(text.find(line(dead.address, "Socket Error")), std::string::npos) << text;
    EXPECT_EQ(text.find("Units Updated"), std::string::npos) << text;
}

class MalformedFleetOption : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(MalformedFleetOption, IsAUsageErrorThatTouchesNothing) {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper;
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    cli::CliContext context{out, err, in, false, false, sleeper, spooler};
    const std::string list = dir.file("units.txt").string();
    const std::vector<std::string>& extra = GetParam();
    std::vector<std::string> args = {"multiple", "--image", "fw", "--list", list};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(cli::runFwprog(args, context), cli::kExitUsage);
    // Said what the value must be, not merely refused as unknown.
    EXPECT_NE(err.str().find(extra[0] + " needs"), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Status.txt")));
}

INSTANTIATE_TEST_SUITE_P(FleetRunOptions, MalformedFleetOption,
                         ::testing::ValuesIn(std::vector<std::vector<std::string>>{
                             {"--retries", "-1"},
                             {"--retries", "101"},
                             {"--retry-pause", "1.2345"},
                             {"--retry-pause", "ten"},
                             {"--verdict-wait", "0"},
                             {"--verdict-wait", "90000"},
                             {"--max-failures", "0"},
                             {"--canary", "x"},
                             {"--resume", ""},
                             {"--report", ""},
                             {"--after-wait", "5"},  // without --report
                             {"--verdict-wait", ".5"},
                         }),
                         [](const auto& testCase) {
                             std::string name;
                             for (const std::string& arg : testCase.param) {
                                 for (const char c : arg) {
                                     if (std::isalnum(static_cast<unsigned char>(c)))
                                         name += c;
                                 }
                                 name += '_';
                             }
                             return name + std::to_string(testCase.index);
                         });

// --- verdict wait --------------------------------------------------------

TEST_P(FleetRun, ALongerVerdictWaitHearsAUnitThatTakesLongerThanTwentySeconds) {
    // The unit answers 1.5 s of real time after its image: far beyond the
    // default 20 s of scaled time, well within 300 s of it.
    const auto slow = unit(0, 1500ms);
    start({slow});
    EXPECT_EQ(fwprog(), cli::kExitUnconfirmed);
    EXPECT_NE(log().find(line(slow.address, "Status Unconfirmed")), std::string::npos);

    EXPECT_EQ(fwprog({"--verdict-wait", "300"}), cli::kExitSuccess) << err.str();
    EXPECT_NE(log().find(line(slow.address, "Successfully Programmed")), std::string::npos)
        << log();
}

// --- resume ---------------------------------------------------------------

TEST_P(FleetRun, ResumeSkipsWhatTheLogItReplacesHasProgrammedWithThisImage) {
    const std::vector<sim::UnitSettings> units = {unit(), unit(), unit(), unit(), unit()};
    start(units);
    // An earlier batch with the same image: the first unit programmed, the
    // others with every other outcome; one line is that of the first unit's
    // address in another list entry, which stays programmed once only.
    writeFile(logPath(), "File Name: " + imagePath() + "\r\nDate: 01/02/27, Time: 10:00\r\n" +
                             line(units[0].address, "Successfully Programmed") +
                             line(units[1].address, "Verify Error") +
                             line(units[2].address, "Status Unconfirmed") +
                             line(units[3].address, "Socket Error"));
    EXPECT_EQ(fwprog({"--resume", logPath(), "--json"}), cli::kExitSuccess) << err.str();

    EXPECT_EQ(simulator->count("connection", units[0].address), 0u)
        << "the skipped unit was contacted";
    for (std::size_t i = 1; i < units.size(); ++i)
        EXPECT_EQ(simulator->count("image", units[i].address), 1u) << i;
    EXPECT_NE(err.str().find("fwprog: skipped " + units[0].address +
                             ": Successfully Programmed in " + logPath()),
              std::string::npos)
        << err.str();
    // The new log holds every unit of the list, the skipped one first, as it was.
    const std::string text = log();
    const std::string skippedLine = line(units[0].address, "Successfully Programmed");
    EXPECT_EQ(text.substr(text.find("IP: "), skippedLine.size()), skippedLine);
    for (std::size_t i = 1; i < units.size(); ++i)
        EXPECT_NE(text.find(line(units[i].address, "Successfully Programmed")), std::string::npos);
    EXPECT_NE(text.find("4 Units Updated\r\n"), std::string::npos) << text;
    EXPECT_NE(out.str().find("\"skipped\": [\"" + units[0].address + "\"]"), std::string::npos);

    // Resumed again from that log, nothing is left to do.
    EXPECT_EQ(fwprog({"--resume", logPath()}), cli::kExitSuccess);
    EXPECT_EQ(simulator->count("image"), 4u);
    EXPECT_NE(log().find("0 Units Updated\r\n"), std::string::npos);
}

TEST_P(FleetRun, ResumeFromALogOfAnotherImageSkipsNothing) {
    const auto a = unit();
    start({a});
    const std::string earlier = dir.file("earlier.txt").string();
    writeFile(earlier, "File Name: " + dir.file("old.bin").string() +
                           "\r\nDate: 01/02/27, Time: "
                           "10:00\r\n" +
                           line(a.address, "Successfully Programmed"));
    EXPECT_EQ(fwprog({"--resume", earlier}), cli::kExitSuccess);
    EXPECT_EQ(simulator->count("image", a.address), 1u);
    EXPECT_NE(err.str().find("was written for the image " + dir.file("old.bin").string()),
              std::string::npos)
        << err.str();
}

TEST_P(FleetRun, AResumeLogThatCannotBeReadStopsBeforeAnyFileChanges) {
    const auto a = unit();
    start({a});
    writeFile(logPath(), "the previous log\r\n");
    for (const std::string& bad : {logPath(), dir.file("missing.txt").string()}) {
        EXPECT_EQ(fwprog({"--resume", bad}), cli::kExitFailure) << bad;
        EXPECT_NE(err.str().find("cannot resume from the status log " + bad), std::string::npos)
            << err.str();
    }
    EXPECT_EQ(log(), "the previous log\r\n");
    EXPECT_EQ(simulator->count("connection"), 0u);
}

// --- failure limit --------------------------------------------------------

TEST_P(FleetRun, TheFailureLimitStopsTheBatchAsAnInterruptWouldAndFails) {
    // The second and third units refuse the image; the rest take a moment to
    // flash, so that several are in flight when the limit is reached.
    std::vector<sim::UnitSettings> units;
    for (int i = 0; i < 9; ++i)
        units.push_back(unit(i == 1 || i == 2 ? 2 : 0, i == 1 || i == 2 ? 0ms : 50ms));
    start(units);
    EXPECT_EQ(fwprog({"--max-failures", "2", "--json"}), cli::kExitFailure) << err.str();

    const std::size_t images = simulator->count("image");
    EXPECT_LT(images, units.size()) << "the batch went on past its failure limit";
    EXPECT_EQ(simulator->count("image", units[8].address), 0u);
    // Every unit started was finished and logged, and the summary counts them.
    const std::string text = log();
    EXPECT_NE(text.find(std::to_string(images) + " Units Updated\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(line(units[2].address, "Verify Error")), std::string::npos);
    EXPECT_NE(text.find(line(units[0].address, "Successfully Programmed")), std::string::npos)
        << "the unit in flight when the limit was reached finishes";
    EXPECT_NE(err.str().find("fwprog: stopped after 2 units failed (--max-failures 2)"),
              std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("\"stopped\": true"), std::string::npos);
    EXPECT_NE(out.str().find("\"stop_reason\": \"max-failures\""), std::string::npos);
}

// --- canary ---------------------------------------------------------------

TEST_P(FleetRun, AFailingCanaryStopsTheBatchThere) {
    const std::vector<sim::UnitSettings> units = {unit(), unit(3), unit(), unit(), unit()};
    start(units);
    EXPECT_EQ(fwprog({"--canary", "2", "--json"}), cli::kExitFailure) << err.str();
    EXPECT_EQ(simulator->count("image"), 2u);
    EXPECT_EQ(simulator->count("connection", units[2].address), 0u);
    EXPECT_NE(log().find(line(units[1].address, "Incorrect Model Number") + "2 Units Updated\r\n"),
              std::string::npos)
        << log();
    EXPECT_NE(err.str().find("a canary unit failed (--canary 2); 3 of 5 units were not started"),
              std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("\"stop_reason\": \"canary\""), std::string::npos);
}

TEST_P(FleetRun, CanariesGoOneByOneAndThenTheRestAsAsked) {
    std::vector<sim::UnitSettings> units;
    for (int i = 0; i < 6; ++i)
        units.push_back(unit(0, 30ms));
    start(units);
    EXPECT_EQ(fwprog({"--canary", "2"}), cli::kExitSuccess) << err.str();
    EXPECT_EQ(simulator->count("image"), 6u);
    // The second canary starts only after the first one's verdict, and the
    // rest only after the second one's.
    EXPECT_LT(eventIndex("status", units[0].address), eventIndex("header", units[1].address));
    for (std::size_t i = 2; i < units.size(); ++i)
        EXPECT_LT(eventIndex("status", units[1].address), eventIndex("header", units[i].address));
    // After the canaries, several at a time when asked: the fourth unit's
    // entry header comes before the third unit's verdict.
    if (!oneByOne()) {
        EXPECT_LT(eventIndex("header", units[3].address), eventIndex("status", units[2].address));
    }
}

// --- report -----------------------------------------------------------------

namespace {

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");

std::vector<nlohmann::ordered_json> jsonLines(const std::string& text) {
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream stream(text);
    for (std::string one; std::getline(stream, one);)
        lines.push_back(nlohmann::ordered_json::parse(one));
    return lines;
}

}  // namespace

TEST_P(FleetRun, TheReportProvesWhatEachUnitRanBeforeAndAfterFieldByField) {
    auto updated = unit();
    updated.product = "Unit 1.00";
    updated.productAfter = "Unit 2.00";
    updated.rebootTime = 200ms;  // real time: it answers nothing while it restarts
    updated.failFirstImages = 1;
    auto rejecting = unit(2);
    rejecting.product = "Old Unit 0.90";
    rejecting.productAfter = "never";
    start({updated, rejecting});
    pace = &slowerSleeper;
    const std::string report = dir.file("rollout.jsonl").string();
    EXPECT_EQ(fwprog({"--report", report, "--retries", "1", "--retry-pause", "1"}),
              cli::kExitFailure)
        << err.str();

    const auto lines = jsonLines(readFile(report));
    ASSERT_EQ(lines.size(), 2u) << readFile(report);
    const nlohmann::ordered_json& first =
        lines[0]["target"] == updated.address ? lines[0] : lines[1];
    const nlohmann::ordered_json& second =
        lines[0]["target"] == updated.address ? lines[1] : lines[0];
    const std::string sha = platform::sha256Hex(image);
    const std::vector<std::string> keys = {
        "target",   "interface",       "source_address",    "product_before", "product_after",
        "image",    "image_bytes",     "image_sha256",      "result",         "result_text",
        "attempts", "bytes_delivered", "foreign_datagrams", "start",          "end",
        "skipped"};
    std::vector<std::string> seen;
    for (const auto& item : first.items())
        seen.push_back(item.key());
    EXPECT_EQ(seen, keys);

    EXPECT_EQ(first["product_before"], "Unit 1.00");
    EXPECT_EQ(first["product_after"], "Unit 2.00");
    EXPECT_EQ(first["image"], imagePath());
    EXPECT_EQ(first["image_bytes"], image.size());
    EXPECT_EQ(first["image_sha256"], sha);
    // The image the unit received is the one the report names.
    const auto received = simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "image" && e.unit == updated.address; }, 1s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->field("sha256"), sha);
    EXPECT_EQ(first["result"], 0);
    EXPECT_EQ(first["result_text"], "Successfully Programmed");
    EXPECT_EQ(first["attempts"], 2);
    EXPECT_EQ(first["bytes_delivered"], image.size());
    EXPECT_EQ(first["foreign_datagrams"], 0);
    EXPECT_EQ(first["skipped"], false);
    // The host's end of the unit's data connections, as the unit saw it.
    const auto header = simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "header" && e.unit == updated.address; }, 1s);
    ASSERT_TRUE(header);
    EXPECT_EQ(first["source_address"],
              header->field("peer").substr(0, header->field("peer").find(':')));
    EXPECT_EQ(first["interface"], "lo") << "the loopback interface holds that address";
    for (const char* time : {"start", "end"})
        EXPECT_TRUE(std::regex_match(first[time].get<std::string>(), kIsoTime)) << first[time];
    EXPECT_LE(first["start"].get<std::string>(), first["end"].get<std::string>());

    // A unit that refused the image keeps its firmware, and says so.
    EXPECT_EQ(second["product_before"], "Old Unit 0.90");
    EXPECT_EQ(second["product_after"], "Old Unit 0.90");
    EXPECT_EQ(second["result"], 102);
    EXPECT_EQ(second["result_text"], "Verify Error");
    EXPECT_EQ(second["attempts"], 1) << "the unit's own verdict is not tried again";
}

TEST_P(FleetRun, AReportAsCsvHasAHeaderRowAndAnAfterProductOnlyWhenTheUnitAnsweredInTime) {
    auto rebooting = unit();
    rebooting.product = "Unit, \"one\"";
    rebooting.productAfter = "Unit 2.00";
    rebooting.rebootTime = 3000ms;  // longer than the after wait below, in real time
    start({rebooting});
    pace = &slowerSleeper;
    const std::string report = dir.file("rollout.CSV").string();
    EXPECT_EQ(fwprog({"--report", report, "--after-wait", "5"}), cli::kExitSuccess) << err.str();
    const std::string text = readFile(report);
    const std::size_t headerEnd = text.find("\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    EXPECT_EQ(text.substr(0, headerEnd),
              "target,interface,source_address,product_before,product_after,image,image_bytes,"
              "image_sha256,result,result_text,attempts,bytes_delivered,foreign_datagrams,start,"
              "end,skipped");
    const std::string row = text.substr(headerEnd + 2);
    // The product with a comma and quotes is one quoted field; the unit was
    // still restarting when the wait ended, so its after product is empty.
    EXPECT_NE(row.find(rebooting.address + ","), std::string::npos) << row;
    EXPECT_NE(row.find(",\"Unit, \"\"one\"\"\",," + imagePath() + "," +
                       std::to_string(image.size()) + "," + platform::sha256Hex(image) +
                       ",0,Successfully Programmed,1," + std::to_string(image.size()) + ",0,"),
              std::string::npos)
        << row;
    EXPECT_EQ(row.substr(row.size() - 8), ",false\r\n");
}

TEST_P(FleetRun, SkippedUnitsAreInTheReportAndAReportInPlaceOfTheLogIsRefused) {
    const auto a = unit(), b = unit();
    start({a, b});
    writeFile(logPath(), "File Name: " + imagePath() + "\r\nDate: 01/02/27, Time: 10:00\r\n" +
                             line(a.address, "Successfully Programmed"));
    EXPECT_EQ(fwprog({"--report", logPath()}), cli::kExitFailure);
    EXPECT_NE(err.str().find("is the status log"), std::string::npos) << err.str();
    EXPECT_EQ(simulator->count("connection"), 0u);

    const std::string report = dir.file("report.jsonl").string();
    EXPECT_EQ(fwprog({"--resume", logPath(), "--report", report}), cli::kExitSuccess) << err.str();
    const auto lines = jsonLines(readFile(report));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["target"], a.address);
    EXPECT_EQ(lines[0]["skipped"], true);
    EXPECT_EQ(lines[0]["attempts"], 0);
    EXPECT_EQ(lines[0]["result"], 0);
    EXPECT_EQ(lines[1]["target"], b.address);
    EXPECT_EQ(lines[1]["skipped"], false);
}
