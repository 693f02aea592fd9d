#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One IPv4 address of one of this computer's network interfaces. An
// interface with several addresses is listed once per address.
struct Ipv4Interface {
    std::string name;         // e.g. "eth0", "lo"
    unsigned index = 0;       // the system's interface index, never 0
    std::uint32_t address{};  // host byte order
    std::uint32_t netmask{};  // host byte order
    bool up = false;
    bool canBroadcast = false;
    bool loopback = false;

    bool contains(std::uint32_t other) const { return (other & netmask) == (address & netmask); }
    // The subnet as CIDR text, e.g. "10.77.0.0/24".
    std::string subnetText() const;
};

using Ipv4Interfaces = std::vector<Ipv4Interface>;

// Every IPv4 address of every interface, in the system's order. Empty with
// *error set when the list cannot be read; empty with *error 0 when there is
// no IPv4 address at all.
[[nodiscard]] std::vector<Ipv4Interface> listIpv4Interfaces(int* error = nullptr);

// The interface that holds source, this computer's address towards
// destination: of several with that address, the one whose subnet holds the
// destination. Nothing when no interface holds it.
[[nodiscard]] std::optional<Ipv4Interface> interfaceHolding(
    const std::vector<Ipv4Interface>& interfaces, std::uint32_t source, std::uint32_t destination);

// The name of the interface with this index, empty when there is none.
std::string interfaceName(unsigned index);

// The source address this computer would use to send to the address, as the
// routing table decides it (a connected datagram socket asked for its local
// end; nothing is sent). Nothing with *error set when there is no route.
[[nodiscard]] std::optional<std::uint32_t> routeSourceFor(std::uint32_t destination, int* error);

}  // namespace platform
