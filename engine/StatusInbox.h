#pragma once

#include "platform/DatagramSocket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Where a unit's verdict arrives. One programming run opens its own inbox on the
// status port; when several units are programmed at once they share one port
// and each run gets an inbox that sees only datagrams from its own unit.
class StatusInbox {
public:
    virtual ~StatusInbox() = default;
    // False with *errorCode set when the status port cannot be opened.
    virtual bool open(int* errorCode) = 0;
    // One receive that never waits: byte count, or -1 when nothing is waiting
    // (or the datagram was longer than the buffer and was dropped).
    virtual long receive(void* buffer, std::size_t length) = 0;
    virtual void close() = 0;
};

// The inbox of a run on its own: a datagram socket bound to the status port,
// taking datagrams from any sender.
class SocketStatusInbox final : public StatusInbox {
public:
    explicit SocketStatusInbox(std::uint16_t port) : port_(port) {}
    bool open(int* errorCode) override;
    long receive(void* buffer, std::size_t length) override;
    void close() override { socket_.close(); }

private:
    std::uint16_t port_;
    platform::DatagramSocket socket_;
};

using StatusInboxFactory = std::function<std::unique_ptr<StatusInbox>(const std::string& target)>;
