#include "fleet/AddressRanges.h"

#include "platform/SocketAddress.h"

#include <algorithm>
#include <iterator>

namespace fleet {

namespace {

bool unicast(std::uint32_t address) {
    return address >= 0x01000000u && address < 0xE0000000u;
}

std::optional<std::uint32_t> dotted(const std::string& text) {
    return platform::parseIpv4(text);
}

std::optional<int> prefixLength(const std::string& text) {
    if (text.empty() || text.size() > 2)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 32)
        return std::nullopt;
    return value;
}

}  // namespace

bool AddressRanges::add(const std::string& text, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = text + ": " + why;
        return false;
    };
    Block block{};
    if (const auto slash = text.find('/'); slash != std::string::npos) {
        const auto base = dotted(text.substr(0, slash));
        const auto length = prefixLength(text.substr(slash + 1));
        if (!base)
            return fail("not a dotted IPv4 address before the /");
        if (!length)
            return fail("the prefix length after the / must be 0 to 32");
        const std::uint32_t mask = *length == 0 ? 0 : ~std::uint32_t{0} << (32 - *length);
        block = {*base & mask, (*base & mask) | ~mask};
    } else if (const auto dash = text.find('-'); dash != std::string::npos) {
        const auto first = dotted(text.substr(0, dash));
        const auto last = dotted(text.substr(dash + 1));
        if (!first || !last)
            return fail(
                "a range is two dotted IPv4 addresses joined by -, e.g. "
                "10.20.0.5-10.20.0.80");
        if (*last < *first)
            return fail("the range ends before it starts");
        block = {*first, *last};
    } else if (const auto single = dotted(text)) {
        block = {*single, *single};
    } else {
        return fail("not a CIDR block (10.20.0.0/24) or a range (10.20.0.5-10.20.0.80)");
    }
    if (!unicast(block.first) || !unicast(block.last))
        return fail(
            "only unicast addresses can be queried one by one (not 0.x.x.x, multicast "
            "or 224.0.0.0 and above)");

    // Merge into the sorted list, joining what overlaps or touches.
    std::vector<Block> merged;
    merged.reserve(blocks_.size() + 1);
    std::vector<Block> all = blocks_;
    all.insert(std::upper_bound(all.begin(), all.end(), block,
                                [](const Block& a, const Block& b) { return a.first < b.first; }),
               block);
    for (const Block& b : all) {
        if (!merged.empty() && std::uint64_t{b.first} <= std::uint64_t{merged.back().last} + 1)
            merged.back().last = std::max(merged.back().last, b.last);
        else
            merged.push_back(b);
    }
    std::uint64_t total = 0;
    for (const Block& b : merged)
        total += std::uint64_t{b.last} - b.first + 1;
    if (total > kMostAddresses)
        return fail("that makes " + std::to_string(total) +
                    " addresses in all; at most 65536 (a /16) can be queried in one run");
    blocks_ = std::move(merged);
    return true;
}

std::uint64_t AddressRanges::count() const {
    std::uint64_t total = 0;
    for (const Block& b : blocks_)
        total += std::uint64_t{b.last} - b.first + 1;
    return total;
}

std::vector<std::uint32_t> AddressRanges::addresses() const {
    std::vector<std::uint32_t> all;
    all.reserve(count());
    for (const Block& b : blocks_)
        for (std::uint64_t a = b.first; a <= b.last; ++a)
            all.push_back(static_cast<std::uint32_t>(a));
    return all;
}

bool AddressRanges::contains(std::uint32_t address) const {
    const auto after =
        std::upper_bound(blocks_.begin(), blocks_.end(), address,
                         [](std::uint32_t a, const Block& b) { return a < b.first; });
    return after != blocks_.begin() && address <= std::prev(after)->last;
}

}  // namespace fleet
