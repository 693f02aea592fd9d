#pragma once
// Whether a datagram has reached one of this process's own sockets: a test
// that answers the code under test waits for its answer to be there before
// it lets that code read. POSIX only; header only.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>

namespace testing_support {

// True when this process's UDP socket bound to port has a datagram waiting.
inline bool datagramWaitsAt(std::uint16_t port) {
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        int type = 0;
        socklen_t typeLength = sizeof type;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM)
            continue;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1)
            return true;
    }
    return false;
}

}  // namespace testing_support
