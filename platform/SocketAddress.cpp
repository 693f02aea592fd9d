#include "platform/SocketAddress.h"

#include <arpa/inet.h>

namespace platform {

std::optional<sockaddr_in> ipv4Address(const std::string& text, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (text.find('\0') != std::string::npos || ::inet_aton(text.c_str(), &address.sin_addr) == 0)
        return std::nullopt;
    return address;
}

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

std::optional<std::uint32_t> parseIpv4(const std::string& text) {
    in_addr address{};
    if (text.find('\0') != std::string::npos || ::inet_pton(AF_INET, text.c_str(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

std::optional<std::uint32_t> ipv4AsReached(const std::string& text) {
    const auto address = ipv4Address(text, 0);
    if (!address)
        return std::nullopt;
    return ntohl(address->sin_addr.s_addr);
}

std::string ipv4Text(std::uint32_t address) {
    sockaddr_in socketAddress{};
    socketAddress.sin_addr.s_addr = htonl(address);
    return addressText(socketAddress);
}

}  // namespace platform
