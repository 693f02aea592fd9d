#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

// Where units and the programming host listen. The defaults are the units'
// own; tests, the demo and hosts with several networks override them.
struct Endpoints {
    std::uint16_t unitUdpPort = 6000;  // management port: query, reply, time stamp
    std::uint16_t unitTcpPort = 9100;  // raw data port: entry header, image
    std::uint16_t statusPort = 40001;  // the host's port for the unit's verdict
    std::string broadcastAddress = "255.255.255.255";
    // The interfaces that discovery and the time stamp go out of; empty for
    // every one that can broadcast.
    std::vector<std::string> interfaces;

    // Defaults overridden by FWPROG_UNIT_UDP_PORT, FWPROG_UNIT_TCP_PORT,
    // FWPROG_STATUS_PORT, FWPROG_BROADCAST and FWPROG_INTERFACE (names
    // separated by commas) where set.
    static Endpoints fromEnvironment();
};

// Interface names from a comma-separated list; blanks around a name and empty
// names are dropped.
std::vector<std::string> splitInterfaceNames(const std::string& text);

// A port number from text: 1 to 65535, digits only.
[[nodiscard]] std::optional<std::uint16_t> parsePort(const std::string& text);

}  // namespace engine
