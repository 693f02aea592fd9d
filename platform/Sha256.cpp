#include "platform/Sha256.h"

#include "platform/InputFile.h"

#include <vector>

namespace platform {

std::string Sha256::finishHex() {
    const Digest digest = finish();
    return hexText(digest.data(), digest.size());
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

std::string hexText(const void* data, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

FileDigest sha256OfFile(const std::string& path) {
    FileDigest result;
    InputFile file;
    if (!file.openRegular(path)) {
        result.error = file.lastError();
        result.notRegularKind = file.notRegularKind();
        return result;
    }
    Sha256 hash;
    std::vector<unsigned char> block(256 * 1024);
    for (;;) {
        const long got = file.read(block.data(), block.size());
        if (got < 0) {
            result.error = file.lastError();
            return result;
        }
        if (got == 0)
            break;
        hash.update(block.data(), static_cast<std::size_t>(got));
        result.bytes += static_cast<std::uint64_t>(got);
    }
    result.hex = hash.finishHex();
    result.ok = true;
    return result;
}

}  // namespace platform
