#include "engine/Endpoints.h"

#include <cstdlib>

std::optional<std::uint16_t> parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

Endpoints Endpoints::fromEnvironment() {
    Endpoints endpoints;
    auto port = [](const char* name, std::uint16_t& target) {
        if (const char* value = std::getenv(name))
            if (auto parsed = parsePort(value))
                target = *parsed;
    };
    port("FWPROG_UNIT_UDP_PORT", endpoints.unitUdpPort);
    port("FWPROG_UNIT_TCP_PORT", endpoints.unitTcpPort);
    port("FWPROG_STATUS_PORT", endpoints.statusPort);
    if (const char* value = std::getenv("FWPROG_BROADCAST"); value && *value)
        endpoints.broadcastAddress = value;
    return endpoints;
}
