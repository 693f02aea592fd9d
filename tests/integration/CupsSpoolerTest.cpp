// The CUPS spooler and the print-queue path of the programming sequence,
// against a private scheduler and a simulated unit behind a raw socket queue.
#include "engine/PrintQueueDelivery.h"
#include "engine/Protocol.h"
#include "engine/UnitProgrammer.h"
#include "platform/Sha256.h"
#include "platform/posix/CupsSpooler.h"
#include "sim/UnitSimulator.h"
#include "tests/support/PrivateCupsd.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

using namespace std::chrono_literals;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;
using testing_support::PrivateCupsd;

namespace {

// A bare TCP listener in place of a printer port: it keeps the bytes of each
// connection, in the order the connections came, and closes its end once the
// sender has finished, as the raw socket device waits for.
class PortListener {
public:
    ~PortListener() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool start(const std::string& address, std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        const int on = 1;
        if (fd_ < 0 || ::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1 ||
            ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
            ::listen(fd_, 4) != 0)
            return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    // The finished connections once there are `count` of them, or those there
    // are when the time is up.
    std::vector<std::string> waitForConnections(std::size_t count,
                                                std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return connections_.size() >= count; });
        return connections_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0)
                continue;
            const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            std::string bytes;
            char chunk[4096];
            while (!stop_) {
                pollfd readable{connection, POLLIN, 0};
                if (::poll(&readable, 1, 50) <= 0)
                    continue;
                const ssize_t got = ::read(connection, chunk, sizeof chunk);
                if (got <= 0)
                    break;
                bytes.append(chunk, static_cast<std::size_t>(got));
            }
            ::close(connection);
            std::lock_guard lock(mutex_);
            connections_.push_back(std::move(bytes));
            changed_.notify_all();
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> connections_;
};

// A short view of bytes that arrived, for failure messages.
std::string shown(const std::string& bytes) {
    return testing::PrintToString(bytes.substr(0, 60)) + " (" + std::to_string(bytes.size()) +
           " bytes)";
}

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

TEST_F(CupsSpoolerTest, AServerWithoutQueuesListsNoneWithoutAProblem) {
    PrivateCupsd empty;
    if (!empty.start())
        GTEST_SKIP() << empty.failure();
    std::string problem;
    const auto listed = spooler.listQueues(&problem);
    empty.stop();
    cupsd->useFromThisThread();
    ASSERT_TRUE(listed) << problem;
    EXPECT_TRUE(listed->empty());
}

TEST_F(CupsSpoolerTest, ListsTheServersQueuesInItsOwnOrder) {
    EXPECT_EQ(spooler.queueNames(),
              (std::vector<std::string>{"alpha", "Middle", "tofile", "Zeta_queue"}));
}

TEST_F(CupsSpoolerTest, AnUnreachableServerHasNoQueuesAndOpensNothing) {
    cupsSetServer((dir.path() / "no-such.sock").c_str());
    EXPECT_TRUE(spooler.queueNames().empty());
    std::string problem;
    EXPECT_EQ(spooler.listQueues(&problem), std::nullopt);
    EXPECT_NE(problem.find((dir.path() / "no-such.sock").string()), std::string::npos) << problem;
    int error = 0;
    EXPECT_EQ(spooler.open("alpha", &error), nullptr);
    EXPECT_EQ(error, platform::CupsSpooler::kErrorServerUnreachable);
    cupsd->useFromThisThread();
    EXPECT_NE(spooler.open("alpha", &error), nullptr);
    EXPECT_EQ(error, 0);
}

class UnknownQueue : public CupsSpoolerTest,
                     public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(UnknownQueue, IsReportedWithTheServersCode) {
    int error = 0;
    EXPECT_EQ(spooler.open(GetParam().second, &error), nullptr);
    EXPECT_EQ(error, platform::CupsSpooler::kErrorNoSuchQueue);
}

INSTANTIATE_TEST_SUITE_P(CupsSpoolerTest, UnknownQueue,
                         ::testing::Values(std::pair{"NoSuchQueue", "no-such-queue"},
                                           std::pair{"WithAPath", "alpha/../Middle"},
                                           std::pair{"WithASpace", "two words"},
                                           std::pair{"Empty", ""}),
                         [](const auto& testCase) { return std::string(testCase.param.first); });

TEST_F(CupsSpoolerTest, AnUnknownQueueEndsTheRunAsPrinterPortError) {
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(3000));
    engine::EngineOptions engine;
    engine.endpoints.statusPort = freeUdpPort();
    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "printer1"),
              engine::ResultPrinterPortError);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Can't Open Port printer1. Error: 1030");
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
}

TEST_F(CupsSpoolerTest, AFileQueueShowsAsFileAndIsRefusedWithoutAJob) {
    int error = 0;
    auto queue = spooler.open("tofile", &error);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->portName(), std::optional<std::string>("FILE:"));
    queue.reset();

    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(3000));
    engine::EngineOptions engine;
    engine.endpoints.statusPort = freeUdpPort();
    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "tofile"),
              engine::ResultPrinterPortError);
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
        // An empty write sends nothing, so the document goes on after it.
        EXPECT_TRUE(queue->write(bytes.data(), 0));
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

TEST_F(CupsSpoolerTest, APortBehindASocketQueueGetsTheHeaderThenTheImageByteForByte) {
    const std::string address = testing_support::uniqueLoopbackAddress();
    const std::uint16_t port = freeTcpPort();
    PortListener listener;
    ASSERT_TRUE(listener.start(address, port)) << address << ":" << port;
    ASSERT_TRUE(cupsd->addSocketQueue("rawport", address, port)) << cupsd->failure();

    // Every byte value, escapes and form feeds included, must pass untouched.
    std::string image = testing_support::makeImage(7 * 1460 + 17, 11);
    for (int value = 0; value < 256; ++value)
        image[static_cast<std::size_t>(value)] = static_cast<char>(value);
    testing_support::writeFile(dir.file("fw.bin"), image);
    platform::InputFile file;
    ASSERT_TRUE(file.open(dir.file("fw.bin").string()));
    std::vector<unsigned char> buffer(1460);
    EXPECT_EQ(engine::DeliverToPrintQueue(op, spooler, "rawport", file,
                                          engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                          buffer.size()),
              engine::ResultUnconfirmed);
    EXPECT_TRUE(op.messages.empty());

    const std::vector<std::string> received = listener.waitForConnections(2, 15s);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].size(), 39u);
    EXPECT_TRUE(received[0] == engine::proto::kEntryHeaderText) << shown(received[0]);
    EXPECT_EQ(received[1].size(), image.size());
    EXPECT_TRUE(received[1] == image) << "the image arrived changed: " << shown(received[1]);
    EXPECT_EQ(completedJobs("rawport").size(), 2u);
    EXPECT_TRUE(cupsd->removeQueue("rawport"));
}

// Banner pages and extra copies set as the queue's defaults would wrap the
// header and the image in pages of their own, or send the image twice: every
// job asks for neither, so the port gets exactly the bytes.
TEST_F(CupsSpoolerTest, AQueuesBannerAndCopiesDefaultsNeverChangeTheBytes) {
    const std::string address = testing_support::uniqueLoopbackAddress();
    const std::uint16_t port = freeTcpPort();
    PortListener listener;
    ASSERT_TRUE(listener.start(address, port)) << address << ":" << port;
    ASSERT_TRUE(cupsd->addSocketQueue(
        "dressed", address, port,
        {"job-sheets-default=standard,standard", "copies-default=2", "number-up-default=2"}))
        << cupsd->failure();

    const std::string image = testing_support::makeImage(5 * 1460 + 9, 17);
    testing_support::writeFile(dir.file("fw.bin"), image);
    platform::InputFile file;
    ASSERT_TRUE(file.open(dir.file("fw.bin").string()));
    std::vector<unsigned char> buffer(1460);
    EXPECT_EQ(engine::DeliverToPrintQueue(op, spooler, "dressed", file,
                                          engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                          buffer.size()),
              engine::ResultUnconfirmed);
    EXPECT_EQ(completedJobs("dressed").size(), 2u);

    const std::vector<std::string> received = listener.waitForConnections(3, 700ms);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[0] == engine::proto::kEntryHeaderText) << shown(received[0]);
    EXPECT_TRUE(received[1] == image) << "the image arrived changed: " << shown(received[1]);
    EXPECT_TRUE(cupsd->removeQueue("dressed"));
}

// An empty image, an image that cannot be read and a stop: none leaves a job
// waiting in the queue, and no cut-off image reaches the port.
// An image a job cannot take whole: an empty one, one that cannot be read, and
// a stop after five blocks.
struct CutImageCase {
    const char* name;
    const char* image;    // in the test's folder, or an absolute path
    int stopAfterBlocks;  // -1: never
    engine::ProgramResult result;
    std::vector<std::string> messages;
};

void PrintTo(const CutImageCase& c, std::ostream* out) {
    *out << c.name;
}

class CutImageJob : public CupsSpoolerTest, public ::testing::WithParamInterface<CutImageCase> {};

TEST_P(CutImageJob, IsNeitherLeftWaitingNorFinishedCutOff) {
    const CutImageCase& c = GetParam();
    const std::string address = testing_support::uniqueLoopbackAddress();
    const std::uint16_t port = freeTcpPort();
    PortListener listener;
    ASSERT_TRUE(listener.start(address, port)) << address << ":" << port;
    ASSERT_TRUE(cupsd->addSocketQueue("cut", address, port)) << cupsd->failure();
    testing_support::writeFile(dir.file("empty.bin"), "");
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(50 * 1460));
    const std::string image = c.image[0] == '/' ? std::string(c.image) : dir.file(c.image).string();

    engine::EngineOptions engine;
    engine.endpoints.statusPort = freeUdpPort();
    int checks = 0;
    engine.stop = [&] { return c.stopAfterBlocks >= 0 && ++checks > c.stopAfterBlocks; };
    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(image, "cut"), c.result);
    std::vector<std::string> texts;
    for (const auto& m : op.messages)
        texts.push_back(m.text);
    EXPECT_EQ(texts, c.messages);

    completedJobs("cut");
    EXPECT_EQ(cupsd->jobIds("cut", "not-completed"), std::vector<int>{})
        << "a job was left waiting";
    // Only the header's job reaches the port.
    const std::vector<std::string> received = listener.waitForConnections(2, 500ms);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received.back() == engine::proto::kEntryHeaderText) << shown(received.back());
    EXPECT_TRUE(cupsd->removeQueue("cut"));
}

INSTANTIATE_TEST_SUITE_P(
    CupsSpoolerTest, CutImageJob,
    ::testing::Values(CutImageCase{"EmptyImage", "empty.bin", -1, engine::ResultUnconfirmed, {}},
                      CutImageCase{
                          "UnreadableImage",
                          "/proc/self/mem",
                          -1,
                          engine::ResultFileNotFound,
                          {"Could not read the image file /proc/self/mem\nInput/output error\n"}},
                      CutImageCase{"Stop", "fw.bin", 5, engine::ResultUnconfirmed, {}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(CupsSpoolerTest, AQueueWithAPrinterDriverStillPassesTheBytesUntouched) {
    // The driver's filters would turn the header's text into a printed page;
    // only a raw document bypasses them.
    const std::string address = testing_support::uniqueLoopbackAddress();
    const std::uint16_t port = freeTcpPort();
    PortListener listener;
    ASSERT_TRUE(listener.start(address, port)) << address << ":" << port;
    // Without SNMP: a driver's queue would otherwise ask the port's address
    // for supply levels and wait seconds for answers that never come.
    if (!cupsd->addQueue("driven",
                         "socket://" + address + ":" + std::to_string(port) + "/?snmp=false",
                         "drv:///sample.drv/generic.ppd"))
        GTEST_SKIP() << "no printer driver to install: " << cupsd->failure();

    const std::string image = testing_support::makeImage(3 * 1460 + 5, 13);
    testing_support::writeFile(dir.file("fw.bin"), image);
    platform::InputFile file;
    ASSERT_TRUE(file.open(dir.file("fw.bin").string()));
    std::vector<unsigned char> buffer(1460);
    EXPECT_EQ(engine::DeliverToPrintQueue(op, spooler, "driven", file,
                                          engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                          buffer.size()),
              engine::ResultUnconfirmed);

    const std::vector<std::string> received = listener.waitForConnections(2, 15s);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[0] == engine::proto::kEntryHeaderText) << shown(received[0]);
    EXPECT_TRUE(received[1] == image) << "the image arrived changed: " << shown(received[1]);
    EXPECT_TRUE(cupsd->removeQueue("driven"));
}

TEST_F(CupsSpoolerTest, AQueueThatTurnsJobsAwayFailsTheFirstDocument) {
    // Nothing listens behind it; a job that got through would fail to connect.
    ASSERT_TRUE(
        cupsd->addSocketQueue("closed", testing_support::uniqueLoopbackAddress(), freeTcpPort()))
        << cupsd->failure();
    ASSERT_TRUE(cupsd->setAccepting("closed", false)) << cupsd->failure();
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(100));
    platform::InputFile file;
    ASSERT_TRUE(file.open(dir.file("fw.bin").string()));
    std::vector<unsigned char> buffer(1460);

    EXPECT_EQ(engine::DeliverToPrintQueue(op, spooler, "closed", file,
                                          engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                          buffer.size()),
              engine::ResultPrinterPortError);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "StartDocPrinter Failed");
    EXPECT_EQ(cupsd->jobIds("closed", "all"), std::vector<int>{});
    EXPECT_TRUE(cupsd->removeQueue("closed"));
}

TEST_F(CupsSpoolerTest, AQueueRemovedWhileOpenHasNoPortAndTakesNoJob) {
    ASSERT_TRUE(cupsd->addFileQueue("fleeting")) << cupsd->failure();
    int error = 0;
    auto queue = spooler.open("fleeting", &error);
    ASSERT_NE(queue, nullptr) << error;
    ASSERT_TRUE(cupsd->removeQueue("fleeting"));
    EXPECT_EQ(queue->portName(), std::nullopt);
    EXPECT_FALSE(queue->startDocument("Firmware Programmer", "RAW"));
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
    engine::EngineOptions engine;
    engine.endpoints.unitUdpPort = options.udpPort;
    engine.endpoints.unitTcpPort = options.tcpPort;
    engine.endpoints.statusPort = freeUdpPort();
    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), "unit7"),
              engine::ResultUnconfirmed);
    EXPECT_TRUE(op.messages.empty());

    auto is = [&](const char* kind) {
        return
            [kind, &unit](const sim::Event& e) { return e.kind == kind && e.unit == unit.address; };
    };
    const auto header = simulator.waitFor(is("header"), 10s);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->field("bytes"), "39");
    EXPECT_EQ(header->field("hex"), platform::hexText(engine::proto::kEntryHeaderText.data(), 39));
    EXPECT_TRUE(simulator.waitFor(is("bootloader"), 10s));
    const auto received = simulator.waitFor(is("image"), 10s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->field("sha256"), platform::sha256Hex(image));
    EXPECT_EQ(received->field("bytes"), std::to_string(image.size()));
    EXPECT_EQ(received->field("bootloader"), "true");
    // Nothing but the spooler's two connections reached the unit.
    EXPECT_EQ(simulator.count("connection", unit.address), 2u);
    EXPECT_EQ(simulator.count("query", unit.address), 0u);
    EXPECT_EQ(completedJobs("unit7").size(), 2u);
    EXPECT_TRUE(cupsd->removeQueue("unit7"));
}

}  // namespace
