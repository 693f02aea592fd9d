// The CUPS spooler and the print-queue path of the programming sequence,
// against a private scheduler and a simulated unit behind a raw socket queue.
#include "engine/PrintQueueDelivery.h"
#include "engine/Protocol.h"
#include "engine/UnitProgrammer.h"
#include "platform/CupsSpooler.h"
#include "sim/Sha256.h"
#include "sim/UnitSimulator.h"
#include "tests/support/PrivateCupsd.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;
using testing_support::PrivateCupsd;

namespace {

class CupsSpoolerTest : public ::testing::Test {
protected:
    static PrivateCupsd* cupsd;

    static void SetUpTestSuite() {
        cupsd = new PrivateCupsd;
        if (!cupsd->start())
            return;
        // Created out of order so that the list shows the server's own order.
        if (!cupsd->addFileQueue("tofile") || !cupsd->addFileQueue("Zeta_queue") ||
            !cupsd->addFileQueue("alpha") || !cupsd->addFileQueue("Middle"))
            cupsd->stop();
    }

    static void TearDownTestSuite() {
        delete cupsd;
        cupsd = nullptr;
    }

    void SetUp() override {
        if (!cupsd->running())
            GTEST_SKIP() << "no private CUPS scheduler: " << cupsd->failure();
        cupsd->useFromThisThread();
    }

    // Waits until the queue's jobs have all been processed.
    static std::vector<int> completedJobs(const std::string& queue) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            const auto pending = cupsd->jobIds(queue, "not-completed");
            if ((pending && pending->empty()) || std::chrono::steady_clock::now() > deadline)
                break;
            std::this_thread::sleep_for(50ms);
        }
        return cupsd->jobIds(queue, "completed").value_or(std::vector<int>{});
    }

    platform::CupsSpooler spooler;
    testing_support::RecordingOperator op;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::TempDir dir;
};

PrivateCupsd* CupsSpoolerTest::cupsd = nullptr;

TEST_F(CupsSpoolerTest, ListsTheServersQueuesInItsOwnOrder) {
    EXPECT_EQ(spooler.queueNames(),
              (std::vector<std::string>{"alpha", "Middle", "tofile", "Zeta_queue"}));
}

TEST_F(CupsSpoolerTest, AnUnreachableServerHasNoQueuesAndOpensNothing) {
    cupsSetServer((dir.path() / "no-such.sock").c_str());
    EXPECT_TRUE(spooler.queueNames().empty());
    int error = 0;
    EXPECT_EQ(spooler.open("alpha", &error), nullptr);
    EXPECT_EQ(error, platform::CupsSpooler::kErrorServerUnreachable);
    cupsd->useFromThisThread();
    EXPECT_NE(spooler.open("alpha", &error), nullptr);
    EXPECT_EQ(error, 0);
}

TEST_F(CupsSpoolerTest, AnUnknownQueueIsReportedWithTheServersCode) {
    for (const std::string name : {"no-such-queue", "alpha/../Middle", "two words", ""}) {
        int error = 0;
        EXPECT_EQ(spooler.open(name, &error), nullptr) << name;
        EXPECT_EQ(error, platform::CupsSpooler::kErrorNoSuchQueue) << name;
    }

    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(3000));
    EngineOptions engine;
    engine.endpoints.statusPort = freeUdpPort();
    UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "printer1"),
              ResultPrinterPortError);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Can't Open Port printer1. Error: 1030");
    EXPECT_EQ(op.messages[0].flags, mb::kIconStop);
}

TEST_F(CupsSpoolerTest, AFileQueueShowsAsFileAndIsRefusedWithoutAJob) {
    int error = 0;
    auto queue = spooler.open("tofile", &error);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->portName(), std::optional<std::string>("FILE:"));
    queue.reset();

    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(3000));
    EngineOptions engine;
    engine.endpoints.statusPort = freeUdpPort();
    UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "tofile"),
              ResultPrinterPortError);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Could not Open the Printer");
    EXPECT_TRUE(completedJobs("tofile").empty());
}

TEST_F(CupsSpoolerTest, EachDocumentIsOneJobAndCallsOutOfTurnFail) {
    ASSERT_TRUE(cupsd->addFileQueue("jobs")) << cupsd->failure();
    int error = 0;
    auto queue = spooler.open("jobs", &error);
    ASSERT_NE(queue, nullptr) << error;

    // Nothing to end or write before a document has begun.
    EXPECT_FALSE(queue->startPage());
    EXPECT_FALSE(queue->write("x", 1));
    EXPECT_FALSE(queue->endPage());
    EXPECT_FALSE(queue->endDocument());

    const std::string bytes = testing_support::makeImage(5000);
    for (int document = 0; document < 2; ++document) {
        ASSERT_TRUE(queue->startDocument("Firmware Programmer", "RAW"));
        EXPECT_FALSE(queue->startDocument("Firmware Programmer", "RAW"));  // one at a time
        ASSERT_TRUE(queue->startPage());
        EXPECT_TRUE(queue->write(bytes.data(), 1460));
        EXPECT_TRUE(queue->write(bytes.data() + 1460, bytes.size() - 1460));
        EXPECT_TRUE(queue->write(bytes.data(), 0));
        EXPECT_TRUE(queue->endPage());
        EXPECT_TRUE(queue->endDocument());
        EXPECT_FALSE(queue->endDocument());
    }
    // A job whose document never began is closed, not left waiting.
    ASSERT_TRUE(queue->startDocument("Firmware Programmer", "RAW"));
    EXPECT_TRUE(queue->endDocument());
    queue->close();
    EXPECT_FALSE(queue->startDocument("Firmware Programmer", "RAW"));

    EXPECT_EQ(completedJobs("jobs").size(), 3u);
    EXPECT_TRUE(cupsd->removeQueue("jobs"));
}

TEST_F(CupsSpoolerTest, ASimulatedUnitBehindASocketQueueGetsHeaderThenImage) {
    sim::UnitSettings unit;
    unit.address = testing_support::uniqueLoopbackAddress();
    sim::SimulatorOptions options;
    options.udpPort = freeUdpPort();
    options.tcpPort = freeTcpPort();
    options.statusPort = freeUdpPort();
    sim::UnitSimulator simulator({unit}, options);
    std::string simError;
    ASSERT_TRUE(simulator.start(&simError)) << simError;
    ASSERT_TRUE(cupsd->addSocketQueue("unit7", unit.address, options.tcpPort)) << cupsd->failure();

    int error = 0;
    auto queue = spooler.open("unit7", &error);
    ASSERT_NE(queue, nullptr) << error;
    EXPECT_EQ(queue->portName(), "socket://" + unit.address + ":" +
                                     std::to_string(options.tcpPort) + "/?contimeout=3");
    queue.reset();

    const std::string image = testing_support::makeImage(20 * 1460 + 333);
    testing_support::writeFile(dir.file("fw.bin"), image);
    EngineOptions engine;
    engine.endpoints.unitUdpPort = options.udpPort;
    engine.endpoints.unitTcpPort = options.tcpPort;
    engine.endpoints.statusPort = freeUdpPort();
    UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "unit7"), ResultUnconfirmed);
    EXPECT_TRUE(op.messages.empty());

    auto is = [&](const char* kind) {
        return
            [kind, &unit](const sim::Event& e) { return e.kind == kind && e.unit == unit.address; };
    };
    const auto header = simulator.waitFor(is("header"), 10s);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->field("bytes"), "39");
    EXPECT_EQ(header->field("hex"), sim::toHex(proto::kEntryHeaderText.data(), 39));
    EXPECT_TRUE(simulator.waitFor(is("bootloader"), 10s));
    const auto received = simulator.waitFor(is("image"), 10s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->field("sha256"), sim::sha256Hex(image));
    EXPECT_EQ(received->field("bytes"), std::to_string(image.size()));
    EXPECT_EQ(received->field("bootloader"), "true");
    // Nothing but the spooler's two connections reached the unit.
    EXPECT_EQ(simulator.count("connection", unit.address), 2u);
    EXPECT_EQ(simulator.count("query", unit.address), 0u);
    EXPECT_EQ(completedJobs("unit7").size(), 2u);
    EXPECT_TRUE(cupsd->removeQueue("unit7"));
}

}  // namespace
