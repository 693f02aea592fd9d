// How the image connection begins and ends when the unit is slow, stalls, drops
// connection requests or refuses them: the unit never sees an orderly end of a
// cut-off image, the host never believes a verdict of success after one, and
// no wait costs CPU.
#include "engine/UnitProgrammer.h"
#include "platform/Sha256.h"
#include "sim/UnitSimulator.h"
#include "tests/support/CpuTime.h"
#include "tests/support/NoQueues.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <tuple>

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

using testing_support::PhaseHookOperator;

double threadCpuSeconds() {
    return std::chrono::duration<double>(testing_support::threadCpuTime()).count();
}

struct StreamEnd : ::testing::Test, testing_support::SimulatedUnits {
    engine::EngineOptions engine;
    PhaseHookOperator op;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::NoQueues spooler;
    testing_support::TempDir dir;
    sim::UnitSettings u = unit();

    StreamEnd() {
        engine.endpoints = simulatedEndpoints();
        engine.stream.refusedRetryPause = 10ms;
        engine.stream.sendStallLimit = 300ms;
    }

    std::string imageOf(std::size_t size) {
        const std::string path = dir.file("fw-" + std::to_string(size) + ".bin").string();
        testing_support::writeFile(path, testing_support::makeImage(size));
        return path;
    }

    static sim::UnitSimulator::EventPredicate is(std::string kind, std::string address) {
        return [kind, address](const sim::Event& e) { return e.kind == kind && e.unit == address; };
    }
};

}  // namespace

// A unit that was only slow reads on after the host gave up: it must meet a
// reset, not the end of a stream that would make the cut-off image look whole.
TEST_F(StreamEnd, AUnitThatStallsAndThenReadsOnSeesAResetAndNeverTheImagesEnd) {
    u.stallAfter = 64 * 1024;
    // Long beside the host's 300 ms stall limit, so even a host thread held up
    // by a busy machine gives up before the unit reads on.
    u.stallFor = 2500ms;
    ASSERT_TRUE(startSimulator({u}));
    // The verdict wait (20 s scaled to 4 s) outlasts the unit's stall, so a
    // unit that took the cut-off image for whole would be heard.
    testing_support::ScaledSleeper longerVerdictWait(0.2);
    engine::UnitProgrammer programmer(op, longerVerdictWait, spooler, engine);
    const std::string image = imageOf(16 * 1024 * 1024);

    EXPECT_EQ(programmer.ProgramUnit(image, u.address), engine::ResultUnconfirmed);
    const auto aborted = simulator->waitFor(is("aborted", u.address), 6s);
    ASSERT_TRUE(aborted) << "the unit never learnt that the stream was cut off";
    EXPECT_EQ(aborted->field("error"), "Connection reset by peer");
    EXPECT_EQ(simulator->count("image", u.address), 0u);
    EXPECT_EQ(simulator->count("status", u.address), 0u);

    const engine::UnitRun& run = programmer.lastRun();
    EXPECT_TRUE(run.imageCutOff);
    EXPECT_EQ(run.imageBytes, 16u * 1024 * 1024);
    EXPECT_GE(run.bytesDelivered, 64u * 1024);
    EXPECT_LT(run.bytesDelivered, run.imageBytes);
    EXPECT_EQ(op.positions.back(), run.imageBytes) << "the stream still runs to the file's end";
}

// Whatever the unit says after a cut-off stream, success cannot be believed;
// its own errors still count as they come.
TEST_F(StreamEnd, AVerdictOfSuccessAfterACutOffStreamIsUnconfirmedWhileErrorsStand) {
    u.resetAfter = 10 * 1460;
    ASSERT_TRUE(startSimulator({u}));
    const std::string image = imageOf(8 * 1024 * 1024);
    const std::vector<std::pair<std::string, engine::ProgramResult>> verdicts = {
        {"\x00\x00\x00\x00"s, engine::ResultUnconfirmed},
        {"\x02\x00\x00\x00"s, engine::ResultVerifyError},
        {"\x03\x00\x00\x00"s, engine::ResultWrongModel},
    };
    for (const auto& [bytes, expected] : verdicts) {
        // The unit's verdict, from its own address, as the verdict wait begins.
        op.onPhase = [&, bytes = bytes](engine::UnitPhase phase) {
            if (phase != engine::UnitPhase::VerdictWait)
                return;
            platform::DatagramSocket from;
            ASSERT_TRUE(from.create(0, u.address));
            std::ignore =
                from.sendTo("127.0.0.1", simOptions.statusPort, bytes.data(), bytes.size());
        };
        engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
        EXPECT_EQ(programmer.ProgramUnit(image, u.address), expected)
            << platform::hexText(bytes.data(), 4);
        EXPECT_TRUE(programmer.lastRun().imageCutOff);
        EXPECT_LT(programmer.lastRun().bytesDelivered, programmer.lastRun().imageBytes);
    }
}

// A stalled unit is waited for in the kernel: the stall limit passes with the
// thread asleep. (A bound on CPU seconds, not on time.)
TEST_F(StreamEnd, AStalledUnitCostsNextToNoCpu) {
    u.stallAfter = 64 * 1024;
    ASSERT_TRUE(startSimulator({u}));
    engine.stream.sendStallLimit = 1s;
    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    const std::string image = imageOf(8 * 1024 * 1024);

    const double before = threadCpuSeconds();
    EXPECT_EQ(programmer.ProgramUnit(image, u.address), engine::ResultUnconfirmed);
    const double used = threadCpuSeconds() - before;
    EXPECT_TRUE(programmer.lastRun().imageCutOff);
    EXPECT_LT(used, 0.3) << "CPU seconds spent on a run with a 1 s stall";
}

// A unit that drops connection requests for a while (its accept queue full)
// lets each attempt time out; every one of the 20 attempts is a real request
// on a socket of its own, so the first after the unit recovers gets through.
TEST_F(StreamEnd, EveryImageConnectionAttemptIsARealRequest) {
    auto recovers = unit();
    recovers.dropConnectionsFor = 300ms;
    auto neverAnswers = unit();
    neverAnswers.dropConnectionsFor = std::chrono::hours(1);
    ASSERT_TRUE(startSimulator({recovers, neverAnswers}));
    engine.stream.connectGiveUp = 60ms;
    const std::string image = imageOf(5 * 1460);

    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(image, recovers.address), engine::ResultProgrammed);
    EXPECT_GT(op.connectionAttempts, 2 + 1) << "the unit dropped the first image attempts";
    EXPECT_TRUE(simulator->waitFor(is("image", recovers.address), 2s));
    EXPECT_TRUE(op.messages.empty());

    op.connectionAttempts = 0;
    EXPECT_EQ(programmer.ProgramUnit(image, neverAnswers.address), engine::ResultSocketError);
    EXPECT_EQ(op.connectionAttempts, 2 + 20);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Error: IP Address " + neverAnswers.address + "\nConnection timed out\n");
}
