#include "platform/win/WideText.h"

#include <windows.h>

namespace platform::win {

std::optional<std::wstring> wideFromUtf8(std::string_view text) {
    if (text.empty())
        return std::wstring();
    if (text.find('\0') != std::string_view::npos || text.size() > 0x7FFFFFFF)
        return std::nullopt;
    const int size = static_cast<int>(text.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (needed <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(),
                            needed) != needed)
        return std::nullopt;
    return wide;
}

std::string utf8FromWide(std::wstring_view text) {
    if (text.empty() || text.size() > 0x7FFFFFFF)
        return {};
    const int size = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), needed, nullptr, nullptr);
    return narrow;
}

}  // namespace platform::win
