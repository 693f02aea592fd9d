#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Dotted IPv4 text to a socket address. Host names are deliberately not looked
// up: every address this program sends to is numeric, and a name lookup would
// put traffic on the network that nobody asked for.
[[nodiscard]] std::optional<sockaddr_in> ipv4Address(const std::string& text, std::uint16_t port);

std::string addressText(const sockaddr_in& address);

// Strict dotted-quad text ("10.0.0.7": four decimal numbers 0 to 255, nothing
// else) to an address in host byte order.
[[nodiscard]] std::optional<std::uint32_t> parseIpv4(const std::string& text);
// The address a socket call reaches for this text, in host byte order: the
// same lenient reading sends and connects use (inet_aton: "10.0.0.010" is
// 10.0.0.8, text after a blank is ignored).
[[nodiscard]] std::optional<std::uint32_t> ipv4AsReached(const std::string& text);
// An address in host byte order as dotted-quad text.
std::string ipv4Text(std::uint32_t address);

}  // namespace platform
