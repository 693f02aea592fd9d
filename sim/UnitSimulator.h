#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sim {

// How a unit shapes the datagram that carries its verdict.
enum class StatusShape {
    Full,   // 4 bytes, little-endian
    None,   // no datagram at all
    Short,  // only the least significant byte
    Long,   // the 4 bytes and one extra zero byte
};

// How a unit spoils its answer to the query while it runs its firmware. The
// boot loader's answer is never spoiled, so programming still works.
enum class ReplyFault {
    None,
    NoLineFeed,  // product, "IP:", address: no "\n" anywhere
    NulInside,   // a NUL byte inside the product text
    Empty,       // a datagram of 0 bytes
    Oversized,   // a well-formed reply padded past 1000 bytes
};

// One simulated unit and its faults.
struct UnitSettings {
    std::string address;  // dotted IPv4, e.g. "127.0.0.7"
    std::string product = "Simulated Unit 1.00";
    std::int32_t status = 0;
    StatusShape statusShape = StatusShape::Full;
    std::optional<std::string> rawStatus;  // these exact bytes instead of the shaped status
    bool repeatedStatus = false;           // the verdict datagram twice
    bool earlyStatus = false;              // one status datagram right after the entry header
    bool statusDuringStream = false;       // one status datagram when image bytes first arrive
    // Stale zeros ("success") from the unit's own address before it has an
    // image, as a unit still sending from an earlier run would: this many
    // right after the entry header, then one every 20 ms for staleStatusFor.
    std::uint32_t staleStatuses = 0;
    std::chrono::milliseconds staleStatusFor{0};
    std::chrono::milliseconds bootDelay{0};   // entry header -> boot loader
    std::chrono::milliseconds flashDelay{0};  // end of image -> verdict
    std::chrono::milliseconds replyDelay{0};  // query -> answer
    bool refuse = false;                      // no listener on the data port
    std::optional<std::uint64_t> resetAfter;  // reset an image connection after N bytes
    std::optional<std::uint64_t> stallAfter;  // stop reading an image connection after N bytes
    std::chrono::milliseconds stallFor{0};    // then read on after this long (0: stall for good)
    // After the entry header the data port drops connection requests (its
    // accept queue is full) for this long, then takes them again.
    std::optional<std::chrono::milliseconds> dropConnectionsFor;
    bool noBootLoader = false;
    ReplyFault replyFault = ReplyFault::None;
    // These exact bytes answer the query while the unit runs its firmware (a
    // hostile or broken unit: escape sequences, CR or tab in its fields).
    std::optional<std::string> rawReply;
    // After its own answer, the unit sends this many more to each query,
    // each claiming another unit's address (10.200.0.0, 10.200.0.1, ...): a
    // host that floods a discovery with forged units.
    std::uint32_t forgedReplies = 0;
    // The product and version the unit answers with once it has taken an
    // image (one it did not fail, with status 0): the new firmware's.
    std::optional<std::string> productAfter;
    // After each verdict the unit restarts and answers no query for this long.
    std::chrono::milliseconds rebootTime{0};
    // The first K images fail: the unit keeps its old firmware and sends no
    // verdict (the host sees it unconfirmed); later images go as set.
    std::uint64_t failFirstImages = 0;
    // The data port refuses connection requests for this long after the
    // simulator starts (a unit still starting up), then takes them.
    std::chrono::milliseconds refuseFor{0};
};

struct SimulatorOptions {
    std::uint16_t udpPort = 6000;
    std::uint16_t tcpPort = 9100;
    std::uint16_t statusPort = 40001;
    // Where broadcast queries and time stamps arrive; "0.0.0.0" inside a
    // private network namespace, where units share one real broadcast domain.
    std::string broadcastListen = "127.255.255.255";
    std::uint64_t exitAfterImages = 0;  // 0: run until stopped
    bool hashImages = true;
};

// One thing a unit saw or did, with its fields:
//   ready       units, addresses, udp_port, tcp_port, status_port, broadcast_listen
//   query       from, bootloader, broadcast, product, error if not sent
//               (recorded as the answer leaves, so after any reply delay)
//   silent      from (a query left unanswered while the unit restarts)
//   connection  peer, bytes (a data connection the host closed in order)
//   header      peer, bytes, hex (up to 4096 bytes of an entry-header connection)
//   bootloader  (the unit now answers as boot loader)
//   image       peer, bytes, bootloader, sha256 (unless hashing is off),
//               failed (true for one of the first K images, which get no verdict)
//   restarted   product (the unit answers queries again after its reboot time)
//   status      to, hex, when (verdict, early, during-stream, stale), error if not sent
//   timestamp   text, broadcast
//   datagram    from, bytes, hex, broadcast (anything else on the management port)
//   reset, stall  peer, bytes (the fault struck after that many image bytes)
//   resume      peer, bytes (a stall for a while is over; the unit reads on)
//   deaf        ms (the data port drops connection requests from now on)
//   listening   (the data port takes connection requests again, after drop-syn
//               or refuse-for)
//   aborted     peer, bytes, error (the host reset a stream or left a stalled one)
//   error       error (the unit could not accept a connection)
// Every event but ready carries the unit's address.
struct Event {
    struct Field {
        std::string name;
        std::string value;
        bool quoted = true;  // false for numbers and booleans
    };
    std::string kind;
    std::string unit;  // the unit's address; empty for the ready event
    std::vector<Field> fields;
    std::string json;  // one line, no line feed

    // The named field's value, empty when absent.
    std::string field(std::string_view name) const;
    bool has(std::string_view name) const;
};

// Several units in one process, each on its own address, all served by one
// thread so that hundreds of simultaneous image streams stay cheap.
class UnitSimulator {
public:
    using EventCallback = std::function<void(const Event&)>;
    using EventPredicate = std::function<bool(const Event&)>;

    UnitSimulator(std::vector<UnitSettings> units, SimulatorOptions options = {});
    ~UnitSimulator();
    UnitSimulator(const UnitSimulator&) = delete;
    UnitSimulator& operator=(const UnitSimulator&) = delete;

    // Called for every event on the thread that records it; set before start().
    void setEventCallback(EventCallback callback);

    // Opens every socket and starts serving; false with *error set when a
    // socket cannot be opened (nothing stays open then).
    bool start(std::string* error = nullptr);
    // Stops serving and closes every socket; safe to call more than once.
    void stop();

    // Every event so far, oldest first.
    std::vector<Event> events() const;
    // The first event, past or future, that matches; nothing after the timeout.
    std::optional<Event> waitFor(const EventPredicate& predicate,
                                 std::chrono::milliseconds timeout) const;
    // The number of events of one kind (optionally of one unit) so far.
    std::size_t count(std::string_view kind, std::string_view unit = {}) const;

    std::uint64_t imagesReceived() const;
    // True once exitAfterImages images have had their verdicts sent.
    bool finished() const;
    bool waitUntilFinished(std::chrono::milliseconds timeout) const;

    const SimulatorOptions& options() const { return options_; }
    const std::vector<UnitSettings>& units() const { return units_; }

    struct Loop;  // the serving side, private to the implementation

private:
    friend struct Loop;
    void record(Event event);
    void markFinished();

    std::vector<UnitSettings> units_;
    SimulatorOptions options_;
    EventCallback callback_;
    std::unique_ptr<Loop> loop_;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
    std::uint64_t images_ = 0;
    bool finished_ = false;
};

// Builds an event with its JSON line: {"event":kind,"unit":unit,fields...}.
Event makeEvent(std::string kind, std::string unit, std::vector<Event::Field> fields);

}  // namespace sim
