#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// SHA-256 over a stream of pieces, so an image can be fingerprinted while it
// is read or received, without holding it. The hash itself comes from the
// system's library (Nettle here); this header names none of its types, so
// another platform can put its own hash behind the same class.
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    // A copy goes on from the same point on its own.
    Sha256(const Sha256& other);
    Sha256& operator=(const Sha256& other);
    void update(const void* data, std::size_t length);
    // The digest of everything so far; the object starts over afterwards.
    Digest finish();
    // finish() as 64 lower-case hex digits.
    std::string finishHex();

private:
    // Room for the library's context (or its handle). Its size is checked
    // where the library is known.
    alignas(std::max_align_t) unsigned char state_[128];
};

std::string sha256Hex(std::string_view bytes);

// Lower-case hex of bytes, two digits each.
std::string hexText(const void* data, std::size_t length);

// The SHA-256 and length of a whole regular file, read in blocks.
struct FileDigest {
    bool ok = false;
    int error = 0;               // the system's error when !ok
    std::string notRegularKind;  // "a FIFO", ... when refused for not being a regular file
    std::uint64_t bytes = 0;
    std::string hex;
};
[[nodiscard]] FileDigest sha256OfFile(const std::string& path);

}  // namespace platform
