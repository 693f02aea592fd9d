#pragma once

#include "platform/NativeHandle.h"

#include "platform/StopCheck.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Units were built against the pace of the original platform's blocking
// connect: a refused attempt took about a second (three connection requests
// about half a second apart), an unanswered one about 21 s.
struct StreamTimeouts {
    int refusedRetries = 2;  // requests made again after a refusal
    std::chrono::milliseconds refusedRetryPause{500};
    std::chrono::milliseconds connectGiveUp{21000};
    std::chrono::milliseconds sendStallLimit{60000};
    // How long a wait goes without calling the wait hook and the stop check.
    std::chrono::milliseconds hookInterval = kStopCheckInterval;
};

// Called now and then while a blocking connect or send waits, so a window can
// keep painting without taking input.
using WaitHook = std::function<void()>;

// Blocking TCP stream: connect and send return only when done or failed. Every
// wait happens in the kernel, in slices of the hook interval so that the wait
// hook runs and a stop request is seen; nothing spins. A connect waits in poll;
// once connected, sends block in the kernel with a send time-out of one hook
// interval, as fast as a plain blocking loop.
class StreamSocket {
public:
    explicit StreamSocket(StreamTimeouts timeouts = {}, WaitHook hook = {}, StopCheck stop = {});
    ~StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    [[nodiscard]] bool create();
    // Connects to a dotted IPv4 address. Every connection request goes out on
    // a socket of its own: one that was refused or timed out is never reused.
    // A stop request ends the wait with ECANCELED.
    [[nodiscard]] bool connect(const std::string& host, std::uint16_t port);
    // Sends every byte or fails. A peer that takes nothing for the stall
    // limit, a stop request or any send error fails it, and the connection is
    // then reset, so the peer never sees an orderly end after a cut-off
    // stream; later sends fail at once. moreFollows lets the system hold a
    // part-filled packet back for the next bytes (close() sends what it
    // holds): a stream of small blocks then crosses the wire, and the
    // receiver's wake-ups, in full packets rather than one a block.
    [[nodiscard]] bool sendAll(const void* data, std::size_t length, bool moreFollows = false);
    // Orderly close: the peer sees the end of the stream after the last byte.
    // Until it is called the socket is set to close with a reset, so that
    // however the process ends first (a signal, _exit, SIGKILL) the peer
    // never sees a clean end of a cut-off stream.
    void close();
    // Hard close: the peer sees a reset, never a clean end of the stream.
    void abort();

    bool isOpen() const { return fd_ != kNoHandle; }
    int lastError() const { return lastError_; }
    // Bytes the connection has taken since it was made.
    std::uint64_t bytesSent() const { return bytesSent_; }
    // This host's address on the connection, as the routing table chose it;
    // empty when it is not connected.
    std::string localAddress() const;

private:
    enum class Attempt { Connected, Refused, Failed };
    enum class Wait { Writable, TimedOut, Stopped, Failed };
    // One connection request to the address (host byte order) and port.
    [[nodiscard]] Attempt attemptOnce(std::uint32_t address, std::uint16_t port);
    [[nodiscard]] Wait waitWritable(std::chrono::steady_clock::time_point deadline);
    // True when the socket can take bytes; otherwise why the wait ended is
    // kept as the last error.
    [[nodiscard]] bool writableAfter(Wait wait);
    [[nodiscard]] bool pause(std::chrono::milliseconds duration);
    void becomeBlockingWithTimeout();
    // A zero linger time (hard): closing the socket, or the process's end,
    // resets the connection. Otherwise a close ends it in order.
    void setLinger(bool hard);

    NativeHandle fd_ = kNoHandle;
    bool used_ = false;           // a connection request went out on fd_
    bool blockingSends_ = false;  // sends wait in the kernel for up to a hook interval
    int lastError_ = 0;
    std::uint64_t bytesSent_ = 0;
    StreamTimeouts timeouts_;
    WaitHook hook_;
    StopCheck stop_;
};

}  // namespace platform
