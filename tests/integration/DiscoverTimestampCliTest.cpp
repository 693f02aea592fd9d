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
#include <atomic>
#include <cctype>
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
    bool stdoutIsTerminal = false;
    std::atomic<int> interrupts{0};
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
        context.stdoutIsTerminal = stdoutIsTerminal;
        context.interrupts = &interrupts;
        return cli::runFwprog(args, context);
    }

    std::string bootLoaderAddress() const { return simulator->units()[2].address; }
};

}  // namespace

TEST_F(FleetCli, DiscoverListsSavesAndReportsAsJson) {
    startUnits();
    // The interface that heard each unit is the third column.
    const std::string expected = "BootLoader\t" + bootLoaderAddress() + "\tlo\nUnit 7 1.20\t" +
                                 low + "\tlo\nUnit 7 1.20\t" + high + "\tlo\n";
    EXPECT_EQ(run({"discover", "--wait", "300"}), 0) << err.str();
    EXPECT_EQ(out.str(), expected);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(sleeper.requested().back(), 300ms);

    const auto saved = dir.file("units.txt");
    EXPECT_EQ(run({"discover", "--json", "--wait=300", "--save", saved.string()}), 0);
    const auto unitJson = [](const std::string& product, const std::string& address) {
        return "{\"product\": \"" + product + "\", \"address\": \"" + address +
               "\", \"sender\": \"" + address + "\", \"interface\": \"lo\"}";
    };
    EXPECT_EQ(out.str(), "{\"units\": [" + unitJson("BootLoader", bootLoaderAddress()) + ", " +
                             unitJson("Unit 7 1.20", low) + ", " + unitJson("Unit 7 1.20", high) +
                             "], \"refused_replies\": 0, \"surplus_replies\": 0}\n");
    EXPECT_EQ(readFile(saved), bootLoaderAddress() + "\r\n" + low + "\r\n" + high + "\r\n");
}

// Replies whose address cannot be programmed are counted, never listed or
// saved; a unicast claim is listed, with the address it really came from.
TEST_F(FleetCli, DiscoverListsAndSavesOnlyUnitAddressesWithTheirSenders) {
    std::vector<sim::UnitSettings> units(6);
    for (auto& u : units)
        u.address = uniqueLoopbackAddress();
    const std::string impostor = uniqueLoopbackAddress();  // claimed, never bound
    units[0].product = "Honest 1.00";
    units[1].rawReply = "Named 1.00\nIP:office-laser\n";
    units[2].rawReply = "Nowhere 1.00\nIP:0.0.0.0\n";
    units[3].rawReply = "Everyone 1.00\nIP:127.255.255.255\n";
    units[4].rawReply = "Path 1.00\nIP:../../etc/passwd\n";
    units[5].rawReply = "Impostor 1.00\nIP:" + impostor + "\n";
    ASSERT_TRUE(startSimulator(units));

    const auto saved = dir.file("units.txt");
    EXPECT_EQ(run({"discover", "--wait", "300", "--save", saved.string()}), 0) << err.str();
    EXPECT_EQ(out.str(),
              "Honest 1.00\t" + units[0].address + "\tlo\nImpostor 1.00\t" + impostor + "\tlo\n");
    EXPECT_EQ(readFile(saved), units[0].address + "\r\n" + impostor + "\r\n");
    EXPECT_EQ(err.str(),
              "fwprog: 4 replies were not listed: their addresses are not one unit's (not a "
              "dotted IPv4 address, or 0.0.0.0, a broadcast or multicast address).\n");

    EXPECT_EQ(run({"discover", "--json", "--wait", "300"}), 0) << err.str();
    EXPECT_EQ(out.str(), "{\"units\": [{\"product\": \"Honest 1.00\", \"address\": \"" +
                             units[0].address + "\", \"sender\": \"" + units[0].address +
                             "\", \"interface\": \"lo\"}, {\"product\": \"Impostor 1.00\", "
                             "\"address\": \"" +
                             impostor + "\", \"sender\": \"" + units[5].address +
                             "\", \"interface\": \"lo\"}], \"refused_replies\": 4, "
                             "\"surplus_replies\": 0}\n");
}

// A sweep keeps one unit per swept address, however many a sender claims.
TEST_F(FleetCli, DiscoverRangeKeepsOneUnitPerSweptAddress) {
    sim::UnitSettings flooder;
    flooder.address = uniqueLoopbackAddress();
    flooder.product = "Flood 1.00";
    flooder.forgedReplies = 100;
    ASSERT_TRUE(startSimulator({flooder}));
    EXPECT_EQ(run({"discover", "--json", "--range", flooder.address, "--wait", "300"}), 0)
        << err.str();
    EXPECT_EQ(out.str().find("{\"units\": [{\"product\": \"Flood 1.00\", \"address\": \"" +
                             flooder.address + "\", \"sender\": \"" + flooder.address +
                             "\", \"interface\": \"lo\"}], \"refused_replies\": 0, "
                             "\"surplus_replies\": "),
              0u)
        << out.str();
    EXPECT_NE(err.str().find(" further replies were not listed: a queried address answers for "
                             "one unit only.\n"),
              std::string::npos)
        << err.str();
}

TEST_F(FleetCli, DiscoverPauseOptionsAndFailures) {
    // No units: an empty list and success, a second's wait by default, and
    // stderr tells that nobody answered and why that may be.
    EXPECT_EQ(run({"discover"}), 0);
    EXPECT_EQ(out.str(), "");
    ASSERT_FALSE(sleeper.requested().empty());
    EXPECT_EQ(sleeper.requested().back(), 1000ms);
    EXPECT_EQ(err.str().rfind("fwprog: no unit answered within 1000 ms; likely reasons:\n", 0), 0u)
        << err.str();
    for (const char* reason :
         {"--interface", "firewall", "allow inbound UDP from port ", "--range"})
        EXPECT_NE(err.str().find(reason), std::string::npos) << reason << " in " << err.str();
    EXPECT_EQ(run({"discover", "--json"}), 0);
    EXPECT_EQ(out.str(), "{\"units\": [], \"refused_replies\": 0, \"surplus_replies\": 0}\n");
    EXPECT_NE(err.str().find("no unit answered within 1000 ms"), std::string::npos) << err.str();

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

TEST_F(FleetCli, DiscoverWaitsLongEnoughForALateAnswerByDefault) {
    sim::UnitSettings late;
    late.address = low;
    late.product = "Late 1.00";
    late.replyDelay = 300ms;
    ASSERT_TRUE(startSimulator({late}));
    EXPECT_EQ(run({"discover"}), 0) << err.str();
    EXPECT_EQ(out.str(), "Late 1.00\t" + low + "\tlo\n");
    EXPECT_EQ(err.str(), "");
}

// Sets the interrupt count once a whole line has been flushed to it.
class InterruptAfterALine : public std::stringbuf {
public:
    explicit InterruptAfterALine(std::atomic<int>& interrupts) : interrupts_(interrupts) {}

protected:
    int sync() override {
        if (str().find('\n') != std::string::npos)
            interrupts_.store(1);
        return 0;
    }

private:
    std::atomic<int>& interrupts_;
};

TEST_F(FleetCli, DiscoverOnATerminalShowsEachAnswerAsItComes) {
    sim::UnitSettings early, late;
    early.address = low;
    early.product = "Early 1.00";
    late.address = high;
    late.product = "Late 1.00";
    late.replyDelay = 5000ms;
    ASSERT_TRUE(startSimulator({early, late}));
    // An interrupt as soon as the first line is out: on a terminal the early
    // unit is on the screen already; through a pipe the list would come at the
    // end, which the interrupt never lets it reach.
    for (const bool terminal : {false, true}) {
        InterruptAfterALine lines(interrupts);
        std::ostream screen(&lines);
        interrupts.store(0);
        std::vector<std::string> args = {
            "discover",    "--unit-udp-port", std::to_string(simOptions.udpPort),
            "--broadcast", "127.255.255.255", "--wait",
            "10000"};
        std::ostringstream errors;
        cli::CliContext context{screen, errors, in, false, false, sleeper, spooler};
        context.stdoutIsTerminal = terminal;
        context.interrupts = &interrupts;
        if (!terminal) {
            // Through a pipe nothing is written before the end: stop during the wait.
            std::thread stopper([this] {
                simulator->waitFor(
                    [this](const sim::Event& e) { return e.kind == "query" && e.unit == low; }, 5s);
                interrupts.store(1);
            });
            EXPECT_EQ(cli::runFwprog(args, context), cli::kExitInterrupted);
            stopper.join();
            EXPECT_EQ(lines.str(), "");
            EXPECT_EQ(errors.str(), "fwprog: stopped by an interrupt; nothing was listed\n");
            continue;
        }
        EXPECT_EQ(cli::runFwprog(args, context), cli::kExitInterrupted);
        EXPECT_EQ(lines.str(), "Early 1.00\t" + low + "\tlo\n");
        EXPECT_EQ(errors.str(), "fwprog: stopped by an interrupt\n");
    }
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
    ASSERT_TRUE(testing_support::everyUnitReadEarlierDatagrams(*simulator));
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

TEST_F(FleetCli, DiscoverRangeQueriesEachAddressByUnicastAtItsRate) {
    // Units no broadcast reaches (they listen for broadcasts elsewhere), on
    // three addresses of one /26.
    const std::string base = uniqueLoopbackAddress();
    const std::string block = base.substr(0, base.rfind('.') + 1);
    const std::string first = std::to_string(std::stoi(base.substr(base.rfind('.') + 1)) / 64 * 64);
    auto at = [&](int offset) { return block + std::to_string(std::stoi(first) + offset); };
    simOptions.broadcastListen = "127.254.254.254";
    std::vector<sim::UnitSettings> units(3);
    for (int i = 0; i < 3; ++i) {
        units[static_cast<std::size_t>(i)].address = at(10 + 20 * i);
        units[static_cast<std::size_t>(i)].product = "Far " + std::to_string(i);
    }
    ASSERT_TRUE(startSimulator(units));
    EXPECT_EQ(run({"discover", "--wait", "300"}), 0);
    EXPECT_EQ(out.str(), "") << "the broadcast reaches none of them";

    const std::string cidr = block + first + "/26";
    const std::size_t pausesBefore = sleeper.requested().size();
    EXPECT_EQ(run({"discover", "--range", cidr, "--range", at(10) + "-" + at(12), "--rate", "1000",
                   "--json"}),
              0)
        << err.str();
    const auto far = [&](int n, int host) {
        return "{\"product\": \"Far " + std::to_string(n) + "\", \"address\": \"" + at(host) +
               "\", \"sender\": \"" + at(host) + "\", \"interface\": \"lo\"}";
    };
    EXPECT_EQ(out.str(), "{\"units\": [" + far(0, 10) + ", " + far(1, 30) + ", " + far(2, 50) +
                             "], \"refused_replies\": 0, \"surplus_replies\": 0}\n");
    EXPECT_EQ(err.str(), "") << "no progress line without a terminal";
    // 64 queries at 1000 a second: a pause after every tenth, 60 ms in all
    // before the last burst; then the wait a routed network gets by default.
    using ms = std::chrono::milliseconds;
    std::vector<ms> expected(6, ms(10));
    expected.push_back(ms(1000));
    const auto pauses = sleeper.requested();
    EXPECT_EQ(std::vector<ms>(pauses.begin() + static_cast<long>(pausesBefore), pauses.end()),
              expected);
    for (const auto& unit : units)
        EXPECT_EQ(simulator->count("query", unit.address), 1u) << "each address once";

    // A broadcast that goes nowhere does not keep the unicast queries back.
    EXPECT_EQ(
        run({"discover", "--broadcast", "not-an-address", "--range", at(30), "--wait", "300"}), 0);
    EXPECT_EQ(out.str(), "Far 1\t" + at(30) + "\tlo\n");
    EXPECT_EQ(err.str(), "fwprog: Send Error\n");
}

class BadWait : public FleetCli,
                public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(BadWait, IsAUsageError) {
    EXPECT_EQ(run({"discover", "--wait", GetParam().second}), 2);
    EXPECT_NE(err.str().find("Try 'fwprog discover --help' for more information.\n"),
              std::string::npos)
        << err.str();
}

INSTANTIATE_TEST_SUITE_P(FleetCli, BadWait,
                         ::testing::Values(std::pair{"BelowFive", "4"}, std::pair{"Word", "abc"},
                                           std::pair{"AboveTenMinutes", "600001"},
                                           std::pair{"Empty", ""}),
                         [](const auto& testCase) { return std::string(testCase.param.first); });

struct RefusedDiscover {
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const RefusedDiscover& c, std::ostream* out) {
    *out << ::testing::PrintToString(c.args);
}

class RefusedRange : public FleetCli, public ::testing::WithParamInterface<RefusedDiscover> {};

TEST_P(RefusedRange, IsAUsageErrorThatSaysWhy) {
    std::vector<std::string> args{"discover"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    EXPECT_EQ(run(args), 2);
    EXPECT_NE(err.str().find(GetParam().message), std::string::npos) << err.str();
}

INSTANTIATE_TEST_SUITE_P(
    FleetCli, RefusedRange,
    ::testing::Values(
        RefusedDiscover{{"--range", "10.0.0.0/33"},
                        "--range 10.0.0.0/33: the prefix length after the / must be 0 to 32"},
        RefusedDiscover{{"--range", "10.0.0.9-10.0.0.1"},
                        "--range 10.0.0.9-10.0.0.1: the range ends before it starts"},
        RefusedDiscover{{"--range", "10.0.0.0/15"},
                        "that makes 131072 addresses in all; at most 65536"},
        RefusedDiscover{{"--range", "10.0.0.0/16", "--range", "10.2.0.0/32"},
                        "that makes 65537 addresses in all"},
        RefusedDiscover{{"--range", "224.0.0.0/24"}, "only unicast addresses"},
        RefusedDiscover{{"--range", "10.0.0"}, "--range 10.0.0: not a CIDR block"},
        RefusedDiscover{{"--rate", "100"},
                        "--rate paces the queries of --range; give a --range too"},
        RefusedDiscover{{"--range", "10.0.0.1", "--rate", "0"},
                        "--rate takes queries a second from 1 to 10000: 0"},
        RefusedDiscover{{"--range", "10.0.0.1", "--rate", "10001"},
                        "--rate takes queries a second from 1 to 10000"}),
    [](const auto& testCase) {
        std::string name;
        for (const std::string& arg : testCase.param.args) {
            for (const char c : arg) {
                if (std::isalnum(static_cast<unsigned char>(c)))
                    name += c;
            }
            name += '_';
        }
        return name + std::to_string(testCase.index);
    });
