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

}  // namespace platform
