#include "platform/DatagramSocket.h"
#include "platform/ErrorText.h"
#include "platform/StreamSocket.h"
#include "platform/WakeableWait.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Eventually.h"
#include "tests/support/TestEnvironment.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;

namespace {

// A plain listening socket on a loopback address, for the far side of a test.
int listenOn(const std::string& address, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_aton(address.c_str(), &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One of the kernel's counters in the calling thread's network namespace
// ("Tcp:", "ActiveOpens").
std::optional<long> networkCounter(const std::string& section, const std::string& counter) {
    std::ifstream snmp("/proc/thread-self/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind(section, 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == counter)
                return std::stol(value);
    }
    return std::nullopt;
}

// Connection requests sent (SYNs).
std::optional<long> connectionRequestsSent() {
    return networkCounter("Tcp:", "ActiveOpens");
}

// Packets the namespace's sockets sent or tried to send, routed or not.
std::optional<long> packetsTried() {
    const auto sent = networkCounter("Ip:", "OutRequests");
    const auto unroutable = networkCounter("Ip:", "OutNoRoutes");
    if (!sent || !unroutable)
        return std::nullopt;
    return *sent + *unroutable;
}

// Moves the calling thread into a network namespace of its own, with only its
// loopback interface, up. Nothing it sends can reach another test (or any
// network); the namespace goes with the thread.
std::string enterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0)
        return std::string("no private network namespace: ") + std::strerror(errno);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    ((request.ifr_flags |= IFF_UP), ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0)
        ::close(fd);
    return up ? std::string() : "cannot bring up loopback in the private namespace";
}

// Runs body on a thread of its own in a private network namespace; the reason
// when there is none to be had (body did not run then).
std::string runInPrivateNetwork(const std::function<void()>& body) {
    std::string unavailable;
    std::thread inPrivateNetwork([&] {
        unavailable = enterPrivateNetwork();
        if (unavailable.empty())
            body();
    });
    inPrivateNetwork.join();
    return unavailable;
}

}  // namespace

// The original platform's pace: three requests about half a second apart, each
// from a socket of its own, then the refusal counts.
TEST(StreamSocket, ARefusedConnectIsThreeRequestsHalfASecondApart) {
    std::optional<long> before, after;
    double took = 0;
    int error = 0;
    const std::string unavailable = runInPrivateNetwork([&] {
        platform::StreamSocket socket;
        std::ignore = socket.create();
        before = connectionRequestsSent();
        const auto start = Clock::now();
        EXPECT_FALSE(socket.connect("127.0.0.1", 9100));
        took = secondsSince(start);
        error = socket.lastError();
        after = connectionRequestsSent();
    });
    if (!unavailable.empty())
        GTEST_SKIP() << unavailable;
    ASSERT_TRUE(before && after) << "no TCP counters in /proc/thread-self/net/snmp";
    EXPECT_EQ(*after - *before, 3);
    EXPECT_EQ(error, ECONNREFUSED);
    EXPECT_GE(took, 0.95);
}

TEST(StreamSocket, RefusedConnectKeepsTryingForAboutASecondThenFails) {
    const std::string address = testing_support::uniqueLoopbackAddress();
    platform::StreamSocket socket;
    ASSERT_TRUE(socket.create());
    const auto start = Clock::now();
    const auto cpuBefore = testing_support::threadCpuTime();
    EXPECT_FALSE(socket.connect(address, freeTcpPort()));
    const double took = secondsSince(start);
    EXPECT_EQ(socket.lastError(), ECONNREFUSED);
    EXPECT_GE(took, 0.95);
    // It waits between its requests rather than spinning through the second.
    EXPECT_LT(testing_support::threadCpuTime() - cpuBefore, 200ms);
}

TEST(StreamSocket, ConnectSucceedsWhenTheListenerAppearsWithinTheRetryWindow) {
    bool connected = false;
    int error = 0;
    double took = 0;
    int hookCalls = 0;
    int listener = -1;
    bool counted = true;
    const std::string unavailable = runInPrivateNetwork([&] {
        const auto before = connectionRequestsSent();
        if (!before) {
            counted = false;
            return;
        }
        // The listener appears while connect pauses after its second refusal.
        platform::StreamSocket socket({}, [&] {
            ++hookCalls;
            if (listener < 0 && connectionRequestsSent().value_or(0) - *before == 2)
                listener = listenOn("127.0.0.1", 9100);
        });
        std::ignore = socket.create();
        const auto start = Clock::now();
        connected = socket.connect("127.0.0.1", 9100);
        took = secondsSince(start);
        error = socket.lastError();
        ::close(listener);
    });
    if (!unavailable.empty())
        GTEST_SKIP() << unavailable;
    ASSERT_TRUE(counted) << "no TCP counters in /proc/thread-self/net/snmp";
    EXPECT_TRUE(connected) << platform::systemErrorText(error);
    // Requests at about 0, 0.5 and 1 s: the third one finds the listener.
    EXPECT_GE(took, 0.95);
    EXPECT_GT(hookCalls, 0) << "the window must be kept painted while connect waits";
}

TEST(StreamSocket, NonNumericAddressFailsWithoutAnyLookup) {
    std::optional<long> before, after;
    bool namedConnected = true, outOfRangeConnected = true;
    int error = 0;
    const std::string unavailable = runInPrivateNetwork([&] {
        platform::StreamSocket socket;
        std::ignore = socket.create();
        before = packetsTried();
        namedConnected = socket.connect("printer.example", 9100);
        outOfRangeConnected = socket.connect("300.0.0.1", 9100);
        after = packetsTried();
        error = socket.lastError();
    });
    if (!unavailable.empty())
        GTEST_SKIP() << unavailable;
    EXPECT_FALSE(namedConnected);
    EXPECT_FALSE(outOfRangeConnected);
    EXPECT_EQ(error, EINVAL);
    ASSERT_TRUE(before && after) << "no IP counters in /proc/thread-self/net/snmp";
    EXPECT_EQ(*after, *before) << "a name server was asked, or a connection requested";
}

TEST(StreamSocket, SendToAPeerThatResetFailsAndTheProcessLives) {
    const std::string address = testing_support::uniqueLoopbackAddress();
    const std::uint16_t port = freeTcpPort();
    int listener = listenOn(address, port);
    ASSERT_GE(listener, 0);
    platform::StreamSocket socket;
    std::ignore = socket.create();
    ASSERT_TRUE(socket.connect(address, port));
    int peer = ::accept(listener, nullptr, nullptr);
    linger hard{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer);
    std::vector<char> block(1460, 'x');
    // The reset reaches the socket a moment later; sends go on until it has.
    EXPECT_TRUE(
        testing_support::eventually([&] { return !socket.sendAll(block.data(), block.size()); }));
    EXPECT_TRUE(socket.lastError() == ECONNRESET || socket.lastError() == EPIPE)
        << socket.lastError();
    ::close(listener);
}

TEST(StreamSocket, StalledPeerFailsTheSendAfterTheLimitAndLaterSendsFailAtOnce) {
    const std::string address = testing_support::uniqueLoopbackAddress();
    const std::uint16_t port = freeTcpPort();
    int listener = listenOn(address, port);
    ASSERT_GE(listener, 0);
    platform::StreamTimeouts timeouts;
    timeouts.sendStallLimit = 300ms;
    int waits = 0;
    platform::StreamSocket socket(timeouts, [&] { ++waits; });
    std::ignore = socket.create();
    ASSERT_TRUE(socket.connect(address, port));
    int peer = ::accept(listener, nullptr, nullptr);  // accepted, never read
    std::vector<char> big(16 * 1024 * 1024, 'y');
    const auto start = Clock::now();
    EXPECT_FALSE(socket.sendAll(big.data(), big.size()));
    EXPECT_EQ(socket.lastError(), ETIMEDOUT);
    EXPECT_GE(secondsSince(start), 0.25);
    waits = 0;
    EXPECT_FALSE(socket.sendAll(big.data(), 1460));
    EXPECT_EQ(waits, 0) << "a stalled connection must not stall every block";
    ::close(peer);
    ::close(listener);
}

TEST(DatagramSocket, ReceiveWithNothingQueuedReturnsAtOnce) {
    platform::DatagramSocket socket;
    ASSERT_TRUE(socket.create(0));
    char buffer[16];
    auto receiving =
        std::async(std::launch::async, [&] { return socket.receive(buffer, sizeof buffer); });
    const bool returned =
        receiving.wait_for(testing_support::kEventualDeadline) == std::future_status::ready;
    if (!returned) {  // it waits for a datagram: give it one so the test can end
        platform::DatagramSocket sender;
        std::ignore = sender.create(0);
        std::ignore = sender.sendTo("127.0.0.1", socket.localPort(), "x", 1);
    }
    EXPECT_TRUE(returned) << "the receive waited for a datagram";
    EXPECT_EQ(receiving.get(), -1);
}

TEST(DatagramSocket, OversizeDatagramIsDroppedWholeAndTheNextIsRead) {
    platform::DatagramSocket receiver, sender;
    ASSERT_TRUE(receiver.create(0, "127.0.0.1"));
    ASSERT_TRUE(sender.create(0));
    const std::uint16_t port = receiver.localPort();
    ASSERT_EQ(sender.sendTo("127.0.0.1", port, "12345", 5), 5);
    ASSERT_EQ(sender.sendTo("127.0.0.1", port, "\x02\0\0\0", 4), 4);
    ASSERT_EQ(sender.sendTo("127.0.0.1", port, "", 0), 0);
    platform::WakeableWait arrived;
    const auto readable = [&] {
        return arrived.untilReadable(receiver, testing_support::kEventualDeadline) ==
               platform::WakeableWait::Outcome::Readable;
    };
    unsigned char buffer[4] = {9, 9, 9, 9};
    std::string from;
    ASSERT_TRUE(readable());
    EXPECT_EQ(receiver.receive(buffer, 4, &from), -1);
    EXPECT_EQ(receiver.lastError(), EMSGSIZE);
    ASSERT_TRUE(readable());
    EXPECT_EQ(receiver.receive(buffer, 4, &from), 4);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(from, "127.0.0.1");
    ASSERT_TRUE(readable());
    EXPECT_EQ(receiver.receive(buffer, 4), 0) << "an empty datagram is a datagram of 0 bytes";
    EXPECT_EQ(receiver.receive(buffer, 4), -1);
}

TEST(DatagramSocket, CountsWhatAFullQueueDroppedAndRaisesTheQueueWithoutEverLoweringIt) {
    platform::DatagramSocket receiver, sender;
    ASSERT_TRUE(receiver.create(0, "127.0.0.1"));
    ASSERT_TRUE(sender.create(0));
    ASSERT_TRUE(receiver.setReceiveBufferSize(2048));  // room for a few datagrams
    ASSERT_TRUE(receiver.setCountDrops(true));
    const std::uint16_t port = receiver.localPort();
    // A loopback send is queued (or dropped) at the receiver before it returns.
    constexpr int kSent = 200;
    for (int i = 0; i < kSent; ++i)
        ASSERT_EQ(sender.sendTo("127.0.0.1", port, "\0\0\0\0", 4), 4);
    int read = 0;
    char buffer[16];
    while (receiver.receive(buffer, sizeof buffer) == 4)
        ++read;
    ASSERT_GT(read, 0);
    ASSERT_LT(read, kSent);
    // Drops at the end of a burst: no datagram came after them to tell.
    EXPECT_EQ(receiver.droppedDatagrams(), 0u);
    receiver.refreshDropCount();
    EXPECT_EQ(receiver.droppedDatagrams(), static_cast<std::uint64_t>(kSent - read));
    // A datagram queued after them tells the same count by itself.
    platform::DatagramSocket told;
    ASSERT_TRUE(told.create(0, "127.0.0.1"));
    ASSERT_TRUE(told.setReceiveBufferSize(2048));
    ASSERT_TRUE(told.setCountDrops(true));
    for (int i = 0; i < kSent; ++i)
        ASSERT_EQ(sender.sendTo("127.0.0.1", told.localPort(), "\0\0\0\0", 4), 4);
    int toldRead = 0;
    while (told.receive(buffer, sizeof buffer) == 4)
        ++toldRead;
    ASSERT_EQ(sender.sendTo("127.0.0.1", told.localPort(), "\0\0\0\0", 4), 4);
    EXPECT_EQ(told.receive(buffer, sizeof buffer), 4);
    EXPECT_EQ(told.droppedDatagrams(), static_cast<std::uint64_t>(kSent - toldRead));

    // Up to net.core.rmem_max (212992 by default) for anyone, past it with
    // privilege.
    const int raised = receiver.raiseReceiveBuffer(1 << 20);
    EXPECT_GT(raised, 200000);
    if (::geteuid() == 0) {
        EXPECT_GE(raised, 1 << 20);
    }
    EXPECT_EQ(receiver.raiseReceiveBuffer(4096), raised) << "a raise never lowers the queue";
}

TEST(DatagramSocket, PortTakenFailsWithTheSystemsReason) {
    platform::DatagramSocket first, second;
    const std::uint16_t port = freeUdpPort();
    ASSERT_TRUE(first.create(port));
    EXPECT_FALSE(second.create(port));
    EXPECT_EQ(second.lastError(), EADDRINUSE);
    EXPECT_EQ(platform::systemErrorText(EADDRINUSE), "Address already in use\n");
}

TEST(DatagramSocket, BroadcastOnLoopbackNeedsThePermission) {
    platform::DatagramSocket listener, sender;
    const std::uint16_t port = freeUdpPort();
    ASSERT_TRUE(listener.create(port, "127.255.255.255"));
    ASSERT_TRUE(sender.create(0));
    EXPECT_EQ(sender.sendTo("127.255.255.255", port, "BCJ", 3), -1);
    EXPECT_EQ(sender.lastError(), EACCES);
    ASSERT_TRUE(sender.setBroadcast(true));
    EXPECT_EQ(sender.sendTo("127.255.255.255", port, "BCJ", 3), 3);
    platform::WakeableWait arrived;
    ASSERT_EQ(arrived.untilReadable(listener, testing_support::kEventualDeadline),
              platform::WakeableWait::Outcome::Readable);
    char buffer[8];
    EXPECT_EQ(listener.receive(buffer, sizeof buffer), 3);
}

TEST(WakeableWait, EndsWithADatagramOrTheTimeOutAndAWakeFromAnotherThreadEndsEveryLaterWait) {
    using Outcome = platform::WakeableWait::Outcome;
    platform::DatagramSocket receiver, sender;
    ASSERT_TRUE(receiver.create(0, "127.0.0.1"));
    ASSERT_TRUE(sender.create(0));
    platform::WakeableWait wait;
    EXPECT_EQ(wait.untilReadable(receiver, 10ms), Outcome::TimedOut);
    ASSERT_EQ(sender.sendTo("127.0.0.1", receiver.localPort(), "\0\0\0\0", 4), 4);
    EXPECT_EQ(wait.untilReadable(receiver, 30s), Outcome::Readable);
    char buffer[4];
    ASSERT_EQ(receiver.receive(buffer, sizeof buffer), 4);

    // Only the wake can end these waits before their time-out; a wake that
    // comes before the wait begins ends it just the same.
    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        wait.wake();
    });
    EXPECT_EQ(wait.untilReadable(receiver, 30s), Outcome::Woken);
    waker.join();
    EXPECT_EQ(wait.untilReadable(receiver, 30s), Outcome::Woken)
        << "a wake-up ends later waits too";
}
