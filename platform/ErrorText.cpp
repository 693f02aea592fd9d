#include "platform/ErrorText.h"

#include <cerrno>
#include <system_error>

namespace platform {

std::string systemErrorText(int errorCode) {
    return systemErrorMessage(errorCode) + "\n";
}

std::string systemErrorMessage(int errorCode) {
    return std::system_category().message(errorCode);
}

int lastSystemError() {
    return errno;
}

bool isInterruption(int errorCode) {
    return errorCode == EINTR;
}

}  // namespace platform
