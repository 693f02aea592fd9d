// The engine and fleet built for Windows, run in-process with scaled time,
// against simulated units of the Linux simulator beside this program (Wine
// cannot bind UDP sockets to several loopback addresses, so the simulated
// units stay a Linux program).
#include "cli/CliContext.h"
#include "platform/Sha256.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The Linux simulator's units, started beside this program by
// with-native-simulator.sh: their addresses and ports come from the
// environment, their events from the file the simulator writes.
class NativeSimulator {
public:
    NativeSimulator() {
        const char* events = std::getenv("FWPROG_SIM_EVENTS");
        const char* units = std::getenv("FWPROG_SIM_UNITS");
        if (events == nullptr || units == nullptr) {
            failure_ =
                "no native simulator beside this test (run it through "
                "with-native-simulator.sh)";
            return;
        }
        events_ = events;
        std::istringstream list(units);
        for (std::string unit; list >> unit;)
            units_.push_back(unit);
        udp_ = port("FWPROG_SIM_UDP_PORT");
        tcp_ = port("FWPROG_SIM_TCP_PORT");
        status_ = port("FWPROG_SIM_STATUS_PORT");
    }

    const std::string& failure() const { return failure_; }
    const std::vector<std::string>& units() const { return units_; }
    std::uint16_t udp() const { return udp_; }
    std::uint16_t tcp() const { return tcp_; }
    std::uint16_t status() const { return status_; }

    // The number of event lines so far that hold every piece.
    std::size_t count(const std::string& piece, const std::string& other = {}) const {
        std::istringstream lines(testing_support::readFile(events_));
        std::size_t found = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.find(piece) != std::string::npos &&
                (other.empty() || line.find(other) != std::string::npos))
                ++found;
        return found;
    }

    // Waits until more than `before` such lines have come.
    bool waitForMore(std::size_t before, const std::string& piece, const std::string& other,
                     std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count(piece, other) <= before) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

private:
    static std::uint16_t port(const char* name) {
        const char* value = std::getenv(name);
        return value ? static_cast<std::uint16_t>(std::stoi(value)) : 0;
    }

    std::string events_;
    std::vector<std::string> units_;
    std::uint16_t udp_ = 0, tcp_ = 0, status_ = 0;
    std::string failure_;
};

struct WithNativeSimulator : ::testing::Test {
    NativeSimulator sim;
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    std::string image = testing_support::makeImage(20 * 1460 + 3);

    void SetUp() override {
        ASSERT_EQ(sim.failure(), "");
        ASSERT_EQ(sim.units().size(), 4u);
        testing_support::writeFile(dir.file("fw.bin"), image);
    }

    int fwprog(std::vector<std::string> args) { return fwprog(std::move(args), sleeper); }

    int fwprog(std::vector<std::string> args, platform::Sleeper& pauses) {
        out.str({});
        err.str({});
        args.insert(args.begin() + 1,
                    {"--unit-udp-port", std::to_string(sim.udp()), "--unit-tcp-port",
                     std::to_string(sim.tcp()), "--status-port", std::to_string(sim.status()),
                     "--broadcast", "127.255.255.255"});
        cli::CliContext context{out, err, in, false, false, pauses, spooler};
        context.streamTimeouts.refusedRetryPause = 50ms;
        return cli::runFwprog(args, context);
    }
};

TEST_F(WithNativeSimulator, SingleAndMultipleProgramTheUnitsWithTheImageWhole) {
    const std::string a = sim.units()[0], b = sim.units()[1];
    const std::string taken = "\"sha256\":\"" + platform::sha256Hex(image) + "\"";
    const std::size_t takenByA = sim.count(taken, a), takenByB = sim.count(taken, b);

    EXPECT_EQ(fwprog({"single", "--image", dir.file("fw.bin").string(), "--target", a}), 0)
        << err.str();
    EXPECT_EQ(out.str(), "1 Unit Updated\nIP: " + a + " Successfully Programmed\n");
    EXPECT_TRUE(sim.waitForMore(takenByA, taken, a, 5s));

    testing_support::writeFile(dir.file("units.txt"), a + "\r\n" + b + "\r\n");
    EXPECT_EQ(fwprog({"multiple", "--image", dir.file("fw.bin").string(), "--list",
                      dir.file("units.txt").string(), "--jobs", "2"}),
              0)
        << err.str();
    EXPECT_NE(out.str().find("2 Units Updated"), std::string::npos) << out.str();
    EXPECT_TRUE(sim.waitForMore(takenByB, taken, b, 5s));
    const std::string log = testing_support::readFile(dir.file("Status.txt"));
    EXPECT_NE(log.find("IP: " + a + " Successfully Programmed\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("IP: " + b + " Successfully Programmed\r\n"), std::string::npos) << log;
}

TEST_F(WithNativeSimulator, DiscoverHearsEveryUnitOnTheLoopbackBroadcast) {
    // Real pauses: the replies must have time to arrive.
    testing_support::ScaledSleeper realTime{1.0};
    EXPECT_EQ(fwprog({"discover", "--wait", "400"}, realTime), 0) << err.str();
    for (const auto& unit : sim.units())
        EXPECT_NE(out.str().find("\t" + unit + "\t"), std::string::npos) << out.str();
}

TEST_F(WithNativeSimulator, TimestampReachesEveryUnit) {
    const std::size_t before = sim.count("\"event\":\"timestamp\"");
    EXPECT_EQ(fwprog({"timestamp", "--yes"}), 0) << err.str();
    EXPECT_TRUE(
        sim.waitForMore(before + sim.units().size() - 1, "\"event\":\"timestamp\"", {}, 5s));
}

}  // namespace
