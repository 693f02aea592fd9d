// Units a technician can reach but one broadcast does not: a computer with two
// network cards into two separate LANs, and a third subnet behind a router.
// All of it is a private network of namespaces the test builds and removes;
// the "host" namespace plays the technician's computer:
//
//   LAN a 10.81.1.0/24 --fwpa--+
//   LAN b 10.81.2.0/24 --fwpb--+ host (default route: fwpa)
//   router 10.81.3.0/24 -fwpr--+
//      +-- LAN c 10.81.4.0/24 (routed; no broadcast reaches it)
#include "engine/Endpoints.h"
#include "fleet/DeviceDiscovery.h"
#include "fleet/TimeStampBroadcast.h"
#include "platform/NetworkInterfaces.h"
#include "platform/Sleeper.h"
#include "tests/support/Eventually.h"
#include "tests/support/NetworkNamespaces.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kFwprog = std::string(FWPROG_BINARY_DIR) + "/cli/fwprog";
// The real defaults throughout: 255.255.255.255 and the units' own ports,
// inside the private network only.
const std::string kDefaults =
    "env -u FWPROG_BROADCAST -u FWPROG_INTERFACE -u FWPROG_UNIT_UDP_PORT "
    "-u FWPROG_UNIT_TCP_PORT -u FWPROG_STATUS_PORT ";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class EveryInterface : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.available())
            GTEST_SKIP() << net.failure();
        if (!net.add("host"))
            GTEST_SKIP() << net.failure();
        int status = -1;
        const bool built =
            net.add("a") && net.add("b") && net.add("r") && net.add("c") &&
            net.link("host", "fwpa", "10.81.1.1/24", "a", "eth0", "10.81.1.11/24") &&
            net.ip("a", "addr add 10.81.1.12/24 dev eth0") &&
            net.link("host", "fwpb", "10.81.2.1/24", "b", "eth0", "10.81.2.11/24") &&
            net.ip("b", "addr add 10.81.2.12/24 dev eth0") &&
            net.link("host", "fwpr", "10.81.3.1/24", "r", "wan0", "10.81.3.254/24") &&
            net.link("r", "lan0", "10.81.4.1/24", "c", "eth0", "10.81.4.11/24") &&
            (net.shell("r", "sysctl -qw net.ipv4.ip_forward=1", &status), status == 0) &&
            net.ip("c", "route add default via 10.81.4.1") &&
            net.ip("host", "route add 10.81.4.0/24 via 10.81.3.254") &&
            // A single broadcast leaves by this route only: LAN a.
            net.ip("host", "route add default dev fwpa");
        if (!built)
            FAIL() << "could not build the private network: " << net.failure();
        ASSERT_TRUE(net.startSimulator("a", "a",
                                       "--unit 10.81.1.11 --product 'LAN A 1.00' "
                                       "--unit 10.81.1.12 --product 'LAN A 2.00' --fault refuse"))
            << net.failure();
        // The second unit of LAN b answers only after 3 s: "does not answer".
        ASSERT_TRUE(net.startSimulator("b", "b",
                                       "--unit 10.81.2.11 --product 'LAN B 1.00' "
                                       "--unit 10.81.2.12 --product 'LAN B 2.00' "
                                       "--reply-delay 3000"))
            << net.failure();
        ASSERT_TRUE(net.startSimulator("c", "c", "--unit 10.81.4.11 --product 'Routed 1.00'"))
            << net.failure();
    }

    std::string fwprog(const std::string& args, int* status, const std::string& env = {}) {
        return net.shell(
            "host",
            kDefaults + env + " " + kFwprog + " " + args + " 2>" + net.directory() + "/stderr",
            status);
    }
    std::string lastStderr() const {
        return testing_support::readFile(net.directory() + "/stderr");
    }

    testing_support::NetworkNamespaces net;
};

const char* const kBothLans =
    "LAN A 1.00\t10.81.1.11\tfwpa\n"
    "LAN A 2.00\t10.81.1.12\tfwpa\n"
    "LAN B 1.00\t10.81.2.11\tfwpb\n";

}  // namespace

TEST_F(EveryInterface, DiscoveryAndTheTimeStampLeaveThroughEveryInterfaceOrTheNamedOnes) {
    int status = -1;
    EXPECT_EQ(fwprog("discover --wait 300", &status), kBothLans);
    EXPECT_EQ(status, 0) << lastStderr();
    EXPECT_EQ(lastStderr(), "");

    EXPECT_EQ(fwprog("discover --wait 300 --json --interface fwpb", &status),
              "{\"units\": [{\"product\": \"LAN B 1.00\", \"address\": \"10.81.2.11\", "
              "\"sender\": \"10.81.2.11\", \"interface\": \"fwpb\"}], \"refused_replies\": 0, "
              "\"surplus_replies\": 0}\n");
    EXPECT_EQ(fwprog("discover --wait 300", &status, "FWPROG_INTERFACE=fwpa"),
              "LAN A 1.00\t10.81.1.11\tfwpa\nLAN A 2.00\t10.81.1.12\tfwpa\n");
    // The command line wins over the environment.
    EXPECT_EQ(fwprog("discover --wait 300 --interface fwpb,fwpa", &status, "FWPROG_INTERFACE=lo"),
              kBothLans);

    EXPECT_EQ(fwprog("discover --interface fwpz", &status), "");
    EXPECT_EQ(status, 2);
    EXPECT_NE(lastStderr().find("fwprog: --interface fwpz: no interface of that name with an "
                                "IPv4 address (this computer has lo, fwpa, fwpb, fwpr)"),
              std::string::npos)
        << lastStderr();

    fwprog("timestamp --yes", &status);
    EXPECT_EQ(status, 0) << lastStderr();
    fwprog("timestamp --yes --interface fwpa", &status);
    EXPECT_EQ(status, 0) << lastStderr();
    EXPECT_EQ(fwprog("timestamp --yes --interface fwpz", &status), "");
    EXPECT_EQ(status, 2);
    const std::string stamped = "\"event\":\"timestamp\",\"unit\":\"";
    EXPECT_TRUE(testing_support::eventually([&] {
        return occurrences(net.logOf("a"), stamped + "10.81.1.11\"") >= 2 &&
               occurrences(net.logOf("b"), stamped + "10.81.2.11\"") >= 1;
    }));
    EXPECT_EQ(occurrences(net.logOf("a"), stamped + "10.81.1.11\""), 2u) << net.logOf("a");
    EXPECT_EQ(occurrences(net.logOf("b"), stamped + "10.81.2.11\""), 1u) << net.logOf("b");
    EXPECT_EQ(occurrences(net.logOf("c"), stamped), 0u) << "the router passes no broadcast";
}

// The window's "Find" and "Time Stamp" run exactly this fleet code.
TEST_F(EveryInterface, TheWindowsRefreshListsEveryLanAndSaysSendErrorOnlyWhenNothingWent) {
    ASSERT_TRUE(net.ip("host", "link set fwpb down"));
    ASSERT_TRUE(net.runInside("host", [] {
        const auto interfaces = platform::listIpv4Interfaces();
        // Nothing is sent unless this thread really is in the private network.
        ASSERT_TRUE(std::any_of(interfaces.begin(), interfaces.end(),
                                [](const auto& item) { return item.name == "fwpr"; }));
        platform::RealSleeper sleeper;
        engine::Endpoints endpoints;  // the units' defaults, 255.255.255.255 included
        auto refresh = [&](std::vector<std::string> names, testing_support::RecordingOperator& op,
                           fleet::DeviceList& list) {
            endpoints.interfaces = std::move(names);
            fleet::DeviceDiscovery discovery(op, sleeper, endpoints);
            discovery.setPause(300ms);
            const bool refreshed = discovery.refresh(list);
            return std::make_pair(refreshed, discovery.broadcastReport());
        };

        // fwpb is down, so every interface that can broadcast means fwpa and fwpr.
        testing_support::RecordingOperator op;
        fleet::DeviceList list;
        list.insert("Old 1.00\t10.0.0.1");
        auto [refreshed, report] = refresh({}, op, list);
        EXPECT_TRUE(refreshed);
        EXPECT_TRUE(op.messages.empty());
        EXPECT_EQ(list.lines(),
                  (std::vector<std::string>{"LAN A 1.00\t10.81.1.11", "LAN A 2.00\t10.81.1.12"}));
        ASSERT_EQ(report.sent.size(), 2u);
        EXPECT_EQ(report.sent[0].name, "fwpa");
        EXPECT_EQ(report.sent[1].name, "fwpr");

        // Named, the down interface fails alone: no box while another carried it.
        std::tie(refreshed, report) = refresh({"fwpb", "fwpa"}, op, list);
        EXPECT_TRUE(refreshed);
        EXPECT_TRUE(op.messages.empty());
        ASSERT_EQ(report.failed.size(), 1u);
        EXPECT_EQ(report.failed[0].way.name, "fwpb");
        EXPECT_EQ(report.failed[0].error, ENETUNREACH);
        EXPECT_EQ(list.size(), 2u);

        // Nothing went anywhere: one "Send Error", and the list is kept.
        std::tie(refreshed, report) = refresh({"fwpb"}, op, list);
        EXPECT_FALSE(refreshed);
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].text, "Send Error");
        EXPECT_EQ(list.size(), 2u);
    })) << net.failure();

    ASSERT_TRUE(net.ip("host", "link set fwpb up"));
    ASSERT_TRUE(net.runInside("host", [] {
        const auto interfaces = platform::listIpv4Interfaces();
        ASSERT_TRUE(std::any_of(interfaces.begin(), interfaces.end(),
                                [](const auto& item) { return item.name == "fwpr"; }));
        platform::RealSleeper sleeper;
        testing_support::RecordingOperator op;
        fleet::DeviceDiscovery discovery(op, sleeper, engine::Endpoints{});
        discovery.setPause(300ms);
        fleet::DeviceList list;
        ASSERT_TRUE(discovery.refresh(list));
        // The IP List's two columns, in its order, with the units of both LANs.
        EXPECT_EQ(list.lines(),
                  (std::vector<std::string>{"LAN A 1.00\t10.81.1.11", "LAN A 2.00\t10.81.1.12",
                                            "LAN B 1.00\t10.81.2.11"}));
        fleet::TimeStampBroadcast stamp(op, engine::Endpoints{});
        EXPECT_EQ(stamp.run(), fleet::TimeStampBroadcast::Outcome::Sent);
        EXPECT_EQ(op.messages.size(), 1u) << "the question only";
    })) << net.failure();
    EXPECT_TRUE(testing_support::eventually([&] {
        return net.logOf("b").find("\"event\":\"timestamp\",\"unit\":\"10.81.2.11\"") !=
               std::string::npos;
    })) << net.logOf("b");
}

TEST_F(EveryInterface, ARangeReachesTheRoutedSubnetMergedWithTheBroadcastEachUnitOnce) {
    int status = -1;
    const std::string saved = net.directory() + "/units.txt";
    EXPECT_EQ(fwprog("discover --wait 500 --range 10.81.4.0/28 --range 10.81.1.11-10.81.1.11 "
                     "--save " +
                         saved,
                     &status),
              std::string(kBothLans) + "Routed 1.00\t10.81.4.11\tfwpr\n");
    EXPECT_EQ(status, 0) << lastStderr();
    EXPECT_EQ(lastStderr(), "");
    EXPECT_EQ(testing_support::readFile(saved),
              "10.81.1.11\r\n10.81.1.12\r\n10.81.2.11\r\n10.81.4.11\r\n");
    // The routed unit heard one unicast query and no broadcast.
    const std::string log = net.logOf("c");
    EXPECT_EQ(occurrences(log, "\"event\":\"query\""), 1u) << log;
    EXPECT_NE(log.find("\"broadcast\":false"), std::string::npos) << log;
}

TEST_F(EveryInterface, CheckNamesTheFirstThingThatWillFailForEachTarget) {
    int status = -1;
    const std::string report =
        fwprog("check 10.81.1.11 10.81.4.11 10.81.1.12 10.81.2.12 10.99.0.5", &status);
    EXPECT_EQ(status, 1) << lastStderr();
    const std::string expected[] = {
        "status port: UDP 40001 can be bound on this computer\n",
        "10.81.1.11: route: interface fwpa, source 10.81.1.1, in its subnet 10.81.1.0/24\n"
        "10.81.1.11: query: answered by LAN A 1.00\n"
        "10.81.1.11: data port: TCP 9100 accepts a connection\n"
        "10.81.1.11: ready\n",
        "10.81.4.11: route: interface fwpr, source 10.81.3.1, outside its subnet 10.81.3.0/24 "
        "(through a router)\n"
        "10.81.4.11: query: answered by Routed 1.00\n"
        "10.81.4.11: data port: TCP 9100 accepts a connection\n"
        "10.81.4.11: ready\n",
        "10.81.1.12: query: answered by LAN A 2.00\n"
        "10.81.1.12: data port: TCP 9100: Connection refused\n"
        "10.81.1.12: not ready: the data port TCP 9100 refused the connection, so no image can "
        "be sent; switch the unit off and on again, and check that 10.81.1.12 is a "
        "printer-interface unit\n",
        "10.81.2.12: route: interface fwpb, source 10.81.2.1, in its subnet 10.81.2.0/24\n"
        "10.81.2.12: query: no answer within 1 s\n"
        "10.81.2.12: data port: TCP 9100 accepts a connection\n"
        "10.81.2.12: not ready: no answer to the query within 1 s; check that the unit is "
        "switched on and connected, and that its address is 10.81.2.12 (fwprog discover lists "
        "the units that answer)\n",
        "10.99.0.5: route: interface fwpa, source 10.81.1.1, outside its subnet 10.81.1.0/24 "
        "(through a router)\n"
        "10.99.0.5: query: no answer within 1 s\n",
        "10.99.0.5: not ready: no answer to the query within 1 s; 10.99.0.5 lies outside every "
        "network of this computer, so the query went to a router via fwpa: check the unit's "
        "address, and that the router passes UDP 6000 and TCP 9100 to the unit and UDP 40001 "
        "back\n"};
    for (const std::string& part : expected)
        EXPECT_NE(report.find(part), std::string::npos) << part << "\n--- in ---\n" << report;
    // The refused unit was contacted on its data port exactly once, and sent nothing.
    EXPECT_EQ(occurrences(net.logOf("a"), "\"event\":\"header\""), 0u);

    EXPECT_EQ(fwprog("check 10.81.1.11", &status).substr(0, 54),
              "status port: UDP 40001 can be bound on this computer\n1");
    EXPECT_EQ(status, 0);

    // Another program holds the status port: the unit itself is fine, yet its
    // verdict could not be heard.
    ASSERT_TRUE(net.holdUdpPort("host", 40001)) << net.failure();
    const std::string json = fwprog("check --json 10.81.1.11", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(json,
              "{\"status_port\": {\"port\": 40001, \"bindable\": false, \"error\": \"Address "
              "already in use\"}, \"targets\": [{\"target\": \"10.81.1.11\", \"kind\": "
              "\"address\", \"address\": \"10.81.1.11\", \"interface\": \"fwpa\", \"source\": "
              "\"10.81.1.1\", \"subnet\": \"10.81.1.0/24\", \"in_subnet\": true, "
              "\"route_error\": null, \"query\": \"product\", \"product\": \"LAN A 1.00\", "
              "\"data_port\": {\"port\": 9100, \"accepts\": true, \"error\": null}, \"ready\": "
              "false, \"problem\": \"the status port UDP 40001 cannot be bound on this computer "
              "(Address already in use): fwprog does not program while it is taken, and the "
              "window could not hear the unit's verdict; close the program that holds it (ss "
              "-ulpn 'sport = :40001' shows which)\"}], \"stopped\": false}\n");
}
