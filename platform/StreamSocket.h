#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <netinet/in.h>

namespace platform {

// Units were built against the pace of the original platform's blocking
// connect: a refused attempt took about a second, an unanswered one about 21 s.
struct StreamTimeouts {
    std::chrono::milliseconds refusedRetryWindow{1000};
    std::chrono::milliseconds connectGiveUp{21000};
    std::chrono::milliseconds sendStallLimit{60000};
    std::chrono::milliseconds hookInterval{50};
};

// Called now and then while a blocking connect or send waits, so a window can
// keep painting without taking input.
using WaitHook = std::function<void()>;

// Blocking TCP stream: connect and send return only when done or failed.
class StreamSocket {
public:
    explicit StreamSocket(StreamTimeouts timeouts = {}, WaitHook hook = {});
    ~StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    bool create();
    bool connect(const std::string& host, std::uint16_t port);
    // Sends every byte or fails; a peer that takes nothing for the stall limit fails it.
    bool sendAll(const void* data, std::size_t length);
    // Orderly close: the peer sees the end of the stream after the last byte.
    void close();
    // Hard close: the peer sees a reset, never a clean end of the stream.
    void abort();

    bool isOpen() const { return fd_ >= 0; }
    int lastError() const { return lastError_; }

private:
    enum class Attempt { Connected, Refused, Failed };
    Attempt attemptOnce(const ::sockaddr_in& address);
    bool waitWritable(std::chrono::steady_clock::time_point deadline, bool* timedOut);
    void pause(std::chrono::milliseconds duration);
    void becomeBlockingWithTimeout();

    int fd_ = -1;
    int lastError_ = 0;
    StreamTimeouts timeouts_;
    WaitHook hook_;
};

}  // namespace platform
