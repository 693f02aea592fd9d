#include "platform/StreamSocket.h"

#include "platform/backend/Sockaddr.h"

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

bool StreamSocket::create() {
    close();
    // Non-blocking while it connects: the wait is a poll with a time limit.
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    used_ = false;
    blockingSends_ = false;
    bytesSent_ = 0;
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    // Armed from the start: however this process ends before close() (a
    // signal's default action, _exit, SIGKILL), the kernel closes the socket
    // with a reset, so the peer never sees a clean end of a cut-off stream.
    setLinger(true);
    return true;
}

void StreamSocket::setLinger(bool hard) {
    const linger option{hard ? 1 : 0, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

void StreamSocket::close() {
    if (fd_ >= 0) {
        // Disarmed only here, after the last byte was handed over: the
        // kernel then delivers what it still holds and ends in order.
        setLinger(false);
        ::close(fd_);
        fd_ = -1;
    }
}

void StreamSocket::abort() {
    if (fd_ >= 0) {
        setLinger(true);
        ::close(fd_);
        fd_ = -1;
    }
}

// Sleeps in the kernel until the socket can take bytes (or has failed), the
// deadline passes or a stop is asked for. Between slices of the hook interval
// the window gets its paint events.
StreamSocket::Wait StreamSocket::waitWritable(Clock::time_point deadline) {
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            return Wait::TimedOut;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        pollfd p{fd_, POLLOUT, 0};
        const int n = ::poll(
            &p, 1,
            static_cast<int>(
                std::clamp(left, std::chrono::milliseconds(1), timeouts_.hookInterval).count()));
        if (n > 0)
            return Wait::Writable;  // or failed: the next call on it tells
        if (n < 0 && errno != EINTR) {
            lastError_ = errno;
            return Wait::Failed;
        }
        if (hook_)
            hook_();
        if (stopRequested(stop_))
            return Wait::Stopped;
    }
}

StreamSocket::Attempt StreamSocket::attemptOnce(std::uint32_t address, std::uint16_t port) {
    if ((fd_ < 0 || used_) && !create())
        return Attempt::Failed;
    used_ = true;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return Attempt::Connected;
    int error = errno;
    if (error == EINPROGRESS || error == EINTR) {
        if (!writableAfter(waitWritable(Clock::now() + timeouts_.connectGiveUp)))
            return Attempt::Failed;
        socklen_t len = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
            error = errno;
        if (error == 0)
            return Attempt::Connected;
    }
    lastError_ = error;
    return error == ECONNREFUSED ? Attempt::Refused : Attempt::Failed;
}

// Once connected, a send sleeps in the kernel until the connection takes its
// bytes, but never longer than one hook interval without progress: then it
// returns, so the window is painted, a stop is seen and a stall is counted.
// Without this the sends would have to poll, and a full buffer would cost a
// failed send and a poll per wake-up.
void StreamSocket::becomeBlockingWithTimeout() {
    const int flags = ::fcntl(fd_, F_GETFL);
    const auto interval = std::max(timeouts_.hookInterval, std::chrono::milliseconds(1));
    const timeval timeout{static_cast<time_t>(interval.count() / 1000),
                          static_cast<suseconds_t>((interval.count() % 1000) * 1000)};
    blockingSends_ = flags >= 0 && ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
                     ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
    if (!blockingSends_ && flags >= 0)
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

bool StreamSocket::sendAll(const void* data, std::size_t length, bool moreFollows) {
    if (fd_ < 0) {
        lastError_ = ENOTCONN;
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    // The stall limit counts from the last byte the connection took.
    bool waiting = false;
    Clock::time_point stallDeadline{};
    while (length > 0) {
        const ssize_t sent =
            ::send(fd_, bytes, length, MSG_NOSIGNAL | (moreFollows ? MSG_MORE : 0));
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
            bytesSent_ += static_cast<std::uint64_t>(sent);
            waiting = false;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lastError_ = errno;
            abort();
            return false;
        }
        if (!waiting) {
            waiting = true;
            stallDeadline = Clock::now() + timeouts_.sendStallLimit;
        }
        // A blocking send that returns with nothing sent has already waited a
        // hook interval in the kernel.
        Wait wait = Wait::Writable;
        if (blockingSends_) {
            if (hook_)
                hook_();
            if (stopRequested(stop_))
                wait = Wait::Stopped;
            else if (Clock::now() >= stallDeadline)
                wait = Wait::TimedOut;
        } else {
            wait = waitWritable(stallDeadline);
        }
        if (writableAfter(wait))
            continue;
        // Whatever the peer has not read yet is thrown away with a reset: a
        // peer that was only slow must not read on to an orderly end and take
        // the cut-off stream for a whole one.
        abort();
        return false;
    }
    return true;
}

std::string StreamSocket::localAddress() const {
    if (fd_ < 0)
        return {};
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET || local.sin_addr.s_addr == htonl(INADDR_ANY))
        return {};
    return backend::addressTextOf(local);
}

}  // namespace platform
