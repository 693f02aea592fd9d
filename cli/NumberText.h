#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace cli {

// Digits only, within [low, high]; a number beyond any sensible option value
// is refused rather than wrapped round.
[[nodiscard]] std::optional<std::size_t> parseCount(const std::string& text, std::size_t low,
                                                    std::size_t high);

// Whole seconds or seconds with up to three decimals ("0.5"), from low to a day.
[[nodiscard]] std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text,
                                                                    std::chrono::milliseconds low);

}  // namespace cli
