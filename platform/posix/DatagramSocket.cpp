#include "platform/DatagramSocket.h"

#include "platform/backend/Sockaddr.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>
#include <utility>

namespace platform {

DatagramSocket::~DatagramSocket() {
    close();
}

DatagramSocket::DatagramSocket(DatagramSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      lastError_(other.lastError_),
      drops_(std::exchange(other.drops_, 0)),
      lastDropCount_(std::exchange(other.lastDropCount_, 0)) {}

DatagramSocket& DatagramSocket::operator=(DatagramSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        lastError_ = other.lastError_;
        drops_ = std::exchange(other.drops_, 0);
        lastDropCount_ = std::exchange(other.lastDropCount_, 0);
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
        auto parsed = backend::socketAddressFor(bindAddress, port);
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

int DatagramSocket::raiseReceiveBuffer(int bytes) {
    const auto granted = [this] {
        int size = 0;
        socklen_t length = sizeof size;
        return ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 ? size : 0;
    };
    // The kernel reports (and grants) twice what it is asked for.
    const int before = granted();
    int asked = bytes / 2;
    if (before >= bytes || asked <= 0)
        return before;
    // Up to net.core.rmem_max, which the kernel applies without a word ...
    std::ignore = ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    // ... and past it with CAP_NET_ADMIN; without, EPERM and the above stands.
    if (granted() < bytes)
        std::ignore = ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked);
    // A refusal, or a ceiling below what the socket had, never shrinks it.
    if (granted() < before) {
        asked = before / 2;
        std::ignore = ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    }
    return granted();
}

bool DatagramSocket::setCountDrops(bool enabled) {
    int value = enabled ? 1 : 0;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &value, sizeof value) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

void DatagramSocket::noteDropCount(std::uint32_t count) {
    drops_ += static_cast<std::uint32_t>(count - lastDropCount_);
    lastDropCount_ = count;
}

void DatagramSocket::refreshDropCount() {
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (fd_ >= 0 && ::getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
        length > SK_MEMINFO_DROPS * sizeof info[0])
        noteDropCount(info[SK_MEMINFO_DROPS]);
}

long DatagramSocket::sendTo(const std::string& host, std::uint16_t port, const void* data,
                            std::size_t length) {
    auto address = backend::socketAddressFor(host, port);
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

long DatagramSocket::sendVia(unsigned interfaceIndex, const std::string& host, std::uint16_t port,
                             const void* data, std::size_t length) {
    if (interfaceIndex == 0)
        return sendTo(host, port, data, length);
    auto address = backend::socketAddressFor(host, port);
    if (!address) {
        lastError_ = EINVAL;
        return -1;
    }
    iovec payload{const_cast<void*>(data), length};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &*address;
    message.msg_namelen = sizeof *address;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&message);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    // The interface alone; the kernel picks that interface's own address as
    // the source, so the units' answers come back the same way.
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interfaceIndex);
    std::memcpy(CMSG_DATA(item), &info, sizeof info);
    ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (sent < 0) {
        lastError_ = errno;
        return -1;
    }
    return static_cast<long>(sent);
}

bool DatagramSocket::setReportArrivalInterface(bool enabled) {
    int value = enabled ? 1 : 0;
    if (::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &value, sizeof value) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

long DatagramSocket::receive(void* buffer, std::size_t length, std::string* sender,
                             unsigned* arrivalInterface) {
    sockaddr_in from{};
    iovec data{buffer, length};
    alignas(cmsghdr) unsigned char
        control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // MSG_TRUNC makes the kernel report the datagram's real size, so an
    // oversize one is recognised and dropped instead of read cut short.
    ssize_t got = ::recvmsg(fd_, &message, MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0) {
        lastError_ = errno;
        return -1;
    }
    // The sender of an oversize datagram is told too: whose it was decides
    // whether it counts as a stranger's.
    if (sender)
        *sender = backend::addressTextOf(from);
    if (arrivalInterface)
        *arrivalInterface = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
        if (arrivalInterface && item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(item), sizeof info);
            *arrivalInterface = static_cast<unsigned>(info.ipi_ifindex);
        } else if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_RXQ_OVFL) {
            // The socket's drops so far, sent along only once there are any.
            std::uint32_t count = 0;
            std::memcpy(&count, CMSG_DATA(item), sizeof count);
            noteDropCount(count);
        }
    }
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
