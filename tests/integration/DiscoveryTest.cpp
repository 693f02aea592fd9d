// The discovery refresh for real: the query goes to the loopback broadcast
// address, simulated units (or a test socket standing in for them) answer, and
// the list is read back.
#include "engine/Endpoints.h"
#include "fleet/AddressRanges.h"
#include "fleet/DeviceDiscovery.h"
#include "fleet/DeviceList.h"
#include "platform/Sleeper.h"
#include "sim/UnitSimulator.h"
#include "tests/support/Eventually.h"
#include "tests/support/QueuedDatagram.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing_support::RecordingOperator;
using testing_support::uniqueLoopbackAddress;

constexpr const char* kLoopbackBroadcast = "127.255.255.255";

sockaddr_in endpoint(const char* address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

// Stands in for the units where the test needs exact control over what is
// queued: during the pause it takes the query off the broadcast address and
// answers it with the given datagrams, in order, from one plain socket.
class AnsweringSleeper final : public platform::Sleeper {
public:
    AnsweringSleeper(std::uint16_t port, std::vector<std::string> replies)
        : replies_(std::move(replies)) {
        listen_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in local = endpoint(kLoopbackBroadcast, port);
        bound_ = ::bind(listen_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
        answer_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~AnsweringSleeper() override {
        ::close(listen_);
        ::close(answer_);
    }
    bool bound() const { return bound_; }
    int queries = 0;

    void sleepFor(std::chrono::milliseconds) override {
        pollfd wait{listen_, POLLIN, 0};
        if (::poll(&wait, 1, 3000) != 1)
            return;
        char query[16];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        if (::recvfrom(listen_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from),
                       &fromLength) != 3)
            return;
        ++queries;
        // Every answer is waiting before the pause ends.
        std::ignore = testing_support::sendQueued(answer_, replies_, from);
    }

private:
    std::vector<std::string> replies_;
    int listen_ = -1;
    int answer_ = -1;
    bool bound_ = false;
};

std::string reply(const std::string& product, const std::string& address) {
    return product + "\nIP:" + address + "\n";
}

struct Discovery : ::testing::Test, testing_support::SimulatedUnits {
    engine::Endpoints endpoints = simulatedEndpoints();
    RecordingOperator op;
    platform::RealSleeper sleeper;

    void startUnits(const std::vector<sim::UnitSettings>& units) {
        ASSERT_TRUE(startSimulator(units));
    }

    // A refresh with a pause long enough for a loaded machine.
    std::vector<std::string> discover(std::chrono::milliseconds pause = 400ms) {
        fleet::DeviceDiscovery discovery(op, sleeper, endpoints);
        discovery.setPause(pause);
        fleet::DeviceList list;
        EXPECT_TRUE(discovery.refresh(list));
        return list.lines();
    }
};

}  // namespace

TEST_F(Discovery, ListedByProductThenAddressWhateverTheArrivalOrder) {
    std::vector<std::string> twins = {uniqueLoopbackAddress(), uniqueLoopbackAddress()};
    std::sort(twins.begin(), twins.end());  // address text order
    const std::string alpha = uniqueLoopbackAddress(), boot = uniqueLoopbackAddress(),
                      zulu = uniqueLoopbackAddress();
    // "BootLoader" sorts between "alpha" and "Unit" only when letter case is
    // ignored; a unit in its boot loader is listed like any other.
    const std::vector<std::string> expected = {
        "alpha 1.00\t" + alpha,     "BootLoader 1.05\t" + boot, "Unit C 3.00\t" + twins[0],
        "Unit C 3.00\t" + twins[1], "zulu 9\t" + zulu,
    };

    for (bool lastFirst : {true, false}) {
        SCOPED_TRACE(lastFirst ? "answers in reverse list order" : "answers in list order");
        std::vector<sim::UnitSettings> units(5);
        const std::string addresses[] = {alpha, boot, twins[0], twins[1], zulu};
        const std::string products[] = {"alpha 1.00", "BootLoader 1.05", "Unit C 3.00",
                                        "Unit C 3.00", "zulu 9"};
        for (std::size_t i = 0; i < 5; ++i) {
            units[i].address = addresses[i];
            units[i].product = products[i];
            units[i].replyDelay = std::chrono::milliseconds(40 * (lastFirst ? 4 - i : i));
        }
        startUnits(units);
        EXPECT_EQ(discover(), expected);
        EXPECT_EQ(simulator->count("query"), 5u);
        simulator->stop();
    }
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(Discovery, NoUnitsEmptiesTheListWithoutAMessage) {
    fleet::DeviceDiscovery discovery(op, sleeper, endpoints);
    fleet::DeviceList list;
    list.insert("Unit 1.00\t127.0.0.7");
    EXPECT_TRUE(discovery.refresh(list));
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(op.messages.empty());
}

TEST_F(Discovery, AReplyAfterTheCollectionWaitsForTheNextRefresh) {
    sim::UnitSettings slow;
    slow.address = uniqueLoopbackAddress();
    slow.product = "Slow 1.00";
    slow.replyDelay = 250ms;
    startUnits({slow});
    EXPECT_TRUE(discover(5ms).empty());
    // The late answer went to the socket of the finished refresh, not this one.
    ASSERT_TRUE(simulator->waitFor(
        [&](const sim::Event& e) { return e.kind == "query" && e.unit == slow.address; }, 10s));
    EXPECT_EQ(discover(600ms), std::vector<std::string>{"Slow 1.00\t" + slow.address});
}

TEST_F(Discovery, AFailedSendKeepsTheEarlierLines) {
    sim::UnitSettings unit;
    unit.address = uniqueLoopbackAddress();
    startUnits({unit});
    fleet::DeviceList list;
    fleet::DeviceDiscovery good(op, sleeper, endpoints);
    good.setPause(400ms);
    ASSERT_TRUE(good.refresh(list));
    ASSERT_EQ(list.lines(), std::vector<std::string>{"Simulated Unit 1.00\t" + unit.address});

    engine::Endpoints broken = endpoints;
    broken.unitUdpPort = 0;  // the kernel refuses to send to port 0
    fleet::DeviceDiscovery failing(op, sleeper, broken);
    EXPECT_FALSE(failing.refresh(list));
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Send Error");
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::None);
    EXPECT_EQ(list.lines(), std::vector<std::string>{"Simulated Unit 1.00\t" + unit.address});
    EXPECT_EQ(simulator->count("query"), 1u);
}

TEST_F(Discovery, NoSocketToBeHadKeepsTheEarlierLines) {
#if defined(FWPROG_ADDRESS_SANITIZER)
    GTEST_SKIP() << "with no descriptor left, the sanitizer runtime cannot read the process's "
                    "memory map and reports false type errors; the optimised build runs this";
#endif
    fleet::DeviceList list;
    list.insert("Unit 1.00\t127.0.0.7");
    fleet::DeviceDiscovery discovery(op, sleeper, endpoints);
    // In a child process whose descriptor limit leaves no room for a socket.
    EXPECT_EXIT(
        {
            rlimit none{};
            ::getrlimit(RLIMIT_NOFILE, &none);
            none.rlim_cur = 0;
            ::setrlimit(RLIMIT_NOFILE, &none);
            const bool refreshed = discovery.refresh(list);
            const bool asExpected =
                !refreshed && op.messages.size() == 1 && op.messages[0].text == "Create Error" &&
                op.messages[0].style == engine::BoxIcon::None &&
                list.lines() == std::vector<std::string>{"Unit 1.00\t127.0.0.7"};
            std::_Exit(asExpected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Discovery, AtMostFiveHundredRepliesAreListed) {
    std::vector<std::string> replies;
    for (int i = 0; i < 501; ++i)
        replies.push_back(reply(
            "Flood 1.00", "127.9." + std::to_string(i / 250) + "." + std::to_string(i % 250)));
    AnsweringSleeper units(endpoints.unitUdpPort, replies);
    ASSERT_TRUE(units.bound());
    fleet::DeviceDiscovery discovery(op, units, endpoints);
    fleet::DeviceList list;
    ASSERT_TRUE(discovery.refresh(list));
    EXPECT_EQ(units.queries, 1);
    ASSERT_EQ(list.size(), 500u);
    std::set<std::string> addresses;
    for (const auto& line : list.lines())
        addresses.insert(line.substr(line.find('\t') + 1));
    EXPECT_EQ(addresses.size(), 500u);
    EXPECT_EQ(addresses.count("127.9.2.0"), 0u) << "the 501st reply stays unread";
    EXPECT_EQ(addresses.count("127.9.1.249"), 1u);
    EXPECT_TRUE(op.messages.empty());
}

// "Oversize": a reply of exactly the largest size read, then one byte longer.
struct EndingDatagram : Discovery, ::testing::WithParamInterface<const char*> {};

TEST_P(EndingDatagram, EndsTheCollection) {
    std::string full = reply("Big 1.00", "127.9.9.9");
    full.resize(1000, 'x');  // exactly the largest reply that is read
    std::string oversize = reply("Huge 1.00", "127.9.9.8");
    oversize.resize(1001, 'x');
    const bool isOversize = std::string(GetParam()) == "Oversize";
    const std::vector<std::string> replies =
        isOversize
            ? std::vector{reply("A 1", "127.9.0.1"), full, oversize, reply("C 1", "127.9.0.3")}
            : std::vector{reply("A 1", "127.9.0.1"), std::string(), reply("C 1", "127.9.0.3")};
    const std::vector<std::string> listed =
        isOversize ? std::vector<std::string>{"A 1\t127.9.0.1", "Big 1.00\t127.9.9.9"}
                   : std::vector<std::string>{"A 1\t127.9.0.1"};
    AnsweringSleeper units(endpoints.unitUdpPort, replies);
    ASSERT_TRUE(units.bound());
    fleet::DeviceDiscovery discovery(op, units, endpoints);
    fleet::DeviceList list;
    ASSERT_TRUE(discovery.refresh(list));
    EXPECT_EQ(list.lines(), listed);
    EXPECT_TRUE(op.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Discovery, EndingDatagram, ::testing::Values("Oversize", "Empty"),
                         [](const auto& testCase) { return std::string(testCase.param); });

TEST_F(Discovery, ALongProductIsListedWholeAndALongAddressIsNone) {
    const std::string product(700, 'P');
    const std::string address = "127.0.0." + std::string(250, '9');
    AnsweringSleeper units(endpoints.unitUdpPort,
                           {reply(product, "127.9.0.5"), reply("Unit 1.00", address)});
    ASSERT_TRUE(units.bound());
    fleet::DeviceDiscovery discovery(op, units, endpoints);
    fleet::DeviceList list;
    ASSERT_TRUE(discovery.refresh(list));
    EXPECT_EQ(list.lines(), std::vector<std::string>{product + "\t127.9.0.5"});
    EXPECT_EQ(discovery.refusedReplies(), 1u);
}

// Only a reply whose address can be one unit's is listed; the others are
// counted. Each case is one claim beside a well-formed unit's reply.
struct ForgedClaim {
    const char* name;
    std::string product;
    std::string address;
};

struct DiscoveryForgedClaim : Discovery, ::testing::WithParamInterface<ForgedClaim> {};

TEST_P(DiscoveryForgedClaim, IsCountedAndNeverListed) {
    const ForgedClaim& claim = GetParam();
    AnsweringSleeper units(endpoints.unitUdpPort,
                           {reply("Good 1.00", "127.9.0.1"), reply(claim.product, claim.address)});
    ASSERT_TRUE(units.bound());
    fleet::DeviceDiscovery discovery(op, units, endpoints);
    fleet::DeviceList list;
    ASSERT_TRUE(discovery.refresh(list));
    EXPECT_EQ(list.lines(), std::vector<std::string>{"Good 1.00\t127.9.0.1"});
    EXPECT_EQ(list.senders(), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(discovery.refusedReplies(), 1u);
    EXPECT_EQ(discovery.surplusReplies(), 0u);
    EXPECT_EQ(fleet::notListedText(discovery).rfind("1 reply was not listed: ", 0), 0u)
        << fleet::notListedText(discovery);
    EXPECT_TRUE(op.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, DiscoveryForgedClaim,
    ::testing::Values(ForgedClaim{"HostName", "Laser 1.0", "office-laser"},
                      ForgedClaim{"ThisComputer", "Laser 1.0", "0.0.0.0"},
                      ForgedClaim{"ThisNetwork", "Laser 1.0", "0.20.30.40"},
                      ForgedClaim{"LoopbackBroadcast", "Laser 1.0", "127.255.255.255"},
                      ForgedClaim{"LimitedBroadcast", "Laser 1.0", "255.255.255.255"},
                      ForgedClaim{"Multicast", "Laser 1.0", "224.0.0.251"},
                      ForgedClaim{"Reserved", "Laser 1.0", "240.0.0.9"},
                      ForgedClaim{"Path", "Laser 1.0", "../../etc/passwd"},
                      ForgedClaim{"LeadingZero", "Laser 1.0", "127.9.0.010"},
                      ForgedClaim{"Empty", "Laser 1.0", ""},
                      // The list line's address is what follows its first tab:
                      // here "1.0<tab>127.9.0.2", no address at all.
                      ForgedClaim{"TabInProduct", "Laser\t1.0", "127.9.0.2"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(Discovery, ASweptAddressListsOneUnitHoweverManyItClaims) {
    sim::UnitSettings flooder;
    flooder.address = uniqueLoopbackAddress();
    flooder.product = "Flood 1.00";
    flooder.forgedReplies = 100;
    sim::UnitSettings bystander;
    bystander.address = uniqueLoopbackAddress();
    bystander.product = "Bystander 1.00";
    startUnits({flooder, bystander});

    fleet::AddressRanges swept;
    std::string why;
    ASSERT_TRUE(swept.add(flooder.address, &why)) << why;
    fleet::DeviceDiscovery discovery(op, sleeper, endpoints);
    discovery.setRanges(swept);
    discovery.setPause(400ms);
    fleet::DeviceList list;
    ASSERT_TRUE(discovery.refresh(list));
    // The flooder's own answer, and the unit outside the sweep that answered
    // the broadcast; none of the 100 forged units per query.
    EXPECT_EQ(list.lines(), (std::vector<std::string>{"Bystander 1.00\t" + bystander.address,
                                                      "Flood 1.00\t" + flooder.address}));
    EXPECT_EQ(list.senders(), (std::vector<std::string>{bystander.address, flooder.address}));
    EXPECT_GE(discovery.surplusReplies(), 100u);
    EXPECT_EQ(discovery.refusedReplies(), 0u);
    EXPECT_TRUE(op.messages.empty());
}
