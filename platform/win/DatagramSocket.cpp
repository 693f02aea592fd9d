#include "platform/DatagramSocket.h"

#include "platform/win/Winsock.h"

#include <mswsock.h>

#include <cstring>
#include <tuple>
#include <utility>

namespace platform {

namespace {

// WSARecvMsg is reached through a pointer the provider hands out; it is the
// same for every socket of this process.
LPFN_WSARECVMSG recvMsgFunction(SOCKET s) {
    static LPFN_WSARECVMSG function = [s]() -> LPFN_WSARECVMSG {
        GUID id = WSAID_WSARECVMSG;
        LPFN_WSARECVMSG found = nullptr;
        DWORD bytes = 0;
        if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found,
                     &bytes, nullptr, nullptr) != 0)
            return nullptr;
        return found;
    }();
    return function;
}

int sendLength(std::size_t length) {
    // A datagram cannot be longer than 64 KiB; anything longer fails as such.
    return static_cast<int>(std::min<std::size_t>(length, 0x7FFFFFFF));
}

}  // namespace

DatagramSocket::~DatagramSocket() {
    close();
}

DatagramSocket::DatagramSocket(DatagramSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, kNoHandle)), lastError_(other.lastError_) {}

DatagramSocket& DatagramSocket::operator=(DatagramSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, kNoHandle);
        lastError_ = other.lastError_;
    }
    return *this;
}

bool DatagramSocket::create(std::uint16_t port, const std::string& bindAddress) {
    close();
    int error = 0;
    const SOCKET s = win::openSocket(SOCK_DGRAM, &error);
    if (s == INVALID_SOCKET) {
        lastError_ = error;
        return false;
    }
    fd_ = win::handleOf(s);
    // Without this, an ICMP "port unreachable" for an earlier send makes the
    // next receive fail with WSAECONNRESET, and a datagram waiting behind it
    // would be taken for an error.
    BOOL reportResets = FALSE;
    DWORD bytes = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0, &bytes, nullptr,
             nullptr);
    sockaddr_in local = backend::socketAddressOf(INADDR_ANY, port);
    if (!bindAddress.empty()) {
        auto parsed = backend::socketAddressFor(bindAddress, port);
        if (!parsed) {
            lastError_ = WSAEINVAL;
            close();
            return false;
        }
        local = *parsed;
    }
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        lastError_ = WSAGetLastError();
        close();
        return false;
    }
    return true;
}

bool DatagramSocket::setBroadcast(bool enabled) {
    const BOOL value = enabled ? TRUE : FALSE;
    if (setsockopt(win::socketOf(fd_), SOL_SOCKET, SO_BROADCAST,
                   reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        lastError_ = WSAGetLastError();
        return false;
    }
    return true;
}

bool DatagramSocket::setReceiveBufferSize(int bytes) {
    if (setsockopt(win::socketOf(fd_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                   sizeof bytes) != 0) {
        lastError_ = WSAGetLastError();
        return false;
    }
    return true;
}

int DatagramSocket::raiseReceiveBuffer(int bytes) {
    const SOCKET s = win::socketOf(fd_);
    const auto granted = [s] {
        int size = 0;
        int length = sizeof size;
        return getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length) == 0
                   ? size
                   : 0;
    };
    // Windows grants what it is asked, within the memory it has; no
    // privilege is needed and none would lift a ceiling.
    const int before = granted();
    if (before >= bytes)
        return before;
    std::ignore =
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    return granted();
}

bool DatagramSocket::setCountDrops(bool) {
    // Winsock reports no count of the datagrams a full queue threw away.
    lastError_ = WSAEOPNOTSUPP;
    return false;
}

void DatagramSocket::noteDropCount(std::uint32_t count) {
    drops_ += static_cast<std::uint32_t>(count - lastDropCount_);
    lastDropCount_ = count;
}

void DatagramSocket::refreshDropCount() {}

long DatagramSocket::sendTo(const std::string& host, std::uint16_t port, const void* data,
                            std::size_t length) {
    auto address = backend::socketAddressFor(host, port);
    if (!address) {
        lastError_ = WSAEINVAL;
        return -1;
    }
    const int sent = sendto(win::socketOf(fd_), static_cast<const char*>(data), sendLength(length),
                            0, reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    if (sent < 0) {
        lastError_ = WSAGetLastError();
        return -1;
    }
    return sent;
}

long DatagramSocket::sendVia(unsigned interfaceIndex, const std::string& host, std::uint16_t port,
                             const void* data, std::size_t length) {
    if (interfaceIndex == 0)
        return sendTo(host, port, data, length);
    // Windows has no per-datagram interface choice for sends; IP_UNICAST_IF
    // chooses it for the socket (the index in network byte order, as the
    // option wants it for IPv4), and it is cleared again after the send.
    const SOCKET s = win::socketOf(fd_);
    const DWORD index = htonl(interfaceIndex);
    if (setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&index),
                   sizeof index) != 0) {
        lastError_ = WSAGetLastError();
        return -1;
    }
    const long sent = sendTo(host, port, data, length);
    const DWORD none = 0;
    setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&none), sizeof none);
    return sent;
}

bool DatagramSocket::setReportArrivalInterface(bool enabled) {
    const DWORD value = enabled ? 1 : 0;
    if (setsockopt(win::socketOf(fd_), IPPROTO_IP, IP_PKTINFO,
                   reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        lastError_ = WSAGetLastError();
        return false;
    }
    return true;
}

long DatagramSocket::receive(void* buffer, std::size_t length, std::string* sender,
                             unsigned* arrivalInterface) {
    const SOCKET s = win::socketOf(fd_);
    sockaddr_in from{};
    const auto size = static_cast<ULONG>(std::min<std::size_t>(length, 0x7FFFFFFF));
    long got = -1;
    int error = 0;
    if (arrivalInterface) {
        *arrivalInterface = 0;
        LPFN_WSARECVMSG recvMsg = recvMsgFunction(s);
        if (!recvMsg) {
            lastError_ = WSAEOPNOTSUPP;
            return -1;
        }
        WSABUF data{size, static_cast<char*>(buffer)};
        alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&from);
        message.namelen = sizeof from;
        message.lpBuffers = &data;
        message.dwBufferCount = 1;
        message.Control = WSABUF{sizeof control, control};
        DWORD bytes = 0;
        if (recvMsg(s, &message, &bytes, nullptr, nullptr) != 0) {
            error = WSAGetLastError();
        } else {
            got = static_cast<long>(bytes);
            if ((message.dwFlags & MSG_TRUNC) != 0)
                error = WSAEMSGSIZE;
            for (WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message); item;
                 item = WSA_CMSG_NXTHDR(&message, item)) {
                if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
                    IN_PKTINFO info{};
                    std::memcpy(&info, WSA_CMSG_DATA(item), sizeof info);
                    *arrivalInterface = static_cast<unsigned>(info.ipi_ifindex);
                }
            }
        }
    } else {
        int fromLength = sizeof from;
        const int n = recvfrom(s, static_cast<char*>(buffer), static_cast<int>(size), 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
            error = WSAGetLastError();
        else
            got = n;
    }
    // An oversize datagram fails with WSAEMSGSIZE and is gone from the queue
    // (Windows drops the rest of it); its sender is told as for any other.
    if (error == WSAEMSGSIZE) {
        if (sender)
            *sender = backend::addressTextOf(from);
        lastError_ = error;
        return -1;
    }
    if (error != 0) {
        lastError_ = error;
        return -1;
    }
    if (sender)
        *sender = backend::addressTextOf(from);
    return got;
}

std::uint16_t DatagramSocket::localPort() const {
    sockaddr_in local{};
    int length = sizeof local;
    if (fd_ == kNoHandle ||
        getsockname(win::socketOf(fd_), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void DatagramSocket::close() {
    if (fd_ != kNoHandle) {
        closesocket(win::socketOf(fd_));
        fd_ = kNoHandle;
    }
}

}  // namespace platform
