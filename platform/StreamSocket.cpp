#include "platform/StreamSocket.h"

#include "platform/SocketAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

using Clock = std::chrono::steady_clock;

StreamSocket::StreamSocket(StreamTimeouts timeouts, WaitHook hook)
    : timeouts_(timeouts), hook_(std::move(hook)) {}

StreamSocket::~StreamSocket() {
    close();
}

bool StreamSocket::create() {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

void StreamSocket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void StreamSocket::pause(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        if (hook_)
            hook_();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        ::poll(nullptr, 0,
               static_cast<int>(
                   std::clamp(left, std::chrono::milliseconds(1), timeouts_.hookInterval).count()));
    }
}

void StreamSocket::abort() {
    if (fd_ >= 0) {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close();
}

bool StreamSocket::waitWritable(Clock::time_point deadline, bool* timedOut) {
    *timedOut = false;
    for (;;) {
        if (hook_)
            hook_();
        const auto now = Clock::now();
        if (now >= deadline) {
            *timedOut = true;
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd p{fd_, POLLOUT, 0};
        int slice = static_cast<int>(
            std::clamp(left, std::chrono::milliseconds(1), timeouts_.hookInterval).count());
        int n = ::poll(&p, 1, slice);
        if (n < 0 && errno != EINTR) {
            lastError_ = errno;
            return false;
        }
        if (n > 0)
            return true;
    }
}

StreamSocket::Attempt StreamSocket::attemptOnce(const sockaddr_in& address) {
    if (fd_ < 0 && !create())
        return Attempt::Failed;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return Attempt::Connected;
    int error = errno;
    if (error == EINPROGRESS || error == EINTR) {
        bool timedOut = false;
        if (!waitWritable(Clock::now() + timeouts_.connectGiveUp, &timedOut)) {
            lastError_ = timedOut ? ETIMEDOUT : lastError_;
            return Attempt::Failed;
        }
        socklen_t len = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
            error = errno;
        if (error == 0)
            return Attempt::Connected;
    }
    lastError_ = error;
    return error == ECONNREFUSED ? Attempt::Refused : Attempt::Failed;
}

// Once connected, sends block in the kernel (as fast as a plain blocking loop)
// but give up every hook interval, so the window can be painted and a stalled
// peer noticed.
void StreamSocket::becomeBlockingWithTimeout() {
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    const auto interval = timeouts_.hookInterval.count();
    timeval timeout{static_cast<time_t>(interval / 1000),
                    static_cast<suseconds_t>((interval % 1000) * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool StreamSocket::connect(const std::string& host, std::uint16_t port) {
    auto address = ipv4Address(host, port);
    if (!address) {
        lastError_ = EINVAL;
        return false;
    }
    const auto refusedUntil = Clock::now() + timeouts_.refusedRetryWindow;
    for (;;) {
        switch (attemptOnce(*address)) {
            case Attempt::Connected:
                return true;
            case Attempt::Failed:
                return false;
            case Attempt::Refused:
                // A refused socket is spent; the next try needs a fresh one.
                close();
                if (Clock::now() >= refusedUntil) {
                    lastError_ = ECONNREFUSED;
                    return false;
                }
                pause(std::min(timeouts_.hookInterval, std::chrono::milliseconds(50)));
                break;
        }
    }
}

bool StreamSocket::sendAll(const void* data, std::size_t length) {
    if (fd_ < 0) {
        lastError_ = ENOTCONN;
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    auto lastProgress = Clock::now();
    while (length > 0) {
        ssize_t sent = ::send(fd_, bytes, length, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
            lastProgress = Clock::now();
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lastError_ = errno;
            return false;
        }
        if (hook_)
            hook_();
        if (Clock::now() - lastProgress >= timeouts_.sendStallLimit) {
            // A peer that stalled once is given up on: later sends on this
            // connection fail at once instead of waiting out the limit again.
            lastError_ = ETIMEDOUT;
            ::shutdown(fd_, SHUT_RDWR);
            return false;
        }
    }
    return true;
}

}  // namespace platform
