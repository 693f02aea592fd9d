// A stop request (the first Ctrl-C of fwprog single, discover and timestamp)
// is seen at every wait of the programming sequence and ends it there: a
// stream is reset, never closed in order, and nothing further happens.
#include "cli/CliContext.h"
#include "engine/UnitProgrammer.h"
#include "platform/DatagramSocket.h"
#include "platform/WakeableWait.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <streambuf>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;

extern char** environ;

namespace {

using testing_support::PhaseHookOperator;

// Asks for the stop on the run's third look for one after it is armed: the
// stop arrives while the run waits, as a signal would, however fast or slow
// the machine.
class StopAfterLooks {
public:
    void arm() { armed_ = true; }
    bool look() { return armed_ && ++looks_ > 2; }

private:
    std::atomic<bool> armed_{false};
    std::atomic<int> looks_{0};
};

struct StopRequest : ::testing::Test, testing_support::SimulatedUnits {
    engine::EngineOptions engine;
    testing_support::NoQueues spooler;
    testing_support::TempDir dir;

    StopRequest() {
        engine.endpoints = simulatedEndpoints();
        engine.stream.refusedRetryPause = 10ms;
        testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(8 * 1024 * 1024));
    }
    std::string image() const { return dir.file("fw.bin").string(); }
    static sim::UnitSimulator::EventPredicate is(std::string kind, std::string address) {
        return [kind, address](const sim::Event& e) { return e.kind == kind && e.unit == address; };
    }
};

}  // namespace

// Each wait of the sequence, made long by the unit, with the stop arriving
// while it waits: the run ends there, unconfirmed, and goes no further.
TEST_F(StopRequest, EveryWaitOfTheSequenceEndsOnAStop) {
    struct Case {
        const char* name;
        engine::UnitPhase phase;
        std::function<void(sim::UnitSettings&)> slowUnit;
        std::function<void(const PhaseHookOperator&, const testing_support::ScaledSleeper&)>
            checkAfter;
    };
    sim::UnitSettings u;
    const std::vector<Case> cases = {
        {"boot-loader wait", engine::UnitPhase::BootLoaderWait,
         [](sim::UnitSettings& s) { s.noBootLoader = true; },
         [&](const PhaseHookOperator& op, const testing_support::ScaledSleeper&) {
             EXPECT_LT(op.probes, 22);
             EXPECT_EQ(op.connectionAttempts, 2) << "no image connection after the stop";
         }},
        {"image connection", engine::UnitPhase::ImageConnection,
         [](sim::UnitSettings& s) { s.dropConnectionsFor = std::chrono::hours(1); },
         [&](const PhaseHookOperator& op, const testing_support::ScaledSleeper&) {
             EXPECT_LE(op.connectionAttempts, 3) << "the connect waiting 21 s was left";
         }},
        {"stream", engine::UnitPhase::Streaming,
         [](sim::UnitSettings& s) { s.stallAfter = 64 * 1024; },
         [&](const PhaseHookOperator&, const testing_support::ScaledSleeper&) {
             const auto aborted = simulator->waitFor(is("aborted", u.address), 2s);
             ASSERT_TRUE(aborted);
             EXPECT_EQ(aborted->field("error"), "Connection reset by peer");
             EXPECT_EQ(simulator->count("image", u.address), 0u);
         }},
        {"verdict wait", engine::UnitPhase::VerdictWait,
         [](sim::UnitSettings& s) { s.flashDelay = std::chrono::hours(1); },
         [&](const PhaseHookOperator&, const testing_support::ScaledSleeper& sleeper) {
             const auto asked = sleeper.requested();
             EXPECT_LT(std::count(asked.begin(), asked.end(), 100ms), 1 + 200);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        u = unit();
        c.slowUnit(u);
        ASSERT_TRUE(startSimulator({u}));
        PhaseHookOperator op;
        testing_support::RecordingWindow window;
        testing_support::ScaledSleeper sleeper{0.01};
        StopAfterLooks caseStop;
        engine.stop = [&caseStop] { return caseStop.look(); };
        op.onPhase = [&, phase = c.phase](engine::UnitPhase reached) {
            if (reached == phase)
                caseStop.arm();
        };
        engine.stream.sendStallLimit = 60s;

        engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
        programmer.setWindow(window);
        EXPECT_EQ(programmer.ProgramUnit(image(), u.address), engine::ResultUnconfirmed);
        EXPECT_TRUE(programmer.lastRun().stopped);
        EXPECT_EQ(op.phases.back(), engine::UnitPhase::Finished);
        EXPECT_EQ(window.waitCursorDepth, 0);
        c.checkAfter(op, sleeper);
        simulator.reset();
    }
}

namespace {

struct StopCli : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.005};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupts{0};

    int run(std::vector<std::string> args, std::istream& input, bool terminal = false) {
        cli::CliContext context{out, err, input, false, terminal, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = 10ms;
        context.streamTimeouts.sendStallLimit = 3s;
        context.interrupts = &interrupts;
        return cli::runFwprog(args, context);
    }
    int run(std::vector<std::string> args) { return run(std::move(args), in); }
};

// The terminal's line ends under the reader as an interrupt arrives: the
// handler does not restart the read.
class InterruptedInput final : public std::streambuf {
public:
    explicit InterruptedInput(std::atomic<int>& interrupts) : interrupts_(interrupts) {}

protected:
    int_type underflow() override {
        ++interrupts_;
        return traits_type::eof();
    }

private:
    std::atomic<int>& interrupts_;
};

}  // namespace

TEST_F(StopCli, AnInterruptMidStreamResetsItAndSingleEndsWith130) {
    auto stalling = unit();
    stalling.stallAfter = 64 * 1024;
    ASSERT_TRUE(startSimulator({stalling}, [&](const sim::Event& e) {
        if (e.kind == "stall")
            ++interrupts;
    }));
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(8 * 1024 * 1024));
    std::vector<std::string> args = {"single", "--image", dir.file("fw.bin").string(), "--target",
                                     stalling.address};
    const auto ports = portOptions();
    args.insert(args.end(), ports.begin(), ports.end());

    EXPECT_EQ(run(args), 130);
    EXPECT_EQ(out.str(), "1 Unit Update Attempted, " + stalling.address + " Status Unconfirmed\n");
    EXPECT_NE(err.str().find("fwprog: the image was not delivered whole: "), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find(" of 8388608 bytes\n"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("fwprog: stopped by an interrupt"), std::string::npos) << err.str();
    const auto aborted = simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "aborted" && e.unit == stalling.address; }, 2s);
    ASSERT_TRUE(aborted);
    EXPECT_EQ(aborted->field("error"), "Connection reset by peer");
}

TEST_F(StopCli, DiscoverAndTimestampEndWith130AndSendNothingFurther) {
    sim::UnitSettings u = unit();
    ASSERT_TRUE(startSimulator({u}));
    const std::vector<std::string> where = {"--unit-udp-port", std::to_string(simOptions.udpPort),
                                            "--broadcast", "127.255.255.255"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), where.begin(), where.end());
        return args;
    };

    // Discovery: the interrupt comes during a ten-minute wait, once the query is out.
    std::thread signal([&] {
        std::ignore = simulator->waitFor(
            [&](const sim::Event& e) { return e.kind == "query" && e.unit == u.address; }, 10s);
        ++interrupts;
    });
    EXPECT_EQ(run(with({"discover", "--wait", "600000", "--json"})), 130);
    signal.join();
    EXPECT_EQ(out.str(), "{\"error\": \"stopped by an interrupt\"}\n");
    EXPECT_EQ(err.str(), "fwprog: stopped by an interrupt; nothing was listed\n");

    // Time stamp: an interrupt already there is no yes, and one that ends the
    // wait for the answer is no answer.
    out.str({});
    err.str({});
    EXPECT_EQ(run(with({"timestamp", "--yes"})), 130);
    EXPECT_EQ(err.str(), "fwprog: stopped by an interrupt; nothing was sent\n");
    interrupts = 0;
    out.str({});
    err.str({});
    InterruptedInput line(interrupts);
    std::istream terminal(&line);
    EXPECT_EQ(run(with({"timestamp"}), terminal, true), 130);
    EXPECT_EQ(err.str(),
              "fwprog: Set all Networked Time Stamps to Current Time? [y/N] \n"
              "fwprog: stopped by an interrupt; nothing was sent\n");
    // A time stamp sent before the end would have been read by now.
    ASSERT_TRUE(testing_support::everyUnitReadEarlierDatagrams(*simulator));
    EXPECT_EQ(simulator->count("timestamp"), 0u);
}

// The real executable and a real SIGINT: the handler's counter reaches the
// command, and the wait ends at once.
TEST(StopProcess, SigintEndsADiscoveryWaitWith130) {
    const std::string binary = std::string(FWPROG_BINARY_DIR) + "/cli/fwprog";
    ASSERT_TRUE(std::filesystem::exists(binary)) << binary << " is not built";
    testing_support::TempDir dir;
    // Where the query goes: once it is there, the process waits.
    const std::uint16_t port = testing_support::freeUdpPort();
    platform::DatagramSocket units;
    ASSERT_TRUE(units.create(port, "127.255.255.255"));
    std::vector<std::string> args = {binary,        "discover",        "--wait",
                                     "600000",      "--unit-udp-port", std::to_string(port),
                                     "--broadcast", "127.255.255.255"};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string errPath = dir.file("stderr").string();
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Once the query is out the process waits; the signal may come at any time.
    platform::WakeableWait queryOut;
    EXPECT_EQ(queryOut.untilReadable(units, 10s), platform::WakeableWait::Outcome::Readable);
    ::kill(pid, SIGINT);
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; (done = ::waitpid(pid, &status, WNOHANG)) == 0 && waited < 200; ++waited)
        std::this_thread::sleep_for(50ms);
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "fwprog discover did not end on the interrupt";
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(testing_support::readFile(errPath),
              "fwprog: stopped by an interrupt; nothing was listed\n");
}
