// `fwprog single` run in-process against simulated units, time scaled.
#include "cli/CliContext.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sstream>

using testing_support::freeTcpPort;
using testing_support::freeUdpPort;
using testing_support::uniqueLoopbackAddress;

namespace {

struct SingleCli : ::testing::Test {
    sim::SimulatorOptions simOptions;
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.005};
    testing_support::NoQueues spooler;
    std::unique_ptr<sim::UnitSimulator> simulator;
    std::ostringstream out, err;
    std::istringstream in;

    SingleCli() {
        simOptions.udpPort = freeUdpPort();
        simOptions.tcpPort = freeTcpPort();
        simOptions.statusPort = freeUdpPort();
        testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(9000));
    }

    int run(std::vector<std::string> args) {
        out.str({});
        err.str({});
        args.insert(args.end(), {"--unit-udp-port", std::to_string(simOptions.udpPort),
                                 "--unit-tcp-port", std::to_string(simOptions.tcpPort),
                                 "--status-port", std::to_string(simOptions.statusPort)});
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryWindow = std::chrono::milliseconds(100);
        return cli::runFwprog(args, context);
    }
};

}  // namespace

TEST_F(SingleCli, ResultMessageExitStatusAndJson) {
    sim::UnitSettings good, verify, silent;
    good.address = uniqueLoopbackAddress();
    verify.address = uniqueLoopbackAddress();
    verify.status = 2;
    silent.address = uniqueLoopbackAddress();
    silent.statusShape = sim::StatusShape::None;
    simulator = std::make_unique<sim::UnitSimulator>(
        std::vector<sim::UnitSettings>{good, verify, silent}, simOptions);
    ASSERT_TRUE(simulator->start());
    const std::string image = dir.file("fw.bin").string();

    EXPECT_EQ(run({"single", "--image", image, "--target", good.address}), 0);
    EXPECT_EQ(out.str(), "1 Unit Updated\nIP: " + good.address + " Successfully Programmed\n");
    EXPECT_EQ(err.str(), "") << "no progress bar when stderr is not a terminal";

    EXPECT_EQ(run({"single", "--image", image, "--target", verify.address}), 1);
    EXPECT_EQ(out.str(), "IP: " + verify.address + " Verify Error\n");

    EXPECT_EQ(run({"single", "--image", image, "--target", silent.address}), 3);
    EXPECT_EQ(out.str(), "1 Unit Update Attempted, " + silent.address + " Status Unconfirmed\n");

    EXPECT_EQ(run({"single", "--json", "--image", image, "--target=" + verify.address}), 1);
    EXPECT_EQ(out.str(), "{\"target\": \"" + verify.address +
                             "\", \"result\": 102, \"message\": \"IP: " + verify.address +
                             " Verify Error\\r\\n\"}\n");
}

TEST_F(SingleCli, FailuresGoToStderrWithThePrefix) {
    sim::UnitSettings refusing;
    refusing.address = uniqueLoopbackAddress();
    refusing.refuse = true;
    simulator =
        std::make_unique<sim::UnitSimulator>(std::vector<sim::UnitSettings>{refusing}, simOptions);
    ASSERT_TRUE(simulator->start());
    EXPECT_EQ(run({"single", "--image", dir.file("fw.bin").string(), "--target", refusing.address}),
              1);
    EXPECT_EQ(err.str(), "fwprog: Error #111: IP Address " + refusing.address +
                             "\nConnection refused\n (111)\n");
    EXPECT_EQ(out.str(), "IP: " + refusing.address + " Socket Error\n");

    EXPECT_EQ(run({"single", "--image", dir.file("absent").string(), "--target", "127.0.0.9"}), 1);
    EXPECT_EQ(out.str(), "IP: 127.0.0.9 File Not Found\n");
    EXPECT_EQ(err.str(), "");
}

TEST_F(SingleCli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(run({"single", "--target", "127.0.0.9"}), 2);
    EXPECT_NE(err.str().find("--image is required"), std::string::npos);
    EXPECT_EQ(run({"single", "--image", "x", "--target", "y", "--bogus"}), 2);
    EXPECT_EQ(run({"single", "--image", "x", "--target", "y", "--status-port", "70000"}), 2);
    EXPECT_EQ(run({"nonsense"}), 2);
    EXPECT_EQ(run({"single", "--version"}), 0);
    EXPECT_EQ(out.str(), "Firmware Programmer Version 2.9\n");
}
