#include "cli/NumberText.h"

#include <cstdint>

namespace cli {

std::optional<std::size_t> parseCount(const std::string& text, std::size_t low, std::size_t high) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const std::size_t value = std::stoul(text);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text,
                                                      std::chrono::milliseconds low) {
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (whole.empty() || whole.size() > 6 || fraction.size() > 3 ||
        (dot != std::string::npos && fraction.empty()) ||
        (whole + fraction).find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    std::int64_t ms = std::stoll(whole) * 1000;
    if (!fraction.empty())
        ms += std::stoll(fraction + std::string(3 - fraction.size(), '0'));
    const std::chrono::milliseconds value{ms};
    if (value < low || value > std::chrono::hours(24))
        return std::nullopt;
    return value;
}

}  // namespace cli
