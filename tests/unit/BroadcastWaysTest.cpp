// Which interfaces a broadcast leaves through, for a given list of this
// computer's interfaces.
#include "fleet/UnitBroadcast.h"

#include <gtest/gtest.h>

namespace {

platform::Ipv4Interface iface(const char* name, unsigned index, bool up, bool broadcast,
                              bool loopback = false) {
    platform::Ipv4Interface item;
    item.name = name;
    item.index = index;
    item.up = up;
    item.canBroadcast = broadcast;
    item.loopback = loopback;
    return item;
}

const std::vector<platform::Ipv4Interface> kComputer = {
    iface("lo", 1, true, false, true), iface("eth0", 2, true, true),
    iface("eth0", 2, true, true),  // a second address on the same card
    iface("wlan0", 3, false, true),    iface("tun0", 4, true, false),
    iface("eth1", 5, true, true),
};

struct Case {
    const char* name;
    std::string broadcast;
    std::vector<std::string> named;
    std::vector<platform::Ipv4Interface> interfaces;
    std::vector<std::string> ways;  // "" for the routing table's way
    std::vector<std::string> unknown;
};

class BroadcastWays : public ::testing::TestWithParam<Case> {};

TEST_P(BroadcastWays, AreChosenByTheRule) {
    const Case& c = GetParam();
    engine::Endpoints endpoints;
    endpoints.broadcastAddress = c.broadcast;
    endpoints.interfaces = c.named;
    std::vector<std::string> unknown;
    std::vector<std::string> names;
    for (const auto& way : fleet::broadcastWays(endpoints, c.interfaces, &unknown))
        names.push_back(way.name);
    EXPECT_EQ(names, c.ways);
    EXPECT_EQ(unknown, c.unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Broadcast, BroadcastWays,
    ::testing::Values(
        // Every card that is up and can broadcast, once each.
        Case{"limited", "255.255.255.255", {}, kComputer, {"eth0", "eth1"}, {}},
        // Nothing qualifies: the routing table decides, as one send always did.
        Case{"limitedWithoutCards", "255.255.255.255", {}, {kComputer[0], kComputer[4]}, {""}, {}},
        // A subnet's own broadcast names its network already.
        Case{"directed", "10.0.0.255", {}, kComputer, {""}, {}},
        // Named ones are used as named, whatever their flags; unknown ones are told.
        Case{"named",
             "255.255.255.255",
             {"wlan0", "eth1", "eth9", "eth1"},
             kComputer,
             {"wlan0", "eth1"},
             {"eth9"}},
        Case{"namedLoopback", "127.255.255.255", {"lo"}, kComputer, {"lo"}, {}},
        Case{"noneKnown", "255.255.255.255", {"eth9"}, kComputer, {}, {"eth9"}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
