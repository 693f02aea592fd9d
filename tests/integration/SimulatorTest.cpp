// The simulated unit driven with plain sockets on loopback, and once by the
// real programming sequence.
#include "engine/Protocol.h"
#include "engine/UnitProgrammer.h"
#include "platform/Sha256.h"
#include "sim/UnitSimulator.h"
#include "tests/support/Eventually.h"
#include "tests/support/NoQueues.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;
using testing_support::uniqueLoopbackAddress;

constexpr auto kWait = 3000ms;

sockaddr_in endpoint(const std::string& address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

std::string endpointText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// A datagram socket on all local interfaces that closes itself.
class Udp {
public:
    explicit Udp(std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        const sockaddr_in local = endpoint("0.0.0.0", port);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    ~Udp() { ::close(fd_); }
    bool bound() const { return bound_; }

    void send(const std::string& address, std::uint16_t port, std::string_view bytes) {
        const sockaddr_in to = endpoint(address, port);
        ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

    struct Datagram {
        std::string bytes;
        std::string from;
    };
    std::optional<Datagram> receive(std::chrono::milliseconds timeout = kWait) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return std::nullopt;
        char buffer[4096];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got =
            ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0)
            return std::nullopt;
        return Datagram{std::string(buffer, static_cast<std::size_t>(got)), endpointText(from)};
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// A blocking TCP connection; -1 with errno when refused.
int connectTo(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = endpoint(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent =
            ::send(fd, bytes.data(), std::min<std::size_t>(bytes.size(), 1460), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// One connection carrying these bytes, closed in order afterwards.
void deliver(const std::string& address, std::uint16_t port, std::string_view bytes) {
    const int fd = connectTo(address, port);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_TRUE(sendAll(fd, bytes));
    ::close(fd);
}

struct Simulated : ::testing::Test {
    sim::SimulatorOptions options;
    Simulated() {
        options.udpPort = freeUdpPort();
        options.tcpPort = freeTcpPort();
        options.statusPort = freeUdpPort();
    }

    static sim::UnitSettings unit(std::string product = "Box 7 1.20") {
        sim::UnitSettings settings;
        settings.address = uniqueLoopbackAddress();
        settings.product = std::move(product);
        return settings;
    }

    std::unique_ptr<sim::UnitSimulator> run(std::vector<sim::UnitSettings> units) {
        auto simulator = std::make_unique<sim::UnitSimulator>(std::move(units), options);
        std::string error;
        EXPECT_TRUE(simulator->start(&error)) << error;
        return simulator;
    }

    static sim::UnitSimulator::EventPredicate is(std::string kind, std::string unit = {}) {
        return [kind, unit](const sim::Event& e) {
            return e.kind == kind && (unit.empty() || e.unit == unit);
        };
    }

    std::string query(Udp& socket, const std::string& address) {
        socket.send(address, options.udpPort, engine::proto::kQuery);
        const auto reply = socket.receive();
        EXPECT_TRUE(reply) << "no answer from " << address;
        if (!reply)
            return {};
        EXPECT_EQ(reply->from, address + ":" + std::to_string(options.udpPort));
        return reply->bytes;
    }

    void enterBootLoader(sim::UnitSimulator& simulator, const std::string& address) {
        deliver(address, options.tcpPort, engine::proto::entryHeaderForNetwork());
        ASSERT_TRUE(simulator.waitFor(is("bootloader", address), kWait));
    }
};

TEST_F(Simulated, AnswersTheQueryThenEntersTheBootLoaderAfterTheHeader) {
    const auto settings = unit();
    const std::string& address = settings.address;
    auto simulator = run({settings});
    Udp host;

    const std::string reply = query(host, address);
    EXPECT_EQ(reply, "Box 7 1.20\nIP:" + address + "\n");
    EXPECT_EQ(engine::proto::discoveryListLine(reply.data(), reply.size()),
              "Box 7 1.20\t" + address);
    EXPECT_FALSE(engine::proto::isBootLoaderReply(reply.data(), reply.size()));

    // The wake-up connection carries nothing and is no header.
    deliver(address, options.tcpPort, "");
    ASSERT_TRUE(simulator->waitFor(is("connection", address), kWait));
    EXPECT_EQ(simulator->count("header"), 0u);

    const std::string header = engine::proto::entryHeaderForNetwork();
    deliver(address, options.tcpPort, header);
    const auto seen = simulator->waitFor(is("header", address), kWait);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->field("hex"), platform::hexText(header.data(), header.size()));
    ASSERT_TRUE(simulator->waitFor(is("bootloader", address), kWait));

    const std::string bootReply = query(host, address);
    EXPECT_EQ(bootReply, "BootLoader\nIP:" + address + "\n");
    EXPECT_TRUE(engine::proto::isBootLoaderReply(bootReply.data(), bootReply.size()));
    EXPECT_EQ(simulator->count("image"), 0u);

    // Time stamps and anything else on the management port are only recorded.
    host.send(address, options.udpPort, "TSBCJ12-07-26, 11-49-29, 300, 0");
    host.send(address, options.udpPort, "hello");
    const auto stamp = simulator->waitFor(is("timestamp", address), kWait);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->field("text"), "TSBCJ12-07-26, 11-49-29, 300, 0");
    const auto other = simulator->waitFor(is("datagram", address), kWait);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->field("hex"), "68656c6c6f");
    EXPECT_FALSE(host.receive(100ms)) << "only the query is answered";
}

// The host closes the header's connection before it sends its first probe.
// When both wait for the unit at once, it must take them in that order and
// answer as boot loader, however busy it was meanwhile.
TEST_F(Simulated, HeaderAndProbeWaitingTogetherAreTakenInTheHostsOrder) {
    const auto settings = unit();
    sim::UnitSimulator simulator({settings}, options);
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    // Holding the serving thread in its callback until both wait lets them pile up.
    simulator.setEventCallback([&](const sim::Event& e) {
        if (e.kind == "connection" && !held.exchange(true))
            std::ignore = testing_support::eventually([&] { return released.load(); });
    });
    std::string error;
    ASSERT_TRUE(simulator.start(&error)) << error;
    deliver(settings.address, options.tcpPort, "");
    const bool wasHeld = testing_support::eventually([&] { return held.load(); });
    // The connection and the datagram are queued in the kernel before the unit goes on.
    deliver(settings.address, options.tcpPort, engine::proto::entryHeaderForNetwork());
    Udp host;
    host.send(settings.address, options.udpPort, engine::proto::kQuery);
    released = true;
    ASSERT_TRUE(wasHeld);
    const auto reply = host.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, "BootLoader\nIP:" + settings.address + "\n");
}

TEST_F(Simulated, PrintQueueHeaderWithoutNulCountsAndBootDelayHolds) {
    auto settings = unit();
    settings.bootDelay = 300ms;
    const std::string address = settings.address;
    auto simulator = run({settings});
    Udp host;

    const auto started = std::chrono::steady_clock::now();
    deliver(address, options.tcpPort, engine::proto::entryHeaderForPrintQueue());
    ASSERT_TRUE(simulator->waitFor(is("header", address), kWait));
    EXPECT_FALSE(engine::proto::isBootLoaderReply(query(host, address).data(), 10));
    ASSERT_TRUE(simulator->waitFor(is("bootloader", address), kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 290ms);
    const std::string reply = query(host, address);
    EXPECT_TRUE(engine::proto::isBootLoaderReply(reply.data(), reply.size()));

    // A short connection that only begins like the header is an image.
    const std::string partial(engine::proto::kEntryHeaderText.substr(0, 20));
    deliver(address, options.tcpPort, partial);
    const auto image = simulator->waitFor(is("image", address), kWait);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->field("bytes"), "20");
    EXPECT_EQ(simulator->count("header", address), 1u);
}

TEST_F(Simulated, ImageIsHashedAndTheVerdictComesFromTheUnitsAddress) {
    auto settings = unit();
    settings.status = 0x01020304;
    const std::string address = settings.address;
    Udp statusPort(options.statusPort);
    ASSERT_TRUE(statusPort.bound());
    auto simulator = run({settings});
    Udp host;
    enterBootLoader(*simulator, address);

    const std::string image = testing_support::makeImage(300 * 1000 + 17);
    deliver(address, options.tcpPort, image);
    const auto verdict = statusPort.receive();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->bytes, std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(verdict->from, address + ":" + std::to_string(options.udpPort));
    EXPECT_EQ(engine::proto::decodeStatus(verdict->bytes.data(), verdict->bytes.size()),
              0x01020304);

    const auto seen = simulator->waitFor(is("image", address), kWait);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->field("bytes"), std::to_string(image.size()));
    EXPECT_EQ(seen->field("sha256"), platform::sha256Hex(image));
    EXPECT_EQ(seen->field("bootloader"), "true");
    EXPECT_EQ(simulator->imagesReceived(), 1u);

    // Flashing restarts the unit into its firmware.
    EXPECT_EQ(query(host, address), "Box 7 1.20\nIP:" + address + "\n");
    EXPECT_FALSE(statusPort.receive(100ms)) << "exactly one verdict";
}

TEST_F(Simulated, BroadcastQueryIsAnsweredByEveryUnitFromItsOwnAddress) {
    std::vector<sim::UnitSettings> units = {unit("A 1.0"), unit("B 2.0"), unit("C 3.0")};
    auto simulator = run(units);
    Udp host;
    host.send("127.255.255.255", options.udpPort, engine::proto::kQuery);

    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) {
        const auto reply = host.receive();
        ASSERT_TRUE(reply) << "only " << i << " answers";
        const std::string line =
            engine::proto::discoveryListLine(reply->bytes.data(), reply->bytes.size());
        EXPECT_EQ(reply->from,
                  engine::proto::addressFromListLine(line) + ":" + std::to_string(options.udpPort));
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"A 1.0\t" + units[0].address, "B 2.0\t" + units[1].address,
                                        "C 3.0\t" + units[2].address}));
    EXPECT_FALSE(host.receive(100ms)) << "one answer per unit";

    host.send("127.255.255.255", options.udpPort, "TSBCJ03-01-27, 09-05-03, -60, 1");
    for (const auto& u : units)
        EXPECT_TRUE(simulator->waitFor(is("timestamp", u.address), kWait));
    // A repeated datagram would have been recorded before the marker query.
    ASSERT_TRUE(testing_support::everyUnitReadEarlierDatagrams(*simulator));
    EXPECT_EQ(simulator->count("timestamp"), 3u);
}

// Inside a private namespace the units listen for broadcasts on the wildcard
// address; on loopback that must still give one answer per unit and leave
// unicast queries to the unit they are meant for.
TEST_F(Simulated, WildcardBroadcastListenerSharesThePortWithTheUnits) {
    options.broadcastListen = "0.0.0.0";
    std::vector<sim::UnitSettings> units = {unit("A 1.0"), unit("B 2.0")};
    auto simulator = run(units);
    Udp host;
    host.send("127.255.255.255", options.udpPort, engine::proto::kQuery);
    std::vector<std::string> from;
    for (int i = 0; i < 2; ++i) {
        const auto reply = host.receive();
        ASSERT_TRUE(reply) << "only " << i << " answers";
        from.push_back(reply->from);
    }
    std::sort(from.begin(), from.end());
    std::vector<std::string> expected = {units[0].address + ":" + std::to_string(options.udpPort),
                                         units[1].address + ":" + std::to_string(options.udpPort)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(from, expected);

    EXPECT_EQ(query(host, units[1].address), "B 2.0\nIP:" + units[1].address + "\n");
    EXPECT_FALSE(host.receive(100ms)) << "a unicast query reached more than its unit";
}

TEST_F(Simulated, RefusedDataPortAndMissingBootLoader) {
    auto refusing = unit();
    refusing.refuse = true;
    auto stubborn = unit();
    stubborn.noBootLoader = true;
    const auto ordinary = unit();
    auto simulator = run({refusing, stubborn, ordinary});
    Udp host;

    EXPECT_EQ(connectTo(refusing.address, options.tcpPort), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    // The refusing unit still answers on its management port.
    EXPECT_EQ(query(host, refusing.address), "Box 7 1.20\nIP:" + refusing.address + "\n");

    deliver(stubborn.address, options.tcpPort, engine::proto::entryHeaderForNetwork());
    ASSERT_TRUE(simulator->waitFor(is("header", stubborn.address), kWait));
    // An ordinary unit given the header later enters its boot loader after
    // the same delay: once it has, the stubborn one would have too.
    enterBootLoader(*simulator, ordinary.address);
    const std::string reply = query(host, stubborn.address);
    EXPECT_FALSE(engine::proto::isBootLoaderReply(reply.data(), reply.size()));
    EXPECT_EQ(simulator->count("bootloader", stubborn.address), 0u);
}

TEST_F(Simulated, ResetAndStallCutTheImageAtTheirByte) {
    auto resetting = unit();
    resetting.resetAfter = 5000;
    auto stalling = unit();
    stalling.stallAfter = 7000;
    // Below the header's length the unit cannot have read ahead to tell image
    // from header: the cut must still fall on its byte.
    auto early = unit();
    early.resetAfter = 10;
    Udp statusPort(options.statusPort);
    auto simulator = run({resetting, stalling, early});
    const std::string image = testing_support::makeImage(4 * 1000 * 1000);

    const int cutEarly = connectTo(early.address, options.tcpPort);
    ASSERT_GE(cutEarly, 0);
    ASSERT_TRUE(sendAll(cutEarly, std::string_view(image).substr(0, 1000)));
    const auto resetEarly = simulator->waitFor(is("reset", early.address), kWait);
    ASSERT_TRUE(resetEarly);
    EXPECT_EQ(resetEarly->field("bytes"), "10");
    char byte;
    EXPECT_EQ(::recv(cutEarly, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    ::close(cutEarly);

    const int cut = connectTo(resetting.address, options.tcpPort);
    ASSERT_GE(cut, 0);
    EXPECT_FALSE(sendAll(cut, image)) << "the unit must reset the stream";
    EXPECT_TRUE(errno == ECONNRESET || errno == EPIPE) << std::strerror(errno);
    ::close(cut);
    const auto reset = simulator->waitFor(is("reset", resetting.address), kWait);
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->field("bytes"), "5000");

    const int stuck = connectTo(stalling.address, options.tcpPort);
    ASSERT_GE(stuck, 0);
    // A small send buffer, so the host notices the stall long before the image ends.
    const int sendBuffer = 64 * 1024;
    ::setsockopt(stuck, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    const timeval limit{0, 300 * 1000};
    ::setsockopt(stuck, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    EXPECT_FALSE(sendAll(stuck, image)) << "the unit must stop taking bytes";
    EXPECT_EQ(errno, EAGAIN);
    const auto stall = simulator->waitFor(is("stall", stalling.address), kWait);
    ASSERT_TRUE(stall);
    EXPECT_EQ(stall->field("bytes"), "7000");
    // The stalled connection stays open: no end of stream, no reset.
    pollfd p{stuck, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 50), 0);
    ::close(stuck);

    EXPECT_EQ(simulator->count("image"), 0u);
    EXPECT_FALSE(statusPort.receive(200ms)) << "a cut-off image has no verdict";
}

// The unit holds a stalled stream only while the host holds it too: a host
// that closes its end, in order or by reset, frees the unit's side.
TEST_F(Simulated, StalledStreamIsReleasedWhenTheHostLeaves) {
    auto settings = unit();
    settings.stallAfter = 0;
    auto simulator = run({settings});
    const std::string image = testing_support::makeImage(5000);

    const int orderly = connectTo(settings.address, options.tcpPort);
    ASSERT_GE(orderly, 0);
    ASSERT_TRUE(sendAll(orderly, image));
    const auto stall = simulator->waitFor(is("stall", settings.address), kWait);
    ASSERT_TRUE(stall);
    EXPECT_EQ(stall->field("bytes"), "0");
    // The unit answers a query only after a later turn of its loop, which
    // would have seen the stalled stream end had it ended.
    Udp host;
    EXPECT_FALSE(query(host, settings.address).empty());
    EXPECT_EQ(simulator->count("aborted"), 0u) << "the stall holds while the host stays";
    ::close(orderly);
    const auto left = simulator->waitFor(is("aborted", settings.address), kWait);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->field("bytes"), "0");

    const int hard = connectTo(settings.address, options.tcpPort);
    ASSERT_GE(hard, 0);
    ASSERT_TRUE(sendAll(hard, image));
    ASSERT_TRUE(simulator->waitFor(
        [&](const sim::Event& e) {
            return e.kind == "stall" && e.field("peer") != stall->field("peer");
        },
        kWait));
    const linger now{1, 0};
    ::setsockopt(hard, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(hard);
    ASSERT_TRUE(simulator->waitFor(
        [&](const sim::Event& e) {
            return e.kind == "aborted" && e.field("peer") != left->field("peer");
        },
        kWait));
    EXPECT_EQ(simulator->count("image"), 0u);
    EXPECT_EQ(simulator->count("connection"), 0u) << "neither stream ended as a whole one";
}

// A host that gives up mid-image resets the connection; the unit must not take
// the bytes it has for a whole image nor confirm them. That holds as well for
// a reset before a single byte arrived (a stop while the first blocks are
// still held back for a full packet): a cut-off image, not an empty connection.
TEST_F(Simulated, StreamResetByTheHostIsNoImage) {
    const auto settings = unit();
    Udp statusPort(options.statusPort);
    auto simulator = run({settings});
    for (const std::size_t bytes : {std::size_t{3000}, std::size_t{0}}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes before the reset");
        const int fd = connectTo(settings.address, options.tcpPort);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, testing_support::makeImage(bytes)));
        // Every byte is with the unit (acknowledged) before the reset.
        EXPECT_TRUE(testing_support::eventually([&] {
            int unacknowledged = -1;
            return ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
        }));
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        const auto aborted = simulator->waitFor(
            [&](const sim::Event& e) {
                return e.kind == "aborted" && e.field("bytes") == std::to_string(bytes);
            },
            kWait);
        ASSERT_TRUE(aborted);
        EXPECT_EQ(aborted->field("error"), "Connection reset by peer");
    }
    EXPECT_EQ(simulator->count("image"), 0u);
    EXPECT_EQ(simulator->count("connection"), 0u) << "no stream ended as a whole one";
    EXPECT_FALSE(statusPort.receive(200ms));
}

TEST_F(Simulated, ShapedAndStrayStatusDatagrams) {
    auto shortStatus = unit();
    shortStatus.status = 0x0102;
    shortStatus.statusShape = sim::StatusShape::Short;
    auto longStatus = unit();
    longStatus.status = 3;
    longStatus.statusShape = sim::StatusShape::Long;
    auto repeated = unit();
    repeated.status = 2;
    repeated.repeatedStatus = true;
    auto raw = unit();
    raw.rawStatus = std::string("\xff\x00", 2);
    auto silent = unit();
    silent.statusShape = sim::StatusShape::None;
    Udp statusPort(options.statusPort);
    auto simulator = run({shortStatus, longStatus, repeated, raw, silent});
    const std::string image = testing_support::makeImage(5000);

    const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
        {shortStatus.address, {std::string("\x02", 1)}},
        {longStatus.address, {std::string("\x03\x00\x00\x00\x00", 5)}},
        {repeated.address,
         {std::string("\x02\x00\x00\x00", 4), std::string("\x02\x00\x00\x00", 4)}},
        {raw.address, {std::string("\xff\x00", 2)}},
        {silent.address, {}},
    };
    for (const auto& [address, datagrams] : expected) {
        deliver(address, options.tcpPort, image);
        for (const auto& bytes : datagrams) {
            const auto got = statusPort.receive();
            ASSERT_TRUE(got) << address;
            EXPECT_EQ(got->bytes, bytes) << address;
            EXPECT_EQ(got->from, address + ":" + std::to_string(options.udpPort));
        }
        EXPECT_FALSE(statusPort.receive(100ms)) << address << " sent more than expected";
        EXPECT_TRUE(simulator->waitFor(is("image", address), kWait)) << address;
    }
}

TEST_F(Simulated, EarlyStatusFollowsTheHeaderAndMidStreamStatusPrecedesTheEnd) {
    auto early = unit();
    early.status = 1;
    early.earlyStatus = true;
    auto during = unit();
    during.status = 2;
    during.statusDuringStream = true;
    Udp statusPort(options.statusPort);
    auto simulator = run({early, during});

    deliver(early.address, options.tcpPort, engine::proto::entryHeaderForNetwork());
    const auto stray = statusPort.receive();
    ASSERT_TRUE(stray);
    EXPECT_EQ(stray->bytes, std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(simulator->count("image"), 0u);

    const int stream = connectTo(during.address, options.tcpPort);
    ASSERT_GE(stream, 0);
    const std::string image = testing_support::makeImage(10000);
    ASSERT_TRUE(sendAll(stream, std::string_view(image).substr(0, 2000)));
    const auto midway = statusPort.receive();
    ASSERT_TRUE(midway) << "a datagram while the connection is still open";
    EXPECT_EQ(midway->bytes, std::string("\x02\x00\x00\x00", 4));
    ASSERT_TRUE(sendAll(stream, std::string_view(image).substr(2000)));
    ::close(stream);
    const auto verdict = statusPort.receive();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->bytes, std::string("\x02\x00\x00\x00", 4));
    const auto seen = simulator->waitFor(is("image", during.address), kWait);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->field("sha256"), platform::sha256Hex(image));
}

TEST_F(Simulated, MalformedAndLateDiscoveryReplies) {
    auto noLineFeed = unit("P");
    noLineFeed.replyFault = sim::ReplyFault::NoLineFeed;
    auto nul = unit("Product");
    nul.replyFault = sim::ReplyFault::NulInside;
    auto empty = unit();
    empty.replyFault = sim::ReplyFault::Empty;
    auto oversized = unit();
    oversized.replyFault = sim::ReplyFault::Oversized;
    auto late = unit();
    late.replyDelay = 200ms;
    auto simulator = run({noLineFeed, nul, empty, oversized, late});
    Udp host;

    std::string reply = query(host, noLineFeed.address);
    EXPECT_EQ(reply.find('\n'), std::string::npos);
    EXPECT_EQ(engine::proto::discoveryListLine(reply.data(), reply.size()), reply + "\t");

    reply = query(host, nul.address);
    EXPECT_NE(reply.find('\0'), std::string::npos);
    // The NUL ends the product; the address starts 4 bytes past it.
    EXPECT_EQ(engine::proto::discoveryListLine(reply.data(), reply.size()), "Pro\tt");

    EXPECT_EQ(query(host, empty.address), "");
    EXPECT_GT(query(host, oversized.address).size(), 1000u);

    // The boot loader's answer stays well formed whatever the firmware says.
    enterBootLoader(*simulator, nul.address);
    reply = query(host, nul.address);
    EXPECT_EQ(reply, "BootLoader\nIP:" + nul.address + "\n");

    const auto asked = std::chrono::steady_clock::now();
    host.send(late.address, options.udpPort, engine::proto::kQuery);
    EXPECT_FALSE(host.receive(100ms)) << "answered before its delay";
    EXPECT_EQ(simulator->count("query", late.address), 0u) << "recorded before it was answered";
    EXPECT_TRUE(host.receive());
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 190ms);
    // The event is filed just after the answer leaves, so the host may read
    // the answer first.
    EXPECT_TRUE(simulator->waitFor(is("query", late.address), kWait));
    EXPECT_EQ(simulator->count("query", late.address), 1u);
}

TEST_F(Simulated, FinishesAfterTheGivenNumberOfVerdicts) {
    options.exitAfterImages = 2;
    auto settings = unit();
    settings.flashDelay = 50ms;
    auto simulator = run({settings});
    deliver(settings.address, options.tcpPort, "first");
    ASSERT_TRUE(simulator->waitFor(is("status"), kWait));
    EXPECT_FALSE(simulator->finished());
    deliver(settings.address, options.tcpPort, "second");
    ASSERT_TRUE(simulator->waitUntilFinished(kWait));
    EXPECT_EQ(simulator->imagesReceived(), 2u);
    EXPECT_EQ(simulator->count("status"), 2u) << "the last verdict goes out before the end";
    simulator->stop();
    simulator->stop();
}

// The taken address is a unit with a data port, or one without: then only the
// management port can collide, and it must.
struct TakenAddress : Simulated, ::testing::WithParamInterface<bool /*refusing*/> {};

TEST_P(TakenAddress, FailsTheStartCleanly) {
    const auto settings = unit();
    auto refusing = unit();
    refusing.refuse = true;
    auto first = run({settings, refusing});
    Udp host;
    const sim::UnitSettings& taken = GetParam() ? refusing : settings;
    sim::UnitSimulator second({unit(), taken}, options);
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find(taken.address), std::string::npos) << error;
    // The first simulator is untouched by the failed one.
    EXPECT_EQ(query(host, taken.address), "Box 7 1.20\nIP:" + taken.address + "\n");
    EXPECT_FALSE(host.receive(100ms)) << "each query answered once";
}

INSTANTIATE_TEST_SUITE_P(Simulated, TakenAddress, ::testing::Bool(), [](const auto& testCase) {
    return testCase.param ? "WithoutDataPort" : "WithDataPort";
});

// A unit out of descriptors cannot take the connection that waits for it; it
// must rest rather than spin on the ever-ready listener, and take the
// connection once descriptors are free again.
TEST_F(Simulated, OutOfDescriptorsTheUnitWaitsAndThenAccepts) {
#if defined(FWPROG_ADDRESS_SANITIZER)
    GTEST_SKIP() << "with no descriptor left, the sanitizer runtime cannot read the process's "
                    "memory map and reports false type errors; the optimised build runs this";
#endif
    const auto settings = unit();
    auto simulator = run({settings});
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor as the limit: no new one can be made.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const sockaddr_in to = endpoint(settings.address, options.tcpPort);
    const auto start = std::chrono::steady_clock::now();
    const int connected = ::connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const bool failedOnce = simulator->waitFor(is("error", settings.address), 10s).has_value();
    // A while of retries: a unit that rests (a tenth of a second) makes one per
    // rest, however slow the machine; one that spins makes thousands.
    std::this_thread::sleep_for(350ms);
    const std::size_t errors = simulator->count("error", settings.address);
    const auto watched = std::chrono::steady_clock::now() - start;
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(connected, 0) << std::strerror(errno);

    EXPECT_TRUE(failedOnce);
    EXPECT_GE(errors, 1u);
    EXPECT_LE(errors, 2u + static_cast<std::size_t>(watched / 50ms))
        << "the unit retried without pause";
    EXPECT_TRUE(sendAll(client, "late image"));
    ::close(client);
    const auto image = simulator->waitFor(is("image", settings.address), kWait);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->field("sha256"), platform::sha256Hex("late image"));
}

TEST_F(Simulated, ManyUnitsStreamAtOnce) {
    constexpr std::size_t kUnits = 200;
    // Both ends live in this process: about 1000 descriptors.
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 2048 && files.rlim_max > files.rlim_cur) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<sim::UnitSettings> units;
    for (std::size_t i = 0; i < kUnits; ++i)
        units.push_back(unit());
    auto simulator = run(units);

    std::vector<std::string> images;
    for (std::size_t i = 0; i < kUnits; ++i)
        images.push_back(testing_support::makeImage(64 * 1024 + i, static_cast<unsigned>(i)));
    // Every connection is open before any stream ends, so all are in flight together.
    std::vector<int> fds;
    for (const auto& u : units) {
        fds.push_back(connectTo(u.address, options.tcpPort));
        ASSERT_GE(fds.back(), 0);
    }
    std::vector<std::thread> senders;
    for (std::size_t i = 0; i < kUnits; ++i)
        senders.emplace_back([&, i] {
            sendAll(fds[i], images[i]);
            ::close(fds[i]);
        });
    for (auto& t : senders)
        t.join();
    for (std::size_t i = 0; i < kUnits; ++i) {
        const auto seen = simulator->waitFor(is("image", units[i].address), kWait);
        ASSERT_TRUE(seen) << units[i].address;
        EXPECT_EQ(seen->field("sha256"), platform::sha256Hex(images[i]));
    }
    EXPECT_EQ(simulator->imagesReceived(), static_cast<std::uint64_t>(kUnits));
}

// ---------------------------------------------------------------------------

TEST_F(Simulated, ProgrammingSequenceProgramsTheSimulatedUnit) {
    auto settings = unit();
    settings.bootDelay = 5ms;
    auto wrongModel = unit();
    wrongModel.status = 3;
    auto simulator = run({settings, wrongModel});

    testing_support::TempDir dir;
    const std::string image = testing_support::makeImage(200 * 1000 + 3);
    testing_support::writeFile(dir.file("fw.bin"), image);

    testing_support::RecordingOperator op;
    testing_support::ScaledSleeper sleeper(0.01);
    testing_support::NoQueues spooler;
    engine::EngineOptions engine;
    engine.endpoints.unitUdpPort = options.udpPort;
    engine.endpoints.unitTcpPort = options.tcpPort;
    engine.endpoints.statusPort = options.statusPort;
    engine.endpoints.broadcastAddress = "127.255.255.255";
    engine::UnitProgrammer programmer(op, sleeper, spooler, engine);

    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), settings.address),
              engine::ResultProgrammed);
    EXPECT_TRUE(op.messages.empty());
    const auto seen = simulator->waitFor(is("image", settings.address), kWait);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->field("sha256"), platform::sha256Hex(image));
    EXPECT_EQ(seen->field("bootloader"), "true");
    EXPECT_EQ(simulator->count("header", settings.address), 1u);
    EXPECT_GE(simulator->count("connection", settings.address), 3u);

    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), wrongModel.address),
              engine::ResultWrongModel);
}

// ---------------------------------------------------------------------------

struct Spawned {
    pid_t pid = -1;
    int out = -1;
};

Spawned spawnSimulator(const std::vector<std::string>& args) {
    const std::string program = std::string(FWPROG_BINARY_DIR) + "/sim/fwprog-unit-sim";
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Spawned child;
    if (posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    child.out = pipeFds[0];
    return child;
}

std::string readLine(int fd) {
    std::string line;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, static_cast<int>(kWait.count())) == 1 && ::read(fd, &c, 1) == 1 &&
           c != '\n')
        line.push_back(c);
    return line;
}

int exitCode(pid_t pid) {
    int status = 0;
    if (testing_support::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }))
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

TEST_F(Simulated, ExecutablePrintsEventLinesAndEndsCleanly) {
    const std::string address = uniqueLoopbackAddress();
    const std::vector<std::string> ports = {"--udp-port",    std::to_string(options.udpPort),
                                            "--tcp-port",    std::to_string(options.tcpPort),
                                            "--status-port", std::to_string(options.statusPort)};
    std::vector<std::string> args = {"--unit", address, "--status", "2", "--exit-after", "1"};
    args.insert(args.end(), ports.begin(), ports.end());
    Spawned child = spawnSimulator(args);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(readLine(child.out).rfind("{\"event\":\"ready\"", 0), 0u);
    deliver(address, options.tcpPort, "abc");
    std::vector<std::string> lines;
    for (std::string line = readLine(child.out); !line.empty(); line = readLine(child.out))
        lines.push_back(line);
    ::close(child.out);
    EXPECT_EQ(exitCode(child.pid), 0) << "ends after its one image";
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("{\"event\":\"connection\",\"unit\":\"" + address + "\"", 0), 0u);
    EXPECT_NE(lines[1].find("\"sha256\":\"" + platform::sha256Hex("abc") + "\""),
              std::string::npos);
    EXPECT_NE(lines[2].find("\"hex\":\"02000000\""), std::string::npos);

    // A signal ends it cleanly too.
    child = spawnSimulator(
        {"--unit", uniqueLoopbackAddress(), "--udp-port", ports[1], "--tcp-port", ports[3]});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(readLine(child.out).rfind("{\"event\":\"ready\"", 0), 0u);
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(exitCode(child.pid), 0);
    ::close(child.out);

    // A bad option is refused before anything is opened.
    child = spawnSimulator({"--unit", address, "--fault", "melt"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(readLine(child.out), "");
    EXPECT_EQ(exitCode(child.pid), 2);
    ::close(child.out);
}

}  // namespace
