#pragma once
// UTF-8, the text every part of this program uses, to and from the UTF-16 of
// the Windows API.

#include <optional>
#include <string>
#include <string_view>

namespace platform::win {

// Nothing when the bytes are no UTF-8 (or hold a NUL, which no path may).
[[nodiscard]] std::optional<std::wstring> wideFromUtf8(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf8FromWide(std::wstring_view text);

}  // namespace platform::win
