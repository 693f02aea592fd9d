#pragma once

#include "engine/StatusInbox.h"
#include "platform/DatagramSocket.h"
#include "platform/WakeableWait.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

namespace fleet {

// One status port shared by every unit programmed at the same time. A reader
// thread empties the socket as fast as datagrams come, so a flood cannot fill
// the kernel's queue, and files each datagram under its sender's address: the
// unit's verdict counts only for the unit programmed at that address, and one
// unit's drain never swallows another's verdict. Datagrams from addresses not
// in flight are dropped and counted.
//
// The kernel's queue for the port is sized for the batch, so that a burst of
// verdicts waits there while the computer is busy elsewhere, and the reader
// does nothing but move datagrams into memory. Should the kernel still throw
// some away for want of room, it says how many, and so does drops().
class SharedStatusPort {
public:
    explicit SharedStatusPort(std::uint16_t port);
    ~SharedStatusPort();
    SharedStatusPort(const SharedStatusPort&) = delete;
    SharedStatusPort& operator=(const SharedStatusPort&) = delete;

    // Binds the port, sizes its queue for this many units at once, and starts
    // reading; false with *errorCode when it cannot (also when no thread can
    // be started to read it).
    [[nodiscard]] bool start(int* errorCode, std::size_t unitsAtOnce = 1);
    void stop();

    // An inbox for the unit at target. When the port is not bound it opens
    // quietly and never yields a datagram (the caller reports the bind error once).
    std::unique_ptr<engine::StatusInbox> inboxFor(const std::string& target);

    // Datagrams whose sender was not a unit in flight.
    std::uint64_t foreignDatagrams() const { return foreign_.load(); }
    // Datagrams that reached a unit in flight.
    std::uint64_t attributedDatagrams() const { return attributed_.load(); }
    // Every datagram read from the port, whoever sent it.
    std::uint64_t arrivedDatagrams() const { return arrived_.load(); }

    // The receive queue, in the kernel's accounting, as start() left it.
    int receiveBufferBytes() const { return receiveBuffer_; }
    // Whether this system tells of datagrams it dropped (Linux does).
    bool countsDrops() const { return countsDrops_; }
    // Datagrams the kernel threw away because the port's queue was full:
    // whoever sent them, they never reached a unit's wait.
    std::uint64_t droppedDatagrams() const { return dropped_.load(); }
    // What the receive queue is sized for: per unit in flight and beside them.
    static int receiveBufferFor(std::size_t unitsAtOnce);

    // The key a target is filed under: its canonical dotted form when it parses.
    static std::string addressKey(const std::string& target);

private:
    friend class SharedInbox;
    // One address's datagrams, with a lock of its own: thousands of units
    // look for their verdicts ten times a second each, and a look at an empty
    // queue (nearly every look) reads one counter and takes no lock at all.
    struct Queue final : platform::WakeCondition {
        std::mutex mutex;               // after the port's mutex_, never before it
        std::condition_variable filed;  // a datagram was queued
        std::deque<std::string> datagrams;
        std::uint64_t overflowed = 0;         // not queued: the queue was full
        std::atomic<std::size_t> waiting{0};  // datagrams.size(), for the look without the lock
        int users = 0;                        // the inboxes open on it; under the port's mutex_

        // Met while a datagram waits: a unit's verdict wait sleeps on it.
        bool met() override { return waiting.load(std::memory_order_acquire) > 0; }
        bool waitFor(std::chrono::nanoseconds duration) override;
    };
    void readLoop();
    void file(const std::string& sender, const char* data, std::size_t length);
    void noteDrops();
    std::shared_ptr<Queue> subscribe(const std::string& key);
    void unsubscribe(const std::string& key);
    [[nodiscard]] static long take(Queue& queue, void* buffer, std::size_t length);
    // Empties the queue; how many datagrams it had been sent since it was
    // last emptied (the queued ones and those it had no room for).
    [[nodiscard]] static std::uint64_t discardQueued(Queue& queue);

    std::uint16_t port_;
    platform::DatagramSocket socket_;
    bool bound_ = false;
    std::atomic<bool> running_{false};
    std::thread reader_;
    std::optional<platform::WakeableWait> wait_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<Queue>> queues_;  // by address key
    std::atomic<std::uint64_t> foreign_{0};
    std::atomic<std::uint64_t> attributed_{0};
    std::atomic<std::uint64_t> arrived_{0};
    // The receive side's sizing and the kernel's count of what it dropped.
    int receiveBuffer_ = 0;
    bool countsDrops_ = false;
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace fleet
