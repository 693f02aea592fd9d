#pragma once

#include "platform/NativeHandle.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A UDP socket that never waits: a receive returns one datagram or -1 at once.
class DatagramSocket {
public:
    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;
    DatagramSocket(DatagramSocket&& other) noexcept;
    DatagramSocket& operator=(DatagramSocket&& other) noexcept;

    // Binds to the port on all local interfaces, or on bindAddress when given.
    [[nodiscard]] bool create(std::uint16_t port, const std::string& bindAddress = {});
    [[nodiscard]] bool setBroadcast(bool enabled);
    // Asks the kernel to queue up to this many bytes of unread datagrams; the
    // kernel may grant less (its own ceiling), which is not an error.
    [[nodiscard]] bool setReceiveBufferSize(int bytes);
    // Raises the kernel's queue of unread datagrams toward bytes: as far as
    // the system lets any program, then beyond its ceiling where this process
    // has the privilege to (Linux: CAP_NET_ADMIN). Never lowers it; a refusal
    // is no error. Returns the size in force afterwards as the kernel reports
    // it (Linux reports twice what was asked: its own bookkeeping), 0 when it
    // cannot be read.
    int raiseReceiveBuffer(int bytes);
    // Asks the kernel to tell, with each datagram read, how many it has thrown
    // away on this socket so far for want of room (Linux: SO_RXQ_OVFL). False
    // where the system cannot tell (Windows): droppedDatagrams() then stays 0.
    [[nodiscard]] bool setCountDrops(bool enabled);
    // Datagrams the kernel dropped on this socket, as of the last receive or
    // refreshDropCount().
    std::uint64_t droppedDatagrams() const { return drops_; }
    // Asks the kernel for its count now: drops at the end of a burst come with
    // no later datagram to tell of them (Linux: SO_MEMINFO).
    void refreshDropCount();

    // Bytes sent, or -1 with lastError() set.
    [[nodiscard]] long sendTo(const std::string& host, std::uint16_t port, const void* data,
                              std::size_t length);
    // The same, out of the interface with this index whatever the routing
    // table says, from that interface's address (no privileges needed). This
    // is how a limited broadcast reaches the network of an interface that the
    // default route does not lead to. Index 0 sends as sendTo does.
    [[nodiscard]] long sendVia(unsigned interfaceIndex, const std::string& host, std::uint16_t port,
                               const void* data, std::size_t length);

    // From now on, every receive can tell the interface a datagram came in on.
    [[nodiscard]] bool setReportArrivalInterface(bool enabled);

    // One datagram into the buffer: its byte count, or -1 when nothing waits or
    // the receive failed. A datagram longer than the buffer is dropped whole
    // (-1 with EMSGSIZE); the sender is told for it as for any other. The
    // arrival interface's index is 0 unless setReportArrivalInterface(true).
    [[nodiscard]] long receive(void* buffer, std::size_t length, std::string* sender = nullptr,
                               unsigned* arrivalInterface = nullptr);

    void close();
    bool isOpen() const { return fd_ != kNoHandle; }
    NativeHandle fd() const { return fd_; }
    int lastError() const { return lastError_; }
    std::uint16_t localPort() const;

private:
    void noteDropCount(std::uint32_t count);

    NativeHandle fd_ = kNoHandle;
    int lastError_ = 0;
    // The kernel's count wraps at 32 bits; the total is kept in 64.
    std::uint64_t drops_ = 0;
    std::uint32_t lastDropCount_ = 0;
};

}  // namespace platform
