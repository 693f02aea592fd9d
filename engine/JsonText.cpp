#include "engine/JsonText.h"

std::string jsonString(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7F) {
                    out += "\\u00";
                    out.push_back(kDigits[byte >> 4]);
                    out.push_back(kDigits[byte & 0x0F]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out += "\"";
    return out;
}
