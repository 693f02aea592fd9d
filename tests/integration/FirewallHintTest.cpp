// A firewall on the programming computer that drops the units' verdicts: every
// unit then ends "Status Unconfirmed", and fwprog says why it may be. The
// computer and its LAN are namespaces of a private network the test builds;
// the firewall is an nftables rule inside the computer's namespace only.
#include "cli/CliContext.h"
#include "platform/NetworkInterfaces.h"
#include "tests/support/NetworkNamespaces.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace {

const char* const kHint =
    "fwprog: no status datagram reached UDP port 40001 on this computer; if a firewall runs "
    "here, allow inbound UDP 40001 from the units\n";

class FirewallHint : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.available())
            GTEST_SKIP() << net.failure();
        if (!net.add("host"))
            GTEST_SKIP() << net.failure();
        int status = -1;
        net.shell("host", "nft --version", &status);
        if (status != 0)
            GTEST_SKIP() << "no nft here to build a firewall with (scripts/setup.sh installs it)";
        if (!net.add("lan") ||
            !net.link("host", "fwpl", "10.82.1.1/24", "lan", "eth0", "10.82.1.11/24"))
            FAIL() << "could not build the private network: " << net.failure();
        ASSERT_TRUE(net.startSimulator("lan", "lan", "--unit 10.82.1.11 --product 'Walled 1.00'"))
            << net.failure();
        testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(20000));
        testing_support::writeFile(dir.file("units.txt"), "10.82.1.11\r\n");
    }

    // Drops every datagram for the status port as it comes in, as a host
    // firewall that was never told about the units does.
    bool raiseFirewall() {
        int status = -1;
        net.shell("host",
                  "nft -f - <<'RULES'\n"
                  "table inet fwp {\n"
                  "  chain input {\n"
                  "    type filter hook input priority 0; policy accept;\n"
                  "    udp dport 40001 drop\n"
                  "  }\n"
                  "}\n"
                  "RULES",
                  &status);
        return status == 0;
    }
    bool lowerFirewall() {
        int status = -1;
        net.shell("host", "nft delete table inet fwp", &status);
        return status == 0;
    }

    // fwprog in this process, on a thread inside the computer's namespace,
    // with the programming schedule scaled down.
    int fwprog(std::vector<std::string> args) {
        out.str({});
        err.str({});
        int exitStatus = -1;
        args.insert(args.end(), {"--unit-udp-port", "6000", "--unit-tcp-port", "9100",
                                 "--status-port", "40001"});
        const bool entered = net.runInside("host", [&] {
            const auto interfaces = platform::listIpv4Interfaces();
            if (std::none_of(interfaces.begin(), interfaces.end(),
                             [](const auto& item) { return item.name == "fwpl"; }))
                return;
            std::istringstream in;
            cli::CliContext context{out, err, in, false, false, sleeper, spooler};
            exitStatus = cli::runFwprog(args, context);
        });
        EXPECT_TRUE(entered) << net.failure();
        return exitStatus;
    }

    testing_support::NetworkNamespaces net;
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.02};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
};

}  // namespace

TEST_F(FirewallHint, AVerdictDroppedOnItsWayInIsExplainedOnStderrAndCountedInJson) {
    ASSERT_TRUE(raiseFirewall());
    const std::string image = dir.file("fw.bin").string();
    EXPECT_EQ(fwprog({"single", "--image", image, "--target", "10.82.1.11"}),
              cli::kExitUnconfirmed);
    EXPECT_EQ(out.str(), "1 Unit Update Attempted, 10.82.1.11 Status Unconfirmed\n");
    EXPECT_NE(err.str().find(kHint), std::string::npos) << err.str();
    // The unit did send its verdict: the firewall took it.
    EXPECT_NE(net.logOf("lan").find("\"event\":\"status\""), std::string::npos);

    EXPECT_EQ(fwprog({"single", "--json", "--image", image, "--target", "10.82.1.11"}),
              cli::kExitUnconfirmed);
    EXPECT_NE(out.str().find("\"status_datagrams\": 0"), std::string::npos) << out.str();
    EXPECT_NE(err.str().find(kHint), std::string::npos) << err.str();

    // A batch, one unit at a time and with units in parallel on a shared port.
    for (const char* jobs : {"1", "2"}) {
        EXPECT_EQ(
            fwprog({"multiple", "--json", "--jobs", jobs, "--image", image, "--list",
                    dir.file("units.txt").string(), "--log", dir.file("Status.txt").string()}),
            cli::kExitUnconfirmed)
            << jobs;
        EXPECT_NE(out.str().find("\"target\": \"10.82.1.11\""), std::string::npos) << out.str();
        EXPECT_NE(out.str().find("\"status_datagrams\": 0"), std::string::npos) << out.str();
        EXPECT_NE(err.str().find("fwprog: 10.82.1.11: no status datagram reached UDP port 40001 "
                                 "on this computer; if a firewall runs here, allow inbound UDP "
                                 "40001 from the units\n"),
                  std::string::npos)
            << err.str();
    }

    // Without the rule the verdict arrives: programmed, one datagram, no hint.
    ASSERT_TRUE(lowerFirewall());
    EXPECT_EQ(fwprog({"single", "--json", "--image", image, "--target", "10.82.1.11"}),
              cli::kExitSuccess)
        << err.str();
    EXPECT_NE(out.str().find("\"status_datagrams\": 1"), std::string::npos) << out.str();
    EXPECT_EQ(err.str().find("no status datagram"), std::string::npos) << err.str();
}
