#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

// The addresses a discovery queries one by one, for units on routed subnets
// that no broadcast reaches. Each address is queried once however often the
// blocks given overlap.
class AddressRanges {
public:
    // At most this many addresses in all: a /16, about two minutes at the
    // default pace.
    static constexpr std::uint64_t kMostAddresses = 65536;

    // Adds a CIDR block ("10.20.0.0/24"; host bits are ignored, so
    // "10.20.0.9/24" is the same block) or an inclusive range of dotted
    // addresses ("10.20.0.5-10.20.0.80"). Only unicast addresses are taken:
    // nothing of 0.0.0.0/8 or of 224.0.0.0 and above. False with *error set
    // (a sentence naming the fault) when the text is none of these, or when
    // the addresses in all would exceed kMostAddresses; nothing is added then.
    [[nodiscard]] bool add(const std::string& text, std::string* error);

    // Distinct addresses in all.
    std::uint64_t count() const;
    bool empty() const { return blocks_.empty(); }

    // Every address, lowest first, in host byte order.
    std::vector<std::uint32_t> addresses() const;
    // Whether the address (host byte order) is one of them.
    bool contains(std::uint32_t address) const;

private:
    struct Block {
        std::uint32_t first;
        std::uint32_t last;
    };
    std::vector<Block> blocks_;  // sorted, disjoint, not adjacent
};

}  // namespace fleet
