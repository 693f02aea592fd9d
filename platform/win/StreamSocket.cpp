#include "platform/StreamSocket.h"

#include "platform/ErrorText.h"
#include "platform/win/Winsock.h"

#include <algorithm>
#include <climits>
#include <thread>

namespace platform {

using Clock = std::chrono::steady_clock;

namespace {

timeval timevalOf(std::chrono::milliseconds duration) {
    return timeval{static_cast<long>(duration.count() / 1000),
                   static_cast<long>((duration.count() % 1000) * 1000)};
}

}  // namespace

bool StreamSocket::create() {
    close();
    used_ = false;
    // Sends never block on Windows: a send that timed out through SO_SNDTIMEO
    // leaves the socket in a state the system calls indeterminate, not to be
    // used again. Every wait is a select instead.
    blockingSends_ = false;
    bytesSent_ = 0;
    int error = 0;
    const SOCKET s = win::openSocket(SOCK_STREAM, &error);
    if (s == INVALID_SOCKET) {
        lastError_ = error;
        return false;
    }
    fd_ = win::handleOf(s);
    // Armed from the start: however this process ends before close(), the
    // system closes the socket with a reset, so the peer never sees a clean
    // end of a cut-off stream.
    setLinger(true);
    return true;
}

void StreamSocket::setLinger(bool hard) {
    const linger option{static_cast<u_short>(hard ? 1 : 0), 0};
    setsockopt(win::socketOf(fd_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
}

void StreamSocket::close() {
    if (fd_ != kNoHandle) {
        // Disarmed only here, after the last byte was handed over: the
        // system then delivers what it still holds and ends in order.
        setLinger(false);
        closesocket(win::socketOf(fd_));
        fd_ = kNoHandle;
    }
}

void StreamSocket::abort() {
    if (fd_ != kNoHandle) {
        setLinger(true);
        closesocket(win::socketOf(fd_));
        fd_ = kNoHandle;
    }
}

// Sleeps in the kernel until the socket can take bytes, its connection
// request failed (select's exception set: Windows reports a refused or
// unreachable connect there, not as writable), the deadline passes or a stop
// is asked for. select, not WSAPoll: WSAPoll misses refused connects on
// Windows before 10 2004.
StreamSocket::Wait StreamSocket::waitWritable(Clock::time_point deadline) {
    const SOCKET s = win::socketOf(fd_);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            return Wait::TimedOut;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait =
            timevalOf(std::clamp(left, std::chrono::milliseconds(1), timeouts_.hookInterval));
        const int n = select(0, nullptr, &writable, &failed, &wait);
        if (n > 0)
            return Wait::Writable;  // or failed: the next call on it tells
        if (n < 0) {
            lastError_ = WSAGetLastError();
            return Wait::Failed;
        }
        if (hook_)
            hook_();
        if (stopRequested(stop_))
            return Wait::Stopped;
    }
}

StreamSocket::Attempt StreamSocket::attemptOnce(std::uint32_t address, std::uint16_t port) {
    if ((fd_ == kNoHandle || used_) && !create())
        return Attempt::Failed;
    used_ = true;
    const SOCKET s = win::socketOf(fd_);
    const sockaddr_in peer = backend::socketAddressOf(address, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return Attempt::Connected;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        if (!writableAfter(waitWritable(Clock::now() + timeouts_.connectGiveUp)))
            return Attempt::Failed;
        int length = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            error = WSAGetLastError();
        if (error == 0)
            return Attempt::Connected;
    }
    lastError_ = error;
    return error == WSAECONNREFUSED ? Attempt::Refused : Attempt::Failed;
}

void StreamSocket::becomeBlockingWithTimeout() {
    // See create(): sends stay non-blocking here and wait in select.
    blockingSends_ = false;
}

// Windows has no per-send hint that more follows; Nagle's rule already
// gathers small blocks there.
bool StreamSocket::sendAll(const void* data, std::size_t length, bool /*moreFollows*/) {
    if (fd_ == kNoHandle) {
        lastError_ = WSAENOTCONN;
        return false;
    }
    const SOCKET s = win::socketOf(fd_);
    const auto* bytes = static_cast<const char*>(data);
    // The stall limit counts from the last byte the connection took.
    bool waiting = false;
    Clock::time_point stallDeadline{};
    while (length > 0) {
        const int piece = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
        const int sent = ::send(s, bytes, piece, 0);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
            bytesSent_ += static_cast<std::uint64_t>(sent);
            waiting = false;
            continue;
        }
        const int error = sent < 0 ? WSAGetLastError() : WSAEWOULDBLOCK;
        if (error != WSAEWOULDBLOCK) {
            lastError_ = error;
            abort();
            return false;
        }
        if (!waiting) {
            waiting = true;
            stallDeadline = Clock::now() + timeouts_.sendStallLimit;
        }
        if (writableAfter(waitWritable(stallDeadline)))
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
    if (fd_ == kNoHandle)
        return {};
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(win::socketOf(fd_), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET || local.sin_addr.s_addr == htonl(INADDR_ANY))
        return {};
    return backend::addressTextOf(local);
}

}  // namespace platform
