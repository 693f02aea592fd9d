#include "platform/DatagramSocket.h"

#include "platform/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

DatagramSocket::~DatagramSocket() {
    close();
}

DatagramSocket::DatagramSocket(DatagramSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), lastError_(other.lastError_) {}

DatagramSocket& DatagramSocket::operator=(DatagramSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        lastError_ = other.lastError_;
    }
    return *this;
}

bool DatagramSocket::create(std::uint16_t port, const std::string& bindAddress) {
    close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bindAddress.empty()) {
        auto parsed = ipv4Address(bindAddress, port);
        if (!parsed) {
            lastError_ = EINVAL;
            close();
            return false;
        }
        local = *parsed;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        lastError_ = errno;
        close();
        return false;
    }
    return true;
}

bool DatagramSocket::setBroadcast(bool enabled) {
    int value = enabled ? 1 : 0;
    if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

bool DatagramSocket::setReceiveBufferSize(int bytes) {
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

long DatagramSocket::sendTo(const std::string& host, std::uint16_t port, const void* data,
                            std::size_t length) {
    auto address = ipv4Address(host, port);
    if (!address) {
        lastError_ = EINVAL;
        return -1;
    }
    ssize_t sent = ::sendto(fd_, data, length, MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    if (sent < 0) {
        lastError_ = errno;
        return -1;
    }
    return static_cast<long>(sent);
}

long DatagramSocket::receive(void* buffer, std::size_t length, std::string* sender) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC makes the kernel report the datagram's real size, so an
    // oversize one is recognised and dropped instead of read cut short.
    ssize_t got = ::recvfrom(fd_, buffer, length, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 0) {
        lastError_ = errno;
        return -1;
    }
    // The sender of an oversize datagram is told too: whose it was decides
    // whether it counts as a stranger's.
    if (sender)
        *sender = addressText(from);
    if (static_cast<std::size_t>(got) > length) {
        lastError_ = EMSGSIZE;
        return -1;
    }
    return static_cast<long>(got);
}

std::uint16_t DatagramSocket::localPort() const {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void DatagramSocket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform
