#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Addresses are std::uint32_t in host byte order and text; no header outside a
// backend's own folder needs the system's socket types.

// Strict dotted-quad text ("10.0.0.7": four decimal numbers 0 to 255, nothing
// else) to an address in host byte order.
[[nodiscard]] std::optional<std::uint32_t> parseIpv4(const std::string& text);

// The value of one hexadecimal digit (either case), or -1 when c is none.
[[nodiscard]] int hexDigitValue(char c);
// The address a socket call reaches for this text, in host byte order: the
// lenient reading sends and connects have always used, the same on every
// system ("10.0.0.010" is 10.0.0.8, "0x7f.1" is 127.0.0.1, "10.1" is 10.0.0.1,
// text after a blank is ignored). Host names are deliberately not looked up:
// every address this program sends to is numeric, and a name lookup would put
// traffic on the network that nobody asked for.
[[nodiscard]] std::optional<std::uint32_t> ipv4AsReached(const std::string& text);
// An address in host byte order as dotted-quad text.
std::string ipv4Text(std::uint32_t address);

}  // namespace platform
