// `fwprog multiple --jobs N` against simulated units on distinct loopback
// addresses, in-process with scaled time.
#include "cli/CliContext.h"
#include "platform/DatagramSocket.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::uniqueLoopbackAddress;
using testing_support::writeFile;

namespace {

struct ParallelBatch : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    // Verdicts come after real flash delays: the verdict wait must last a while.
    testing_support::ScaledSleeper sleeper{0.05};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupts{0};

    ParallelBatch() { writeFile(dir.file("fw.bin"), testing_support::makeImage(30 * 1460)); }

    void start(const std::vector<sim::UnitSettings>& units, const std::string& list,
               sim::UnitSimulator::EventCallback callback = {}) {
        writeFile(dir.file("units.txt"), list);
        ASSERT_TRUE(startSimulator(units, std::move(callback)));
    }

    int run(const std::string& jobs, bool json = false) {
        std::vector<std::string> args = {"multiple",
                                         "--image",
                                         dir.file("fw.bin").string(),
                                         "--list",
                                         dir.file("units.txt").string(),
                                         "--jobs",
                                         jobs};
        for (const auto& option : portOptions())
            args.push_back(option);
        if (json)
            args.push_back("--json");
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = 25ms;
        context.interrupts = &interrupts;
        return cli::runFwprog(args, context);
    }

    std::string log() const { return readFile(dir.file("Status.txt")); }
};

}  // namespace

TEST_F(ParallelBatch, VerdictsAnsweredInReverseOrderGoToTheirOwnUnits) {
    // The first unit answers last, the last one first.
    const std::vector<sim::UnitSettings> units = {unit(2, 600ms), unit(3, 300ms), unit(0, 0ms)};
    start(units, listOf(units));
    EXPECT_EQ(run("3"), 1);
    const std::string text = log();
    EXPECT_NE(text.find("IP: " + units[0].address + " Verify Error\r\n"), std::string::npos);
    EXPECT_NE(text.find("IP: " + units[1].address + " Incorrect Model Number\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("IP: " + units[2].address + " Successfully Programmed\r\n"),
              std::string::npos);
    // Lines stand in the order the units finished; the summary is last.
    EXPECT_LT(text.find(units[2].address), text.find(units[0].address));
    EXPECT_EQ(text.substr(text.size() - 17), "3 Units Updated\r\n");
    EXPECT_EQ(out.str(), "3 Units Updated\n1 programmed, 2 failed, 0 unconfirmed\nlog: " +
                             dir.file("Status.txt").string() + "\n");
    EXPECT_EQ(simulator->count("image"), 3u);
}

TEST_F(ParallelBatch, ForeignDatagramsAreIgnoredAndCounted) {
    const std::vector<sim::UnitSettings> units = {unit(0, 400ms), unit(0, 400ms)};
    start(units, listOf(units));
    std::atomic<bool> done{false};
    std::thread stranger([&] {
        platform::DatagramSocket socket;
        std::ignore = socket.create(0, uniqueLoopbackAddress());
        const char verifyError[4] = {2, 0, 0, 0};
        while (!done) {
            std::ignore = socket.sendTo("127.0.0.1", simOptions.statusPort, verifyError, 4);
            std::this_thread::sleep_for(5ms);
        }
    });
    const int status = run("2", true);
    done = true;
    stranger.join();
    EXPECT_EQ(status, 0) << "a stranger's verify error must not count for a unit";
    const std::string json = out.str();
    EXPECT_NE(json.find("\"summary\": 2"), std::string::npos) << json;
    EXPECT_EQ(json.find("\"foreign_datagrams\": 0"), std::string::npos) << json;
}

TEST_F(ParallelBatch, HostFailureLetsUnitsInFlightFinishAndEndsWithoutSummary) {
    auto refusing = unit();
    refusing.refuse = true;
    const std::vector<sim::UnitSettings> units = {unit(0, 300ms), refusing, unit(), unit()};
    start(units, listOf(units));
    EXPECT_EQ(run("2"), 1);
    const std::string text = log();
    EXPECT_NE(text.find("IP: " + refusing.address + " Socket Error\r\n"), std::string::npos);
    EXPECT_NE(text.find("IP: " + units[0].address + " Successfully Programmed\r\n"),
              std::string::npos)
        << "the unit in flight finishes and is logged";
    EXPECT_EQ(text.find("Units Updated"), std::string::npos);
    EXPECT_EQ(text.find(units[3].address), std::string::npos) << "no new unit after the failure";
    EXPECT_EQ(out.str(), "log: " + dir.file("Status.txt").string() + "\n");
}

TEST_F(ParallelBatch, StopRequestFinishesTheUnitsInFlightThenSummarises) {
    std::vector<sim::UnitSettings> units;
    for (int i = 0; i < 6; ++i)
        units.push_back(unit(0, 200ms));
    start(units, listOf(units), [&](const sim::Event& event) {
        if (event.kind == "header")
            interrupts = 1;
    });
    EXPECT_EQ(run("2", /*json=*/true), 130);
    // The units already taken when the stop came (one or both slots, as the
    // threads happened to start) finish; no further unit starts.
    const std::size_t images = simulator->count("image");
    EXPECT_GE(images, 1u);
    EXPECT_LE(images, 2u);
    EXPECT_NE(log().find(std::to_string(images) + " Units Updated\r\n"), std::string::npos)
        << log();
    const std::string n = std::to_string(images);
    EXPECT_NE(out.str().find("\"summary\": " + n + ", \"programmed\": " + n +
                             ", \"failed\": 0, \"unconfirmed\": 0, \"stopped\": true, "
                             "\"attempted\": " +
                             n + ", \"total\": 6, \"jobs\": 2"),
              std::string::npos)
        << out.str();
}

TEST_F(ParallelBatch, TheSameAddressTwiceIsProgrammedTwiceOneAfterTheOther) {
    const auto u = unit(0, 100ms);
    start({u}, u.address + "\r\n" + u.address + "\r\n");
    EXPECT_EQ(run("4"), 0);
    EXPECT_EQ(simulator->count("image", u.address), 2u);
    EXPECT_EQ(simulator->count("header", u.address), 2u);
    const std::string text = log();
    EXPECT_NE(text.find("2 Units Updated\r\n"), std::string::npos);
}
