#include "engine/JsonText.h"

namespace engine {

nlohmann::ordered_json jsonText(std::string_view bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8.push_back(c);
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
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
