// Whose status datagram counts as a unit's verdict: only the unit's own, in the
// window's engine and in every mode of fwprog; a second run on this computer
// is told at once that it cannot hear its units; a unit that keeps sending
// cannot hold up the drain.
#include "cli/CliContext.h"
#include "engine/UnitProgrammer.h"
#include "fleet/SharedStatusPort.h"
#include "sim/UnitSimulator.h"
#include "tests/support/DatagramFlood.h"
#include "tests/support/Eventually.h"
#include "tests/support/NoQueues.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;
using testing_support::DatagramFlood;
using testing_support::uniqueLoopbackAddress;

namespace {

using testing_support::PhaseHookOperator;

const std::string kZeros(4, '\0');

struct VerdictSender : ::testing::Test, testing_support::SimulatedUnits {
    engine::EngineOptions engine;
    PhaseHookOperator op;
    // The verdict wait lasts a second here, long enough for a flash delay.
    testing_support::ScaledSleeper sleeper{0.05};
    testing_support::NoQueues spooler;
    testing_support::TempDir dir;

    VerdictSender() {
        engine.endpoints = simulatedEndpoints();
        engine.stream.refusedRetryPause = 10ms;
        testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(20 * 1460));
    }
    std::string image() const { return dir.file("fw.bin").string(); }
};

// The fwprog commands in-process, two at a time if need be.
struct FwprogRun {
    std::ostringstream out, err;
    std::istringstream in;
    int status = -1;

    void run(testing_support::SimulatedUnits& units, platform::Sleeper& sleeper,
             platform::Spooler& spooler, std::vector<std::string> args) {
        const auto ports = units.portOptions();
        args.insert(args.end(), ports.begin(), ports.end());
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = 10ms;
        status = cli::runFwprog(args, context);
    }
};

// The count in "ignored N status datagrams from other hosts", 0 when absent.
unsigned long ignoredCount(const std::string& err) {
    static const std::regex line("fwprog: ignored (\\d+) status datagrams from other hosts\n");
    std::smatch match;
    return std::regex_search(err, match, line) ? std::stoul(match[1]) : 0;
}

unsigned long jsonNumber(const std::string& json, const std::string& name) {
    const std::regex field("\"" + name + "\": (\\d+)");
    std::smatch match;
    return std::regex_search(json, match, field) ? std::stoul(match[1]) : 0;
}

}  // namespace

// The window's programming runs are these: no factory of their own.
TEST_F(VerdictSender, AStrangerFloodingZerosCannotTurnAVerifyErrorIntoSuccess) {
    const auto u = unit(2, 150ms);
    ASSERT_TRUE(startSimulator({u}));
    DatagramFlood neighbour(uniqueLoopbackAddress(), simOptions.statusPort, kZeros);
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::VerdictWait)
            neighbour.start();
    };

    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(image(), u.address), engine::ResultVerifyError);
    neighbour.stop();
    EXPECT_GT(programmer.lastRun().foreignDatagrams, 0u);
    EXPECT_LE(programmer.lastRun().foreignDatagrams, neighbour.sent());

    // Taking any sender, as --any-sender asks, the first zeros win again.
    DatagramFlood again(neighbour.from(), simOptions.statusPort, kZeros);
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::VerdictWait)
            again.start();
    };
    programmer.setStatusInboxFactory([&](const std::string& target) {
        return std::make_unique<engine::SocketStatusInbox>(
            simOptions.statusPort, engine::StatusSenders::unitAt(target, true));
    });
    EXPECT_EQ(programmer.ProgramUnit(image(), u.address), engine::ResultProgrammed);
    EXPECT_EQ(programmer.lastRun().foreignDatagrams, 0u);
}

// A unit that keeps repeating a stale status from its own address: the drain
// reads at most 10 times (1 s), then the probes begin. The stale datagrams are
// queued before the drain's first receive, so every receive finds one however
// busy the machine is.
TEST_F(VerdictSender, AUnitThatKeepsSendingCannotHoldTheDrain) {
    const auto u = unit();
    ASSERT_TRUE(startSimulator({u}));
    constexpr int kStale = 40;
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase != engine::UnitPhase::Draining)
            return;
        platform::DatagramSocket from;
        ASSERT_TRUE(from.create(0, u.address));
        for (int i = 0; i < kStale; ++i)
            ASSERT_EQ(from.sendTo("127.0.0.1", simOptions.statusPort, kZeros.data(), kZeros.size()),
                      static_cast<long>(kZeros.size()));
    };
    testing_support::ScaledSleeper quick(0.01);
    engine::UnitProgrammer programmer(op, quick, spooler, engine);
    std::ignore = programmer.ProgramUnit(image(), u.address);
    EXPECT_TRUE(simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "image" && e.unit == u.address; }, 2s));
    const auto asked = quick.requested();
    const auto firstProbeWait = std::find(asked.begin(), asked.end(), 1000ms);
    ASSERT_NE(firstProbeWait, asked.end());
    EXPECT_EQ(std::count(asked.begin(), firstProbeWait, 100ms), 10) << "receives of the drain";
}

// A sleeper that runs the schedule's fixed pauses a hundred times faster and
// waits on a pause's wake condition for real, for far longer than a test's
// deadline, noting each: only the condition can end such a wait in time.
class WakeWatcher final : public platform::Sleeper {
public:
    struct Wait {
        std::chrono::milliseconds asked;
        bool met;
    };
    void sleepFor(std::chrono::milliseconds duration) override { fast_.sleepFor(duration); }
    bool sleepUntil(std::chrono::milliseconds duration,
                    platform::WakeCondition& condition) override {
        const bool met = condition.waitFor(std::chrono::minutes(1));
        waits.push_back({duration, met});
        return met;
    }
    std::vector<Wait> waits;

private:
    testing_support::ScaledSleeper fast_{0.01};
};

// A unit of a parallel batch sleeps through its verdict wait in one go, and
// the verdict ends that sleep when it comes, whatever else the port hears.
TEST_F(VerdictSender, ABatchUnitSleepsThroughItsVerdictWaitUntilItsVerdictComes) {
    const auto u = unit(2, 200ms);
    ASSERT_TRUE(startSimulator({u}));
    fleet::SharedStatusPort shared(simOptions.statusPort);
    ASSERT_TRUE(shared.start(nullptr));
    DatagramFlood neighbour(uniqueLoopbackAddress(), simOptions.statusPort, kZeros);
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::VerdictWait)
            neighbour.start();
    };
    WakeWatcher watcher;
    engine::UnitProgrammer programmer(op, watcher, spooler, engine);
    programmer.setStatusInboxFactory(
        [&](const std::string& target) { return shared.inboxFor(target); });
    std::atomic<bool> done{false};
    engine::ProgramResult result = engine::ResultUnconfirmed;
    std::thread run([&] {
        result = programmer.ProgramUnit(image(), u.address);
        done = true;
    });
    EXPECT_TRUE(testing_support::eventually([&] { return done.load(); }))
        << "the verdict did not end the verdict wait";
    run.join();
    neighbour.stop();
    EXPECT_EQ(result, engine::ResultVerifyError);
    ASSERT_EQ(watcher.waits.size(), 1u) << "one sleep for the whole verdict wait";
    EXPECT_EQ(watcher.waits[0].asked, engine::timing::kVerdictWait);
    EXPECT_TRUE(watcher.waits[0].met) << "the verdict did not end the sleep";
}

// Single, the one-by-one batch and the parallel batch all take only the
// unit's own verdict, and say how many strangers' datagrams they ignored.
TEST_F(VerdictSender, FwprogCountsOnlyTheUnitsOwnVerdictInEveryMode) {
    const auto u = unit(2, 200ms);
    DatagramFlood neighbour(uniqueLoopbackAddress(), simOptions.statusPort, kZeros);
    ASSERT_TRUE(startSimulator({u}, [&](const sim::Event& e) {
        if (e.kind == "image")
            neighbour.start();
    }));
    testing_support::writeFile(dir.file("units.txt"), u.address + "\r\n");
    const std::vector<std::string> list = {"--list", dir.file("units.txt").string()};
    struct Mode {
        std::vector<std::string> args;
        int exitStatus;
    };
    const std::vector<Mode> modes = {
        {{"single", "--target", u.address}, 1},
        {{"multiple", list[0], list[1]}, 1},
        {{"multiple", list[0], list[1], "--jobs", "2"}, 1},
        {{"single", "--target", u.address, "--any-sender"}, 0},
        {{"multiple", list[0], list[1], "--any-sender"}, 0},
    };
    std::size_t verdictsSent = 0;
    for (const Mode& mode : modes) {
        // The last run's verdict must have gone before the next run starts:
        // it would be a stale verdict from this very unit.
        ++verdictsSent;
        std::string label;
        for (const auto& arg : mode.args)
            label += arg + " ";
        neighbour.stop();
        FwprogRun fwprog;
        std::vector<std::string> args = mode.args;
        args.insert(args.end(), {"--image", image(), "--json"});
        fwprog.run(*this, sleeper, spooler, args);
        neighbour.stop();
        EXPECT_EQ(fwprog.status, mode.exitStatus) << label << fwprog.out.str();
        const unsigned long ignored = ignoredCount(fwprog.err.str());
        EXPECT_EQ(jsonNumber(fwprog.out.str(), "foreign_datagrams"), ignored) << label;
        if (mode.exitStatus == 1)
            EXPECT_GT(ignored, 0u) << label << fwprog.err.str();
        else
            EXPECT_EQ(ignored, 0u) << label << fwprog.err.str();
        EXPECT_TRUE(testing_support::eventually([&] {
            return simulator->count("status", u.address) >= verdictsSent;
        })) << label
            << "the verdict did not go";
    }
}

// Two runs on one computer: the second cannot bind the status port and stops
// before it has touched any unit; the first goes on and hears its verdict.
TEST_F(VerdictSender, ASecondRunOnThisComputerStopsBeforeContactingAnyUnit) {
    const auto first = unit(0, 300ms), second = unit();
    ASSERT_TRUE(startSimulator({first, second}));
    testing_support::writeFile(dir.file("units.txt"), second.address + "\r\n");
    const std::vector<std::vector<std::string>> secondRuns = {
        {"single", "--target", second.address},
        {"multiple", "--list", dir.file("units.txt").string()},
        {"multiple", "--list", dir.file("units.txt").string(), "--jobs", "2"},
        {"single", "--target", second.address, "--json"},
    };

    FwprogRun running;
    std::thread firstRun([&] {
        running.run(*this, sleeper, spooler,
                    {"single", "--image", image(), "--target", first.address});
    });
    ASSERT_TRUE(simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "header" && e.unit == first.address; }, 5s));
    for (const auto& args : secondRuns) {
        FwprogRun other;
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--image", image()});
        other.run(*this, sleeper, spooler, all);
        EXPECT_EQ(other.status, 1) << args[0];
        const std::string port = std::to_string(simOptions.statusPort);
        EXPECT_NE(other.err.str().find("cannot bind UDP port " + port +
                                       ", where units send their verdicts: Address already in "
                                       "use\nfwprog: another programming run"),
                  std::string::npos)
            << other.err.str();
        if (args.back() == "--json") {
            EXPECT_EQ(other.out.str().rfind("{\"error\": \"cannot bind UDP port " + port, 0), 0u)
                << other.out.str();
        }
    }
    firstRun.join();
    EXPECT_EQ(running.status, 0) << running.err.str();
    EXPECT_EQ(simulator->count("connection", second.address), 0u);
    EXPECT_EQ(simulator->count("query", second.address), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("Status.txt"))) << "no batch began";
}
