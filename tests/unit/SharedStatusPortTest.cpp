#include "fleet/SharedStatusPort.h"
#include "platform/ErrorText.h"
#include "tests/support/Eventually.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

// Sends one datagram to the status port from a socket bound to `from`.
void sendFrom(const std::string& from, std::uint16_t port, const std::string& bytes) {
    platform::DatagramSocket socket;
    ASSERT_TRUE(socket.create(0, from));
    ASSERT_EQ(socket.sendTo("127.0.0.1", port, bytes.data(), bytes.size()),
              static_cast<long>(bytes.size()));
}

// Wine cannot bind UDP sockets to several 127.x addresses, which the senders
// of these tests need; under Wine the fwprog executable tests cover the shared
// port against the native simulator instead.
#define SKIP_UNDER_WINE()                    \
    if (testing_support::runningUnderWine()) \
    GTEST_SKIP() << "Wine cannot bind UDP sockets to several loopback addresses"

long receiveWithin(engine::StatusInbox& inbox, unsigned char* buffer, std::size_t length,
                   std::chrono::milliseconds limit = testing_support::kEventualDeadline) {
    long got = -1;
    std::ignore = testing_support::eventually(
        [&] { return (got = inbox.receive(buffer, length)) >= 0; }, limit);
    return got;
}

// A shared port already reading, and two loopback addresses to send from:
// the unit's and another host's.
struct StartedPort : ::testing::Test {
    const std::uint16_t port = testing_support::freeUdpPort();
    fleet::SharedStatusPort shared{port};
    const std::string unit = testing_support::uniqueLoopbackAddress();
    const std::string other = testing_support::uniqueLoopbackAddress();

    void SetUp() override {
        SKIP_UNDER_WINE();
        ASSERT_TRUE(shared.start(nullptr));
    }
};

}  // namespace

TEST_F(StartedPort, VerdictsGoToTheUnitThatSentThemWhateverTheOrder) {
    const std::string& a = unit;
    const std::string& b = other;
    auto inboxA = shared.inboxFor(a);
    auto inboxB = shared.inboxFor(b);
    ASSERT_TRUE(inboxA->open(nullptr));
    ASSERT_TRUE(inboxB->open(nullptr));

    sendFrom(b, port, "\x02\0\0\0"s);
    sendFrom(a, port, "\x00\0\0\0"s);
    unsigned char status[4] = {};
    ASSERT_EQ(receiveWithin(*inboxA, status, 4), 4);
    EXPECT_EQ(status[0], 0);
    ASSERT_EQ(receiveWithin(*inboxB, status, 4), 4);
    EXPECT_EQ(status[0], 2);
    EXPECT_EQ(inboxA->receive(status, 4), -1) << "nothing else was sent from A";
    EXPECT_EQ(shared.attributedDatagrams(), 2u);
}

// What a unit's verdict wait sleeps on: met while one of its own datagrams
// waits, never by a stranger's, and gone with the inbox.
TEST_F(StartedPort, AnInboxWakesItsUnitOnlyForItsOwnDatagrams) {
    const std::string& stranger = other;
    auto inbox = shared.inboxFor(unit);
    EXPECT_EQ(inbox->arrival(), nullptr) << "not open yet";
    ASSERT_TRUE(inbox->open(nullptr));
    platform::WakeCondition* arrival = inbox->arrival();
    ASSERT_NE(arrival, nullptr);
    EXPECT_FALSE(arrival->met());

    sendFrom(stranger, port, "\x00\0\0\0"s);
    ASSERT_TRUE(testing_support::eventually([&] { return shared.foreignDatagrams() == 1; }));
    EXPECT_FALSE(arrival->waitFor(20ms)) << "a stranger's datagram woke the unit";

    // Slept on for far longer than the deadline below: only the datagram's
    // arrival can end the sleep in time.
    std::atomic<bool> woken{false};
    std::thread sleeper([&] { woken = arrival->waitFor(std::chrono::minutes(1)); });
    sendFrom(unit, port, "\x02\0\0\0"s);
    EXPECT_TRUE(testing_support::eventually([&] { return woken.load(); }))
        << "the unit's datagram did not wake it";
    sleeper.join();
    unsigned char status[4] = {};
    ASSERT_EQ(inbox->receive(status, 4), 4);
    EXPECT_EQ(status[0], 2);
    EXPECT_FALSE(arrival->met()) << "taken, nothing waits any more";

    inbox->close();
    EXPECT_EQ(inbox->arrival(), nullptr);
}

TEST_F(StartedPort, ForeignAndOversizeDatagramsAreCountedNeverAttributed) {
    const std::string& stranger = other;
    auto inbox = shared.inboxFor(unit);
    std::ignore = inbox->open(nullptr);

    for (int i = 0; i < 200; ++i)
        sendFrom(stranger, port, "\x00\0\0\0"s);
    sendFrom(unit, port, std::string(5, '\0'));  // too long for a status: dropped
    sendFrom(unit, port, "\x03\0\0\0"s);
    EXPECT_TRUE(testing_support::eventually(
        [&] { return shared.foreignDatagrams() >= 200 && shared.attributedDatagrams() >= 2; }));
    unsigned char status[4] = {};
    EXPECT_EQ(inbox->receive(status, 4), -1) << "the oversize one is dropped whole";
    ASSERT_EQ(inbox->receive(status, 4), 4);
    EXPECT_EQ(status[0], 3);
    EXPECT_EQ(shared.foreignDatagrams(), 200u);
}

TEST_F(StartedPort, AClosedInboxForgetsItsUnitAndTargetsAreMatchedCanonically) {
    {
        auto inbox = shared.inboxFor(unit);
        std::ignore = inbox->open(nullptr);
        inbox->close();
    }
    sendFrom(unit, port, "\x00\0\0\0"s);
    EXPECT_TRUE(testing_support::eventually([&] { return shared.foreignDatagrams() >= 1; }));
    EXPECT_EQ(shared.foreignDatagrams(), 1u);
    EXPECT_EQ(fleet::SharedStatusPort::addressKey("127.000.0.010"), "127.0.0.8")
        << "inet_aton reads octal";
    EXPECT_EQ(fleet::SharedStatusPort::addressKey("10.0.0.7"), "10.0.0.7");
}

TEST(SharedStatusPort, PortTakenReportsTheReasonAndInboxesStaySilent) {
    const std::uint16_t port = testing_support::freeUdpPort();
    platform::DatagramSocket squatter;
    ASSERT_TRUE(squatter.create(port));
    fleet::SharedStatusPort shared(port);
    int error = 0;
    EXPECT_FALSE(shared.start(&error));
    EXPECT_EQ(error, platform::errors::kAddressInUse);
    auto inbox = shared.inboxFor("127.0.0.9");
    EXPECT_TRUE(inbox->open(nullptr));
    unsigned char status[4];
    EXPECT_EQ(inbox->receive(status, 4), -1);
}
