// Address text is read here rather than by the system's own parsers: the
// lenient reading (octal, hexadecimal, fewer than four parts) is what targets
// have always been read with, and Windows' parsers differ from it in corners
// (trailing text, empty parts). One reader keeps both systems alike.
#include "platform/SocketAddress.h"

#include <array>

namespace platform {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int hexDigitValue(char c) {
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::uint32_t> parseIpv4(const std::string& text) {
    std::uint32_t address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.')
                return std::nullopt;
            ++at;
        }
        const std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && isDigit(text[at]) && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        // No leading zeros ("010" is ambiguous), nothing above 255.
        if (at == start || value > 255 || (text[start] == '0' && at - start > 1))
            return std::nullopt;
        address = (address << 8) | value;
    }
    if (at != text.size())
        return std::nullopt;
    return address;
}

std::optional<std::uint32_t> ipv4AsReached(const std::string& text) {
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    std::array<std::uint64_t, 4> parts{};
    std::size_t count = 0;
    std::size_t at = 0;
    bool digits = false;  // in the last part ("0x" alone is no number)
    const auto current = [&]() { return at < text.size() ? text[at] : '\0'; };
    for (;;) {
        if (!isDigit(current()))
            return std::nullopt;
        std::uint64_t value = 0;
        unsigned base = 10;
        digits = false;
        if (current() == '0') {
            ++at;
            if (current() == 'x' || current() == 'X') {
                base = 16;
                ++at;
            } else {
                base = 8;
                digits = true;
            }
        }
        for (;;) {
            const char c = current();
            if (isDigit(c)) {
                if (base == 8 && (c == '8' || c == '9'))
                    return std::nullopt;
                value = value * base + static_cast<unsigned>(c - '0');
            } else if (base == 16 && isHexDigit(c)) {
                value = value * 16 + static_cast<unsigned>(hexDigitValue(c));
            } else {
                break;
            }
            if (value > 0xFFFFFFFFu)
                return std::nullopt;
            digits = true;
            ++at;
        }
        parts[count++] = value;
        if (current() != '.' || count == 4)
            break;
        ++at;
    }
    // Anything after the number must begin with a blank.
    if ((at < text.size() && !isBlank(text[at])) || !digits)
        return std::nullopt;
    const std::uint64_t last = parts[count - 1];
    std::uint64_t address = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF)
            return std::nullopt;
        address |= parts[i] << (24 - 8 * i);
    }
    // The last part fills every byte the others left.
    const std::uint64_t room =
        count == 1 ? 0xFFFFFFFFu : (std::uint64_t{1} << (8 * (5 - count))) - 1;
    if (last > room)
        return std::nullopt;
    return static_cast<std::uint32_t>(address | last);
}

std::string ipv4Text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace platform
