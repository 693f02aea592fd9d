// The fwprog executable itself, run as a separate process the way an operator
// or a script runs it, against simulated units on loopback and a private CUPS
// scheduler: single (a unit and a print queue), multiple, discover, timestamp
// and queues, with the real schedule. The same tests drive the Windows
// fwprog.exe under Wine when FWPROG_TEST_EXECUTABLE and FWPROG_TEST_LAUNCHER
// name it (tests/windows), so both builds are held to one behaviour.
#include "platform/LocalClock.h"
#include "platform/Sha256.h"
#include "tests/support/FwprogProcess.h"
#include "tests/support/PrivateCupsd.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using testing_support::FwprogResult;
using testing_support::FwprogRun;
using testing_support::readFile;
using testing_support::runFwprogProcess;
using testing_support::writeFile;

namespace {

struct FwprogExecutable : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    std::string image = testing_support::makeImage(5 * 1460 + 77);

    FwprogExecutable() { writeFile(dir.file("fw.bin"), image); }

    std::string imagePath() const { return dir.file("fw.bin").string(); }

    // A path as fwprog names it: the Windows build sees this computer's
    // folders on Wine's drive Z:.
    static std::string shownPath(std::string path) {
        if (!testing_support::fwprogRunsUnderWine())
            return path;
        for (char& c : path)
            if (c == '/')
                c = '\\';
        return "Z:" + path;
    }

    // The command, then this test's ports and the loopback broadcast address.
    FwprogResult fwprog(std::vector<std::string> args) {
        const auto ports = portOptions();
        args.insert(args.begin() + 1, ports.begin(), ports.end());
        args.insert(args.begin() + 1, {"--broadcast", "127.255.255.255"});
        FwprogRun how;
        how.deadline = 60s;
        return runFwprogProcess(args, how);
    }

    // The SHA-256 of every image the unit at address took whole.
    std::vector<std::string> imagesTaken(const std::string& address) const {
        std::vector<std::string> hashes;
        for (const auto& event : simulator->events())
            if (event.kind == "image" && event.unit == address && event.field("failed") != "true")
                hashes.push_back(event.field("sha256"));
        return hashes;
    }
};

TEST_F(FwprogExecutable, SingleProgramsAUnitAndSaysSoOnStdout) {
    const auto good = unit(), verify = unit(2);
    ASSERT_TRUE(startSimulator({good, verify}));

    const auto run = fwprog({"single", "--image", imagePath(), "--target", good.address});
    ASSERT_TRUE(run.started && !run.timedOut) << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "1 Unit Updated\nIP: " + good.address + " Successfully Programmed\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(imagesTaken(good.address), std::vector<std::string>{platform::sha256Hex(image)});

    // The unit's own verdict decides, and --json carries the whole result.
    const auto rejected =
        fwprog({"single", "--image", imagePath(), "--target", verify.address, "--json"});
    EXPECT_EQ(rejected.exitStatus, 1) << rejected.err;
    EXPECT_EQ(rejected.out,
              "{\"target\": \"" + verify.address +
                  "\", \"result\": 102, \"message\": \"IP: " + verify.address +
                  " Verify Error\\r\\n\", \"bytes_delivered\": " + std::to_string(image.size()) +
                  ", \"image_bytes\": " + std::to_string(image.size()) +
                  ", \"status_datagrams\": 1, \"stale_datagrams\": 0, \"foreign_datagrams\": 0}\n");
}

TEST_F(FwprogExecutable, SingleReportsAMissingImageAndARefusingUnit) {
    const auto run =
        fwprog({"single", "--image", dir.file("absent.bin").string(), "--target", "127.0.0.9"});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(run.out, "IP: 127.0.0.9 File Not Found\n");

    const auto usage = fwprog({"single", "--image", imagePath()});
    EXPECT_EQ(usage.exitStatus, 2) << usage.err;
    EXPECT_NE(usage.err.find("--target"), std::string::npos) << usage.err;
    // Line ends are the program's own on every system: no CR added on the way out.
    EXPECT_EQ(usage.err.find('\r'), std::string::npos) << usage.err;
}

TEST_F(FwprogExecutable, CtrlCStopsSingleAtOnceAsUnconfirmed) {
    // Nothing answers at this address: the sequence waits for a boot loader
    // that never comes, and the operator presses Ctrl-C meanwhile.
    const std::string nobody = testing_support::uniqueLoopbackAddress();
    std::vector<std::string> args = {"single", "--image", imagePath(), "--target", nobody};
    const auto ports = portOptions();
    args.insert(args.end(), ports.begin(), ports.end());
    FwprogRun how;
    how.interruptAfter = 1500ms;
    how.deadline = 15s;
    const auto run = runFwprogProcess(args, how);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << "the interrupt did not stop it";
    EXPECT_EQ(run.exitStatus, 130) << run.err;
    EXPECT_EQ(run.out, "1 Unit Update Attempted, " + nobody + " Status Unconfirmed\n");
    EXPECT_NE(run.err.find("stopped by an interrupt"), std::string::npos) << run.err;
}

TEST_F(FwprogExecutable, MultipleProgramsEveryUnitOfTheListAndWritesTheLog) {
    const auto a = unit(), b = unit();
    ASSERT_TRUE(startSimulator({a, b}));
    const std::string list = dir.file("units.txt").string();
    writeFile(list, listOf({a, b}));

    const auto run = fwprog({"multiple", "--image", imagePath(), "--list", list});
    ASSERT_TRUE(run.started && !run.timedOut) << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::string logPath = dir.file("Status.txt").string();
    EXPECT_EQ(run.out, "2 Units Updated\n2 programmed, 0 failed, 0 unconfirmed\nlog: " +
                           shownPath(logPath) + "\n");
    const std::string log = readFile(logPath);
    static const std::regex expected(
        "File Name: [^\r\n]+\r\nDate: \\d\\d/\\d\\d/\\d\\d, Time: \\d\\d:\\d\\d\r\n"
        "IP: ([0-9.]+) Successfully Programmed\r\nIP: ([0-9.]+) Successfully Programmed\r\n"
        "2 Units Updated\r\n");
    std::smatch found;
    ASSERT_TRUE(std::regex_match(log, found, expected)) << log;
    EXPECT_EQ(found[1].str(), a.address);
    EXPECT_EQ(found[2].str(), b.address);
    EXPECT_EQ(log.substr(0, log.find("\r\n")), "File Name: " + imagePath());
    for (const auto& u : {a, b})
        EXPECT_EQ(imagesTaken(u.address), std::vector<std::string>{platform::sha256Hex(image)});
}

TEST_F(FwprogExecutable, DiscoverListsTheUnitsAndSavesTheirList) {
    auto app = unit(), loader = unit();
    app.product = "Unit 7 1.20";
    loader.product = "BootLoader";
    ASSERT_TRUE(startSimulator({app, loader}));
    const std::string saved = dir.file("found.txt").string();

    const auto run = fwprog({"discover", "--wait", "500", "--json", "--save", saved});
    ASSERT_TRUE(run.started && !run.timedOut) << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    for (const auto& u : {app, loader}) {
        EXPECT_NE(
            run.out.find("{\"product\": \"" + u.product + "\", \"address\": \"" + u.address + "\""),
            std::string::npos)
            << run.out;
        EXPECT_NE(readFile(saved).find(u.address + "\r\n"), std::string::npos);
    }
    // Only the loopback broadcast address was asked: every query came as a broadcast.
    EXPECT_EQ(simulator->count("query", app.address), 1u);
    for (const auto& event : simulator->events()) {
        if (event.kind == "query") {
            EXPECT_EQ(event.field("broadcast"), "true") << event.json;
        }
    }
}

TEST_F(FwprogExecutable, TimestampStampsEveryUnitWithTheLocalTimeAndZone) {
    const auto a = unit(), b = unit();
    ASSERT_TRUE(startSimulator({a, b}));

    const auto run = fwprog({"timestamp", "--yes", "--json"});
    ASSERT_TRUE(run.started && !run.timedOut) << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    std::smatch sent;
    ASSERT_TRUE(std::regex_match(run.out, sent,
                                 std::regex("\\{\"sent\": \"(TSBCJ\\d\\d-\\d\\d-\\d\\d, "
                                            "\\d\\d-\\d\\d-\\d\\d, (-?\\d+), (-?\\d+))\"\\}\n")))
        << run.out;
    // The zone as this computer's own clock reads it: the standard offset and
    // the daylight flag mean the same whichever system's build sent them.
    const auto zone = platform::readLocalClock();
    EXPECT_EQ(sent[2].str(), std::to_string(zone.standardMinutesWest));
    EXPECT_EQ(sent[3].str(), std::to_string(zone.daylightFlag));
    for (const auto& u : {a, b}) {
        const auto stamp = simulator->waitFor(
            [&](const sim::Event& e) { return e.kind == "timestamp" && e.unit == u.address; }, 5s);
        ASSERT_TRUE(stamp) << u.address;
        EXPECT_EQ(stamp->field("text"), sent[1].str());
    }
}

TEST_F(FwprogExecutable, TimestampAsksOnlyAtATerminal) {
    const auto a = unit();
    ASSERT_TRUE(startSimulator({a}));
    // Standard input is the null device, which is no terminal to ask on.
    const auto run = fwprog({"timestamp"});
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_NE(run.err.find("pass --yes"), std::string::npos) << run.err;
    EXPECT_EQ(simulator->count("timestamp"), 0u);
}

class FwprogExecutableQueues : public FwprogExecutable {
protected:
    static testing_support::PrivateCupsd* cupsd;

    static void SetUpTestSuite() {
        cupsd = new testing_support::PrivateCupsd;
        if (cupsd->start() && !cupsd->addFileQueue("nul"))
            cupsd->stop();
    }
    static void TearDownTestSuite() {
        delete cupsd;
        cupsd = nullptr;
    }
    void SetUp() override {
        if (!cupsd->running())
            GTEST_SKIP() << "no private CUPS scheduler: " << cupsd->failure();
    }
};

testing_support::PrivateCupsd* FwprogExecutableQueues::cupsd = nullptr;

TEST_F(FwprogExecutableQueues, QueuesListsTheSpoolersQueues) {
    ASSERT_TRUE(cupsd->addSocketQueue("unit7", "127.0.0.1", 9));
    const auto run = fwprog({"queues"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "nul\nunit7\n");
    ASSERT_TRUE(cupsd->removeQueue("unit7"));
}

TEST_F(FwprogExecutableQueues, SingleThroughAPrintQueueDeliversHeaderAndImage) {
    const auto behind = unit();
    ASSERT_TRUE(startSimulator({behind}));
    ASSERT_TRUE(cupsd->addSocketQueue("unit8", behind.address, simOptions.tcpPort));

    const auto run = fwprog({"single", "--image", imagePath(), "--target", "unit8"});
    ASSERT_TRUE(run.started && !run.timedOut) << run.err;
    // A print queue never gives a verdict: sent, unconfirmed.
    EXPECT_EQ(run.exitStatus, 3) << run.out << run.err;
    const auto taken = simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "image" && e.unit == behind.address; }, 20s);
    ASSERT_TRUE(taken) << "the image never reached the unit behind the queue";
    EXPECT_EQ(taken->field("sha256"), platform::sha256Hex(image));
    EXPECT_GE(simulator->count("header", behind.address), 1u);
    ASSERT_TRUE(cupsd->removeQueue("unit8"));
}

}  // namespace
