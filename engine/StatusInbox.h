#pragma once

#include "platform/DatagramSocket.h"
#include "platform/Sleeper.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace engine {

// Where a unit's verdict arrives. One programming run opens its own inbox on the
// status port; when several units are programmed at once they share one port
// and each run gets an inbox that sees only datagrams from its own unit.
class StatusInbox {
public:
    virtual ~StatusInbox() = default;
    // False with *errorCode set when the status port cannot be opened.
    [[nodiscard]] virtual bool open(int* errorCode) = 0;
    // One receive that never waits: byte count, or -1 when nothing is waiting
    // (or the datagram was longer than the buffer and was dropped).
    [[nodiscard]] virtual long receive(void* buffer, std::size_t length) = 0;
    virtual void close() = 0;
    // Throws away every datagram waiting now: the unit has no verdict before
    // it has its image, so what arrived before its image connection opened is
    // stale. Reads for at most limit, so that a sender that never pauses
    // cannot hold the run; the datagrams that come later are received as
    // ever. Returns how many of the unit's own were thrown away.
    [[nodiscard]] virtual std::uint64_t discardWaiting(std::chrono::milliseconds limit) = 0;
    // Datagrams from other senders that this inbox ignored since it was opened.
    virtual std::uint64_t foreignDatagrams() const { return 0; }
    // Every datagram that has reached the status port and been read since the
    // inbox was opened, whoever sent it and whatever its size: none at all
    // during a verdict wait points at something that stops them on their way
    // in, such as this computer's firewall.
    virtual std::uint64_t datagramsArrived() const { return 0; }
    // Met while a datagram for this inbox waits, for a verdict wait that
    // sleeps until one comes; none when the inbox can only be looked at.
    virtual platform::WakeCondition* arrival() { return nullptr; }
};

// The key a unit's status datagrams are told apart by: the canonical dotted
// form of its address when the target parses as one, else the text itself.
std::string statusSenderKey(const std::string& target);

// Whose status datagrams count: the unit's own address only, unless the
// operator asked for the old acceptance of any sender (units that answer from
// another address).
struct StatusSenders {
    std::string unitKey;  // statusSenderKey of the target
    bool anySender = false;

    static StatusSenders unitAt(const std::string& target, bool anySender = false) {
        return {statusSenderKey(target), anySender};
    }
    bool accepts(const std::string& senderKey) const { return anySender || senderKey == unitKey; }
};

// The inbox of a run on its own: a datagram socket bound to the status port,
// or one bound beforehand and lent to the run. Datagrams from senders the rule
// does not accept are read past, ignored and counted, so a stranger can
// neither end the verdict wait nor hold up the drain.
class SocketStatusInbox final : public StatusInbox {
public:
    // Binds a socket of its own to the port when opened.
    SocketStatusInbox(std::uint16_t port, StatusSenders senders);
    // Reads a socket already bound to the status port; closing the inbox
    // leaves it bound. What waits on it when the run opens the inbox arrived
    // before the run and is thrown away, as a freshly bound socket would
    // never have seen it.
    SocketStatusInbox(platform::DatagramSocket& bound, StatusSenders senders);

    [[nodiscard]] bool open(int* errorCode) override;
    [[nodiscard]] long receive(void* buffer, std::size_t length) override;
    void close() override;
    [[nodiscard]] std::uint64_t discardWaiting(std::chrono::milliseconds limit) override;
    std::uint64_t foreignDatagrams() const override { return foreign_; }
    std::uint64_t datagramsArrived() const override { return arrived_; }

private:
    platform::DatagramSocket& socket() { return lent_ ? *lent_ : own_; }

    std::uint16_t port_ = 0;
    platform::DatagramSocket own_;
    platform::DatagramSocket* lent_ = nullptr;
    bool open_ = false;
    StatusSenders senders_;
    std::uint64_t foreign_ = 0;
    std::uint64_t arrived_ = 0;
};

using StatusInboxFactory = std::function<std::unique_ptr<StatusInbox>(const std::string& target)>;

}  // namespace engine
