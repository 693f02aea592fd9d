// `fwprog multiple --jobs`: what it accepts, and that one job is the batch
// run one unit after the other.
#include "cli/CliContext.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sstream>

using testing_support::freeTcpPort;
using testing_support::freeUdpPort;

namespace {

struct JobsOption : ::testing::Test {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.005};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;

    int run(std::vector<std::string> args) {
        out.str({});
        err.str({});
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = std::chrono::milliseconds(30);
        return cli::runFwprog(args, context);
    }
};

}  // namespace

struct BadJobs : JobsOption, ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(BadJobs, IsAUsageError) {
    const std::string list = dir.file("units.txt").string();
    EXPECT_EQ(run({"multiple", "--image", "fw", "--list", list, "--jobs", GetParam().second}),
              cli::kExitUsage);
    EXPECT_NE(err.str().find("--jobs"), std::string::npos);
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Status.txt")))
        << "a usage error must not create the log";
}

INSTANTIATE_TEST_SUITE_P(JobsOption, BadJobs,
                         ::testing::Values(std::pair{"Zero", "0"}, std::pair{"Negative", "-1"},
                                           std::pair{"Word", "two"}, std::pair{"Fraction", "1.5"},
                                           std::pair{"Empty", ""}, std::pair{"LeadingSpace", " 2"},
                                           std::pair{"TrailingLetter", "2x"},
                                           std::pair{"Huge", "99999999999999999999"},
                                           std::pair{"BeyondTheMost", "5001"}),
                         [](const auto& testCase) { return std::string(testCase.param.first); });

TEST_F(JobsOption, AMissingCountOrAnySenderBesideJobsIsAUsageError) {
    const std::string list = dir.file("units.txt").string();
    EXPECT_EQ(run({"multiple", "--image", "fw", "--list", list, "--jobs"}), cli::kExitUsage);
    // Units in flight are told apart by their verdict's sender.
    EXPECT_EQ(run({"multiple", "--image", "fw", "--list", list, "--jobs", "2", "--any-sender"}),
              cli::kExitUsage);
    EXPECT_NE(err.str().find("--any-sender"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("Status.txt")))
        << "a usage error must not create the log";
}

TEST_F(JobsOption, OneJobIsTheBatchOneUnitAfterTheOther) {
    sim::SimulatorOptions options;
    options.udpPort = freeUdpPort();
    options.tcpPort = freeTcpPort();
    options.statusPort = freeUdpPort();
    sim::UnitSettings first, second;
    first.address = testing_support::uniqueLoopbackAddress();
    second.address = testing_support::uniqueLoopbackAddress();
    sim::UnitSimulator simulator({first, second}, options);
    std::string error;
    ASSERT_TRUE(simulator.start(&error)) << error;
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(5000));
    testing_support::writeFile(dir.file("units.txt"),
                               first.address + "\r\n" + second.address + "\r\n");

    EXPECT_EQ(
        run({"multiple", "--image", dir.file("fw.bin").string(), "--list",
             dir.file("units.txt").string(), "--jobs=1", "--unit-udp-port",
             std::to_string(options.udpPort), "--unit-tcp-port", std::to_string(options.tcpPort),
             "--status-port", std::to_string(options.statusPort)}),
        cli::kExitSuccess)
        << err.str();
    EXPECT_EQ(out.str(), "2 Units Updated\n2 programmed, 0 failed, 0 unconfirmed\nlog: " +
                             dir.file("Status.txt").string() + "\n");
    const std::string log = testing_support::readFile(dir.file("Status.txt"));
    EXPECT_NE(log.find("IP: " + first.address + " Successfully Programmed\r\nIP: " +
                       second.address + " Successfully Programmed\r\n2 Units Updated\r\n"),
              std::string::npos)
        << log;
    // One after the other: the second unit's entry header comes only after the
    // first unit's verdict.
    const auto events = simulator.events();
    std::size_t firstStatus = events.size(), secondHeader = events.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == "status" && events[i].unit == first.address &&
            firstStatus == events.size())
            firstStatus = i;
        if (events[i].kind == "header" && events[i].unit == second.address &&
            secondHeader == events.size())
            secondHeader = i;
    }
    ASSERT_LT(secondHeader, events.size());
    EXPECT_LT(firstStatus, secondHeader);
    // The pause after each programmed unit, the last one included.
    int pauses = 0;
    for (auto pause : sleeper.requested())
        pauses += pause == std::chrono::milliseconds(4000) ? 1 : 0;
    EXPECT_EQ(pauses, 2);
}
