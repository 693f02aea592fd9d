// Faults of units, files and the network while a unit is programmed: what the
// operator is told and that the program lives on.
#include "engine/Timing.h"
#include "engine/UnitProgrammer.h"
#include "platform/Sha256.h"
#include "sim/UnitSimulator.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Eventually.h"
#include "tests/support/NoQueues.h"
#include "tests/support/OneByOneBatch.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;

namespace {

struct FaultMatrix : ::testing::Test, testing_support::SimulatedUnits {
    engine::EngineOptions engine;
    testing_support::PhaseHookOperator op;
    testing_support::RecordingWindow window;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::NoQueues spooler;
    testing_support::TempDir dir;
    sim::UnitSettings unit = SimulatedUnits::unit();

    FaultMatrix() {
        engine.endpoints = simulatedEndpoints();
        engine.stream.refusedRetryPause = 10ms;
    }

    void start() { ASSERT_TRUE(startSimulator({unit})); }

    engine::ProgramResult program(const std::string& path) {
        engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
        programmer.setWindow(window);
        return programmer.ProgramUnit(path, unit.address);
    }
};

}  // namespace

TEST_F(FaultMatrix, UnitVanishingBeforeTheImageConnectionGivesTheConnectionMessage) {
    start();
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(5000));
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase == engine::UnitPhase::ImageConnection)
            simulator->stop();
    };
    EXPECT_EQ(program(dir.file("fw.bin").string()), engine::ResultSocketError);
    EXPECT_EQ(op.connectionAttempts, 2 + 20);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Error: IP Address " + unit.address + "\nConnection refused\n");
    EXPECT_EQ(window.waitCursorDepth, 0);
}

TEST_F(FaultMatrix, FloodOfOversizeDatagramsDuringTheVerdictWaitEndsUnconfirmedInBoundedTime) {
    unit.flashDelay = 50ms;
    start();
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(3000));
    std::thread flood;
    op.onPhase = [&](engine::UnitPhase phase) {
        if (phase != engine::UnitPhase::VerdictWait)
            return;
        flood = std::thread([this] {
            platform::DatagramSocket socket;
            std::ignore = socket.create(0, testing_support::uniqueLoopbackAddress());
            const std::string junk(1400, 'J');
            for (int i = 0; i < 10000; ++i)
                std::ignore =
                    socket.sendTo("127.0.0.1", simOptions.statusPort, junk.data(), junk.size());
        });
    };
    const engine::ProgramResult result = program(dir.file("fw.bin").string());
    flood.join();
    // Each receive of the wait drops one oversize datagram; the verdict queued
    // behind the flood is not reached within the 200 receives.
    EXPECT_TRUE(result == engine::ResultUnconfirmed || result == engine::ResultProgrammed)
        << result;
    // Bounded in receives, not in datagrams: no more pauses between them than
    // the drain's and the wait's own.
    const auto asked = sleeper.requested();
    EXPECT_LE(std::count(asked.begin(), asked.end(), engine::timing::kVerdictSleep),
              engine::timing::kVerdictReceives + engine::timing::kDrainMaxReceives);
}

TEST_F(FaultMatrix, ImageThatShrinksWhileItStreamsEndsAtItsNewEnd) {
    start();
    const std::string image = testing_support::makeImage(400 * 1460);
    testing_support::writeFile(dir.file("fw.bin"), image);
    bool shrunk = false;
    window.onDispatch = [&] {
        if (!shrunk) {
            shrunk = true;
            ASSERT_EQ(::truncate(dir.file("fw.bin").c_str(), 100 * 1460), 0);
        }
    };
    EXPECT_EQ(program(dir.file("fw.bin").string()), engine::ResultProgrammed);
    EXPECT_EQ(op.ranges, std::vector<std::uint64_t>{image.size()});
    EXPECT_EQ(op.positions.back(), 100u * 1460u) << "progress counts what was really sent";
    const auto received = simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "image" && e.unit == unit.address; }, 2s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->field("bytes"), std::to_string(100 * 1460));
    EXPECT_EQ(received->field("sha256"), platform::sha256Hex(image.substr(0, 100 * 1460)));
}

TEST_F(FaultMatrix, ImageThatCannotBeReadIsNamedAndNeverReachesTheUnitAsWhole) {
    start();
    // Opens like a file, fails with an I/O error on its first read.
    const std::string unreadable = "/proc/self/mem";
    EXPECT_EQ(program(unreadable), engine::ResultFileNotFound);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Could not read the image file /proc/self/mem\nInput/output error\n");
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_EQ(window.waitCursorDepth, 0);
    // The unit records the image connection's reset once it has seen the end
    // of that connection.
    EXPECT_TRUE(simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "aborted" && e.unit == unit.address; },
        testing_support::kEventualDeadline))
        << "the image connection was not reset";
    EXPECT_EQ(simulator->count("image", unit.address), 0u)
        << "the connection is reset, so the unit takes nothing for an image";
}

TEST_F(FaultMatrix, ImageLargerThanFourGibibytesCountsEveryByte) {
#if defined(FWPROG_ADDRESS_SANITIZER)
    GTEST_SKIP() << "three million reads and sends take minutes under the sanitizers; the "
                    "optimised build runs this";
#endif
    // The unit resets the connection early, so the stream runs to the end of
    // the (sparse) file at the speed of reading it.
    unit.resetAfter = 64 * 1024;
    start();
    const std::uint64_t size = (4ull << 30) + 1460 + 7;
    const int fd = ::open(dir.file("huge.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
    EXPECT_EQ(program(dir.file("huge.bin").string()), engine::ResultUnconfirmed);
    EXPECT_EQ(op.ranges, std::vector<std::uint64_t>{size});
    EXPECT_EQ(op.positions.back(), size);
    EXPECT_EQ(window.dispatches, static_cast<int>((size + 1459) / 1460));
}

// ---------------------------------------------------------------------------
// Faults around the batch, discovery and the spooler.

#include "fleet/BatchRun.h"
#include "fleet/DeviceDiscovery.h"
#include "platform/posix/CupsSpooler.h"
#include "tests/support/PrivateCupsd.h"

namespace {

// Answers the discovery query during the pause with a flood of replies.
class FloodingSleeper final : public platform::Sleeper {
public:
    explicit FloodingSleeper(std::uint16_t port) { bound = socket.create(port, "127.0.0.1"); }
    void sleepFor(std::chrono::milliseconds) override {
        const auto cpuBefore = testing_support::threadCpuTime();
        sendFlood();
        cpuSpent += testing_support::threadCpuTime() - cpuBefore;
    }
    void sendFlood() {
        char bytes[16];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // The query was sent before the pause; on a loaded machine it may lag.
        pollfd query{socket.fd(), POLLIN, 0};
        if (::poll(&query, 1, 10000) != 1 ||
            ::recvfrom(socket.fd(), bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from),
                       &fromLength) < 0)
            return;
        for (int i = 0; i < 10000; ++i) {
            const std::string reply = "Flood 1.00\nIP:127.8." + std::to_string(i / 250) + "." +
                                      std::to_string(i % 250) + "\n";
            ::sendto(socket.fd(), reply.data(), reply.size(), 0,
                     reinterpret_cast<const sockaddr*>(&from), sizeof from);
        }
    }
    platform::DatagramSocket socket;
    bool bound = false;
    std::chrono::microseconds cpuSpent{0};
};

class NoPauses final : public platform::Sleeper {
public:
    void sleepFor(std::chrono::milliseconds) override {}
};

}  // namespace

TEST(FaultMatrixFleet, TenThousandDiscoveryRepliesListAtMostFiveHundred) {
    engine::Endpoints endpoints;
    endpoints.unitUdpPort = testing_support::freeUdpPort();
    endpoints.broadcastAddress = "127.0.0.1";
    FloodingSleeper flood(endpoints.unitUdpPort);
    ASSERT_TRUE(flood.bound);
    testing_support::RecordingOperator op;
    fleet::DeviceDiscovery discovery(op, flood, endpoints);
    fleet::DeviceList list;
    const auto cpuBefore = testing_support::threadCpuTime();
    ASSERT_TRUE(discovery.refresh(list));
    // Reading and sorting the replies costs little beside sending them.
    EXPECT_LT(testing_support::threadCpuTime() - cpuBefore - flood.cpuSpent, 2s);
    EXPECT_GT(list.size(), 0u);
    EXPECT_LE(list.size(), 500u);
    EXPECT_TRUE(op.messages.empty());
}

TEST(FaultMatrixFleet, ListFileRemovedMidBatchIsReadToItsEnd) {
    testing_support::TempDir dir;
    testing_support::writeFile(dir.file("units.txt"), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n");
    testing_support::RecordingOperator op;
    NoPauses noPauses;
    std::vector<std::string> programmed;
    testing_support::BatchTestHooks hooks;
    hooks.programUnit = [&](const std::string& target) {
        if (programmed.empty())
            std::filesystem::remove(dir.file("units.txt"));
        programmed.push_back(target);
        return engine::ResultProgrammed;
    };
    hooks.showSummary = [](const std::string&) {};
    const fleet::BatchOutcome outcome = testing_support::runOneByOneBatch(
        {"fw.bin", dir.file("units.txt").string(), dir.file("Status.txt").string()}, op, noPauses,
        hooks);
    EXPECT_EQ(programmed.size(), 3u) << "the open list outlives its name";
    ASSERT_TRUE(outcome.unitsUpdated);
    EXPECT_EQ(*outcome.unitsUpdated, 3u);
}

TEST(FaultMatrixFleet, PrintQueueDeletedBetweenListingAndDeliveryFailsWithItsName) {
    testing_support::PrivateCupsd cupsd;
    if (!cupsd.start())
        GTEST_SKIP() << "no private CUPS scheduler: " << cupsd.failure();
    cupsd.useFromThisThread();
    ASSERT_TRUE(cupsd.addSocketQueue("vanishing", "127.0.0.1", testing_support::freeTcpPort()));
    platform::CupsSpooler spooler;
    const auto queues = spooler.queueNames();
    ASSERT_EQ(queues, std::vector<std::string>{"vanishing"});
    ASSERT_TRUE(cupsd.removeQueue("vanishing"));

    testing_support::TempDir dir;
    testing_support::writeFile(dir.file("fw.bin"), "image");
    testing_support::RecordingOperator op;
    NoPauses noPauses;
    engine::EngineOptions options;
    options.endpoints.statusPort = testing_support::freeUdpPort();
    engine::UnitProgrammer programmer(op, noPauses, spooler, options);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "vanishing"),
              engine::ResultPrinterPortError);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Can't Open Port vanishing. Error: 1030");
}
