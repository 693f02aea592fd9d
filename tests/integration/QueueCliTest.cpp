// `fwprog queues` and `fwprog single` with a print-queue target, in-process,
// against a private CUPS scheduler and a simulated unit behind a socket queue.
#include "cli/CliContext.h"
#include "platform/Sha256.h"
#include "platform/posix/CupsSpooler.h"
#include "sim/UnitSimulator.h"
#include "tests/support/PrivateCupsd.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;

namespace {

class QueueCli : public ::testing::Test {
protected:
    static testing_support::PrivateCupsd* cupsd;
    static sim::UnitSimulator* simulator;
    static std::string unitAddress;

    static void SetUpTestSuite() {
        cupsd = new testing_support::PrivateCupsd;
        if (!cupsd->start())
            return;
        sim::UnitSettings unit;
        unit.address = unitAddress = testing_support::uniqueLoopbackAddress();
        sim::SimulatorOptions options;
        options.udpPort = freeUdpPort();
        options.tcpPort = freeTcpPort();
        options.statusPort = freeUdpPort();
        simulator = new sim::UnitSimulator({unit}, options);
        if (!simulator->start() || !cupsd->addSocketQueue("unit7", unit.address, options.tcpPort) ||
            !cupsd->addFileQueue("nul"))
            cupsd->stop();
    }

    static void TearDownTestSuite() {
        delete cupsd;
        delete simulator;
        cupsd = nullptr;
        simulator = nullptr;
    }

    void SetUp() override {
        if (!cupsd->running())
            GTEST_SKIP() << "no private CUPS scheduler: " << cupsd->failure();
        cupsd->useFromThisThread();
        testing_support::writeFile(dir.file("fw.bin"), image);
    }

    int run(std::vector<std::string> args) {
        out.str({});
        err.str({});
        // The unit's own ports stay out of it: this path never talks to the unit.
        args.insert(args.end(), {"--status-port", std::to_string(freeUdpPort())});
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        return cli::runFwprog(args, context);
    }

    platform::CupsSpooler spooler;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::TempDir dir;
    std::string image = testing_support::makeImage(7 * 1460 + 5);
    std::ostringstream out, err;
    std::istringstream in;
};

testing_support::PrivateCupsd* QueueCli::cupsd = nullptr;
sim::UnitSimulator* QueueCli::simulator = nullptr;
std::string QueueCli::unitAddress;

TEST_F(QueueCli, QueuesAreListedOneALineOrAsJson) {
    EXPECT_EQ(run({"queues"}), cli::kExitSuccess);
    EXPECT_EQ(out.str(), "nul\nunit7\n");
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(run({"queues", "--json"}), cli::kExitSuccess);
    EXPECT_EQ(out.str(), "{\"queues\": [\"nul\", \"unit7\"]}\n");

    EXPECT_EQ(run({"queues", "unit7"}), cli::kExitUsage);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("fwprog: unknown option: unit7\n"), std::string::npos) << err.str();
}

TEST_F(QueueCli, AnUnreachablePrintServiceIsAFailureNotAnEmptyList) {
    const std::string dead = dir.file("no-such.sock").string();
    cupsSetServer(dead.c_str());
    const int status = run({"queues"});
    const std::string text = out.str(), errors = err.str();
    const int jsonStatus = run({"queues", "--json"});
    const std::string json = out.str();
    cupsd->useFromThisThread();

    EXPECT_EQ(status, cli::kExitFailure);
    EXPECT_EQ(text, "");
    EXPECT_EQ(errors, "fwprog: cannot ask the print service (CUPS at " + dead +
                          ") for its queues: No such file or directory\n");
    EXPECT_EQ(jsonStatus, cli::kExitFailure);
    EXPECT_EQ(json, "{\"error\": \"cannot ask the print service (CUPS at " + dead +
                        ") for its queues: No such file or directory\"}\n");
}

TEST_F(QueueCli, ASocketQueueTakesTheImageButLeavesTheResultUnconfirmed) {
    EXPECT_EQ(run({"single", "--image", dir.file("fw.bin").string(), "--target", "unit7"}),
              cli::kExitUnconfirmed);
    EXPECT_EQ(out.str(), "1 Unit Update Attempted, unit7 Status Unconfirmed\n");
    EXPECT_EQ(err.str(), "");
    const auto received = simulator->waitFor(
        [](const sim::Event& e) { return e.kind == "image" && e.unit == unitAddress; }, 10s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->field("sha256"), platform::sha256Hex(image));
}

TEST_F(QueueCli, AFileQueueOrAnUnknownQueueIsAPrinterPortError) {
    EXPECT_EQ(run({"single", "--image", dir.file("fw.bin").string(), "--target", "nul"}),
              cli::kExitFailure);
    EXPECT_EQ(err.str(), "fwprog: Could not Open the Printer\n");
    EXPECT_EQ(out.str(), "IP: nul Printer Port Error\n");

    EXPECT_EQ(run({"single", "--image", dir.file("fw.bin").string(), "--target", "printer1"}),
              cli::kExitFailure);
    EXPECT_EQ(err.str(), "fwprog: Can't Open Port printer1. Error: 1030\n");
    EXPECT_EQ(out.str(), "IP: printer1 Printer Port Error\n");
}

TEST_F(QueueCli, CheckTellsWhetherEachQueueTakesJobs) {
    ASSERT_TRUE(
        cupsd->addSocketQueue("paused", unitAddress, 9) && cupsd->setEnabled("paused", false) &&
        cupsd->addSocketQueue("closed", unitAddress, 9) && cupsd->setAccepting("closed", false))
        << cupsd->failure();
    const int status = run({"check", "unit7", "nul", "printer1", "paused", "closed"});
    cupsd->removeQueue("paused");
    cupsd->removeQueue("closed");
    EXPECT_EQ(status, cli::kExitFailure) << err.str();
    const std::string unitDevice = "socket://" + unitAddress + ":" +
                                   std::to_string(simulator->options().tcpPort) + "/?contimeout=3";
    const std::string sockets = "socket://" + unitAddress + ":9/?contimeout=3";
    // No status port line: delivery through a queue never hears a verdict.
    EXPECT_EQ(out.str(),
              "unit7: print queue, device " + unitDevice +
                  ", idle, accepting jobs\n"
                  "unit7: ready\n"
                  "nul: print queue, device FILE:, idle, accepting jobs\n"
                  "nul: not ready: the queue prints to a file, not to a unit; point it at the "
                  "unit, e.g. lpadmin -p nul -v socket://ADDRESS:9100\n"
                  "printer1: not ready: there is no print queue printer1 on this computer; "
                  "fwprog queues lists them\n"
                  "paused: print queue, device " +
                  sockets +
                  ", stopped, accepting jobs\n"
                  "paused: not ready: the queue is stopped; start it: cupsenable paused\n"
                  "closed: print queue, device " +
                  sockets +
                  ", idle, rejecting jobs\n"
                  "closed: not ready: the queue rejects new jobs; let it take them: cupsaccept "
                  "closed\n");
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(run({"check", "--json", "unit7"}), cli::kExitSuccess);
    EXPECT_EQ(out.str(),
              "{\"status_port\": null, \"targets\": [{\"target\": \"unit7\", \"kind\": "
              "\"queue\", \"exists\": true, \"device\": \"" +
                  unitDevice +
                  "\", \"state\": \"idle\", \"accepting_jobs\": true, \"ready\": "
                  "true, \"problem\": null}], \"stopped\": false}\n");
}

}  // namespace
