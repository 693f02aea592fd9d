#include "platform/NetworkInterfaces.h"

#include "platform/SocketAddress.h"

#include <bit>

// The choices made over a list of interfaces, the same on every system; the
// list itself is each system's own (posix/, win/).

namespace platform {

std::string Ipv4Interface::subnetText() const {
    return ipv4Text(address & netmask) + "/" + std::to_string(std::popcount(netmask));
}

std::optional<Ipv4Interface> interfaceHolding(const std::vector<Ipv4Interface>& interfaces,
                                              std::uint32_t source, std::uint32_t destination) {
    const Ipv4Interface* chosen = nullptr;
    for (const auto& item : interfaces) {
        if (item.address != source)
            continue;
        if (!chosen || (!chosen->contains(destination) && item.contains(destination)))
            chosen = &item;
    }
    if (!chosen)
        return std::nullopt;
    return *chosen;
}

}  // namespace platform
