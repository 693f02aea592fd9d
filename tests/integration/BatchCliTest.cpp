// `fwprog multiple` against simulated units on loopback: in-process with
// scaled time, and once as the real executable with the real schedule and a
// real interrupt.
#include "cli/CliContext.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;

extern char** environ;

namespace {

struct BatchCliTest : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupts{0};
    std::string image = testing_support::makeImage(20 * 1460 + 3);

    BatchCliTest() { writeFile(dir.file("fw.WQ1"), image); }

    std::string imagePath() const { return dir.file("fw.WQ1").string(); }
    std::string listPath() const { return dir.file("units.txt").string(); }
    std::string logPath() const { return dir.file("Status.txt").string(); }

    void start(std::vector<sim::UnitSettings> units,
               sim::UnitSimulator::EventCallback callback = nullptr) {
        writeFile(listPath(), listOf(units));
        ASSERT_TRUE(startSimulator(std::move(units), std::move(callback)));
    }

    int fwprog(std::vector<std::string> extra = {}) {
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = 30ms;
        context.streamTimeouts.sendStallLimit = 2s;
        context.interrupts = &interrupts;
        std::vector<std::string> args = {"multiple", "--image", imagePath(), "--list", listPath()};
        for (const auto& option : portOptions())
            args.push_back(option);
        for (auto& option : extra)
            args.push_back(std::move(option));
        return cli::runFwprog(args, context);
    }

    static std::string header(const std::string& image, const std::string& log) {
        // The date line depends on the clock; everything else is fixed.
        static const std::regex date("Date: \\d\\d/\\d\\d/\\d\\d, Time: \\d\\d:\\d\\d\r\n");
        const std::string first = "File Name: " + image + "\r\n";
        EXPECT_EQ(log.compare(0, first.size(), first), 0) << log;
        const std::size_t dateEnd = log.find("\r\n", first.size());
        const std::string dateLine = log.substr(first.size(), dateEnd + 2 - first.size());
        EXPECT_TRUE(std::regex_match(dateLine, date)) << dateLine;
        return first + dateLine;
    }
};

}  // namespace

TEST_F(BatchCliTest, AVerifyErrorInTheMiddleIsLoggedAndTheBatchEndsWithItsSummary) {
    auto a = unit(), b = unit(2), c = unit();
    start({a, b, c});
    const int status = fwprog();

    const std::string log = readFile(logPath());
    EXPECT_EQ(log, header(imagePath(), log) + "IP: " + a.address +
                       " Successfully Programmed\r\n"
                       "IP: " +
                       b.address + " Verify Error\r\nIP: " + c.address +
                       " Successfully Programmed\r\n3 Units Updated\r\n");
    EXPECT_EQ(out.str(),
              "3 Units Updated\n2 programmed, 1 failed, 0 unconfirmed\nlog: " + logPath() + "\n");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(status, cli::kExitFailure);
    EXPECT_EQ(simulator->imagesReceived(), 3u);

    // The pause follows the two programmed units and not the rejected one.
    const auto asked = sleeper.requested();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 4000ms), 2);
}

// The summary's count takes every unit tried; the line under it and --json
// tell how many were programmed, one after the other and several at once.
struct BatchBreakdown : BatchCliTest, ::testing::WithParamInterface<const char*> {};

TEST_P(BatchBreakdown, AVerifyErrorAmongThreeIsCountedAsFailed) {
    auto a = unit(), b = unit(2), c = unit(0, 50ms);
    start({a, b, c});
    EXPECT_EQ(fwprog({"--jobs", GetParam()}), cli::kExitFailure) << err.str();
    EXPECT_EQ(out.str(),
              "3 Units Updated\n2 programmed, 1 failed, 0 unconfirmed\nlog: " + logPath() + "\n");
    const std::string log = readFile(logPath());
    EXPECT_EQ(log.substr(log.size() - 17), "3 Units Updated\r\n") << "the log keeps its last line";

    out.str("");
    EXPECT_EQ(fwprog({"--jobs", GetParam(), "--json"}), cli::kExitFailure) << err.str();
    const auto json = nlohmann::json::parse(out.str());
    EXPECT_EQ(json["summary"], 3);
    EXPECT_EQ(json["programmed"], 2);
    EXPECT_EQ(json["failed"], 1);
    EXPECT_EQ(json["unconfirmed"], 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, BatchBreakdown, ::testing::Values("1", "3"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             return std::string(param.param) == "1" ? "OneByOne" : "ThreeAtOnce";
                         });

TEST_F(BatchCliTest, AListWithLineFeedsAloneProgramsEveryUnitOnIt) {
    auto a = unit(), b = unit(), c = unit();
    start({a, b, c});
    writeFile(listPath(), a.address + "\n" + b.address + "\n" + c.address + "\n");
    EXPECT_EQ(fwprog(), cli::kExitSuccess) << err.str();
    const std::string log = readFile(logPath());
    EXPECT_EQ(log, header(imagePath(), log) + "IP: " + a.address + " Successfully Programmed\r\n" +
                       "IP: " + b.address + " Successfully Programmed\r\n" + "IP: " + c.address +
                       " Successfully Programmed\r\n3 Units Updated\r\n");
    for (const auto& u : {a, b, c})
        EXPECT_EQ(simulator->count("image", u.address), 1u) << u.address;
}

TEST_F(BatchCliTest, ExitStatusTellsAllProgrammedFromSomeUnconfirmed) {
    auto a = unit(), b = unit();
    b.statusShape = sim::StatusShape::None;
    start({a, b});

    EXPECT_EQ(fwprog({"--json"}), cli::kExitUnconfirmed);
    const std::string whole = ", \"bytes_delivered\": " + std::to_string(image.size()) +
                              ", \"image_bytes\": " + std::to_string(image.size());
    EXPECT_EQ(
        out.str(),
        "{\"log\": \"" + logPath() + "\", \"units\": [{\"target\": \"" + a.address +
            "\", \"result\": 0" + whole +
            ", \"status_datagrams\": 1, \"stale_datagrams\": 0, \"attempts\": 1}, {\"target\": \"" +
            b.address + "\", \"result\": -1" + whole +
            ", \"status_datagrams\": 0, \"stale_datagrams\": 0, \"attempts\": 1}], \"summary\": 2, "
            "\"programmed\": 1, \"failed\": 0, \"unconfirmed\": 1, \"stopped\": false, "
            "\"attempted\": 2, \"total\": 2, "
            "\"foreign_datagrams\": 0, \"status_datagrams_dropped\": 0, \"skipped\": [], "
            "\"stop_reason\": null}\n");
    // Nothing at all reached the status port while b's verdict was awaited.
    EXPECT_NE(err.str().find("fwprog: " + b.address + ": no status datagram reached UDP port " +
                             std::to_string(simOptions.statusPort) + " on this computer"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(err.str().find(a.address + ": no status datagram"), std::string::npos);

    // Only the first unit this time, its log placed by --log.
    out.str("");
    writeFile(listPath(), a.address);
    const std::string elsewhere = dir.file("logs/batch one.txt").string();
    std::filesystem::create_directory(dir.file("logs"));
    EXPECT_EQ(fwprog({"--log", elsewhere}), cli::kExitSuccess);
    EXPECT_EQ(out.str(),
              "1 Units Updated\n1 programmed, 0 failed, 0 unconfirmed\nlog: " + elsewhere + "\n");
    const std::string log = readFile(elsewhere);
    EXPECT_EQ(log, header(imagePath(), log) + "IP: " + a.address +
                       " Successfully Programmed\r\n1 Units Updated\r\n");
}

TEST_F(BatchCliTest, AFailureOnThisHostEndsTheBatchWithoutSummaryAndFails) {
    auto a = unit(), b = unit(), c = unit();
    b.refuse = true;
    start({a, b, c});
    EXPECT_EQ(fwprog({"--json"}), cli::kExitFailure);
    const std::string size = std::to_string(image.size());
    EXPECT_EQ(
        out.str(),
        "{\"log\": \"" + logPath() + "\", \"units\": [{\"target\": \"" + a.address +
            "\", \"result\": 0, \"bytes_delivered\": " + size + ", \"image_bytes\": " + size +
            ", \"status_datagrams\": 1, \"stale_datagrams\": 0, \"attempts\": 1}, {\"target\": \"" +
            b.address + "\", \"result\": 1, \"bytes_delivered\": 0, \"image_bytes\": " + size +
            ", \"status_datagrams\": null, \"stale_datagrams\": 0, \"attempts\": 1}], \"summary\": "
            "null, "
            "\"programmed\": 1, \"failed\": 1, \"unconfirmed\": 0, \"stopped\": false, "
            "\"attempted\": 2, \"total\": 3, "
            "\"foreign_datagrams\": 0, \"status_datagrams_dropped\": 0, \"skipped\": [], "
            "\"stop_reason\": null}\n");
    // The engine's own message for the refused connection reaches stderr.
    EXPECT_NE(err.str().find("fwprog: "), std::string::npos);
    EXPECT_NE(err.str().find(b.address), std::string::npos);
    EXPECT_EQ(simulator->count("connection", c.address), 0u);
    const std::string log = readFile(logPath());
    EXPECT_EQ(log.substr(log.size() - 2 - b.address.size() - 17),
              "IP: " + b.address + " Socket Error\r\n");
}

TEST_F(BatchCliTest, TheFirstInterruptStopsTheBatchAfterTheUnitInProgress) {
    auto a = unit(), b = unit(), c = unit();
    const std::string first = a.address;
    start({a, b, c}, [this, first](const sim::Event& event) {
        if (event.kind == "header" && event.unit == first)
            interrupts.fetch_add(1);
    });
    // Two units never tried: no success for a script, though the log and the
    // summary are those of any batch that ended.
    EXPECT_EQ(fwprog(), cli::kExitInterrupted);
    EXPECT_EQ(out.str(),
              "1 Units Updated\n1 programmed, 0 failed, 0 unconfirmed\nlog: " + logPath() + "\n");
    const std::string log = readFile(logPath());
    EXPECT_EQ(log, header(imagePath(), log) + "IP: " + a.address +
                       " Successfully Programmed\r\n1 Units Updated\r\n");
    EXPECT_EQ(simulator->count("connection", b.address), 0u);

    interrupts = 0;
    out.str("");
    EXPECT_EQ(fwprog({"--json"}), cli::kExitInterrupted);
    EXPECT_EQ(
        out.str(),
        "{\"log\": \"" + logPath() + "\", \"units\": [{\"target\": \"" + a.address +
            "\", \"result\": 0, \"bytes_delivered\": " + std::to_string(image.size()) +
            ", \"image_bytes\": " + std::to_string(image.size()) +
            ", \"status_datagrams\": 1, \"stale_datagrams\": 0, \"attempts\": 1}], \"summary\": 1, "
            "\"programmed\": 1, \"failed\": 0, \"unconfirmed\": 0, \"stopped\": true, "
            "\"attempted\": 1, \"total\": 3, \"foreign_datagrams\": 0, "
            "\"status_datagrams_dropped\": 0, \"skipped\": [], \"stop_reason\": \"interrupt\"}\n");
}

TEST_F(BatchCliTest, AStopDuringTheLastUnitIsNoStopBeforeTheEnd) {
    auto a = unit(), b = unit();
    const std::string last = b.address;
    start({a, b}, [this, last](const sim::Event& event) {
        if (event.kind == "header" && event.unit == last)
            interrupts.fetch_add(1);
    });
    EXPECT_EQ(fwprog({"--json"}), cli::kExitSuccess);
    EXPECT_NE(out.str().find("\"summary\": 2, \"programmed\": 2, \"failed\": 0, \"unconfirmed\": "
                             "0, \"stopped\": false, \"attempted\": 2, "
                             "\"total\": 2, \"foreign_datagrams\": 0, "
                             "\"status_datagrams_dropped\": 0, \"skipped\": [], "
                             "\"stop_reason\": null}"),
              std::string::npos)
        << out.str();
}

TEST_F(BatchCliTest, UsageErrorsAndAListThatCannotBeOpened) {
    cli::CliContext context{out, err, in, false, false, sleeper, spooler};
    EXPECT_EQ(cli::runFwprog({"multiple", "--image", imagePath()}, context), cli::kExitUsage);
    EXPECT_NE(err.str().find("--list is required"), std::string::npos);
    EXPECT_EQ(cli::runFwprog({"multiple", "--list", listPath(), "--bogus"}, context),
              cli::kExitUsage);
    EXPECT_EQ(cli::runFwprog({"multiple", "--help"}, context), cli::kExitSuccess);
    EXPECT_NE(out.str().find("usage: fwprog multiple"), std::string::npos);

    out.str("");
    err.str("");
    EXPECT_EQ(cli::runFwprog(
                  {"multiple", "--image", imagePath(), "--list", dir.file("missing.txt").string()},
                  context),
              cli::kExitFailure);
    // No unit was contacted, so no log is written and none is pointed at.
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find(dir.file("missing.txt").string()), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(logPath()));
}

// The real executable, the real schedule (about ten seconds) and a real SIGINT.
TEST(BatchCliProcess, AnInterruptDuringTheFirstUnitEndsTheBatchWithItsSummary) {
    const std::string binary = std::string(FWPROG_BINARY_DIR) + "/cli/fwprog";
    ASSERT_TRUE(std::filesystem::exists(binary)) << binary << " is not built";

    testing_support::TempDir dir;
    testing_support::SimulatedUnits units;
    const auto a = units.unit(), b = units.unit();
    ASSERT_TRUE(units.startSimulator({a, b}));
    sim::UnitSimulator& simulator = *units.simulator;

    writeFile(dir.file("fw.WQ1"), testing_support::makeImage(10 * 1460));
    writeFile(dir.file("units.txt"), units.listOf({a, b}));
    const std::string log = dir.file("Status.txt").string();

    std::vector<std::string> args = {binary,    "multiple",
                                     "--image", dir.file("fw.WQ1").string(),
                                     "--list",  dir.file("units.txt").string()};
    for (const auto& option : units.portOptions())
        args.push_back(option);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string outPath = dir.file("stdout").string();
    const std::string errPath = dir.file("stderr").string();
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    const auto started = std::chrono::steady_clock::now();
    const auto header = simulator.waitFor(
        [&](const sim::Event& e) { return e.kind == "header" && e.unit == a.address; }, 10s);
    EXPECT_TRUE(header.has_value());
    ::kill(pid, SIGINT);

    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - started < 25s)
        std::this_thread::sleep_for(50ms);
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "fwprog did not end after the interrupt";
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 130) << readFile(errPath);
    EXPECT_EQ(readFile(outPath),
              "1 Units Updated\n1 programmed, 0 failed, 0 unconfirmed\nlog: " + log + "\n");
    const std::string written = readFile(log);
    EXPECT_TRUE(std::regex_match(
        written, std::regex("File Name: " + dir.file("fw.WQ1").string() +
                            "\r\nDate: \\d\\d/\\d\\d/\\d\\d, Time: \\d\\d:\\d\\d\r\n"
                            "IP: " +
                            std::regex_replace(a.address, std::regex("\\."), "\\.") +
                            " Successfully Programmed\r\n1 Units Updated\r\n")))
        << written;
    EXPECT_EQ(simulator.count("connection", b.address), 0u);
    EXPECT_EQ(simulator.imagesReceived(), 1u);
}

// 0.0.0.0 in a list is a failed record, never a connection: it would reach the
// unit at 127.0.0.1. A socket error ends the batch, as for any other.
TEST_F(BatchCliTest, ThisComputersAddressInTheListIsASocketErrorAndNoConnection) {
    auto a = unit(), local = unit();
    local.address = "127.0.0.1";
    start({a, local});
    writeFile(listPath(), a.address + "\r\n0.0.0.0\r\n");
    EXPECT_EQ(fwprog(), cli::kExitFailure);
    const std::string log = readFile(logPath());
    EXPECT_EQ(log, header(imagePath(), log) + "IP: " + a.address +
                       " Successfully Programmed\r\nIP: 0.0.0.0 Socket Error\r\n");
    EXPECT_NE(err.str().find("Error: IP Address 0.0.0.0\nNot the address of one unit: 0.0.0.0 "
                             "stands for this computer"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(simulator->count("header", local.address), 0u);
    EXPECT_EQ(simulator->count("image", local.address), 0u);
    EXPECT_EQ(simulator->count("image", a.address), 1u);
}
