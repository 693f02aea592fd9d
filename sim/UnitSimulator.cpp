#include "sim/UnitSimulator.h"

#include "engine/JsonText.h"
#include "engine/Protocol.h"
#include "engine/Timing.h"
#include "platform/ErrorText.h"
#include "platform/Sha256.h"
#include "platform/SocketAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Discovery reads at most 1000 bytes of a reply; the padded reply goes past that.
constexpr std::size_t kOversizedReplyLength = 1200;
// Enough of an entry-header connection to show what came after the header.
constexpr std::size_t kHeaderBytesKept = 4096;
// Reads per connection per turn of the loop, so one fast stream cannot starve the rest.
constexpr int kReadsPerTurn = 4;
// How long a unit leaves its pending connections alone after running out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// The pace of a unit's stale status datagrams after the entry header.
constexpr std::chrono::milliseconds kStaleStatusGap{20};

bool parseAddress(const std::string& text, in_addr* address) {
    const auto parsed = platform::parseIpv4(text);
    if (!parsed)
        return false;
    address->s_addr = htonl(*parsed);
    return true;
}

sockaddr_in socketAddress(const in_addr& address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr = address;
    result.sin_port = htons(port);
    return result;
}

std::string endpointText(const sockaddr_in& address) {
    return platform::ipv4Text(ntohl(address.sin_addr.s_addr)) + ":" +
           std::to_string(ntohs(address.sin_port));
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool startsWith(const unsigned char* data, std::size_t length, std::string_view prefix) {
    return length >= prefix.size() && std::memcmp(data, prefix.data(), prefix.size()) == 0;
}

// The verdict as the unit's settings shape it; empty when it sends none.
std::string verdictBytes(const UnitSettings& unit) {
    if (unit.rawStatus)
        return *unit.rawStatus;
    const auto value = static_cast<std::uint32_t>(unit.status);
    std::string bytes;
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    switch (unit.statusShape) {
        case StatusShape::Full:
            return bytes;
        case StatusShape::None:
            return {};
        case StatusShape::Short:
            return bytes.substr(0, 1);
        case StatusShape::Long:
            return bytes + std::string(1, '\0');
    }
    return bytes;
}

// Early and mid-stream datagrams carry the verdict's bytes even when the unit
// would send no verdict, so the host sees something it must not trust.
std::string strayStatusBytes(const UnitSettings& unit) {
    std::string bytes = verdictBytes(unit);
    if (bytes.empty() && !unit.rawStatus) {
        UnitSettings full = unit;
        full.statusShape = StatusShape::Full;
        bytes = verdictBytes(full);
    }
    return bytes;
}

std::string queryReply(const UnitSettings& unit, const std::string& product, bool inBootLoader) {
    if (inBootLoader)
        return std::string(engine::proto::kBootLoaderTag) + "\nIP:" + unit.address + "\n";
    if (unit.rawReply)
        return *unit.rawReply;
    switch (unit.replyFault) {
        case ReplyFault::None:
            break;
        case ReplyFault::NoLineFeed:
            return product + "IP:" + unit.address;
        case ReplyFault::NulInside: {
            const std::size_t half = product.size() / 2;
            return product.substr(0, half) + std::string(1, '\0') + product.substr(half) +
                   "\nIP:" + unit.address + "\n";
        }
        case ReplyFault::Empty:
            return {};
        case ReplyFault::Oversized: {
            std::string reply = product + "\nIP:" + unit.address + "\n";
            if (reply.size() < kOversizedReplyLength)
                reply.append(kOversizedReplyLength - reply.size(), 'x');
            return reply;
        }
    }
    return product + "\nIP:" + unit.address + "\n";
}

Event::Field text(std::string name, std::string value) {
    return {std::move(name), std::move(value), true};
}

Event::Field number(std::string name, std::uint64_t value) {
    return {std::move(name), std::to_string(value), false};
}

Event::Field flag(std::string name, bool value) {
    return {std::move(name), value ? "true" : "false", false};
}

}  // namespace

// ---------------------------------------------------------------------------

Event makeEvent(std::string kind, std::string unit, std::vector<Event::Field> fields) {
    Event event;
    event.kind = std::move(kind);
    event.unit = std::move(unit);
    event.fields = std::move(fields);
    nlohmann::ordered_json line = {{"event", engine::jsonText(event.kind)}};
    if (!event.unit.empty())
        line["unit"] = engine::jsonText(event.unit);
    for (const auto& field : event.fields) {
        // An unquoted field holds a number or a boolean the simulator wrote itself.
        line[field.name] = field.quoted ? engine::jsonText(field.value)
                                        : nlohmann::ordered_json::parse(field.value, nullptr,
                                                                        /*allow_exceptions=*/false);
    }
    event.json = line.dump(/*indent=*/-1, ' ', /*ensure_ascii=*/true);
    return event;
}

std::string Event::field(std::string_view name) const {
    for (const auto& f : fields)
        if (f.name == name)
            return f.value;
    return {};
}

bool Event::has(std::string_view name) const {
    for (const auto& f : fields)
        if (f.name == name)
            return true;
    return false;
}

// ---------------------------------------------------------------------------

struct UnitSimulator::Loop {
    struct Unit {
        in_addr address{};
        int udpFd = -1;
        int listenFd = -1;
        bool acceptPaused = false;  // out of descriptors: pending connections wait
        bool deaf = false;          // connection requests are dropped (accept queue kept full)
        int fillerFd = -1;          // the unit's own connection that fills the accept queue
        sockaddr_in fillerAddress{};
        bool inBootLoader = false;
        std::uint64_t generation = 0;     // bumped by every image: stale boot timers lapse
        std::string product;              // what the firmware answers the query with now
        std::uint64_t images = 0;         // images received so far
        bool refusing = false;            // bound but not listening: connection requests refused
        Clock::time_point silentUntil{};  // restarting: queries go unanswered until then
    };

    enum class Kind { Undecided, Header, Image };

    struct Connection {
        int fd = -1;
        std::size_t unit = 0;
        sockaddr_in peer{};
        Kind kind = Kind::Undecided;
        std::uint64_t received = 0;
        std::string head;  // the first bytes while undecided; a header's bytes after that
        platform::Sha256 hash;
        bool stalled = false;
        bool stallOver = false;    // a stall for a while has ended; the unit reads on
        std::uint64_t serial = 0;  // tells a connection from a later one on the same descriptor
    };

    enum class Source { Wake, Broadcast, UnitUdp, Listener, Stream, Stalled };
    // What a descriptor is watched for; events 0 with watching false: not at all.
    struct Watch {
        bool watching = false;
        Source source = Source::Wake;
        std::size_t index = 0;
        std::uint32_t events = 0;
    };

    UnitSimulator& owner;
    std::vector<Unit> units;
    // One kernel-kept interest list rather than a poll over every descriptor
    // each turn: with thousands of units that poll was most of the loop's time.
    int epollFd = -1;
    std::vector<Watch> watches;  // by descriptor
    std::size_t watchCount = 0;
    int wakeRead = -1;
    int wakeWrite = -1;
    int broadcastFd = -1;
    std::map<int, Connection> connections;
    std::uint64_t nextSerial = 0;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    std::uint64_t verdictsDone = 0;
    bool done = false;
    std::atomic<bool> stopping{false};
    std::vector<unsigned char> buffer = std::vector<unsigned char>(64 * 1024);

    explicit Loop(UnitSimulator& o) : owner(o) {}
    ~Loop() { closeAll(); }

    const UnitSettings& settings(std::size_t unit) const { return owner.units_[unit]; }
    const SimulatorOptions& options() const { return owner.options_; }
    void emit(std::string kind, std::size_t unit, std::vector<Event::Field> fields) {
        owner.record(makeEvent(std::move(kind), settings(unit).address, std::move(fields)));
    }

    bool open(std::string* error);
    void closeAll();
    void run();
    void dispatch(int fd);
    void wake();

    void watch(int fd, Source source, std::size_t index, std::uint32_t events);
    // closing: the descriptor is about to be closed, which ends its watch.
    void unwatch(int fd, bool closing = false);
    void updateListener(std::size_t unit);
    void updateConnection(const Connection& c);

    void later(std::chrono::milliseconds delay, std::function<void()> action);
    void runDueTimers();
    int pollTimeout() const;

    void readDatagrams(int fd, bool broadcast, std::size_t unit);
    void handleDatagram(std::size_t unit, const unsigned char* data, std::size_t length,
                        const sockaddr_in& from, bool broadcast);
    void acceptConnections(std::size_t unit);
    void readStream(int fd);
    void streamFailed(Connection& c, int error);
    void hostLeftStall(int fd);
    void consume(Connection& c, const unsigned char* data, std::size_t length);
    void becomeImage(Connection& c);
    bool applyStreamFault(Connection& c);
    void endOfStream(Connection& c);
    void finishImage(Connection& c);
    void dropConnection(int fd);
    void becomeDeaf(std::size_t unit);
    void listenAgain(std::size_t unit);
    void sendStatus(std::size_t unit, const sockaddr_in& peer, const std::string& bytes,
                    const char* when);
    // Zeros from the unit after its entry header, as its settings ask.
    void sendStaleStatuses(std::size_t unit, const sockaddr_in& peer);
    void staleStatusTick(std::size_t unit, const sockaddr_in& peer, Clock::time_point end);
};

bool UnitSimulator::Loop::open(std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error)
            *error = message;
        closeAll();
        return false;
    };
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail("cannot create the wake-up pipe: " + platform::systemErrorMessage(errno));
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        return fail("cannot create the event queue: " + platform::systemErrorMessage(errno));
    watch(wakeRead, Source::Wake, 0, EPOLLIN);

    in_addr broadcast{};
    if (!parseAddress(options().broadcastListen, &broadcast))
        return fail("not an IPv4 address: " + options().broadcastListen);
    // A unit's own management socket is never shared, so a second simulator
    // claiming the same unit fails to start instead of quietly taking its
    // queries. Linux lets a wildcard socket share the port with specific ones
    // only when both sides ask for it, hence the exception.
    const bool wildcardBroadcast = broadcast.s_addr == htonl(INADDR_ANY);
    const int one = 1;
    auto bound = [&](int type, const in_addr& address, std::uint16_t port, int* fd,
                     const std::string& what, bool shared) {
        *fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (*fd < 0)
            return fail("cannot create the " + what +
                        " socket: " + platform::systemErrorMessage(errno));
        // For a listener this only lets it reuse a port whose old connections
        // linger in TIME_WAIT; two listeners on one address still collide.
        if (shared || type == SOCK_STREAM)
            ::setsockopt(*fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in local = socketAddress(address, port);
        if (::bind(*fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            return fail("cannot bind the " + what + " socket to " + endpointText(local) + ": " +
                        platform::systemErrorMessage(errno));
        return true;
    };

    units.resize(owner.units_.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::string& text = settings(i).address;
        if (!parseAddress(text, &units[i].address))
            return fail("not an IPv4 address: " + text);
        if (!bound(SOCK_DGRAM, units[i].address, options().udpPort, &units[i].udpFd,
                   "management (UDP)", wildcardBroadcast))
            return false;
        units[i].product = settings(i).product;
        if (settings(i).refuse)
            continue;
        if (!bound(SOCK_STREAM, units[i].address, options().tcpPort, &units[i].listenFd,
                   "data port (TCP)", false))
            return false;
        // A bound socket that does not listen yet has the kernel refuse every
        // connection request to it, as a unit that is still starting up does.
        if (settings(i).refuseFor.count() > 0) {
            units[i].refusing = true;
            later(settings(i).refuseFor, [this, i] { listenAgain(i); });
            continue;
        }
        if (::listen(units[i].listenFd, 128) != 0)
            return fail("cannot listen on " + text + ": " + platform::systemErrorMessage(errno));
    }

    // Several simulator processes each hear every broadcast.
    if (!bound(SOCK_DGRAM, broadcast, options().udpPort, &broadcastFd, "broadcast (UDP)", true))
        return false;
    watch(broadcastFd, Source::Broadcast, 0, EPOLLIN);
    for (std::size_t i = 0; i < units.size(); ++i) {
        watch(units[i].udpFd, Source::UnitUdp, i, EPOLLIN);
        updateListener(i);
    }
    return true;
}

void UnitSimulator::Loop::closeAll() {
    for (auto& [fd, connection] : connections)
        ::close(fd);  // leaves the event queue with it
    connections.clear();
    for (auto& unit : units) {
        closeFd(unit.udpFd);
        closeFd(unit.listenFd);
        closeFd(unit.fillerFd);
    }
    closeFd(broadcastFd);
    closeFd(wakeRead);
    closeFd(wakeWrite);
    closeFd(epollFd);
    watches.clear();
    watchCount = 0;
}

void UnitSimulator::Loop::wake() {
    const char byte = 1;
    if (wakeWrite >= 0) [[maybe_unused]]
        auto ignored = ::write(wakeWrite, &byte, 1);
}

void UnitSimulator::Loop::later(std::chrono::milliseconds delay, std::function<void()> action) {
    if (delay.count() <= 0) {
        action();
        return;
    }
    timers.emplace(Clock::now() + delay, std::move(action));
}

void UnitSimulator::Loop::runDueTimers() {
    for (;;) {
        if (timers.empty() || timers.begin()->first > Clock::now())
            return;
        auto action = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        action();
    }
}

int UnitSimulator::Loop::pollTimeout() const {
    if (timers.empty())
        return -1;
    const auto wait = timers.begin()->first - Clock::now();
    if (wait <= Clock::duration::zero())
        return 0;
    // Round up so the loop never wakes just before a timer is due and spins.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

void UnitSimulator::Loop::watch(int fd, Source source, std::size_t index, std::uint32_t events) {
    if (fd < 0 || epollFd < 0)
        return;
    if (static_cast<std::size_t>(fd) >= watches.size())
        watches.resize(static_cast<std::size_t>(fd) + 1);
    Watch& w = watches[static_cast<std::size_t>(fd)];
    if (w.watching && w.source == source && w.index == index && w.events == events)
        return;
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    if (::epoll_ctl(epollFd, w.watching ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0)
        return;
    if (!w.watching)
        ++watchCount;
    w = Watch{true, source, index, events};
}

void UnitSimulator::Loop::unwatch(int fd, bool closing) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= watches.size())
        return;
    Watch& w = watches[static_cast<std::size_t>(fd)];
    if (!w.watching)
        return;
    // Closing a descriptor of its own takes it off the queue already.
    if (!closing)
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    w = Watch{};
    --watchCount;
}

// A listener is read only while the unit takes connections: paused out of
// descriptors, deaf or still refusing, its queue is left alone.
void UnitSimulator::Loop::updateListener(std::size_t unit) {
    const Unit& u = units[unit];
    if (u.listenFd < 0)
        return;
    if (!u.acceptPaused && !u.deaf && !u.refusing)
        watch(u.listenFd, Source::Listener, unit, EPOLLIN);
    else
        unwatch(u.listenFd);
}

// A stalled connection is no longer read, but the host's end of it still
// frees it: a stall for good ends on the host's close or reset; a stall for a
// while only on a reset (errors and hang-ups need no asking), since a unit
// that reads on reaches an orderly end itself.
void UnitSimulator::Loop::updateConnection(const Connection& c) {
    if (!c.stalled) {
        watch(c.fd, Source::Stream, static_cast<std::size_t>(c.fd), EPOLLIN);
        return;
    }
    const bool forGood = settings(c.unit).stallFor.count() <= 0;
    watch(c.fd, Source::Stalled, static_cast<std::size_t>(c.fd),
          forGood ? std::uint32_t{EPOLLRDHUP} : 0u);
}

void UnitSimulator::Loop::run() {
    std::vector<epoll_event> ready;
    const auto rank = [this](const epoll_event& event) {
        const Watch& w = watches[static_cast<std::size_t>(event.data.fd)];
        // Data connections are served before datagrams: a host closes the
        // header's connection before it probes, and when both wait at once
        // the probe must find the unit already in its boot loader.
        switch (w.source) {
            case Source::Wake:
                return std::pair<int, std::size_t>(0, 0);
            case Source::Listener:
                return std::pair<int, std::size_t>(1, w.index);
            case Source::Stream:
            case Source::Stalled:
                return std::pair<int, std::size_t>(2, w.index);
            case Source::Broadcast:
                return std::pair<int, std::size_t>(3, 0);
            case Source::UnitUdp:
                break;
        }
        return std::pair<int, std::size_t>(4, w.index);
    };
    while (!stopping.load() && !done) {
        // Room for every watched descriptor: a turn sees all that is ready at
        // once, so the order above holds across the whole of it.
        ready.resize(std::max<std::size_t>(watchCount, 16));
        const int count =
            ::epoll_wait(epollFd, ready.data(), static_cast<int>(ready.size()), pollTimeout());
        if (count < 0 && errno != EINTR)
            break;
        runDueTimers();
        if (count <= 0)
            continue;
        const auto end = ready.begin() + count;
        std::sort(ready.begin(), end,
                  [&](const epoll_event& a, const epoll_event& b) { return rank(a) < rank(b); });
        for (auto it = ready.begin(); it != end && !done; ++it)
            dispatch(it->data.fd);
    }
}

void UnitSimulator::Loop::dispatch(int fd) {
    if (static_cast<std::size_t>(fd) >= watches.size())
        return;
    const Watch w = watches[static_cast<std::size_t>(fd)];
    if (!w.watching)
        return;  // let go of since the wait, by a timer or earlier in this turn
    switch (w.source) {
        case Source::Wake: {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
            break;
        }
        case Source::Broadcast:
            readDatagrams(broadcastFd, true, 0);
            break;
        case Source::UnitUdp:
            readDatagrams(units[w.index].udpFd, false, w.index);
            break;
        case Source::Listener:
            acceptConnections(w.index);
            break;
        case Source::Stream:
            readStream(fd);
            break;
        case Source::Stalled:
            hostLeftStall(fd);
            break;
    }
}

void UnitSimulator::Loop::readDatagrams(int fd, bool broadcast, std::size_t unit) {
    for (int i = 0; i < 64; ++i) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0)
            return;
        const auto length = static_cast<std::size_t>(got);
        if (!broadcast) {
            handleDatagram(unit, buffer.data(), length, from, false);
            continue;
        }
        for (std::size_t u = 0; u < units.size(); ++u)
            handleDatagram(u, buffer.data(), length, from, true);
    }
}

void UnitSimulator::Loop::handleDatagram(std::size_t unit, const unsigned char* data,
                                         std::size_t length, const sockaddr_in& from,
                                         bool broadcast) {
    if (startsWith(data, length, engine::proto::kQuery)) {
        if (Clock::now() < units[unit].silentUntil) {
            emit("silent", unit, {text("from", endpointText(from))});
            return;
        }
        // The answer tells the state at the query's arrival, even when it
        // leaves late; the event is recorded as it leaves.
        const bool inBootLoader = units[unit].inBootLoader;
        const std::string product = units[unit].product;
        std::string reply = queryReply(settings(unit), product, inBootLoader);
        const std::uint32_t forged = inBootLoader ? 0 : settings(unit).forgedReplies;
        later(settings(unit).replyDelay, [=, this, reply = std::move(reply)] {
            const ssize_t sent = ::sendto(units[unit].udpFd, reply.data(), reply.size(), 0,
                                          reinterpret_cast<const sockaddr*>(&from), sizeof from);
            for (std::uint32_t i = 0; i < forged; ++i) {
                const std::string claim = product + "\nIP:10.200." + std::to_string(i / 256 % 256) +
                                          "." + std::to_string(i % 256) + "\n";
                ::sendto(units[unit].udpFd, claim.data(), claim.size(), 0,
                         reinterpret_cast<const sockaddr*>(&from), sizeof from);
            }
            std::vector<Event::Field> fields{
                text("from", endpointText(from)), flag("bootloader", inBootLoader),
                flag("broadcast", broadcast), text("product", product)};
            if (sent < 0)
                fields.push_back(text("error", platform::systemErrorMessage(errno)));
            emit("query", unit, std::move(fields));
        });
        return;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), length);
    if (bytes.starts_with("TSBCJ")) {
        emit("timestamp", unit, {text("text", std::string(bytes)), flag("broadcast", broadcast)});
        return;
    }
    emit("datagram", unit,
         {text("from", endpointText(from)), number("bytes", length),
          text("hex", platform::hexText(data, length)), flag("broadcast", broadcast)});
}

void UnitSimulator::Loop::acceptConnections(std::size_t unit) {
    for (;;) {
        // A unit that went deaf while it took a connection leaves the rest
        // (its own filler among them) in the queue.
        if (units[unit].deaf)
            return;
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const int fd = ::accept4(units[unit].listenFd, reinterpret_cast<sockaddr*>(&peer),
                                 &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors the waiting connection stays pending and the
            // listener stays readable: watching it would spin the loop.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                emit("error", unit,
                     {text("error", "cannot accept: " + platform::systemErrorMessage(errno))});
                units[unit].acceptPaused = true;
                updateListener(unit);
                later(kAcceptRetry, [this, unit] {
                    units[unit].acceptPaused = false;
                    updateListener(unit);
                });
            }
            return;
        }
        const Unit& u = units[unit];
        if (u.fillerAddress.sin_port != 0 && peer.sin_port == u.fillerAddress.sin_port &&
            peer.sin_addr.s_addr == u.fillerAddress.sin_addr.s_addr) {
            ::close(fd);  // the unit's own filler, now out of the queue
            units[unit].fillerAddress = {};
            continue;
        }
        Connection& c = connections[fd];
        c = Connection{};
        c.fd = fd;
        c.unit = unit;
        c.peer = peer;
        c.serial = ++nextSerial;
        updateConnection(c);
        // What already waits on it is taken now, before this turn's datagrams.
        readStream(fd);
    }
}

void UnitSimulator::Loop::readStream(int fd) {
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        auto found = connections.find(fd);
        if (found == connections.end())
            return;
        Connection& c = found->second;
        if (applyStreamFault(c))
            return;
        std::size_t want = buffer.size();
        if (c.kind == Kind::Undecided) {
            // Look before taking: bytes that leave the header's way make the
            // connection an image before any of them is consumed, so a fault
            // counted in image bytes cuts at its exact byte, even below 39.
            want = engine::proto::kEntryHeaderText.size() - c.head.size();
            const ssize_t seen = ::recv(fd, buffer.data(), want, MSG_PEEK);
            // The look takes a reset's error with it: told now, or the read
            // below would find only an end and take it for an orderly one.
            if (seen < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                streamFailed(c, errno);
                return;
            }
            if (seen > 0 &&
                !engine::proto::kEntryHeaderText.substr(c.head.size())
                     .starts_with(std::string_view(reinterpret_cast<const char*>(buffer.data()),
                                                   static_cast<std::size_t>(seen)))) {
                becomeImage(c);
                continue;
            }
        } else if (c.kind == Kind::Image) {
            const UnitSettings& unit = settings(c.unit);
            const auto limit =
                unit.resetAfter ? unit.resetAfter : (c.stallOver ? std::nullopt : unit.stallAfter);
            if (limit)
                want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *limit - c.received));
        }
        const ssize_t got = ::recv(fd, buffer.data(), want, 0);
        if (got > 0) {
            consume(c, buffer.data(), static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) {
            endOfStream(c);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        streamFailed(c, errno);
        return;
    }
}

// A stream that ends in a reset is a cut-off image, never a whole one.
void UnitSimulator::Loop::streamFailed(Connection& c, int error) {
    emit("aborted", c.unit,
         {text("peer", endpointText(c.peer)), number("bytes", c.received),
          text("error", platform::systemErrorMessage(error))});
    dropConnection(c.fd);
}

void UnitSimulator::Loop::hostLeftStall(int fd) {
    const auto found = connections.find(fd);
    if (found == connections.end())
        return;
    const Connection& c = found->second;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    emit("aborted", c.unit,
         {text("peer", endpointText(c.peer)), number("bytes", c.received),
          text("error", error != 0 ? platform::systemErrorMessage(error)
                                   : "closed by the host while stalled")});
    dropConnection(fd);
}

void UnitSimulator::Loop::consume(Connection& c, const unsigned char* data, std::size_t length) {
    c.received += length;
    switch (c.kind) {
        case Kind::Undecided: {
            c.head.append(reinterpret_cast<const char*>(data), length);
            if (!engine::proto::kEntryHeaderText.starts_with(c.head))
                becomeImage(c);
            else if (c.head.size() == engine::proto::kEntryHeaderText.size())
                c.kind = Kind::Header;
            break;
        }
        case Kind::Header:
            if (c.head.size() < kHeaderBytesKept)
                c.head.append(reinterpret_cast<const char*>(data),
                              std::min(length, kHeaderBytesKept - c.head.size()));
            break;
        case Kind::Image:
            if (options().hashImages)
                c.hash.update(data, length);
            break;
    }
}

void UnitSimulator::Loop::becomeImage(Connection& c) {
    c.kind = Kind::Image;
    if (options().hashImages)
        c.hash.update(c.head.data(), c.head.size());
    c.head.clear();
    if (settings(c.unit).statusDuringStream)
        sendStatus(c.unit, c.peer, strayStatusBytes(settings(c.unit)), "during-stream");
}

// True when the connection is gone or no longer read.
bool UnitSimulator::Loop::applyStreamFault(Connection& c) {
    if (c.kind != Kind::Image)
        return false;
    const UnitSettings& unit = settings(c.unit);
    if (unit.resetAfter && c.received >= *unit.resetAfter) {
        // Linger with a zero timeout makes close() send a reset instead of a FIN.
        const linger hard{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        emit("reset", c.unit, {text("peer", endpointText(c.peer)), number("bytes", c.received)});
        dropConnection(c.fd);
        return true;
    }
    if (unit.stallAfter && !c.stallOver && c.received >= *unit.stallAfter) {
        if (c.stalled)
            return true;
        c.stalled = true;
        updateConnection(c);
        emit("stall", c.unit, {text("peer", endpointText(c.peer)), number("bytes", c.received)});
        if (unit.stallFor.count() > 0) {
            // Only slow: after a while the unit reads on, whatever the host
            // did meanwhile short of a reset.
            later(unit.stallFor, [this, fd = c.fd, serial = c.serial] {
                const auto found = connections.find(fd);
                if (found == connections.end() || found->second.serial != serial)
                    return;
                Connection& resumed = found->second;
                resumed.stalled = false;
                updateConnection(resumed);
                resumed.stallOver = true;
                emit("resume", resumed.unit,
                     {text("peer", endpointText(resumed.peer)), number("bytes", resumed.received)});
                readStream(fd);
            });
        }
        return true;
    }
    return false;
}

void UnitSimulator::Loop::endOfStream(Connection& c) {
    const std::size_t unit = c.unit;
    emit("connection", unit, {text("peer", endpointText(c.peer)), number("bytes", c.received)});
    if (c.received == 0) {
        dropConnection(c.fd);
        return;
    }
    if (c.kind == Kind::Undecided)
        becomeImage(c);  // a few bytes that begin like the header are still not the header
    if (c.kind == Kind::Image) {
        finishImage(c);
        return;
    }

    emit("header", unit,
         {text("peer", endpointText(c.peer)), number("bytes", c.received),
          text("hex", platform::hexText(c.head.data(), c.head.size()))});
    const sockaddr_in peer = c.peer;
    dropConnection(c.fd);
    if (settings(unit).earlyStatus)
        sendStatus(unit, peer, strayStatusBytes(settings(unit)), "early");
    sendStaleStatuses(unit, peer);
    if (settings(unit).dropConnectionsFor && !units[unit].deaf)
        becomeDeaf(unit);
    if (settings(unit).noBootLoader)
        return;
    const std::uint64_t generation = units[unit].generation;
    later(settings(unit).bootDelay, [this, unit, generation] {
        if (units[unit].generation != generation || units[unit].inBootLoader)
            return;
        units[unit].inBootLoader = true;
        emit("bootloader", unit, {});
    });
}

void UnitSimulator::Loop::finishImage(Connection& c) {
    const std::size_t unit = c.unit;
    const bool failed = ++units[unit].images <= settings(unit).failFirstImages;
    std::vector<Event::Field> fields{text("peer", endpointText(c.peer)),
                                     number("bytes", c.received),
                                     flag("bootloader", units[unit].inBootLoader)};
    if (options().hashImages)
        fields.push_back(text("sha256", c.hash.finishHex()));
    if (failed)
        fields.push_back(flag("failed", true));
    emit("image", unit, std::move(fields));
    const sockaddr_in peer = c.peer;
    dropConnection(c.fd);

    // Flashing restarts the unit into its firmware.
    units[unit].inBootLoader = false;
    ++units[unit].generation;
    later(settings(unit).flashDelay, [this, unit, peer, failed] {
        const UnitSettings& set = settings(unit);
        const std::string bytes = verdictBytes(set);
        if (!failed && (!bytes.empty() || set.rawStatus)) {
            sendStatus(unit, peer, bytes, "verdict");
            if (set.repeatedStatus)
                sendStatus(unit, peer, bytes, "verdict");
        }
        // A unit that took the image runs it from now on.
        if (!failed && set.productAfter && set.status == 0 && !set.rawStatus)
            units[unit].product = *set.productAfter;
        if (set.rebootTime.count() > 0) {
            units[unit].silentUntil = Clock::now() + set.rebootTime;
            later(set.rebootTime, [this, unit] {
                emit("restarted", unit, {text("product", units[unit].product)});
            });
        }
        ++verdictsDone;
        if (options().exitAfterImages != 0 && verdictsDone >= options().exitAfterImages) {
            done = true;
            owner.markFinished();
        }
    });
}

// Fills the data port's accept queue with a connection of the unit's own that
// is never taken, so the kernel drops every further connection request
// unanswered (the host sees its connect time out, not a refusal).
void UnitSimulator::Loop::becomeDeaf(std::size_t unit) {
    Unit& u = units[unit];
    const auto duration = *settings(unit).dropConnectionsFor;
    ::listen(u.listenFd, 0);
    u.fillerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in self = socketAddress(u.address, 0);
    const sockaddr_in port = socketAddress(u.address, options().tcpPort);
    socklen_t length = sizeof u.fillerAddress;
    if (u.fillerFd < 0 ||
        ::bind(u.fillerFd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(u.fillerFd, reinterpret_cast<sockaddr*>(&u.fillerAddress), &length) != 0 ||
        (::connect(u.fillerFd, reinterpret_cast<const sockaddr*>(&port), sizeof port) != 0 &&
         errno != EINPROGRESS)) {
        emit("error", unit,
             {text("error",
                   "cannot fill the accept queue: " + platform::systemErrorMessage(errno))});
        closeFd(u.fillerFd);
        u.fillerAddress = {};
        ::listen(u.listenFd, 128);
        return;
    }
    u.deaf = true;
    updateListener(unit);
    emit("deaf", unit, {number("ms", static_cast<std::uint64_t>(duration.count()))});
    later(duration, [this, unit] { listenAgain(unit); });
}

void UnitSimulator::Loop::listenAgain(std::size_t unit) {
    Unit& u = units[unit];
    if (!u.deaf && !u.refusing)
        return;
    if (::listen(u.listenFd, 128) != 0) {
        emit("error", unit,
             {text("error", "cannot listen: " + platform::systemErrorMessage(errno))});
        return;
    }
    closeFd(u.fillerFd);  // its queued end is taken and closed by the next accept
    u.deaf = false;
    u.refusing = false;
    updateListener(unit);
    emit("listening", unit, {});
}

void UnitSimulator::Loop::dropConnection(int fd) {
    unwatch(fd, /*closing=*/true);
    ::close(fd);
    connections.erase(fd);
}

void UnitSimulator::Loop::sendStatus(std::size_t unit, const sockaddr_in& peer,
                                     const std::string& bytes, const char* when) {
    const sockaddr_in to = socketAddress(peer.sin_addr, options().statusPort);
    const ssize_t sent = ::sendto(units[unit].udpFd, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::vector<Event::Field> fields{text("to", endpointText(to)),
                                     text("hex", platform::hexText(bytes.data(), bytes.size())),
                                     text("when", when)};
    if (sent < 0)
        fields.push_back(text("error", platform::systemErrorMessage(errno)));
    emit("status", unit, std::move(fields));
}

void UnitSimulator::Loop::sendStaleStatuses(std::size_t unit, const sockaddr_in& peer) {
    for (std::uint32_t i = 0; i < settings(unit).staleStatuses; ++i)
        sendStatus(unit, peer, std::string(engine::timing::kStatusDatagramSize, '\0'), "stale");
    if (settings(unit).staleStatusFor.count() > 0)
        staleStatusTick(unit, peer, Clock::now() + settings(unit).staleStatusFor);
}

void UnitSimulator::Loop::staleStatusTick(std::size_t unit, const sockaddr_in& peer,
                                          Clock::time_point end) {
    if (Clock::now() >= end)
        return;
    sendStatus(unit, peer, std::string(engine::timing::kStatusDatagramSize, '\0'), "stale");
    later(kStaleStatusGap, [this, unit, peer, end] { staleStatusTick(unit, peer, end); });
}

// ---------------------------------------------------------------------------

UnitSimulator::UnitSimulator(std::vector<UnitSettings> units, SimulatorOptions options)
    : units_(std::move(units)), options_(std::move(options)) {}

UnitSimulator::~UnitSimulator() {
    stop();
}

void UnitSimulator::setEventCallback(EventCallback callback) {
    callback_ = std::move(callback);
}

bool UnitSimulator::start(std::string* error) {
    if (loop_) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    auto loop = std::make_unique<Loop>(*this);
    if (!loop->open(error))
        return false;
    loop_ = std::move(loop);
    std::string addresses;
    for (const auto& unit : units_)
        addresses += (addresses.empty() ? "" : " ") + unit.address;
    record(makeEvent("ready", {},
                     {number("units", units_.size()), text("addresses", addresses),
                      number("udp_port", options_.udpPort), number("tcp_port", options_.tcpPort),
                      number("status_port", options_.statusPort),
                      text("broadcast_listen", options_.broadcastListen)}));
    thread_ = std::thread([this] { loop_->run(); });
    return true;
}

void UnitSimulator::stop() {
    if (!loop_)
        return;
    loop_->stopping = true;
    loop_->wake();
    if (thread_.joinable())
        thread_.join();
    loop_.reset();
}

void UnitSimulator::record(Event event) {
    {
        std::lock_guard lock(mutex_);
        if (event.kind == "image")
            ++images_;
        events_.push_back(event);
    }
    changed_.notify_all();
    if (callback_)
        callback_(event);
}

void UnitSimulator::markFinished() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

std::vector<Event> UnitSimulator::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::optional<Event> UnitSimulator::waitFor(const EventPredicate& predicate,
                                            std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    std::size_t checked = 0;
    for (;;) {
        for (; checked < events_.size(); ++checked)
            if (predicate(events_[checked]))
                return events_[checked];
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
            checked == events_.size())
            return std::nullopt;
    }
}

std::size_t UnitSimulator::count(std::string_view kind, std::string_view unit) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& event : events_)
        if (event.kind == kind && (unit.empty() || event.unit == unit))
            ++n;
    return n;
}

std::uint64_t UnitSimulator::imagesReceived() const {
    std::lock_guard lock(mutex_);
    return images_;
}

bool UnitSimulator::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool UnitSimulator::waitUntilFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return finished_; });
}

}  // namespace sim
