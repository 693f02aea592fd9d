#include "engine/JsonText.h"

namespace engine {

namespace {

// The length of the valid UTF-8 sequence that starts at bytes[at], or 0 when
// none does: overlong forms, UTF-16 surrogates and code points beyond
// U+10FFFF are not valid, as the standard says.
std::size_t utf8SequenceAt(std::string_view bytes, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0xC2 || lead > 0xF4)
        return 0;
    const std::size_t length = lead < 0xE0 ? 2 : (lead < 0xF0 ? 3 : 4);
    if (at + length > bytes.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

}  // namespace

nlohmann::ordered_json jsonText(std::string_view bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            utf8.push_back(bytes[at++]);
        } else if (const std::size_t length = utf8SequenceAt(bytes, at); length > 0) {
            utf8.append(bytes.substr(at, length));
            at += length;
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
            ++at;
        }
    }
    return utf8;
}

std::string jsonLine(const nlohmann::ordered_json& value) {
    // nlohmann's own dump writes every scalar (escapes included); only the
    // separators between members and elements are ours.
    constexpr int kOneLine = -1;
    constexpr bool kAsciiOnly = true;
    std::string out;
    if (value.is_object()) {
        out += '{';
        const char* separator = "";
        for (const auto& [name, member] : value.items()) {
            out += separator;
            out += nlohmann::ordered_json(name).dump(kOneLine, ' ', kAsciiOnly);
            out += ": ";
            out += jsonLine(member);
            separator = ", ";
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        const char* separator = "";
        for (const auto& element : value) {
            out += separator;
            out += jsonLine(element);
            separator = ", ";
        }
        out += ']';
    } else {
        out += value.dump(kOneLine, ' ', kAsciiOnly);
    }
    return out;
}

}  // namespace engine
