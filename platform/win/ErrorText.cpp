#include "platform/ErrorText.h"

#include "platform/win/WideText.h"

#include <windows.h>
#include <winsock2.h>

namespace platform {

std::string systemErrorText(int errorCode) {
    return systemErrorMessage(errorCode) + "\n";
}

// Win32 and Winsock codes share one number space, and FormatMessageW knows
// both. errno values are never handed to it: this backend keeps none.
std::string systemErrorMessage(int errorCode) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(errorCode), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr)
        message = win::utf8FromWide(std::wstring_view(text, length));
    if (text != nullptr)
        LocalFree(text);
    // The system's texts end in a line break (and often a full stop before
    // it); the caller adds its own break.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    // Windows' own words for the one code used here that older systems (and
    // Wine) have no text for.
    if (message.empty() && errorCode == errors::kIsDirectory)
        message = "An operation is not supported on a directory";
    if (message.empty())
        message = "Windows error " + std::to_string(errorCode);
    return message;
}

int lastSystemError() {
    return static_cast<int>(GetLastError());
}

bool isInterruption(int errorCode) {
    return errorCode == WSAEINTR;
}

namespace errors {
const int kMessageTooLong = WSAEMSGSIZE;
const int kCancelled = ERROR_CANCELLED;
const int kTimedOut = WSAETIMEDOUT;
const int kConnectionRefused = WSAECONNREFUSED;
const int kInvalidArgument = WSAEINVAL;
const int kAddressInUse = WSAEADDRINUSE;
const int kAccessDenied = WSAEACCES;
// ERROR_DIRECTORY_NOT_SUPPORTED, which mingw-w64's headers do not name yet.
const int kIsDirectory = 336;
const int kNotFound = ERROR_FILE_NOT_FOUND;
}  // namespace errors

}  // namespace platform
