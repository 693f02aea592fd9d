// The programming sequence against simulated units on loopback, with every
// pause scaled down (one test runs the real schedule).
#include "engine/Protocol.h"
#include "engine/Timing.h"
#include "engine/UnitProgrammer.h"
#include "platform/Sha256.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <tuple>

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

using testing_support::PhaseHookOperator;

struct ProgramUnitTest : ::testing::Test, testing_support::SimulatedUnits {
    engine::EngineOptions engine;
    PhaseHookOperator op;
    testing_support::RecordingWindow window;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::NoQueues spooler;
    testing_support::TempDir dir;
    std::string image = testing_support::makeImage(50 * 1460 + 17);

    ProgramUnitTest() {
        engine.endpoints = simulatedEndpoints();
        engine.stream.refusedRetryPause = 30ms;
        engine.stream.sendStallLimit = 300ms;
        testing_support::writeFile(dir.file("fw.bin"), image);
    }

    void start(std::vector<sim::UnitSettings> units) {
        ASSERT_TRUE(startSimulator(std::move(units)));
    }

    engine::ProgramResult program(const std::string& target, const std::string& path = {}) {
        engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
        programmer.setWindow(window);
        return programmer.ProgramUnit(path.empty() ? dir.file("fw.bin").string() : path, target);
    }

    static sim::UnitSimulator::EventPredicate is(std::string kind, std::string unit) {
        return [kind, unit](const sim::Event& e) { return e.kind == kind && e.unit == unit; };
    }

    // Sends bytes to the host's status port from the unit's own address.
    void sendStatusFrom(const std::string& address, const std::string& bytes) {
        platform::DatagramSocket socket;
        ASSERT_TRUE(socket.create(0, address));
        std::ignore = socket.sendTo("127.0.0.1", simOptions.statusPort, bytes.data(), bytes.size());
    }
};

}  // namespace

TEST_F(ProgramUnitTest, TheUnitReceivesHeaderProbesAndImageByteForByte) {
    auto u = unit();
    start({u});
    EXPECT_EQ(program(u.address), engine::ResultProgrammed);
    EXPECT_TRUE(op.messages.empty());
    const auto header = simulator->waitFor(is("header", u.address), 1s);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->field("hex"),
              platform::hexText(engine::proto::entryHeaderForNetwork().data(), 40));
    const auto received = simulator->waitFor(is("image", u.address), 1s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->field("sha256"), platform::sha256Hex(image));
    EXPECT_EQ(received->field("bytes"), std::to_string(image.size()));
    // The throw-away connection, the header's and the image's.
    EXPECT_EQ(op.connectionAttempts, 3);
    EXPECT_EQ(simulator->count("connection", u.address), 3u);
    // A unit that answers at once ends each boot-loader wait after one probe.
    EXPECT_EQ(op.probes, 2);
    // Progress: range set to the length, one position per block, ending at the length.
    EXPECT_EQ(op.ranges, std::vector<std::uint64_t>{image.size()});
    EXPECT_EQ(op.positions.front(), 0u);
    EXPECT_EQ(op.positions.back(), image.size());
    EXPECT_EQ(op.positions.size(), 1u + 51u);
    EXPECT_EQ(window.dispatches, 51);
    EXPECT_EQ(window.maxWaitCursorDepth, 2);
    EXPECT_EQ(window.waitCursorDepth, 0);
    // The schedule: drain 100, wait 1000, pause 2000, wait 1000, pause 1000, verdict 100s.
    const auto asked = sleeper.requested();
    ASSERT_GE(asked.size(), 6u);
    EXPECT_EQ(std::vector(asked.begin(), asked.begin() + 5),
              (std::vector{100ms, 1000ms, 2000ms, 1000ms, 1000ms}));
}

struct StatusCase {
    const char* name;
    std::optional<std::string> raw;
    sim::StatusShape shape;
    std::int32_t status;
    engine::ProgramResult expected;
};

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.name;
}

struct StatusShapes : ProgramUnitTest, ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusShapes, GiveTheirResult) {
    const StatusCase& c = GetParam();
    auto u = unit();
    u.rawStatus = c.raw;
    u.statusShape = c.shape;
    u.status = c.status;
    start({u});
    EXPECT_EQ(program(u.address), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ProgramUnitTest, StatusShapes,
    ::testing::Values(
        StatusCase{"Zero", "\x00\x00\x00\x00"s, sim::StatusShape::Full, 0,
                   engine::ResultProgrammed},
        StatusCase{"Two", "\x02\x00\x00\x00"s, sim::StatusShape::Full, 0,
                   engine::ResultVerifyError},
        StatusCase{"Seven", "\x07\x00\x00\x00"s, sim::StatusShape::Full, 0,
                   engine::ProgramResult(107)},
        StatusCase{"One", "\x01\x00\x00\x00"s, sim::StatusShape::Full, 0,
                   engine::ResultFileTooLarge},
        StatusCase{"MinusOne", "\xff\xff\xff\xff"s, sim::StatusShape::Full, 0,
                   engine::ResultUnconfirmed},
        StatusCase{"OneByte", "\x00"s, sim::StatusShape::Full, 0, engine::ResultUnconfirmed},
        StatusCase{"Empty", ""s, sim::StatusShape::Full, 0, engine::ResultUnconfirmed},
        StatusCase{"None", std::nullopt, sim::StatusShape::None, 0, engine::ResultUnconfirmed},
        StatusCase{"Long", std::nullopt, sim::StatusShape::Long, 0, engine::ResultUnconfirmed}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(ProgramUnitTest, WithoutAVerdictTheWholeWaitIsSpent) {
    auto u = unit();
    u.statusShape = sim::StatusShape::None;
    start({u});
    // Without a verdict the whole wait of 200 receives is spent (after one drain).
    testing_support::ScaledSleeper counting(0.0);
    engine::UnitProgrammer programmer(op, counting, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), u.address),
              engine::ResultUnconfirmed);
    const auto asked = counting.requested();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 100ms), 1 + 200);
}

TEST_F(ProgramUnitTest, OversizeDatagramDuringTheVerdictWaitIsDroppedAndTheWaitGoesOn) {
    auto u = unit();
    u.flashDelay = 100ms;
    start({u});
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::VerdictWait)
            sendStatusFrom(u.address, "\x02\x00\x00\x00\x00"s);
    };
    EXPECT_EQ(program(u.address), engine::ResultProgrammed);
}

TEST_F(ProgramUnitTest, EarlyDatagramIsDrainedButOneDuringTheStreamIsKept) {
    auto early = unit();
    auto duringStream = unit();
    duringStream.statusShape = sim::StatusShape::None;  // the mid-stream datagram is the only one
    duringStream.status = 2;
    duringStream.statusDuringStream = true;
    start({early, duringStream});

    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::BootLoaderEntry)
            sendStatusFrom(early.address, "\x02\x00\x00\x00"s);
    };
    EXPECT_EQ(program(early.address), engine::ResultProgrammed)
        << "the stale verify error was drained";
    op.onPhase = nullptr;
    EXPECT_EQ(program(duringStream.address), engine::ResultVerifyError);
}

TEST_F(ProgramUnitTest, RefusedDataPortGetsTwoAttemptsAndTheConnectionMessage) {
    auto u = unit();
    u.refuse = true;
    start({u});
    EXPECT_EQ(program(u.address), engine::ResultSocketError);
    EXPECT_EQ(op.connectionAttempts, 2);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Error #111: IP Address " + u.address + "\nConnection refused\n (111)");
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_EQ(op.probes, 0);
    EXPECT_EQ(window.waitCursorDepth, 0);
}

TEST_F(ProgramUnitTest, UnitThatNeverEntersItsBootLoaderIsProbed22TimesThenTriedAnyway) {
    auto u = unit();
    u.noBootLoader = true;
    start({u});
    EXPECT_EQ(program(u.address), engine::ResultProgrammed);
    EXPECT_EQ(op.probes, 22);
    EXPECT_EQ(simulator->count("query", u.address), 22u);
    EXPECT_TRUE(simulator->waitFor(is("image", u.address), 1s));
}

TEST_F(ProgramUnitTest, StatusPortTakenIsReportedOnceAndTheVerdictCannotArrive) {
    auto u = unit();
    start({u});
    platform::DatagramSocket squatter;
    ASSERT_TRUE(squatter.create(simOptions.statusPort));
    EXPECT_EQ(program(u.address), engine::ResultUnconfirmed);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Windows Socket SendTo Error\nAddress already in use\n");
    EXPECT_TRUE(simulator->waitFor(is("image", u.address), 1s)) << "every step still ran";
}

TEST_F(ProgramUnitTest, EmptyImageOpensAndClosesTheImageConnectionWithNothingSent) {
    auto u = unit();
    start({u});
    testing_support::writeFile(dir.file("empty.bin"), "");
    EXPECT_EQ(program(u.address, dir.file("empty.bin").string()), engine::ResultUnconfirmed);
    EXPECT_EQ(op.ranges, std::vector<std::uint64_t>{0});
    EXPECT_EQ(window.dispatches, 0);
    EXPECT_EQ(op.connectionAttempts, 3);
    EXPECT_EQ(simulator->count("image", u.address), 0u);
}

TEST_F(ProgramUnitTest, UnitThatResetsOrStallsMidStreamNeverHangsTheProgram) {
    auto resets = unit();
    resets.resetAfter = 10 * 1460;
    auto stalls = unit();
    stalls.stallAfter = 3 * 1460;
    start({resets, stalls});
    image = testing_support::makeImage(8 * 1024 * 1024);
    testing_support::writeFile(dir.file("big.bin"), image);

    // The run looks for a stop once per block, and once per slice of a wait.
    std::size_t looks = 0;
    engine.stop = [&looks] {
        ++looks;
        return false;
    };
    EXPECT_EQ(program(resets.address, dir.file("big.bin").string()), engine::ResultUnconfirmed);
    EXPECT_EQ(op.positions.back(), image.size()) << "the stream goes on to the end of the file";
    EXPECT_EQ(program(stalls.address, dir.file("big.bin").string()), engine::ResultUnconfirmed);
    EXPECT_EQ(op.positions.back(), image.size());
    // One stall limit (300 ms here, six slices), not one per block: a run
    // that waited at every block would look seven times per block.
    const std::size_t blocks = image.size() / engine::timing::kBlockSize + 1;
    EXPECT_LT(looks, 2 * 2 * blocks);
}

TEST_F(ProgramUnitTest, TheRealScheduleTakesAboutFiveSecondsBeforeTheVerdict) {
    auto u = unit();
    start({u});
    platform::RealSleeper real;
    engine::UnitProgrammer programmer(op, real, spooler, engine);
    std::chrono::steady_clock::time_point verdictWaitStarts{};
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::VerdictWait)
            verdictWaitStarts = std::chrono::steady_clock::now();
    };
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), u.address),
              engine::ResultProgrammed);
    const double beforeVerdict = std::chrono::duration<double>(verdictWaitStarts - begin).count();
    EXPECT_GE(beforeVerdict, 5.1);
    EXPECT_LT(beforeVerdict, 6.5);
}

// A target that stands for no single unit fails before anything is sent:
// 0.0.0.0 would reach this computer (and program the unit at 127.0.0.1), a
// broadcast address every unit at once.
struct NotOneUnit : ProgramUnitTest, ::testing::WithParamInterface<const char*> {};

TEST_P(NotOneUnit, IsASocketErrorWithoutAConnection) {
    auto local = unit();
    local.address = "127.0.0.1";
    start({local});
    const std::string target = GetParam();
    EXPECT_EQ(program(target), engine::ResultSocketError);
    EXPECT_EQ(op.connectionAttempts, 0);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_EQ(op.messages[0].text.rfind(
                  "Error: IP Address " + target + "\nNot the address of one unit: ", 0),
              0u)
        << op.messages[0].text;
    EXPECT_EQ(simulator->count("connection"), 0u);
    EXPECT_EQ(simulator->count("query"), 0u);
    EXPECT_EQ(simulator->imagesReceived(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ProgramUnitTest, NotOneUnit,
                         ::testing::Values("0.0.0.0", "0.00.0.0", "0.7.7.7", "127.255.255.255"),
                         [](const auto& testCase) {
                             std::string name = testCase.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return "Target_" + name;
                         });
