#pragma once

#include "platform/NetworkInterfaces.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

// Which IPv4 addresses can be one unit's: the rule behind the addresses a
// discovery lists and saves, and behind the targets the network path connects
// to. An address can be a unit's when it is unicast and no broadcast address
// this computer knows of:
//
// - 0.0.0.0/8 is "this network": a connection to 0.0.0.0 reaches this computer
//   itself, so whatever listens here on the data port would be programmed.
// - 224.0.0.0/4 is multicast, 240.0.0.0/4 is reserved and holds the limited
//   broadcast 255.255.255.255: none of them names one host.
// - The broadcast address of every subnet this computer's interfaces are on:
//   the subnet's all-ones host, for masks up to /30 (a /31 or /32 has none).
//   It is worked out from the mask rather than taken from the interface's
//   broadcast flag, so loopback's 127.255.255.255 counts, though loopback
//   carries no such flag.
// - The broadcast address the query goes to (FWPROG_BROADCAST, --broadcast),
//   which may name a subnet this computer is not on itself.
//
// A routed subnet's broadcast address cannot be told from here (its mask is
// known only to its router), so a reply claiming one is listed; programming
// it fails at the connection, which the router does not pass on to one host.
class UnitAddressRule {
public:
    UnitAddressRule(const std::vector<platform::Ipv4Interface>& interfaces,
                    const std::string& queryBroadcast);
    // The interfaces as the system lists them now.
    explicit UnitAddressRule(const std::string& queryBroadcast);

    // Why the address (host byte order) cannot be one unit's, as the end of a
    // sentence ("0.0.0.0 stands for this computer"); nothing when it can.
    [[nodiscard]] std::optional<std::string> refusal(std::uint32_t address) const;

    // Whether text is strict dotted-quad text ("10.0.0.7", no leading zeros,
    // nothing around it) of an address that can be one unit's.
    [[nodiscard]] bool isUnitAddress(const std::string& text) const;

private:
    std::vector<std::uint32_t> broadcasts_;
};

}  // namespace engine
