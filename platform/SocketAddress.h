#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Dotted IPv4 text to a socket address. Host names are deliberately not looked
// up: every address this program sends to is numeric, and a name lookup would
// put traffic on the network that nobody asked for.
std::optional<sockaddr_in> ipv4Address(const std::string& text, std::uint16_t port);

std::string addressText(const sockaddr_in& address);

}  // namespace platform
