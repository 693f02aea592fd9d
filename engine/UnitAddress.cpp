#include "engine/UnitAddress.h"

#include "platform/SocketAddress.h"

#include <algorithm>

namespace engine {

namespace {

constexpr std::uint32_t kThisNetworkMask = 0xFF000000u;  // 0.0.0.0/8
constexpr std::uint32_t kClassMask = 0xF0000000u;
constexpr std::uint32_t kMulticast = 0xE0000000u;  // 224.0.0.0/4
constexpr std::uint32_t kReserved = 0xF0000000u;   // 240.0.0.0/4
constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFFu;
// A /31 or /32 has no broadcast address: every address in it is a host's.
constexpr std::uint32_t kSmallestSubnetWithBroadcast = 0xFFFFFFFCu;  // /30

}  // namespace

UnitAddressRule::UnitAddressRule(const std::vector<platform::Ipv4Interface>& interfaces,
                                 const std::string& queryBroadcast) {
    for (const platform::Ipv4Interface& item : interfaces) {
        if (item.netmask <= kSmallestSubnetWithBroadcast)
            broadcasts_.push_back(item.address | ~item.netmask);
    }
    // Read as the query's send reads it, so the address the query reached is
    // the one left out.
    if (const auto address = platform::ipv4AsReached(queryBroadcast))
        broadcasts_.push_back(*address);
}

UnitAddressRule::UnitAddressRule(const std::string& queryBroadcast)
    : UnitAddressRule(platform::listIpv4Interfaces(), queryBroadcast) {}

std::optional<std::string> UnitAddressRule::refusal(std::uint32_t address) const {
    const std::string text = platform::ipv4Text(address);
    if ((address & kThisNetworkMask) == 0)
        return text + " stands for this computer (0.0.0.0/8), not for a unit";
    if (address == kLimitedBroadcast)
        return text + " is the limited broadcast address";
    if ((address & kClassMask) == kMulticast)
        return text + " is a multicast address";
    if ((address & kClassMask) == kReserved)
        return text + " is a reserved address (240.0.0.0/4)";
    if (std::find(broadcasts_.begin(), broadcasts_.end(), address) != broadcasts_.end())
        return text + " is a broadcast address";
    return std::nullopt;
}

bool UnitAddressRule::isUnitAddress(const std::string& text) const {
    const auto address = platform::parseIpv4(text);
    return address && !refusal(*address);
}

}  // namespace engine
