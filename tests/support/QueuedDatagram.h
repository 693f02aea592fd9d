#pragma once
// Whether datagrams have reached one of this process's own sockets: a test
// that answers the code under test waits for its answers to be there before
// it lets that code read. Linux only; header only.

#include "tests/support/Eventually.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// This process's UDP socket bound to port, or -1.
inline int datagramSocketAt(std::uint16_t port) {
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        int type = 0;
        socklen_t typeLength = sizeof type;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM)
            continue;
        return fd;
    }
    return -1;
}

// The receive memory that the datagrams waiting at this process's UDP socket
// bound to port take up (0 without such a socket). Every datagram the kernel
// queues adds to it and only a read takes it away: while nobody reads, a
// larger figure means one more datagram has arrived.
inline std::uint32_t queuedMemoryAt(std::uint16_t port) {
    const int fd = datagramSocketAt(port);
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0)
        return 0;
    return info[SK_MEMINFO_RMEM_ALLOC];
}

// Sends the replies from socket to `to` one by one, each once the one before
// it waits at this process's socket that `to` names, so that all of them wait
// there when it returns; false (and the rest unsent) when one never arrived.
inline bool sendQueued(int socket, const std::vector<std::string>& replies, const sockaddr_in& to) {
    const std::uint16_t port = ntohs(to.sin_port);
    for (const std::string& reply : replies) {
        const std::uint32_t before = queuedMemoryAt(port);
        ::sendto(socket, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        if (!eventually([&] { return queuedMemoryAt(port) > before; }))
            return false;
    }
    return true;
}

}  // namespace testing_support
