#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// SHA-256 over a stream of pieces, so a unit can fingerprint an image while it
// arrives without keeping it.
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void update(const void* data, std::size_t length);
    // The digest of everything so far; the object starts over afterwards.
    Digest finish();
    // finish() as 64 lower-case hex digits.
    std::string finishHex();

private:
    void block(const std::uint8_t* chunk);
    void reset();

    std::array<std::uint32_t, 8> state_{};
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingLength_ = 0;
    std::uint64_t totalLength_ = 0;
};

std::string sha256Hex(std::string_view bytes);

// Lower-case hex of bytes, two digits each.
std::string toHex(const void* data, std::size_t length);

}  // namespace sim
