// `fwprog single` run in-process against simulated units, time scaled.
#include "cli/CliContext.h"
#include "generated/Version.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using testing_support::uniqueLoopbackAddress;

namespace {

struct SingleCli : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.005};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;

    SingleCli() {
        testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(9000));
    }

    int run(std::vector<std::string> args) {
        out.str({});
        err.str({});
        const auto ports = portOptions();
        args.insert(args.end(), ports.begin(), ports.end());
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = std::chrono::milliseconds(50);
        return cli::runFwprog(args, context);
    }
};

}  // namespace

TEST_F(SingleCli, ResultMessageExitStatusAndJson) {
    const auto good = unit(), verify = unit(2);
    auto silent = unit();
    silent.statusShape = sim::StatusShape::None;
    ASSERT_TRUE(startSimulator({good, verify, silent}));
    const std::string image = dir.file("fw.bin").string();

    EXPECT_EQ(run({"single", "--image", image, "--target", good.address}), 0);
    EXPECT_EQ(out.str(), "1 Unit Updated\nIP: " + good.address + " Successfully Programmed\n");
    EXPECT_EQ(err.str(), "") << "no progress bar when stderr is not a terminal";

    EXPECT_EQ(run({"single", "--image", image, "--target", verify.address}), 1);
    EXPECT_EQ(out.str(), "IP: " + verify.address + " Verify Error\n");

    EXPECT_EQ(run({"single", "--image", image, "--target", silent.address}), 3);
    EXPECT_EQ(out.str(), "1 Unit Update Attempted, " + silent.address + " Status Unconfirmed\n");
    EXPECT_EQ(err.str(), "fwprog: no status datagram reached UDP port " +
                             std::to_string(simOptions.statusPort) +
                             " on this computer; if a firewall runs here, allow inbound UDP " +
                             std::to_string(simOptions.statusPort) + " from the units\n");

    EXPECT_EQ(run({"single", "--json", "--image", image, "--target=" + verify.address}), 1);
    EXPECT_EQ(out.str(),
              "{\"target\": \"" + verify.address +
                  "\", \"result\": 102, \"message\": \"IP: " + verify.address +
                  " Verify Error\\r\\n\", \"bytes_delivered\": 9000, \"image_bytes\": 9000, "
                  "\"status_datagrams\": 1, \"stale_datagrams\": 0, \"foreign_datagrams\": 0}\n");
}

TEST_F(SingleCli, FailuresGoToStderrWithThePrefix) {
    auto refusing = unit();
    refusing.refuse = true;
    ASSERT_TRUE(startSimulator({refusing}));
    EXPECT_EQ(run({"single", "--image", dir.file("fw.bin").string(), "--target", refusing.address}),
              1);
    EXPECT_EQ(err.str(), "fwprog: Error #111: IP Address " + refusing.address +
                             "\nConnection refused\n (111)\n");
    EXPECT_EQ(out.str(), "IP: " + refusing.address + " Socket Error\n");

    EXPECT_EQ(run({"single", "--image", dir.file("absent").string(), "--target", "127.0.0.9"}), 1);
    EXPECT_EQ(out.str(), "IP: 127.0.0.9 File Not Found\n");
    EXPECT_EQ(err.str(), "fwprog: cannot open the image " + dir.file("absent").string() +
                             ": No such file or directory\n");
}

TEST_F(SingleCli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(run({"single", "--target", "127.0.0.9"}), 2);
    EXPECT_NE(err.str().find("--image is required"), std::string::npos);
    EXPECT_EQ(run({"single", "--image", "x", "--target", "y", "--bogus"}), 2);
    EXPECT_EQ(run({"single", "--image", "x", "--target", "y", "--status-port", "70000"}), 2);
    EXPECT_EQ(run({"nonsense"}), 2);
    EXPECT_EQ(run({"single", "--version"}), 0);
    EXPECT_EQ(out.str(), std::string(kProductVersionText) + "\n");
}

TEST_F(SingleCli, AnImageThatIsNotARegularFileIsNamedOnStderr) {
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const auto& [path, kind] :
         {std::pair<std::string, std::string>{"/dev/zero", "a character device"},
          {dir.file("fifo").string(), "a FIFO"}}) {
        EXPECT_EQ(run({"single", "--image", path, "--target", "127.0.0.9"}), 1) << path;
        EXPECT_EQ(out.str(), "IP: 127.0.0.9 File Not Found\n");
        EXPECT_EQ(err.str(), "fwprog: the image " + path + " is " + kind +
                                 ", not a regular file; only a regular file can be an image\n");
    }
}
