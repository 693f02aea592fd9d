// `fwprog discover` and `fwprog timestamp` run in-process against simulated
// units on the loopback broadcast address.
#include "cli/CliContext.h"
#include "sim/UnitSimulator.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::uniqueLoopbackAddress;

namespace {

struct FleetCli : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{1.0};  // real pauses: replies must arrive
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    bool stdinIsTerminal = false;
    std::string low, high;

    FleetCli() {
        low = uniqueLoopbackAddress();
        high = uniqueLoopbackAddress();
        if (high < low)
            std::swap(low, high);
    }

    void startUnits() {
        sim::UnitSettings a, b, c;
        a.address = high;
        a.product = "Unit 7 1.20";
        b.address = low;
        b.product = "Unit 7 1.20";
        b.replyDelay = 40ms;  // arrives last, listed first
        c.address = uniqueLoopbackAddress();
        c.product = "BootLoader";
        ASSERT_TRUE(startSimulator({a, b, c}));
    }

    int run(std::vector<std::string> args, const std::string& typed = {}) {
        out.str({});
        err.str({});
        in.clear();
        in.str(typed);
        // Right after the command, so a test's own options come later and win.
        args.insert(args.begin() + 1, {"--unit-udp-port", std::to_string(simOptions.udpPort),
                                       "--broadcast", "127.255.255.255"});
        cli::CliContext context{out, err, in, false, stdinIsTerminal, sleeper, spooler};
        return cli::runFwprog(args, context);
    }

    std::string bootLoaderAddress() const { return simulator->units()[2].address; }
};

}  // namespace

TEST_F(FleetCli, DiscoverListsSavesAndReportsAsJson) {
    startUnits();
    const std::string expected = "BootLoader\t" + bootLoaderAddress() + "\nUnit 7 1.20\t" + low +
                                 "\nUnit 7 1.20\t" + high + "\n";
    EXPECT_EQ(run({"discover", "--wait", "300"}), 0) << err.str();
    EXPECT_EQ(out.str(), expected);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(sleeper.requested().back(), 300ms);

    const auto saved = dir.file("units.txt");
    EXPECT_EQ(run({"discover", "--json", "--wait=300", "--save", saved.string()}), 0);
    EXPECT_EQ(out.str(),
              "{\"units\": [{\"product\": \"BootLoader\", \"address\": \"" + bootLoaderAddress() +
                  "\"}, {\"product\": \"Unit 7 1.20\", \"address\": \"" + low +
                  "\"}, {\"product\": \"Unit 7 1.20\", \"address\": \"" + high + "\"}]}\n");
    EXPECT_EQ(readFile(saved), bootLoaderAddress() + "\r\n" + low + "\r\n" + high + "\r\n");
}

TEST_F(FleetCli, DiscoverPauseOptionsAndFailures) {
    // No units: an empty list and success; the units' own pause by default.
    EXPECT_EQ(run({"discover"}), 0);
    EXPECT_EQ(out.str(), "");
    ASSERT_FALSE(sleeper.requested().empty());
    EXPECT_EQ(sleeper.requested().back(), 5ms);
    EXPECT_EQ(run({"discover", "--json"}), 0);
    EXPECT_EQ(out.str(), "{\"units\": []}\n");

    for (const char* wait : {"4", "abc", "600001", ""}) {
        EXPECT_EQ(run({"discover", "--wait", wait}), 2) << wait;
        EXPECT_NE(err.str().find("usage: fwprog discover"), std::string::npos);
    }

    // A query that cannot be sent: the operator's text, nothing listed or saved.
    const auto saved = dir.file("units.txt");
    EXPECT_EQ(
        run({"discover", "--json", "--broadcast", "not-an-address", "--save", saved.string()}), 1);
    EXPECT_EQ(err.str(), "fwprog: Send Error\n");
    EXPECT_EQ(out.str(), "{\"error\": \"Send Error\"}\n");
    EXPECT_FALSE(std::filesystem::exists(saved));

    // A named file that cannot be made is a failure here, unlike the window's
    // cancelled chooser.
    EXPECT_EQ(run({"discover", "--save", dir.file("no/such/dir.txt").string()}), 1);
    EXPECT_NE(err.str().find("Cannot create the list file " + dir.file("no/such/dir.txt").string()),
              std::string::npos)
        << err.str();
}

TEST_F(FleetCli, TimestampAsksOrNeedsYes) {
    startUnits();
    // No terminal to ask on and no --yes: refused before anything is sent.
    EXPECT_EQ(run({"timestamp"}), 2);
    EXPECT_NE(err.str().find("--yes"), std::string::npos) << err.str();

    stdinIsTerminal = true;
    EXPECT_EQ(run({"timestamp"}, "n\n"), 1);
    EXPECT_NE(err.str().find("Set all Networked Time Stamps to Current Time? [y/N]"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(run({"timestamp"}, ""), 1) << "end of input is no";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(simulator->count("timestamp"), 0u);
    EXPECT_EQ(simulator->count("datagram"), 0u);

    EXPECT_EQ(run({"timestamp"}, "Y\n"), 0);
    EXPECT_EQ(out.str(), "") << "a success prints nothing";
    ASSERT_TRUE(
        simulator->waitFor([](const sim::Event& e) { return e.kind == "timestamp"; }, 3000ms));
}

TEST_F(FleetCli, TimestampYesJsonNamesWhatEveryUnitReceived) {
    startUnits();
    EXPECT_EQ(run({"timestamp", "--yes", "--json"}), 0) << err.str();
    const std::string printed = out.str();
    ASSERT_EQ(printed.rfind("{\"sent\": \"TSBCJ", 0), 0u) << printed;
    const std::string text = printed.substr(10, printed.size() - 10 - 3);
    for (const auto& unit : simulator->units()) {
        auto event = simulator->waitFor(
            [&](const sim::Event& e) { return e.kind == "timestamp" && e.unit == unit.address; },
            3000ms);
        ASSERT_TRUE(event) << unit.address;
        EXPECT_EQ(event->field("text"), text);
    }
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(run({"timestamp", "--yes", "--json", "--broadcast", "not-an-address"}), 1);
    EXPECT_EQ(err.str(), "fwprog: Send Error\n");
    EXPECT_EQ(out.str(), "{\"error\": \"Send Error\"}\n");
}
