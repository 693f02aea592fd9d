#pragma once
// The system's socket address for this program's own address type. Both
// backends (posix/, win/) share it, and only their files include it: the
// headers in platform/ itself name no system type.

#include "platform/SocketAddress.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>
#include <optional>
#include <string>

namespace platform::backend {

inline sockaddr_in socketAddressOf(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

inline std::optional<sockaddr_in> socketAddressFor(const std::string& text, std::uint16_t port) {
    const auto address = ipv4AsReached(text);
    if (!address)
        return std::nullopt;
    return socketAddressOf(*address, port);
}

inline std::string addressTextOf(const sockaddr_in& address) {
    return ipv4Text(ntohl(address.sin_addr.s_addr));
}

}  // namespace platform::backend
