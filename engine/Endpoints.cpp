#include "engine/Endpoints.h"

#include <cstdlib>

namespace engine {

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
    if (const char* value = std::getenv("FWPROG_INTERFACE"))
        endpoints.interfaces = splitInterfaceNames(value);
    return endpoints;
}

std::vector<std::string> splitInterfaceNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string name = text.substr(start, end - start);
        const auto first = name.find_first_not_of(" \t");
        const auto last = name.find_last_not_of(" \t");
        if (first != std::string::npos)
            names.push_back(name.substr(first, last - first + 1));
        start = end + 1;
    }
    return names;
}

}  // namespace engine
